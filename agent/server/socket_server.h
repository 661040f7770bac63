// The agent's TCP endpoint for UI clients: the table of connected clients,
// the queue of received blocks and the loop that answers them every 500 ms.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "netcore/netcore_base.h"

namespace vantrel::agent {

// The connected clients, by connection id (the socket handle). The event relay
// copies the entries and writes to the copies without holding the lock.
class ConnectedDevices {
 public:
  using Entry = std::pair<uint64_t, std::shared_ptr<netcore::NetSocket>>;
  void Insert(uint64_t id, std::shared_ptr<netcore::NetSocket> socket);
  void Remove(uint64_t id);
  std::vector<Entry> Snapshot();
  size_t Size();

 private:
  std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<netcore::NetSocket>> devices_;
};
ConnectedDevices& connected_devices();

// One block a read pass delivered, with the connection to answer; the
// reference keeps the connection alive until the reply is written.
struct QueuedMessage {
  std::vector<uint8_t> data;  // at most kMessageBufferSize bytes
  std::shared_ptr<netcore::NetSocket> connection;
};

class MessageQueue {
 public:
  void Push(QueuedMessage message);
  size_t Size();
  // A copy of the front message; false when empty.
  bool CopyFront(QueuedMessage* out);
  void PopFront();

 private:
  std::mutex mutex_;
  std::deque<QueuedMessage> queue_;
};

class SocketServer {
 public:
  // `devices` and `queue` default to the process-wide ones.
  SocketServer(ConnectedDevices& devices, MessageQueue& queue);
  ~SocketServer();

  // Starts the core with one IO thread, registers the handlers, listens on
  // ip:port and starts ProcessLoop. False when the listener could not be made.
  bool Start(const std::string& ip, uint16_t port);
  // Blocks until the core's threads end (in the program: never).
  void Join();
  // Ends ProcessLoop and the core (tests).
  void Stop();

  void ConnectFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err);
  void ReadFunc(std::shared_ptr<netcore::NetSocket> socket, std::shared_ptr<netcore::Buffer> buffer, uint32_t len);
  void WriteFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t len);
  void DisConnectionFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err);

  // One pass: answers the messages queued at its start, one write each.
  void ProcessPass();

  static constexpr std::chrono::milliseconds kPassInterval{500};

 private:
  void ProcessLoop();

  ConnectedDevices& devices_;
  MessageQueue& queue_;
  std::shared_ptr<netcore::NetCoreBase> core_;
  std::thread process_thread_;
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
};

// Thread entry started by the agent's window: serves 127.0.0.1 on
// names::AgentPort() for the life of the process.
void SocketServerLoop();

}  // namespace vantrel::agent
