#include "netcore/buffer/buffer_queue.h"

#include <algorithm>

namespace netcore {

BufferQueue::BufferQueue(std::shared_ptr<BlockMemoryPool> pool, std::shared_ptr<AlloterWrap> alloter)
    : pool_(std::move(pool)), alloter_(std::move(alloter)) {}

BufferQueue::~BufferQueue() { Clear(); }

BufferBlock* BufferQueue::AppendBlock() {
  BufferBlock* b = alloter_->PoolNew<BufferBlock>(pool_);
  if (tail_ != nullptr) {
    tail_->next_ = b;
  } else {
    head_ = b;
  }
  tail_ = b;
  ++block_count_;
  return b;
}

void BufferQueue::PopHead() {
  BufferBlock* b = head_;
  head_ = b->next_;
  if (head_ == nullptr) tail_ = nullptr;
  if (write_ == b) write_ = head_;
  --block_count_;
  alloter_->PoolDelete(b);
}

void BufferQueue::TrimEmptyTail() {
  // Blocks behind the last one holding data were offered for a read and not
  // used; a queue with no data keeps no block at all. Data is contiguous from
  // the head, so only the blocks from the write block on can be empty.
  if (write_ == nullptr) return;
  BufferBlock* last_used = nullptr;
  if (write_->GetCanReadLength() > 0) {
    last_used = write_;
  } else if (write_ != head_) {
    for (BufferBlock* b = head_; b->next_ != write_; b = b->next_) last_used = b->next_;
    if (last_used == nullptr) last_used = head_;
  }
  BufferBlock* b = last_used != nullptr ? last_used->next_ : head_;
  while (b != nullptr) {
    BufferBlock* next = b->next_;
    --block_count_;
    alloter_->PoolDelete(b);
    b = next;
  }
  if (last_used == nullptr) {
    head_ = tail_ = write_ = nullptr;
    return;
  }
  last_used->next_ = nullptr;
  tail_ = last_used;
  write_ = tail_->GetCanWriteLength() > 0 ? tail_ : nullptr;
}

uint32_t BufferQueue::ReadNotMovePt(char* res, uint32_t len) {
  uint32_t done = 0;
  for (BufferBlock* b = head_; b != nullptr && done < len; b = b->next_) {
    done += b->ReadNotMovePt(res + done, len - done);
  }
  return done;
}

uint32_t BufferQueue::Read(char* res, uint32_t len) {
  uint32_t done = 0;
  while (head_ != nullptr && done < len) {
    const uint32_t n = head_->Read(res + done, len - done);
    done += n;
    if (head_->GetCanReadLength() > 0) break;
    PopHead();
  }
  can_read_length_ -= done;
  if (can_read_length_ == 0) TrimEmptyTail();
  return done;
}

uint32_t BufferQueue::MoveReadPt(uint32_t len) {
  uint32_t done = 0;
  while (head_ != nullptr && done < len) {
    const uint32_t n = head_->MoveReadPt(len - done);
    done += n;
    if (head_->GetCanReadLength() > 0) break;
    PopHead();
  }
  can_read_length_ -= done;
  if (can_read_length_ == 0) TrimEmptyTail();
  return done;
}

void BufferQueue::Clear() {
  while (head_ != nullptr) PopHead();
  head_ = tail_ = write_ = nullptr;
  can_read_length_ = 0;
}

uint32_t BufferQueue::GetCanWriteLength() {
  uint32_t n = 0;
  for (BufferBlock* b = write_; b != nullptr; b = b->next_) n += b->GetCanWriteLength();
  return n;
}

uint32_t BufferQueue::Write(const char* data, uint32_t len) {
  // The readable count is 32-bit: take only what it can still count.
  len = std::min(len, UINT32_MAX - can_read_length_);
  uint32_t done = 0;
  while (done < len) {
    if (write_ == nullptr) write_ = AppendBlock();
    done += write_->Write(data + done, len - done);
    if (write_->GetCanWriteLength() == 0) write_ = write_->next_;
  }
  can_read_length_ += done;
  return done;
}

uint32_t BufferQueue::MoveWritePt(uint32_t len) {
  uint32_t done = 0;
  while (write_ != nullptr && done < len) {
    done += write_->MoveWritePt(len - done);
    if (write_->GetCanWriteLength() == 0) write_ = write_->next_;
  }
  can_read_length_ += done;
  TrimEmptyTail();
  return done;
}

uint32_t BufferQueue::GetFreeMemoryBlock(std::vector<Iovec>& out, uint32_t size) {
  if (write_ == nullptr) write_ = AppendBlock();
  uint32_t offered = 0;
  BufferBlock* b = write_;
  while (true) {
    offered += b->GetFreeMemoryBlock(out, 0);
    if (size == 0 ? offered > 0 : offered >= size) break;
    b = b->next_ != nullptr ? b->next_ : AppendBlock();
  }
  return offered;
}

uint32_t BufferQueue::GetUseMemoryBlock(std::vector<Iovec>& out, uint32_t max_size) {
  uint32_t offered = 0;
  for (BufferBlock* b = head_; b != nullptr && offered < max_size; b = b->next_) {
    const uint32_t n = b->GetUseMemoryBlock(out, max_size - offered);
    if (n == 0) break;
    offered += n;
  }
  return offered;
}

}  // namespace netcore
