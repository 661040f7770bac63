// A blocking loopback TCP client and a recording core fixture for the
// network core's socket tests (Linux natively, Windows under Wine).
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netcore/netcore_base.h"
#include "netcore/os/socket_os.h"
#include "netcore/socket/rw_socket.h"
#include "netcore/thread/dispatcher.h"

namespace nctest {

#ifdef _WIN32
using RawSocket = SOCKET;
inline constexpr RawSocket kBad = INVALID_SOCKET;
inline void CloseRaw(RawSocket s) { closesocket(s); }
inline int PollRaw(RawSocket s, short events, int ms) {
  WSAPOLLFD p{s, events, 0};
  return WSAPoll(&p, 1, ms);
}
#else
using RawSocket = int;
inline constexpr RawSocket kBad = -1;
inline void CloseRaw(RawSocket s) { ::close(s); }
inline int PollRaw(RawSocket s, short events, int ms) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, ms);
}
#endif

inline void NetInit() { netcore::os::NetInit(); }

// A port that was free a moment ago.
inline uint16_t FreePort() {
  NetInit();
  RawSocket s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  CloseRaw(s);
  return ntohs(a.sin_port);
}

class Client {
 public:
  Client() = default;
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Retries until the listener is up (listening starts on the IO thread).
  bool Connect(uint16_t port, int rcvbuf = 0, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    NetInit();
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      s_ = ::socket(AF_INET, SOCK_STREAM, 0);
      if (rcvbuf > 0) {
        ::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof(rcvbuf));
      }
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
        int one = 1;
        ::setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
        return true;
      }
      CloseRaw(s_);
      s_ = kBad;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Widening the window after a stall lets the rest drain in large reads.
  void SetRcvBuf(int bytes) {
    ::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof(bytes));
  }

  bool Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const int n = ::send(s_, data.data() + done, static_cast<int>(data.size() - done), 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Up to `max` bytes that arrive within `ms`; empty on time-out or end.
  std::string RecvSome(size_t max, int ms) {
    if (PollRaw(s_, POLLIN, ms) <= 0) return {};
    std::string buf(max, '\0');
    const int n = ::recv(s_, buf.data(), static_cast<int>(max), 0);
    if (n <= 0) {
      eof_ = true;
      return {};
    }
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

  // Exactly n bytes, or fewer when `ms` passes without progress.
  std::string RecvExact(size_t n, int ms = 5000) {
    std::string out;
    while (out.size() < n) {
      std::string part = RecvSome(std::min<size_t>(n - out.size(), 1 << 20), ms);
      if (part.empty()) break;
      out += part;
    }
    return out;
  }

  // True when the peer's end arrives within `ms`.
  bool WaitEof(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!eof_ && std::chrono::steady_clock::now() < end) {
      if (PollRaw(s_, POLLIN, 50) > 0) {
        char b[4096];
        const int n = ::recv(s_, b, sizeof(b), 0);
        if (n <= 0) eof_ = true;
      }
    }
    return eof_;
  }

  // Closing with linger 0 sends a reset.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
    Close();
  }

  void Close() {
    if (s_ != kBad) CloseRaw(s_);
    s_ = kBad;
  }

 private:
  RawSocket s_ = kBad;
  bool eof_ = false;
};

struct Disconnect {
  uint64_t id;
  uint32_t code;
};

// A core with one IO thread whose handlers record what they see.
class RecordingCore {
 public:
  RecordingCore() : core_(std::make_shared<netcore::NetCoreBase>()) {
    core_->StartDispatchers(1);
    core_->SetAcceptHandler([this](std::shared_ptr<netcore::NetSocket> s, uint32_t err) {
      std::function<void(std::shared_ptr<netcore::NetSocket>)> hook;
      {
        std::lock_guard<std::mutex> l(m_);
        accepted_.push_back(s);
        accept_errors_ += err != 0;
        hook = on_accept;
        cv_.notify_all();
      }
      if (hook) hook(s);
    });
    core_->SetReadHandler([this](std::shared_ptr<netcore::NetSocket> s, std::shared_ptr<netcore::Buffer> b,
                                 uint32_t len) {
      if (on_input) return on_input(s, *b);
      const uint32_t queued = b->GetCanReadLength();
      std::string data;
      if (!keep_input) {
        data.resize(queued);
        b->Read(data.data(), static_cast<uint32_t>(data.size()));
      }
      std::function<void(std::shared_ptr<netcore::NetSocket>, const std::string&)> hook;
      {
        std::lock_guard<std::mutex> l(m_);
        ++read_calls_;
        read_lengths_ += len;
        max_read_length_ = std::max(max_read_length_, len);
        max_queued_ = std::max(max_queued_, queued);
        if (record_data) received_[s->GetSocket()] += data;
        hook = on_read;
        cv_.notify_all();
      }
      if (hook) hook(s, data);
    });
    core_->SetWriteHandler([this](std::shared_ptr<netcore::NetSocket>, uint32_t len) {
      std::lock_guard<std::mutex> l(m_);
      write_reports_.push_back(len);
      cv_.notify_all();
    });
    core_->SetDisconnectHandler([this](std::shared_ptr<netcore::NetSocket> s, uint32_t code) {
      std::lock_guard<std::mutex> l(m_);
      disconnects_.push_back({s->GetSocket(), code});
      cv_.notify_all();
    });
    port_ = FreePort();
    core_->ListenOn("127.0.0.1", port_);
  }

  ~RecordingCore() {
    core_->StopDispatchers();
    core_->JoinDispatchers();
  }

  template <typename Pred>
  bool WaitUntil(Pred pred, int ms = 5000) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return pred(); });
  }

  std::shared_ptr<netcore::NetSocket> Accepted(size_t i) {
    std::lock_guard<std::mutex> l(m_);
    return i < accepted_.size() ? accepted_[i] : nullptr;
  }
  std::shared_ptr<netcore::Dispatcher> Loop() { return core_->Dispatchers().at(0); }
  // Runs `fn` on the IO thread and waits for it.
  void OnLoop(std::function<void()> fn) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Loop()->PostTask([&] {
      fn();
      std::lock_guard<std::mutex> l(m);
      done = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return done; });
  }

  std::shared_ptr<netcore::NetCoreBase> core_;
  uint16_t port_ = 0;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::shared_ptr<netcore::NetSocket>> accepted_;
  int accept_errors_ = 0;
  int read_calls_ = 0;
  uint64_t read_lengths_ = 0;
  uint32_t max_read_length_ = 0;  // the largest single read pass
  uint32_t max_queued_ = 0;       // the most input a read handler was shown
  std::map<uint64_t, std::string> received_;
  std::vector<uint32_t> write_reports_;
  std::vector<Disconnect> disconnects_;
  // Set before connections arrive. With keep_input the read handler leaves
  // the input in the queue (an application that does not keep up).
  bool keep_input = false;
  bool record_data = true;  // false: count reads without keeping the bytes
  // Set before connections arrive; run on the IO thread.
  std::function<void(std::shared_ptr<netcore::NetSocket>)> on_accept;
  std::function<void(std::shared_ptr<netcore::NetSocket>, const std::string&)> on_read;
  // Takes the input queue itself in place of the recording above.
  std::function<void(std::shared_ptr<netcore::NetSocket>, netcore::Buffer&)> on_input;
};

}  // namespace nctest
