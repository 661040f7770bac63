// Windows transport: message-mode named pipes, one instance per client.
#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>
#include <stdexcept>

#include "common/diag_log.h"
#include "common/pipe_transport.h"
#include "common/pipe_transport_internal.h"
#include "common/win32_errors.h"

namespace vantrel::pipe {
namespace {

// Guests full access, anonymous logons denied, authenticated users read/write/
// execute, administrators full access.
constexpr wchar_t kPipeSddl[] = L"D:(A;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)";

std::wstring FullPipeName(const std::wstring& base_name) { return L"\\\\.\\pipe\\" + base_name; }

// Size of each message-mode read; the message buffer starts at this capacity.
constexpr uint32_t kChunkSize = 512;

using ChunkReader = std::function<uint32_t(void* buffer, uint32_t capacity, uint32_t* bytes_read)>;

// A message-mode pipe hands a message out in pieces, ERROR_MORE_DATA while it
// goes on; this puts one together. The buffer doubles only when the next
// piece might not fit (doubling on every piece would grow it exponentially
// with the length). A message past kMaxPipeMessage is refused, as the Linux
// transport carries none longer.
uint32_t AssembleMessage(const ChunkReader& read, std::vector<uint8_t>* message) {
  uint8_t chunk[kChunkSize];
  message->clear();
  if (message->capacity() < kChunkSize) message->reserve(kChunkSize);
  uint32_t err = win32::kErrorMoreData;
  while (err == win32::kErrorMoreData) {
    if (message->size() > kMaxPipeMessage) return win32::kErrorInvalidData;
    if (message->capacity() - message->size() < kChunkSize) message->reserve(message->capacity() * 2);
    uint32_t n = 0;
    err = read(chunk, kChunkSize, &n);
    if (err != win32::kErrorSuccess && err != win32::kErrorMoreData) return err;
    message->insert(message->end(), chunk, chunk + n);
  }
  return win32::kErrorSuccess;
}

// One server instance; owned by the connection that uses it.
struct PipeServerInstance {
  std::wstring full_name;
  DWORD open_mode = PIPE_ACCESS_DUPLEX;                              // 3
  DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;  // 6
  HANDLE handle = INVALID_HANDLE_VALUE;

  explicit PipeServerInstance(const std::wstring& base_name) {
    if (base_name.empty()) throw std::invalid_argument("pipe_name");
    full_name = FullPipeName(base_name);
    // The conversion allocates and initialises the descriptor and builds its
    // DACL in one call; its failures keep the set-up texts of the three steps.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd, nullptr)) {
      const DWORD e = GetLastError();
      if (e == ERROR_NOT_ENOUGH_MEMORY || e == ERROR_OUTOFMEMORY) throw std::runtime_error("Allocation failed.");
      throw std::runtime_error("DACL creation failed.");
    }
    if (!IsValidSecurityDescriptor(sd)) {
      LocalFree(sd);
      throw std::runtime_error("SD initialization failed.");
    }
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), sd, TRUE};
    handle = CreateNamedPipeW(full_name.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, 512, 512, 1000,
                              &sa);
    const DWORD err = GetLastError();
    // The pipe keeps its own copy of the security; the descriptor is ours to release.
    LocalFree(sd);
    if (handle == INVALID_HANDLE_VALUE) {
      Log(kLogError, L"PipeServerInstance", full_name + L": CreateNamedPipeW error " + std::to_wstring(err));
      throw std::runtime_error("Named pipe creation failed.");
    }
  }
  ~PipeServerInstance() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  PipeServerInstance(const PipeServerInstance&) = delete;
  PipeServerInstance& operator=(const PipeServerInstance&) = delete;
};

class HandleChannel : public detail::ServerChannel {
 public:
  explicit HandleChannel(HANDLE h) : h_(h) {}
  uint32_t ReadMessage(std::vector<uint8_t>* message) override {
    return AssembleMessage(
        [this](void* buffer, uint32_t capacity, uint32_t* bytes_read) {
          DWORD n = 0;
          const BOOL ok = ReadFile(h_, buffer, capacity, &n, nullptr);
          *bytes_read = n;
          return ok ? win32::kErrorSuccess : static_cast<uint32_t>(GetLastError());
        },
        message);
  }
  uint32_t Write(std::span<const uint8_t> message) override {
    DWORD written = 0;
    if (!WriteFile(h_, message.data(), static_cast<DWORD>(message.size()), &written, nullptr)) return GetLastError();
    // A short write must not pass for success.
    return written == message.size() ? win32::kErrorSuccess : win32::kErrorGenFailure;
  }

 private:
  HANDLE h_;
};

struct ServerState {
  WorkerStarter start_worker = &StartDetachedThread;
  std::wstring base_name;
  std::vector<PipeCommandHandler> table;
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<bool> stopping{false};
  bool accepting = false;
  size_t workers = 0;
  uint32_t next_id = 0;  // touched by the accept thread only
  // PipeConnection table: connection id -> instance, the waiting one included.
  std::unordered_map<uint32_t, PipeServerInstance*> connections;
};

