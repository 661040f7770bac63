#include "netcore/buffer/buffer_block.h"

#include <algorithm>
#include <cstring>

namespace netcore {

BufferBlock::BufferBlock(std::shared_ptr<BlockMemoryPool> pool) : pool_(std::move(pool)) {
  start_ = static_cast<char*>(pool_->PoolLargeMalloc());
  end_ = start_ + pool_->GetBlockLength();
  read_ = write_ = start_;
}

BufferBlock::~BufferBlock() {
  void* b = start_;
  pool_->PoolLargeFree(b);
}

uint32_t BufferBlock::Readable() const {
  if (write_ > read_) return static_cast<uint32_t>(write_ - read_);
  if (write_ < read_ || full_) return static_cast<uint32_t>((end_ - read_) + (write_ - start_));
  return 0;
}

uint32_t BufferBlock::GetCanReadLength() { return Readable(); }

uint32_t BufferBlock::GetCanWriteLength() { return Capacity() - Readable(); }

uint32_t BufferBlock::Peek(char* res, uint32_t len) const {
  const uint32_t n = std::min(len, Readable());
  const uint32_t first = std::min<uint32_t>(n, static_cast<uint32_t>(end_ - read_));
  std::memcpy(res, read_, first);
  if (n > first) std::memcpy(res + first, start_, n - first);
  return n;
}

uint32_t BufferBlock::ReadNotMovePt(char* res, uint32_t len) { return Peek(res, len); }

uint32_t BufferBlock::Read(char* res, uint32_t len) {
  const uint32_t n = Peek(res, len);
  MoveReadPt(n);
  return n;
}

void BufferBlock::Clear() {
  read_ = write_ = start_;
  full_ = false;
}

uint32_t BufferBlock::MoveReadPt(uint32_t len) {
  const uint32_t n = std::min(len, Readable());
  if (n == 0) return 0;
  const uint32_t to_end = static_cast<uint32_t>(end_ - read_);
  read_ = n < to_end ? read_ + n : start_ + (n - to_end);
  full_ = false;
  // An empty block starts over so its free space is one contiguous record.
  if (read_ == write_) read_ = write_ = start_;
  return n;
}

uint32_t BufferBlock::MoveWritePt(uint32_t len) {
  const uint32_t n = std::min(len, GetCanWriteLength());
  if (n == 0) return 0;
  const uint32_t to_end = static_cast<uint32_t>(end_ - write_);
  write_ = n < to_end ? write_ + n : start_ + (n - to_end);
  if (write_ == read_) full_ = true;
  return n;
}

uint32_t BufferBlock::Write(const char* data, uint32_t len) {
  const uint32_t n = std::min(len, GetCanWriteLength());
  if (n == 0) return 0;
  const uint32_t first = std::min<uint32_t>(n, static_cast<uint32_t>(end_ - write_));
  std::memcpy(write_, data, first);
  if (n > first) std::memcpy(start_, data + first, n - first);
  return MoveWritePt(n);
}

uint32_t BufferBlock::GetFreeMemoryBlock(std::vector<Iovec>& out, uint32_t) {
  if (full_) return 0;
  if (write_ >= read_) {
    uint32_t total = static_cast<uint32_t>(end_ - write_);
    if (total > 0) out.push_back({write_, total});
    if (read_ > start_) {
      out.push_back({start_, static_cast<size_t>(read_ - start_)});
      total += static_cast<uint32_t>(read_ - start_);
    }
    return total;
  }
  const uint32_t total = static_cast<uint32_t>(read_ - write_);
  out.push_back({write_, total});
  return total;
}

uint32_t BufferBlock::GetUseMemoryBlock(std::vector<Iovec>& out, uint32_t max_size) {
  uint32_t want = std::min(max_size, Readable());
  if (want == 0) return 0;
  const uint32_t first = std::min<uint32_t>(want, static_cast<uint32_t>(end_ - read_));
  out.push_back({read_, first});
  if (want > first) out.push_back({start_, want - first});
  return want;
}

}  // namespace netcore
