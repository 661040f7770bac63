// Linux transport: AF_UNIX SOCK_SEQPACKET sockets, which keep message
// boundaries like a message-mode pipe. Chunked message-mode reads are
// emulated over whole-message receives.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/diag_log.h"
#include "common/paths.h"
#include "common/pipe_transport.h"
#include "common/pipe_transport_internal.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::pipe {
namespace {

constexpr uint32_t kErrorPathNotFound = 3;

uint32_t ErrnoToWin32(int e) {
  switch (e) {
    case 0: return win32::kErrorSuccess;
    case ENOENT:
    case ECONNREFUSED:  // a socket file nobody listens on: no server runs
      return win32::kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return win32::kErrorAccessDenied;
    case EBADF: return win32::kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS: return win32::kErrorNotEnoughMemory;
    case EPIPE:
    case ECONNRESET: return win32::kErrorBrokenPipe;
    case ENOTCONN: return win32::kErrorPipeNotConnected;
    case ENAMETOOLONG: return win32::kErrorBadPathname;
    case EMSGSIZE:
    case EINVAL: return win32::kErrorInvalidParameter;
    case EAGAIN: return win32::kErrorPipeBusy;
    default: return win32::kErrorGenFailure;
  }
}

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReplyWriteTimeout{5};
using Deadline = std::optional<Clock::time_point>;

// Bounds the next blocking call on `fd` (SO_RCVTIMEO or SO_SNDTIMEO; the
// latter also bounds connect) by what is left of `deadline`. False when it
// has passed. A zero timeval would mean "no limit", so at least 1 us is set.
bool ArmTimeout(int fd, int option, const Deadline& deadline) {
  if (!deadline) return true;
  const auto left = std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return false;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// With a deadline armed, EAGAIN from a blocking call means it ran out.
uint32_t ErrnoOrTimeout(int e, const Deadline& deadline) {
  if (deadline && (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS)) return win32::kErrorSemTimeout;
  return ErrnoToWin32(e);
}

std::string SocketDir() { return paths::RuntimeDir() + "/pipe"; }
std::string SocketPath(const std::wstring& base_name) { return SocketDir() + "/" + text::ToUtf8(base_name); }

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A SOCK_SEQPACKET send fails with EMSGSIZE unless the whole message fits the
// sender's buffer, so a send that fails so raises it to hold the largest
// message and tries again. Without
// CAP_NET_ADMIN the kernel caps SO_SNDBUF at net.core.wmem_max; messages over
// that cap fail cleanly at send time rather than arriving cut.
void RaiseSendBuffer(int fd) {
  const int want = static_cast<int>(kMaxPipeMessage + 64 * 1024);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
  }
}

// One recvmsg into `buffer`, retried when interrupted; the message flags
// (MSG_TRUNC for a message longer than `size`) go to *flags.
ssize_t ReceiveInto(int fd, void* buffer, size_t size, int* flags) {
  for (;;) {
    iovec iov{buffer, size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t got = recvmsg(fd, &msg, 0);
    if (got < 0 && errno == EINTR) continue;
    *flags = msg.msg_flags;
    return got;
  }
}

// One end of a connected seqpacket socket: each receive takes one message whole.
class SeqpacketEnd : public detail::ServerChannel {
 public:
  explicit SeqpacketEnd(int fd) : fd_(fd) {}

  uint32_t ReadMessage(std::vector<uint8_t>* message) override {
    message->clear();
    if (fd_ < 0) return win32::kErrorInvalidHandle;
    for (;;) {
      if (!ArmTimeout(fd_, SO_RCVTIMEO, deadline_)) return win32::kErrorSemTimeout;
      // The next message's full length, without taking it.
      const ssize_t len = recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
      if (len < 0) {
        if (errno == EINTR) continue;
        return ErrnoOrTimeout(errno, deadline_);
      }
      // End of stream (or an empty message, which no sender produces).
      if (len == 0) return win32::kErrorBrokenPipe;
      if (static_cast<size_t>(len) > kMaxPipeMessage) return win32::kErrorInvalidData;
      message->resize(static_cast<size_t>(len));
      int flags = 0;
      const ssize_t got = ReceiveInto(fd_, message->data(), message->size(), &flags);
      if (got < 0) {
        message->clear();
        return ErrnoToWin32(errno);
      }
      // Never hand out a cut message as if it were whole.
      if ((flags & MSG_TRUNC) != 0 || static_cast<size_t>(got) != message->size()) {
        message->clear();
        return win32::kErrorInvalidData;
      }
      return win32::kErrorSuccess;
    }
  }

  uint32_t Write(std::span<const uint8_t> message) override {
    if (fd_ < 0) return win32::kErrorInvalidHandle;
    // Beyond the largest message the send could fail or need buffers no one
    // configured; refuse it up front with a plain error rather than try.
    if (message.size() > kMaxPipeMessage) return win32::kErrorInvalidParameter;
    bool raised = false;
    for (;;) {
      if (!ArmTimeout(fd_, SO_SNDTIMEO, deadline_)) return win32::kErrorSemTimeout;
      const ssize_t n = send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
      if (n >= 0) {
        // Seqpacket sends are all or nothing; anything else is a fault, not a success.
        return static_cast<size_t>(n) == message.size() ? win32::kErrorSuccess : win32::kErrorGenFailure;
      }
      if (errno == EINTR) continue;
      // Most messages fit the default buffer; only one that does not pays
      // for raising it, once.
      if (errno == EMSGSIZE && !raised) {
        RaiseSendBuffer(fd_);
        raised = true;
        continue;
      }
      return ErrnoOrTimeout(errno, deadline_);
    }
  }

  int fd() const { return fd_; }
  void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
  const Deadline& deadline() const { return deadline_; }
  // A new descriptor; the deadline stays.
  void Reset(int fd) { fd_ = fd; }

 private:
  int fd_;
  Deadline deadline_;
};

// Server state; lives as long as the PipeServer.
struct ServerState {
  std::wstring base_name;
  std::vector<PipeCommandHandler> table;
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<bool> stopping{false};
  bool accepting = false;
  size_t workers = 0;
  uint32_t next_id = 0;
  int wake_fd = -1;  // eventfd: Stop() and a leaving worker wake the accept loop through it
  WorkerStarter start_worker = &StartDetachedThread;
  Clock::time_point last_start_failure_log{};
  // PipeConnection table: connection id -> connected socket.
  std::unordered_map<uint32_t, int> connections;
};

void ServeConnectionThread(ServerState* s, uint32_t id, int fd) {
  {
    SeqpacketEnd channel(fd);
    detail::ServeConnection(channel, s->table, s->base_name, s->stopping);
  }
  {
    // Leave the table before closing, so Stop() never shuts down a reused descriptor.
    std::lock_guard<std::mutex> g(s->lock);
    s->connections.erase(id);
  }
  close(fd);
  std::lock_guard<std::mutex> g(s->lock);
  // A full server waits for this slot (see Run).
  if (s->workers-- == kMaxPipeInstances && s->wake_fd >= 0) {
    const uint64_t one = 1;
    (void)!write(s->wake_fd, &one, sizeof one);
  }
  s->changed.notify_all();
}

// Ends a connection whose worker could not start; the server goes on. Logged
// at most once a second, so a client flood at a thread limit cannot fill the log.
void DropUnservedConnection(ServerState& s, uint32_t id, int fd) {
  static const wchar_t kFn[] = L"run_pipe_server";
  bool log = false;
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.connections.erase(id);
    --s.workers;
    const auto now = Clock::now();
    if (now - s.last_start_failure_log >= std::chrono::seconds(1)) {
      s.last_start_failure_log = now;
      log = true;
    }
    s.changed.notify_all();
  }
  close(fd);
  if (log) Log(kLogError, kFn, s.base_name + L": CreateThread failed; the connection was closed");
}

// Creates <runtime dir>/pipe (0755) and binds a listening socket at `path`
// (0666). A socket file left behind by a dead server is replaced; one with a
// live server behind it is not taken over.
int Listen(const std::string& path, ino_t* inode) {
  static const wchar_t kFn[] = L"PipeServerInstance";
  const std::string dir = SocketDir();
  struct stat st {};
  const bool had_dir = stat(dir.c_str(), &st) == 0;
  if (!paths::MakeDirs(text::FromUtf8(dir))) {
    Log(kLogError, kFn, L"cannot create " + text::FromUtf8(dir));
    return -1;
  }
  if (!had_dir) chmod(dir.c_str(), 0755);

  sockaddr_un addr{};
  if (!FillAddress(path, &addr)) {
    Log(kLogError, kFn, L"socket path too long: " + text::FromUtf8(path));
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EADDRINUSE) {
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const int probe_errno = errno;
    if (probe >= 0) close(probe);
    if (!live && probe_errno == ECONNREFUSED && lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      unlink(path.c_str());
      rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else if (live) {
      Log(kLogError, kFn, L"another server already listens on " + text::FromUtf8(path));
    }
  }
  if (rc != 0 || chmod(path.c_str(), 0666) != 0 || listen(fd, SOMAXCONN) != 0 || stat(path.c_str(), &st) != 0) {
    Log(kLogError, kFn, L"cannot listen on " + text::FromUtf8(path) + L": " + detail::Widen(strerror(errno)));
    close(fd);
    return -1;
  }
  *inode = st.st_ino;
  return fd;
}

}  // namespace

struct PipeClient::Impl {
  std::string path;
  SeqpacketEnd end{-1};
};

PipeClient::PipeClient(const std::wstring& base_name) : impl_(std::make_unique<Impl>()) {
  if (base_name.empty()) throw std::invalid_argument("pipe_name");
  impl_->path = SocketPath(base_name);
  full_name_ = text::FromUtf8(impl_->path);
}

PipeClient::~PipeClient() { Close(); }

uint32_t PipeClient::Connect() {
  Close();
  sockaddr_un addr{};
  if (!FillAddress(impl_->path, &addr)) return win32::kErrorBadPathname;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrnoToWin32(errno);
  // A full backlog makes a blocking connect wait, as a client waits while all
  // pipe instances are busy; SO_SNDTIMEO bounds that wait by the deadline.
  const Deadline& deadline = impl_->end.deadline();
  for (;;) {
    if (!ArmTimeout(fd, SO_SNDTIMEO, deadline)) {
      close(fd);
      return win32::kErrorSemTimeout;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno == EINTR) continue;
    const uint32_t err = ErrnoOrTimeout(errno, deadline);
    close(fd);
    return err;
  }
  impl_->end.Reset(fd);
  return win32::kErrorSuccess;
}

void PipeClient::SetDeadline(std::chrono::steady_clock::time_point deadline) { impl_->end.SetDeadline(deadline); }

bool PipeClient::connected() const { return impl_->end.fd() >= 0; }

uint32_t PipeClient::Write(std::span<const uint8_t> message) { return impl_->end.Write(message); }

uint32_t PipeClient::ReadMessage(std::vector<uint8_t>* message) { return impl_->end.ReadMessage(message); }

void PipeClient::Close() {
  if (impl_->end.fd() >= 0) close(impl_->end.fd());
  impl_->end.Reset(-1);
}

struct PipeServer::Impl {
  ServerState s;
};

PipeServer::PipeServer(std::wstring base_name, std::vector<PipeCommandHandler> table)
    : impl_(std::make_unique<Impl>()) {
  impl_->s.base_name = std::move(base_name);
  impl_->s.table = std::move(table);
  impl_->s.wake_fd = eventfd(0, EFD_CLOEXEC);
}

PipeServer::~PipeServer() {
  Stop();
  if (impl_->s.wake_fd >= 0) close(impl_->s.wake_fd);
}

void PipeServer::Run() {
  static const wchar_t kFn[] = L"run_pipe_server";
  ServerState& s = impl_->s;
  if (s.base_name.empty()) throw std::invalid_argument("pipe_name");
  if (s.wake_fd < 0) throw std::runtime_error("Allocation failed.");
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.stopping) return;
    s.accepting = true;
  }
  ino_t inode = 0;
  const std::string path = SocketPath(s.base_name);
  const int listen_fd = Listen(path, &inode);
  struct Done {
    ServerState& s;
    int fd;
    const std::string& path;
    ino_t inode;
    ~Done() {
      if (fd >= 0) {
        // Remove the socket file only while it is still ours.
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_ino == inode) unlink(path.c_str());
        close(fd);
      }
      std::lock_guard<std::mutex> g(s.lock);
      s.accepting = false;
      s.changed.notify_all();
    }
  } done{s, listen_fd, path, inode};
  if (listen_fd < 0) throw std::runtime_error("Named pipe creation failed.");

  for (;;) {
    bool full;
    {
      std::lock_guard<std::mutex> g(s.lock);
      full = s.workers >= kMaxPipeInstances;
    }
    // While full, clients stay in the listen backlog (then in connect) and are
    // taken when a worker leaves: they wait, as for a busy Windows pipe.
    pollfd fds[2] = {{listen_fd, static_cast<short>(full ? 0 : POLLIN), 0}, {s.wake_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log(kLogError, kFn, L"poll failed: " + detail::Widen(strerror(errno)));
      return;
    }
    if (s.stopping) return;
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      (void)!read(s.wake_fd, &count, sizeof count);
      continue;
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // A client that gave up before being accepted is no server failure.
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EPROTO) continue;
      Log(kLogError, kFn, s.base_name + L": accept failed: " + detail::Widen(strerror(errno)));
      return;
    }
    // A client that sends requests and never reads the replies would hold its
    // worker in send() for good; a reply that cannot be handed over within
    // this time ends the connection instead.
    const timeval reply_limit{static_cast<time_t>(kReplyWriteTimeout.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &reply_limit, sizeof reply_limit);
    uint32_t id;
    {
      std::lock_guard<std::mutex> g(s.lock);
      if (s.stopping) {
        close(fd);
        return;
      }
      id = s.next_id++;
      s.connections[id] = fd;
      ++s.workers;
    }
    // Without a worker only this connection ends: the socket file and the
    // accept loop stay for every other client.
    if (!s.start_worker([&s, id, fd] { ServeConnectionThread(&s, id, fd); })) DropUnservedConnection(s, id, fd);
  }
}

void PipeServer::SetWorkerStarter(WorkerStarter starter) { impl_->s.start_worker = std::move(starter); }

bool StartDetachedThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void PipeServer::Stop() {
  ServerState& s = impl_->s;
  std::unique_lock<std::mutex> g(s.lock);
  s.stopping = true;
  if (s.wake_fd >= 0) {
    const uint64_t one = 1;
    (void)!write(s.wake_fd, &one, sizeof one);
  }
  // Ends each worker's pending or next receive; its socket is closed by the worker.
  for (const auto& [id, fd] : s.connections) shutdown(fd, SHUT_RDWR);
  s.changed.wait(g, [&s] { return !s.accepting && s.workers == 0; });
}

size_t PipeServer::live_connections() const {
  std::lock_guard<std::mutex> g(impl_->s.lock);
  return impl_->s.workers;
}

}  // namespace vantrel::pipe