struct PipeConnection {
  uint32_t id;
  PipeServerInstance* instance;
  ServerState* server;
};

void EndConnection(ServerState* s, uint32_t id, PipeServerInstance* instance) {
  {
    // Out of the table before the handle closes: Stop() only touches handles in the table.
    std::lock_guard<std::mutex> g(s->lock);
    s->connections.erase(id);
  }
  DisconnectNamedPipe(instance->handle);
  delete instance;
}

DWORD WINAPI serve_pipe_connection(LPVOID param) {
  auto* connection = static_cast<PipeConnection*>(param);
  ServerState* s = connection->server;
  {
    HandleChannel channel(connection->instance->handle);
    detail::ServeConnection(channel, s->table, s->base_name, s->stopping);
  }
  EndConnection(s, connection->id, connection->instance);
  delete connection;
  std::lock_guard<std::mutex> g(s->lock);
  --s->workers;
  s->changed.notify_all();
  return 0;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left before `deadline` (INFINITE without one), 0 once it has passed.
DWORD MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(left);
}

DWORD WINAPI RunDetachedBody(LPVOID param) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(param));
  (*body)();
  return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE thread = CreateThread(nullptr, 0, RunDetachedBody, owned.get(), 0, nullptr);
  if (thread == nullptr) return false;
  owned.release();  // the thread owns it now
  CloseHandle(thread);
  return true;
}

struct PipeClient::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::optional<Clock::time_point> deadline;

  // The handle is opened for overlapped I/O so that every read and write can
  // be bounded by the deadline; without one they wait as a blocking call would.
  uint32_t Transfer(bool write, void* buffer, DWORD size, DWORD* done) {
    *done = 0;
    const DWORD wait = MillisecondsLeft(deadline);
    if (wait == 0) return win32::kErrorSemTimeout;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return GetLastError();
    const BOOL ok = write ? WriteFile(handle, buffer, size, nullptr, &ov) : ReadFile(handle, buffer, size, nullptr, &ov);
    uint32_t err = ok ? 0 : GetLastError();
    if (ok || err == ERROR_IO_PENDING || err == ERROR_MORE_DATA) {
      if (err == ERROR_IO_PENDING && WaitForSingleObject(ov.hEvent, wait) != WAIT_OBJECT_0) {
        CancelIoEx(handle, &ov);
      }
      // Also after a cancel: the operation must be over before `ov` and the buffer go away.
      err = GetOverlappedResult(handle, &ov, done, TRUE) ? 0 : GetLastError();
      if (err == ERROR_OPERATION_ABORTED) err = win32::kErrorSemTimeout;
    }
    CloseHandle(ov.hEvent);
    return err;
  }
};

PipeClient::PipeClient(const std::wstring& base_name) : impl_(std::make_unique<Impl>()) {
  if (base_name.empty()) throw std::invalid_argument("pipe_name");
  full_name_ = FullPipeName(base_name);
}

PipeClient::~PipeClient() { Close(); }

void PipeClient::SetDeadline(std::chrono::steady_clock::time_point deadline) { impl_->deadline = deadline; }

uint32_t PipeClient::Connect() {
  Close();
  for (;;) {
    if (MillisecondsLeft(impl_->deadline) == 0) return win32::kErrorSemTimeout;
    HANDLE h = CreateFileW(full_name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        return err;
      }
      impl_->handle = h;
      return win32::kErrorSuccess;
    }
    const DWORD err = GetLastError();
    if (err != ERROR_PIPE_BUSY) return err;
    const DWORD wait = MillisecondsLeft(impl_->deadline);
    if (wait == 0) return win32::kErrorSemTimeout;
    if (!WaitNamedPipeW(full_name_.c_str(), wait == INFINITE ? NMPWAIT_WAIT_FOREVER : wait)) return GetLastError();
  }
}

bool PipeClient::connected() const { return impl_->handle != INVALID_HANDLE_VALUE; }

uint32_t PipeClient::Write(std::span<const uint8_t> message) {
  if (!connected()) return win32::kErrorInvalidHandle;
  DWORD written = 0;
  const uint32_t err =
      impl_->Transfer(true, const_cast<uint8_t*>(message.data()), static_cast<DWORD>(message.size()), &written);
  if (err != 0) return err;
  return written == message.size() ? win32::kErrorSuccess : win32::kErrorGenFailure;
}

uint32_t PipeClient::ReadMessage(std::vector<uint8_t>* message) {
  message->clear();
  if (!connected()) return win32::kErrorInvalidHandle;
  return AssembleMessage(
      [this](void* buffer, uint32_t capacity, uint32_t* bytes_read) {
        DWORD n = 0;
        const uint32_t err = impl_->Transfer(false, buffer, capacity, &n);
        *bytes_read = n;
        return err;
      },
      message);
}

void PipeClient::Close() {
  if (impl_->handle != INVALID_HANDLE_VALUE) CloseHandle(impl_->handle);
  impl_->handle = INVALID_HANDLE_VALUE;
}

