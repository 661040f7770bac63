// Named-pipe transport in message mode. Windows: \\.\pipe\NAME. Linux: an
// AF_UNIX SOCK_SEQPACKET socket at <runtime dir>/pipe/NAME (one send is one
// message, delivered whole; messages up to kMaxPipeMessage).
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/pipe_message.h"

namespace vantrel::pipe {

// Client end of one transaction. Desired access GENERIC_READ | GENERIC_WRITE.
class PipeClient {
 public:
  // Throws std::invalid_argument("pipe_name") for an empty base name.
  explicit PipeClient(const std::wstring& base_name);
  ~PipeClient();
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;

  // Bounds every later Connect, Write and read of this client: what is left
  // of the time bounds each blocking step, and once it has passed the step
  // fails with ERROR_SEM_TIMEOUT. Without one a client waits as long as the
  // server makes it.
  void SetDeadline(std::chrono::steady_clock::time_point deadline);

  // 0 or a Win32 error (ERROR_FILE_NOT_FOUND when no server runs); waits while
  // every instance is busy (up to the deadline, when one is set).
  uint32_t Connect();
  bool connected() const;
  // One message in one write; 0 or a Win32 error.
  uint32_t Write(std::span<const uint8_t> message);
  // The next whole message, at most kMaxPipeMessage bytes (a longer one
  // fails with ERROR_INVALID_DATA); 0 or a Win32 error.
  uint32_t ReadMessage(std::vector<uint8_t>* message);
  void Close();
  const std::wstring& full_name() const { return full_name_; }

 private:
  struct Impl;
  std::wstring full_name_;
  std::unique_ptr<Impl> impl_;
};

// Packs and writes one request; 0 or a Win32 error.
uint32_t send_pipe_message(PipeClient& pipe, uint16_t command, std::span<const PipeArg> args);
inline uint32_t send_pipe_message(PipeClient& pipe, uint16_t command, std::initializer_list<PipeArg> args) {
  return send_pipe_message(pipe, command, std::span<const PipeArg>(args.begin(), args.size()));
}

// Connect, send, read the whole reply, close. 0 or a Win32 error;
// ERROR_SEM_TIMEOUT when `timeout` (if given) passes first.
uint32_t PipeTransact(const std::wstring& base_name, uint16_t command, std::span<const PipeArg> args,
                      std::vector<uint8_t>* reply,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// Instances of one pipe that may be connected at once: Windows' limit
// (PIPE_UNLIMITED_INSTANCES), kept on Linux too. A client beyond it waits as
// for a busy pipe.
inline constexpr size_t kMaxPipeInstances = 255;

// Runs `body` on a new detached thread; false when no thread could be started.
using WorkerStarter = std::function<bool(std::function<void()> body)>;
bool StartDetachedThread(std::function<void()> body);

// One server: the accept loop on its own thread, one detached worker per client.
class PipeServer {
 public:
  PipeServer(std::wstring base_name, std::vector<PipeCommandHandler> table);
  ~PipeServer();
  // Replaces StartDetachedThread for this server's workers (tests force
  // failures through it). Call before Run().
  void SetWorkerStarter(WorkerStarter starter);
  // run_pipe_server: creates instances and accepts until Stop() or a failed accept.
  // Throws std::runtime_error with the set-up texts ("Named pipe creation failed." ...).
  void Run();
  // Ends the accept loop and waits for live connections to finish (tests, teardown).
  void Stop();
  size_t live_connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Convenience used by the programs: runs a PipeServer on the calling thread forever.
void run_pipe_server(const std::wstring& base_name, std::vector<PipeCommandHandler> table);

}  // namespace vantrel::pipe
