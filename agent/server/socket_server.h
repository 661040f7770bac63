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

#include "agent/server/request_queue.h"
#include "netcore/netcore_base.h"

namespace vantrel::agent {

// The connected clients, by connection id (the socket handle). The event relay
// copies the entries and writes to the copies without holding the lock.
class ConnectedDevices {
 public:
  using Entry = std::pair<uint64_t, std::shared_ptr<netcore::NetSocket>>;
  void Insert(uint64_t id, std::shared_ptr<netcore::NetSocket> socket);
  // False when the id was not in the table.
  bool Remove(uint64_t id);
  std::vector<Entry> Snapshot();
  size_t Size();
  bool Contains(uint64_t id);

 private:
  std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<netcore::NetSocket>> devices_;
};
ConnectedDevices& connected_devices();

// Writes one reply or notification to a client. The core refuses output for
// a connection whose unsent bytes are over its limit (4 MiB): that client does
// not read, and it is closed rather than left holding its memory.
void SendToClient(ConnectedDevices& devices, const std::shared_ptr<netcore::NetSocket>& socket,
                  const std::string& bytes);
// As above, handing the bytes over to the connection without a copy.
void SendToClient(ConnectedDevices& devices, const std::shared_ptr<netcore::NetSocket>& socket, std::string&& bytes);

class SocketServer {
 public:
  // `devices` and `queue` default to the process-wide ones.
  SocketServer(ConnectedDevices& devices, MessageQueue& queue);
  ~SocketServer();

  // Starts the core with one IO thread, registers the handlers, starts
  // ProcessLoop and listens on ip:port. A taken port is tried again with
  // back-off until it is free, so this returns only once listening, or false
  // when Stop() ended the wait.
  bool Start(const std::string& ip, uint16_t port);
  // Blocks until the core's threads end (in the program: never).
  void Join();
  // Ends ProcessLoop and the core (tests).
  void Stop();

  void ConnectFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err);
  void ReadFunc(std::shared_ptr<netcore::NetSocket> socket, std::shared_ptr<netcore::Buffer> buffer, uint32_t len);
  void WriteFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t len);
  void DisConnectionFunc(std::shared_ptr<netcore::NetSocket> socket, uint32_t err);

  // One pass: answers the oldest queued message of every client, in arrival
  // order, one write each. Returns the number of messages handled.
  size_t ProcessPass();

  static constexpr std::chrono::milliseconds kPassInterval{500};
  // Connections beyond this are closed as they arrive: with the core's 4 MiB
  // output limit it bounds what clients that never read can hold.
  static constexpr size_t kMaxClients = 256;

 private:
  void ProcessLoop();
  bool ListenWithRetry(const std::string& ip, uint16_t port);
  // Waits up to `delay`; true when Stop() was called.
  bool WaitForStop(std::chrono::milliseconds delay);

  // After connections ended, the memory they freed goes back to the system
  // at the end of the next pass.
  void ReleaseFreedMemory();

  ConnectedDevices& devices_;
  MessageQueue& queue_;
  bool at_client_limit_ = false;  // IO thread only
  std::atomic<bool> memory_freed_{false};
  std::shared_ptr<netcore::NetCoreBase> core_;
  std::thread process_thread_;
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  const bool debug_lines_;
};

// The pause before listen attempt `attempt` + 1: doubling from 100 ms to at
// most 2 s, so the agent serves within about 2 s of its port becoming free.
std::chrono::milliseconds ListenRetryDelay(uint32_t attempt);

// Thread entry started by the agent's window: serves 127.0.0.1 on
// names::AgentPort() for the life of the process.
void SocketServerLoop();

}  // namespace vantrel::agent
