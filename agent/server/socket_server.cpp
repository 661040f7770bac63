#include "agent/server/socket_server.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "agent/protocol/cipher.h"
#include "agent/protocol/client_message.h"
#include "agent/report/monitor_report.h"
#include "agent/server/debug_lines.h"
#include "agent/server/heap_release.h"
#include "common/diag_log.h"
#include "common/names.h"
#include "common/text.h"

namespace vantrel::agent {

void ConnectedDevices::Insert(uint64_t id, std::shared_ptr<netcore::NetSocket> socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[id] = std::move(socket);
}

bool ConnectedDevices::Remove(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.erase(id) > 0;
}

bool ConnectedDevices::Contains(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.count(id) > 0;
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

namespace {

// A refused write to a client that has already gone is the normal discard;
// one that is still connected does not read its replies.
void WriteRefused(ConnectedDevices& devices, const std::shared_ptr<netcore::NetSocket>& socket) {
  const uint64_t id = socket->GetSocket();
  if (!devices.Contains(id)) return;
  Log(kLogWarning, L"SocketServer::SendToClient",
      text::Format(L"Client %d does not read its replies, connection closed", static_cast<int>(id)));
  socket->Close();
}

}  // namespace

void SendToClient(ConnectedDevices& devices, const std::shared_ptr<netcore::NetSocket>& socket,
                  const std::string& bytes) {
  if (!socket || bytes.empty()) return;
  if (!socket->Write(bytes.data(), static_cast<uint32_t>(bytes.size()))) WriteRefused(devices, socket);
}

void SendToClient(ConnectedDevices& devices, const std::shared_ptr<netcore::NetSocket>& socket, std::string&& bytes) {
  if (!socket || bytes.empty()) return;
  if (!socket->Write(std::move(bytes))) WriteRefused(devices, socket);
}

namespace {
MessageQueue& message_queue() {
  static MessageQueue* queue = new MessageQueue();
  return *queue;
}
}  // namespace

SocketServer::SocketServer(ConnectedDevices& devices, MessageQueue& queue)
    : devices_(devices), queue_(queue), debug_lines_(DebugLinesWanted()) {}

std::chrono::milliseconds ListenRetryDelay(uint32_t attempt) {
  constexpr std::chrono::milliseconds kFirst{100};
  constexpr std::chrono::milliseconds kLongest{2000};
  return attempt >= 5 ? kLongest : std::min(kLongest, kFirst * (1u << attempt));
}

SocketServer::~SocketServer() { Stop(); }

bool SocketServer::Start(const std::string& ip, uint16_t port) {
  core_ = std::make_shared<netcore::NetCoreBase>();
  core_->StartDispatchers(1);
  core_->SetAcceptHandler([this](auto s, uint32_t e) { ConnectFunc(std::move(s), e); });
  core_->SetWriteHandler([this](auto s, uint32_t n) { WriteFunc(std::move(s), n); });
  core_->SetReadHandler([this](auto s, auto b, uint32_t n) { ReadFunc(std::move(s), std::move(b), n); });
  core_->SetDisconnectHandler([this](auto s, uint32_t e) { DisConnectionFunc(std::move(s), e); });
  process_thread_ = std::thread([this] { ProcessLoop(); });
  const bool listening = ListenWithRetry(ip, port);
  if (listening) {
    LogInfo(L"SocketServer::SocketServer",
            text::Format(L"Socket server start on\t%hs:%u, BEGIN", ip.c_str(), static_cast<unsigned>(port)));
  }
  return listening;
}

// The port can be taken for a while by something else: another agent, or an
// outgoing connection that got it as its ephemeral source port. Serving
// nothing until a restart is worse than waiting for it.
bool SocketServer::ListenWithRetry(const std::string& ip, uint16_t port) {
  constexpr uint32_t kLogEvery = 30;  // about once a minute at the longest pause
  for (uint32_t attempt = 0;; ++attempt) {
    int error = 0;
    if (core_->ListenOn(ip, port, &error)) {
      if (attempt > 0) {
        Log(kLogWarning, L"SocketServer::SocketServer",
            text::Format(L"listening on %hs:%u after %u failed attempts", ip.c_str(), static_cast<unsigned>(port),
                         attempt));
      }
      return true;
    }
    if (attempt % kLogEvery == 0) {
      Log(kLogError, L"SocketServer::SocketServer",
          text::Format(L"cannot listen on %hs:%u (socket error %d: %hs); trying again (attempt %u)", ip.c_str(),
                       static_cast<unsigned>(port), error, netcore::os::ErrorText(error).c_str(), attempt + 1));
    }
    if (WaitForStop(ListenRetryDelay(attempt))) return false;
  }
}

bool SocketServer::WaitForStop(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return stop_cv_.wait_for(lock, delay, [this] { return stopping_; });
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
    if (debug_lines_) std::cout << "[ConnectFunc] some thing error : " << err << std::endl;
    return;
  }
  if (devices_.Size() >= kMaxClients) {
    // Logged once each time the limit is reached, not once per refusal, so a
    // connection storm cannot flood the log.
    if (!at_client_limit_) {
      Log(kLogWarning, L"SocketServer::ConnectFunc",
          text::Format(L"Connected device limit %d reached, new connections are closed",
                       static_cast<int>(kMaxClients)));
    }
    at_client_limit_ = true;
    socket->Close();
    return;
  }
  at_client_limit_ = false;
  if (debug_lines_) {
    std::string ip;
    uint16_t port = 0;
    socket->GetAddress(ip, port);
    std::cout << "[ConnectFunc] : ip: " << ip << "port: " << port << "listen port: " << socket->GetListenPort()
              << std::endl;
  }
  devices_.Insert(socket->GetSocket(), socket);
}

void SocketServer::ReadFunc(std::shared_ptr<netcore::NetSocket> socket, std::shared_ptr<netcore::Buffer> buffer,
                            uint32_t len) {
  LogInfo(L"SocketServer::ReadFunc", L"ReadFunc");
  if (debug_lines_) std::cout << "[ReadFunc]" << std::endl << "Read size : " << len << std::endl << std::endl;
  // A pass that found nothing new leaves nothing to answer.
  const uint32_t n = std::min<uint32_t>(buffer->GetCanReadLength(), kMessageBufferSize);
  if (n == 0) return;
  const uint64_t id = socket->GetSocket();
  MessageQueue::Pushed pushed;
  if (queue_.HasRoom(socket.get())) {
    QueuedMessage message;
    message.data.resize(n);
    message.data.resize(buffer->Read(reinterpret_cast<char*>(message.data.data()), n));
    message.connection = std::move(socket);
    pushed = queue_.Push(std::move(message));
  } else {
    pushed = queue_.NoteDropped(socket.get());  // no copy for a message that is dropped
  }
  buffer->Clear();  // whatever lies beyond one message's capacity is discarded
  if (pushed == MessageQueue::Pushed::kFirstDropped) {
    Log(kLogWarning, L"SocketServer::ReadFunc",
        text::Format(L"Client %d sends faster than it is answered, requests dropped", static_cast<int>(id)));
  }
}

void SocketServer::WriteFunc(std::shared_ptr<netcore::NetSocket>, uint32_t len) {
  if (debug_lines_) std::cout << "[WriteFunc]  length : " << len << std::endl;
}

void SocketServer::DisConnectionFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err) {
  const uint64_t id = socket->GetSocket();
  // What it still had waiting would only be answered into the void.
  queue_.DropClient(socket.get());
  memory_freed_ = true;
  // A connection closed at the client limit was never entered: nothing to report.
  if (!devices_.Remove(id)) return;
  if (debug_lines_) std::cout << "[DisConnectionFunc] : " << err << std::endl;
  LogInfo(L"SocketServer::DisConnectionFunc",
          text::Format(L"[DisConnectionFunc] :  %d", static_cast<int>(id)));
  LogInfo(L"SocketServer::DisConnectionFunc",
          text::Format(L"Connected device : %d", static_cast<int>(devices_.Size())));
}

