#include "agent/server/socket_server.h"

#include <algorithm>
#include <iostream>

#include "agent/protocol/cipher.h"
#include "agent/protocol/client_message.h"
#include "common/diag_log.h"
#include "common/names.h"
#include "common/text.h"

namespace vantrel::agent {

void ConnectedDevices::Insert(uint64_t id, std::shared_ptr<netcore::NetSocket> socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[id] = std::move(socket);
}

void ConnectedDevices::Remove(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.erase(id);
}

std::vector<ConnectedDevices::Entry> ConnectedDevices::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<Entry>(devices_.begin(), devices_.end());
}

size_t ConnectedDevices::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.size();
}

ConnectedDevices& connected_devices() {
  static ConnectedDevices* devices = new ConnectedDevices();  // used by threads that outlive main
  return *devices;
}

void MessageQueue::Push(QueuedMessage message) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(message));
}

size_t MessageQueue::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

bool MessageQueue::CopyFront(QueuedMessage* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  *out = queue_.front();
  return true;
}

void MessageQueue::PopFront() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty()) queue_.pop_front();
}

namespace {
MessageQueue& message_queue() {
  static MessageQueue* queue = new MessageQueue();
  return *queue;
}
}  // namespace

SocketServer::SocketServer(ConnectedDevices& devices, MessageQueue& queue) : devices_(devices), queue_(queue) {}

SocketServer::~SocketServer() { Stop(); }

bool SocketServer::Start(const std::string& ip, uint16_t port) {
  core_ = std::make_shared<netcore::NetCoreBase>();
  core_->StartDispatchers(1);
  core_->SetAcceptHandler([this](auto s, uint32_t e) { ConnectFunc(std::move(s), e); });
  core_->SetWriteHandler([this](auto s, uint32_t n) { WriteFunc(std::move(s), n); });
  core_->SetReadHandler([this](auto s, auto b, uint32_t n) { ReadFunc(std::move(s), std::move(b), n); });
  core_->SetDisconnectHandler([this](auto s, uint32_t e) { DisConnectionFunc(std::move(s), e); });
  bool listening = core_->ListenOn(ip, port);
  process_thread_ = std::thread([this] { ProcessLoop(); });
  LogInfo(L"SocketServer::SocketServer",
          text::Format(L"Socket server start on\t%hs:%u, BEGIN", ip.c_str(), static_cast<unsigned>(port)));
  return listening;
}

void SocketServer::Join() {
  if (core_) core_->JoinDispatchers();
}

void SocketServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (process_thread_.joinable()) process_thread_.join();
  if (core_) {
    core_->StopDispatchers();
    core_->JoinDispatchers();
    core_.reset();
  }
}

void SocketServer::ConnectFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err) {
  if (err != 0) {
    std::cout << "[ConnectFunc] some thing error : " << err << std::endl;
    return;
  }
  std::string ip;
  uint16_t port = 0;
  socket->GetAddress(ip, port);
  std::cout << "[ConnectFunc] : ip: " << ip << "port: " << port << "listen port: " << socket->GetListenPort()
            << std::endl;
  devices_.Insert(socket->GetSocket(), socket);
}

void SocketServer::ReadFunc(std::shared_ptr<netcore::NetSocket> socket, std::shared_ptr<netcore::Buffer> buffer,
                            uint32_t len) {
  LogInfo(L"SocketServer::ReadFunc", L"ReadFunc");
  std::cout << "[ReadFunc]" << std::endl << "Read size : " << len << std::endl << std::endl;
  // A pass that found nothing new leaves nothing to answer.
  const uint32_t n = std::min<uint32_t>(buffer->GetCanReadLength(), kMessageBufferSize);
  if (n == 0) return;
  QueuedMessage message;
  message.data.resize(n);
  message.data.resize(buffer->Read(reinterpret_cast<char*>(message.data.data()), n));
  buffer->Clear();  // whatever lies beyond one message's capacity is discarded
  message.connection = std::move(socket);
  queue_.Push(std::move(message));
}

void SocketServer::WriteFunc(std::shared_ptr<netcore::NetSocket>, uint32_t len) {
  std::cout << "[WriteFunc]  length : " << len << std::endl;
}

void SocketServer::DisConnectionFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err) {
  const uint64_t id = socket->GetSocket();
  devices_.Remove(id);
  std::cout << "[DisConnectionFunc] : " << err << std::endl;
  LogInfo(L"SocketServer::DisConnectionFunc",
          text::Format(L"[DisConnectionFunc] :  %d", static_cast<int>(id)));
  LogInfo(L"SocketServer::DisConnectionFunc",
          text::Format(L"Connected device : %d", static_cast<int>(devices_.Size())));
}

void SocketServer::ProcessPass() {
  const size_t count = queue_.Size();
  for (size_t i = 0; i < count; ++i) {
    QueuedMessage message;
    if (!queue_.CopyFront(&message)) break;
    std::optional<std::string> reply;
    try {
      reply = ProcessClientBlock(message.data.data(), static_cast<uint32_t>(message.data.size()));
    } catch (...) {
      reply.reset();  // a request never ends the process
    }
    // Exactly one write per message; nothing when there is no reply to send.
    if (reply && !reply->empty() && message.connection)
      message.connection->Write(reply->data(), static_cast<uint32_t>(reply->size()));
    queue_.PopFront();
  }
}

void SocketServer::ProcessLoop() {
  for (;;) {
    ProcessPass();
    std::unique_lock<std::mutex> lock(stop_mutex_);
    if (stop_cv_.wait_for(lock, kPassInterval, [this] { return stopping_; })) return;
  }
}

void SocketServerLoop() {
  static SocketServer* server = new SocketServer(connected_devices(), message_queue());  // never destroyed
  server->Start("127.0.0.1", names::AgentPort());
  server->Join();
}

}  // namespace vantrel::agent