struct PipeServer::Impl {
  ServerState s;
};

PipeServer::PipeServer(std::wstring base_name, std::vector<PipeCommandHandler> table)
    : impl_(std::make_unique<Impl>()) {
  impl_->s.base_name = std::move(base_name);
  impl_->s.table = std::move(table);
}

PipeServer::~PipeServer() { Stop(); }

void PipeServer::Run() {
  static const wchar_t kFn[] = L"run_pipe_server";
  ServerState& s = impl_->s;
  if (s.base_name.empty()) throw std::invalid_argument("pipe_name");
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.stopping) return;
    s.accepting = true;
  }
  struct Done {
    ServerState& s;
    ~Done() {
      std::lock_guard<std::mutex> g(s.lock);
      s.accepting = false;
      s.changed.notify_all();
    }
  } done{s};
  // A connection whose worker could not start is disconnected at once, but
  // its instance closes only after the next one exists: the pipe's name never
  // vanishes in between (a client would see "file not found").
  struct Unserved {
    ServerState& s;
    uint32_t id = 0;
    PipeServerInstance* instance = nullptr;
    void End() {
      if (instance != nullptr) EndConnection(&s, id, instance);
      instance = nullptr;
    }
    ~Unserved() { End(); }
  } unserved{s};

  // The next listening instance, made before a connection's worker starts:
  // a worker that ends at once closes its instance, and were that the only
  // one, the pipe's name would vanish until the loop made another.
  std::unique_ptr<PipeServerInstance> next;
  for (;;) {
    {
      // At the instance limit CreateNamedPipeW would fail: wait for a connection to end.
      std::unique_lock<std::mutex> g(s.lock);
      s.changed.wait(g, [&s] { return s.stopping || s.workers < kMaxPipeInstances; });
    }
    if (s.stopping) return;
    auto instance = next ? std::move(next) : std::make_unique<PipeServerInstance>(s.base_name);
    const uint32_t id = s.next_id++;
    {
      std::lock_guard<std::mutex> g(s.lock);
      s.connections[id] = instance.get();
    }
    unserved.End();
    const BOOL ok = ConnectNamedPipe(instance->handle, nullptr);
    const DWORD err = ok ? 0 : GetLastError();
    const bool connected = ok || err == ERROR_PIPE_CONNECTED;
    if (!connected || s.stopping) {
      EndConnection(&s, id, instance.release());
      if (!connected) Log(kLogError, kFn, s.base_name + L": ConnectNamedPipe error " + std::to_wstring(err));
      return;
    }
    auto* connection = new PipeConnection{id, instance.get(), &s};
    bool room = false;
    {
      std::lock_guard<std::mutex> g(s.lock);
      ++s.workers;
      room = s.workers < kMaxPipeInstances;
    }
    if (room) {
      try {
        next = std::make_unique<PipeServerInstance>(s.base_name);
      } catch (...) {
        next.reset();  // made at the top of the loop instead, failing there as it always did
      }
    }
    if (!s.start_worker([connection] { serve_pipe_connection(connection); })) {
      // Only this connection ends; the pipe keeps serving everyone else.
      delete connection;
      DisconnectNamedPipe(instance->handle);
      unserved.id = id;
      unserved.instance = instance.release();
      {
        std::lock_guard<std::mutex> g(s.lock);
        --s.workers;
        s.changed.notify_all();
      }
      Log(kLogError, kFn, s.base_name + L": CreateThread failed; the connection was closed");
      continue;
    }
    instance.release();  // the worker owns it now
  }
}

void PipeServer::SetWorkerStarter(WorkerStarter starter) { impl_->s.start_worker = std::move(starter); }

void PipeServer::Stop() {
  ServerState& s = impl_->s;
  std::unique_lock<std::mutex> g(s.lock);
  s.stopping = true;
  s.changed.notify_all();  // an accept loop waiting for a free instance
  const std::wstring full_name = FullPipeName(s.base_name);
  // A blocking ConnectNamedPipe or ReadFile has no stop signal of its own:
  // cancel pending I/O on every instance and complete the waiting instance's
  // ConnectNamedPipe with a throwaway client, until the accept loop has ended
  // and every worker has left. Repeated, since a worker busy in a handler
  // only blocks again afterwards (it checks `stopping` before each read).
  while (s.accepting || s.workers != 0) {
    for (const auto& [id, instance] : s.connections) CancelIoEx(instance->handle, nullptr);
    const bool poke = s.accepting;
    g.unlock();
    if (poke && !s.base_name.empty()) {
      HANDLE h = CreateFileW(full_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    g.lock();
    s.changed.wait_for(g, std::chrono::milliseconds(20),
                       [&s] { return !s.accepting && s.workers == 0; });
  }
}

size_t PipeServer::live_connections() const {
  std::lock_guard<std::mutex> g(impl_->s.lock);
  return impl_->s.workers;
}

}  // namespace vantrel::pipe