namespace {

// A plain INITIALIZATION request (VERSION, capability) costs no report. An
// enciphered block cannot be told apart without deciphering it, so it keeps
// its place among the rest.
bool IsPlainInitialization(const QueuedMessage& m) {
  if (m.data.size() < kHeaderSize || std::memcmp(m.data.data(), kMagic, sizeof(kMagic)) != 0) return false;
  return m.data[4] == 0 && m.data[5] == 0 && m.data[6] == 0 && m.data[7] == 0;
}

}  // namespace

size_t SocketServer::ProcessPass() {
  std::vector<QueuedMessage> round = queue_.TakeRound();
  // A round holds at most one message per client, so answering the cheap
  // requests first changes no client's order, and a client asking for its
  // version waits for no other client's report.
  std::stable_partition(round.begin(), round.end(), IsPlainInitialization);
  const ReportRound reports;
  for (QueuedMessage& message : round) {
    std::optional<std::string> reply;
    try {
      reply = ProcessClientBlock(message.data.data(), static_cast<uint32_t>(message.data.size()));
    } catch (...) {
      reply.reset();  // a request never ends the process
    }
    // Exactly one write per message; nothing when there is no reply to send.
    if (reply) SendToClient(devices_, message.connection, std::move(*reply));
  }
  return round.size();
}

void SocketServer::ReleaseFreedMemory() {
  if (memory_freed_.exchange(false)) ReturnFreeHeapMemory();
}

void SocketServer::ProcessLoop() {
  // A pass starts every 500 ms, counted from the start of the one before: a
  // pass that overran (a report waiting out a hung hardware service) is
  // followed at once, so a request that came meanwhile waits no longer than
  // that pass.
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    ProcessPass();
    ReleaseFreedMemory();
    next = std::max(next + kPassInterval, std::chrono::steady_clock::now());
    std::unique_lock<std::mutex> lock(stop_mutex_);
    if (stop_cv_.wait_until(lock, next, [this] { return stopping_; })) return;
  }
}

void SocketServerLoop() {
  static SocketServer* server = new SocketServer(connected_devices(), message_queue());  // never destroyed
  server->Start("127.0.0.1", names::AgentPort());
  server->Join();
}

}  // namespace vantrel::agent
