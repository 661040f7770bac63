#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "netcore/buffer/buffer_queue.h"
#include "netcore/event/event.h"
#include "netcore/socket/net_socket.h"
#include "netcore/socket/socket_base.h"

namespace netcore {

// A connected socket. All IO runs on its dispatcher's thread; Write and Close
// from other threads travel there through the task queue, so a send queue,
// its send pass and its epoll registration are only ever touched by one thread.
class RWSocket : public Socket, public NetSocket {
 public:
  static constexpr uint64_t kMaxSendQueue = 4194304;
  // One gather write hands the kernel up to this much; what it does not take
  // waits for write readiness.
  static constexpr uint32_t kMaxSendPerCall = 65536;
  // A read pass first offers twice what the last one took, at least a block:
  // one read then usually takes a whole message, a small request costs one
  // block and a 16 KiB one a single read rather than a doubling series.
  static constexpr uint32_t kMinReadSize = 4096;
  static constexpr uint32_t kMaxReadSize = 65536;
  // A buffer block holds a whole client message (at most 32,288 bytes), so a
  // request is read, and an echo or relay sent, as one record: a plain
  // recv/send rather than a scatter list, and a block or two taken from the
  // pool rather than eight pages. The pool keeps at most kPoolFreeBlocks free
  // (one full read pass and part of a reply), taken from the heap one at a
  // time, so an idle connection holds one block at most.
  static constexpr uint32_t kBlockSize = 32768;
  static constexpr uint32_t kPoolFreeBlocks = 3;
  // One read pass takes at most this much from a connection, so a peer that
  // streams without pause cannot hold the IO thread: level-triggered
  // readiness brings the rest in the next loop turn, after every other
  // ready connection had its turn.
  static constexpr uint32_t kReadBudgetPerPass = 65536;
  // Input the application has not consumed is held up to this bound (a
  // client message is at most 32,288 bytes; twice that leaves room for one
  // message and the start of the next). A peer whose input still sits at the
  // bound when more arrives is ended with CEC_READ_FAILED: the application is
  // not keeping up with it, and waiting would hold its memory for good.
  static constexpr uint32_t kMaxRecvQueue = 65536;

  RWSocket(SocketHandle handle, std::shared_ptr<AlloterWrap> alloter);
  ~RWSocket() override;

  // NetSocket
  uint64_t GetSocket() override { return handle_; }
  uint16_t GetListenPort() override { return listen_port_; }
  bool GetAddress(std::string& ip, uint16_t& port) override;
  bool Write(const char* src, uint32_t len) override;
  bool Write(std::string&& bytes) override;
  bool Write(Buffer& from, uint32_t len) override;
  void Close() override;
  void AddTimer(uint32_t interval, bool always = false) override;
  void StopTimer() override;
  void SetContext(void* context) override { context_.store(context); }
  void* GetContext() override { return context_.load(); }

  // Set up by the accepting or connecting dispatcher.
  void SetListenPort(uint16_t port) { listen_port_ = port; }
  // An IPv6 socket given an IPv4 text stores it as "::FFFF:<text>".
  void SetAddress(const std::string& ip, uint16_t port, bool ipv6);
  // Registers read interest.
  bool Recv();
  // Starts a non-blocking connect (on the IO thread).
  bool StartConnect(bool ipv6, const std::string& ip, uint16_t port);

  void OnTimer() override;
  void OnRead() override;
  void OnWrite() override;
  void OnConnect() override;
  void OnDisConnect(uint32_t err) override;

  // Returns the previous value: only the first ending reports.
  bool SetShutdown() { return shutdown_.exchange(true); }
  bool IsShutdown() const { return shutdown_.load(); }
  // Bytes accepted by Write and not yet handed to the kernel.
  uint64_t PendingSendBytes() const { return send_pending_.load(); }
  // Bytes in the send queue itself (IO thread only).
  uint32_t SendQueueLength() const { return send_buffer_->GetCanReadLength(); }
  uint32_t RecvBlockCount() const { return recv_buffer_->BlockCount(); }
  uint32_t FreePoolBlocks() const { return block_pool_->GetSize(); }

 private:
  std::shared_ptr<RWSocket> Self() { return std::static_pointer_cast<RWSocket>(shared_from_this()); }
  std::shared_ptr<EventActions> Actions() const { return actions_.lock(); }
  void EnsureEvent();
  // `len` has already been counted in send_pending_.
  bool WriteOnLoop(const char* src, uint32_t len);
  // Sends `len` bytes from `src` (a run of bytes or a buffer's blocks) with
  // nothing queued before them; what the kernel does not take is queued.
  template <class Source>
  bool SendDirect(Source& src, uint32_t len);
  // Counts `len` bytes into the send limit; the IO loop when admitted.
  std::shared_ptr<SocketLoop> Admit(uint32_t len);
  // The counting alone: false when the limit refuses `len` more bytes.
  bool Reserve(uint32_t len);
  bool SendPass();
  void CloseOnLoop();
  void CallReadHandler(uint32_t total);

  uint16_t listen_port_ = 0;
  std::atomic<bool> shutdown_{false};
  bool connecting_ = false;
  Event* event_ = nullptr;
  std::atomic<uint32_t> timer_id_{0};
  std::atomic<void*> context_{nullptr};
  std::atomic<uint64_t> send_pending_{0};
  std::shared_ptr<BlockMemoryPool> block_pool_;
  std::shared_ptr<BufferQueue> recv_buffer_;
  std::shared_ptr<BufferQueue> send_buffer_;
  std::vector<Iovec> iov_;       // the read pass's records
  std::vector<Iovec> send_iov_;  // a direct send's records
  uint32_t last_read_ = 8192;  // bytes the last read pass took; IO thread only
};

}  // namespace netcore
