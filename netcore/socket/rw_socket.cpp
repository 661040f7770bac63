#include "netcore/socket/rw_socket.h"

#include <algorithm>
#include <string>

#include "netcore/event/event_actions.h"
#include "netcore/log/logger.h"
#include "netcore/socket/socket_map.h"

namespace netcore {

RWSocket::RWSocket(SocketHandle handle, std::shared_ptr<AlloterWrap> alloter)
    : Socket(handle, std::move(alloter)) {
  block_pool_ = alloter_->PoolNewSharePtr<BlockMemoryPool>(kBlockSize, 1u, kPoolFreeBlocks);
  recv_buffer_ = alloter_->PoolNewSharePtr<BufferQueue>(block_pool_, alloter_);
  send_buffer_ = alloter_->PoolNewSharePtr<BufferQueue>(block_pool_, alloter_);
  iov_.reserve(80);
  send_iov_.reserve(kMaxSendPerCall / kBlockSize + 2);
}

RWSocket::~RWSocket() {
  if (const uint32_t id = timer_id_.exchange(0); id != 0) {
    if (auto l = loop_.lock()) l->StopTimer(id);
  }
  alloter_->PoolDelete(event_);
  // Only sockets still open when their IO thread ends get here unclosed.
  CloseHandle();
}

bool RWSocket::GetAddress(std::string& ip, uint16_t& port) {
  ip = ip_;
  port = port_;
  return true;
}

void RWSocket::SetAddress(const std::string& ip, uint16_t port, bool ipv6) {
  family_ = ipv6 ? 2 : 1;
  ip_ = (ipv6 && ip.find(':') == std::string::npos) ? "::FFFF:" + ip : ip;
  port_ = port;
}

void RWSocket::EnsureEvent() {
  if (event_ == nullptr) event_ = alloter_->PoolNew<Event>(weak_from_this());
}

bool RWSocket::Recv() {
  EnsureEvent();
  auto a = Actions();
  return a && a->AddRecvEvent(event_);
}

std::shared_ptr<SocketLoop> RWSocket::Admit(uint32_t len) {
  if (shutdown_.load()) return nullptr;
  auto d = loop_.lock();
  if (!d || !Reserve(len)) return nullptr;
  return d;
}

bool RWSocket::Reserve(uint32_t len) {
  // The limit counts bytes still travelling to the IO thread as well, so a
  // burst from other threads cannot overshoot it. The queue counts its bytes
  // in 32 bits: a write that would take it past that is refused rather than
  // wrapping the count.
  uint64_t cur = send_pending_.load();
  do {
    if (cur > kMaxSendQueue || cur + len > UINT32_MAX) return false;
  } while (!send_pending_.compare_exchange_weak(cur, cur + len));
  return true;
}

bool RWSocket::Write(const char* src, uint32_t len) {
  if (len == 0) return true;  // nothing to queue, nothing to report
  if (src == nullptr) return false;
  auto d = Admit(len);
  if (!d) return false;
  if (d->OnLoopThread()) return WriteOnLoop(src, len);
  d->PostTask([self = Self(), data = std::string(src, len)] {
    self->WriteOnLoop(data.data(), static_cast<uint32_t>(data.size()));
  });
  return true;
}

bool RWSocket::Write(std::string&& bytes) {
  if (bytes.empty()) return true;
  if (bytes.size() > UINT32_MAX) return false;
  const auto len = static_cast<uint32_t>(bytes.size());
  auto d = Admit(len);
  if (!d) return false;
  if (d->OnLoopThread()) return WriteOnLoop(bytes.data(), len);
  d->PostTask([self = Self(), data = std::move(bytes)] {
    self->WriteOnLoop(data.data(), static_cast<uint32_t>(data.size()));
  });
  return true;
}

namespace {

// The caller's bytes, as one record at a time.
struct RunSource {
  const char* at;
  void Fill(std::vector<Iovec>& out, uint32_t max) { out.push_back({const_cast<char*>(at), max}); }
  void Consume(uint32_t n) { at += n; }
  void QueueRest(InnerBuffer& queue, uint32_t rest) { queue.Write(at, rest); }
};

// The front of an application's buffer, as its blocks.
struct BufferSource {
  Buffer& from;
  std::vector<Iovec>& scratch;
  void Fill(std::vector<Iovec>& out, uint32_t max) { from.GetUseMemoryBlock(out, max); }
  void Consume(uint32_t n) { from.MoveReadPt(n); }
  void QueueRest(InnerBuffer& queue, uint32_t rest) {
    scratch.clear();
    from.GetUseMemoryBlock(scratch, rest);
    for (const Iovec& r : scratch) queue.Write(static_cast<const char*>(r.iov_base), static_cast<uint32_t>(r.iov_len));
    from.MoveReadPt(rest);
  }
};

}  // namespace

bool RWSocket::Write(Buffer& from, uint32_t len) {
  len = std::min(len, from.GetCanReadLength());
  if (len == 0) return true;
  auto d = loop_.lock();
  // Off the IO thread, or behind bytes already queued, they travel as a copy.
  if (!d || !d->OnLoopThread() || connecting_ || send_buffer_->GetCanReadLength() > 0) {
    return NetSocket::Write(from, len);
  }
  // On the IO thread: an ended connection or a full queue drops the bytes.
  if (shutdown_.load() || handle_closed_ || !Reserve(len)) {
    from.MoveReadPt(len);
    return false;
  }
  EnsureEvent();
  BufferSource src{from, send_iov_};
  return SendDirect(src, len);
}

bool RWSocket::WriteOnLoop(const char* src, uint32_t len) {
  // A connection that ended meanwhile: its handle is closed and its number
  // may belong to someone else now, so the bytes are dropped untouched.
  if (shutdown_.load() || handle_closed_) {
    send_pending_ -= len;
    return false;
  }
  EnsureEvent();
  if (!connecting_ && send_buffer_->GetCanReadLength() == 0) {
    RunSource run{src};
    return SendDirect(run, len);
  }
  send_buffer_->Write(src, len);
  if (connecting_) return true;  // sent once the connection is up
  auto a = Actions();
  return a && a->AddSendEvent(event_);
}

// With nothing queued the kernel takes the bytes straight from where they
// are; only what it does not take now is copied into the send queue.
template <class Source>
bool RWSocket::SendDirect(Source& src, uint32_t len) {
  uint32_t sent = 0;
  while (sent < len) {
    send_iov_.clear();
    src.Fill(send_iov_, std::min(len - sent, kMaxSendPerCall));
    const int64_t n = os::WriteV(handle_, send_iov_.data(), static_cast<int>(send_iov_.size()));
    if (n <= 0) {
      const int err = n == 0 ? 0 : os::LastError();
      src.QueueRest(*send_buffer_, len - sent);
      if (n == 0 || os::IsWouldBlock(err) || os::IsInterrupted(err)) {
        // As with a queued write, the report comes from the pass that drains the queue.
        auto a = Actions();
        return a && a->AddSendEvent(event_);
      }
      OnDisConnect(os::IsConnReset(err) ? 2 : 1);
      return false;
    }
    src.Consume(static_cast<uint32_t>(n));
    send_pending_ -= static_cast<uint64_t>(n);
    sent += static_cast<uint32_t>(n);
  }
  if (auto h = handlers_.lock(); h && h->write) h->write(Self(), len);
  return true;
}

bool RWSocket::SendPass() {
  auto a = Actions();
  uint32_t total = 0;
  while (send_buffer_->GetCanReadLength() > 0) {
    iov_.clear();
    send_buffer_->GetUseMemoryBlock(iov_, kMaxSendPerCall);
    const int64_t n = os::WriteV(handle_, iov_.data(), static_cast<int>(iov_.size()));
    if (n <= 0) {
      const int err = n == 0 ? 0 : os::LastError();
      if (n == 0 || os::IsWouldBlock(err) || os::IsInterrupted(err)) {
        return a && a->AddSendEvent(event_);
      }
      OnDisConnect(os::IsConnReset(err) ? 2 : 1);
      return false;
    }
    send_buffer_->MoveReadPt(static_cast<uint32_t>(n));
    send_pending_ -= static_cast<uint64_t>(n);
    total += static_cast<uint32_t>(n);
  }
  if (a) a->RemoveSendEvent(event_);
  if (auto h = handlers_.lock(); h && h->write) h->write(Self(), total);
  return true;
}

void RWSocket::Close() {
  if (shutdown_.load()) return;
  auto d = loop_.lock();
  if (!d) return;
  d->RunOnLoop([self = Self()] { self->CloseOnLoop(); });
}

void RWSocket::CloseOnLoop() {
  if (shutdown_.load()) return;
  EnsureEvent();
  if (auto a = Actions()) {
    a->AddDisconnection(event_);
  } else {
    OnDisConnect(0);
    CloseHandle();
  }
  StopTimer();
}

void RWSocket::AddTimer(uint32_t interval, bool always) {
  auto d = loop_.lock();
  if (!d) return;
  const uint32_t id = d->AddSocketTimer(interval, always, weak_from_this());
  if (const uint32_t old = timer_id_.exchange(id); old != 0) d->StopTimer(old);
}

void RWSocket::StopTimer() {
  const uint32_t id = timer_id_.exchange(0);
  if (id == 0) return;
  if (auto l = loop_.lock()) l->StopTimer(id);
}

void RWSocket::OnTimer() {
  if (auto h = handlers_.lock(); h && h->timer) h->timer(Self());
}

void RWSocket::CallReadHandler(uint32_t total) {
  if (auto h = handlers_.lock(); h && h->read) h->read(Self(), recv_buffer_, total);
}

namespace {

// Cuts the scatter records to at most `limit` bytes; returns what they offer.
uint32_t ClipIovec(std::vector<Iovec>& iov, uint32_t limit) {
  uint64_t offered = 0;
  size_t keep = 0;
  for (; keep < iov.size() && offered < limit; ++keep) {
    const uint64_t room = limit - offered;
    if (iov[keep].iov_len > room) iov[keep].iov_len = static_cast<size_t>(room);
    offered += iov[keep].iov_len;
  }
  iov.resize(keep);
  return static_cast<uint32_t>(offered);
}

}  // namespace

void RWSocket::OnRead() {
  if (shutdown_.load() || handle_closed_) return;
  auto self = Self();
  const uint32_t queued = recv_buffer_->GetCanReadLength();
  if (queued >= kMaxRecvQueue) {
    NETCORE_LOG_ERROR("receive queue full, connection ended. sock: %d, queued: %u", static_cast<int>(handle_),
                      queued);
    OnDisConnect(CEC_READ_FAILED);
    return;
  }
  const uint32_t budget = std::min(kReadBudgetPerPass, kMaxRecvQueue - queued);
  uint32_t size = std::clamp(last_read_ * 2, kMinReadSize, kMaxReadSize);
  uint32_t wanted = size;
  uint32_t total = 0;
  while (total < budget) {
    iov_.clear();
    recv_buffer_->GetFreeMemoryBlock(iov_, std::min(wanted, budget - total));
    const uint32_t offered = ClipIovec(iov_, budget - total);
    const int64_t n = os::ReadV(handle_, iov_.data(), static_cast<int>(iov_.size()));
    if (n < 0) {
      const int err = os::LastError();
      recv_buffer_->MoveWritePt(0);  // hands unused blocks back
      if (os::IsWouldBlock(err) || os::IsInterrupted(err)) break;
      // Bytes read earlier in this pass are still delivered.
      if (total > 0) CallReadHandler(total);
      OnDisConnect(2);
      return;
    }
    if (n == 0) {
      recv_buffer_->MoveWritePt(0);  // hands unused blocks back
      if (total > 0) CallReadHandler(total);
      OnDisConnect(1);
      return;
    }
    recv_buffer_->MoveWritePt(static_cast<uint32_t>(n));
    total += static_cast<uint32_t>(n);
    if (static_cast<uint32_t>(n) < offered) break;
    if (size < kMaxReadSize) size *= 2;
    wanted = size;
  }
  last_read_ = total;
  CallReadHandler(total);
}

void RWSocket::OnWrite() {
  if (shutdown_.load() || handle_closed_ || connecting_) return;
  SendPass();
}

bool RWSocket::StartConnect(bool ipv6, const std::string& ip, uint16_t port) {
  family_ = ipv6 ? 2 : 1;
  ip_ = ip;
  port_ = port;
  if (os::Connect(handle_, ipv6, ip, port) < 0) return false;
  connecting_ = true;
  EnsureEvent();
  auto a = Actions();
  return a && a->AddConnection(event_);
}

void RWSocket::OnConnect() {
  if (!connecting_) return;
  auto self = Self();
  connecting_ = false;
  auto a = Actions();
  if (a) a->RemoveSendEvent(event_);
  const int err = os::SocketError(handle_);
  auto handlers = handlers_.lock();
  auto& map = ThreadSocketMap();
  if (err != 0) {
    if (auto it = map.find(handle_); it != map.end() && it->second.get() == this) map.erase(it);
    SetShutdown();
    if (a) a->RemoveEvent(event_);
    CloseHandle();
    if (handlers && handlers->connect) handlers->connect(self, static_cast<uint32_t>(err));
    return;
  }
  if (handlers && handlers->connect) handlers->connect(self, 0);
  if (shutdown_.load()) return;
  Recv();
  if (send_buffer_->GetCanReadLength() > 0) SendPass();
}

void RWSocket::OnDisConnect(uint32_t err) {
  auto self = Self();  // the map may hold the last reference
  if (connecting_) {
    OnConnect();  // a failed connect reports through the connect handler
    return;
  }
  auto& map = ThreadSocketMap();
  if (auto it = map.find(handle_); it != map.end() && it->second.get() == this) map.erase(it);
  if (!SetShutdown()) {
    if (auto h = handlers_.lock(); h && h->disconnect) h->disconnect(self, err);
  }
  if (err != 0) {
    if (event_ != nullptr) {
      if (auto a = Actions()) a->RemoveEvent(event_);
    }
    CloseHandle();
  }
  send_buffer_->Clear();
}

}  // namespace netcore
