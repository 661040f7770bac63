// Ring blocks, chained queues, the block pool's bound, the small-object pool
// and the core's log line.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <set>
#include <string>

#include "netcore/alloter/pool_alloter.h"
#include "netcore/buffer/buffer_queue.h"
#include "netcore/log/logger.h"

using namespace netcore;

namespace {

std::string Pattern(size_t n, size_t offset = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (offset + i) % 26);
  return s;
}

struct Queue {
  std::shared_ptr<BlockMemoryPool> pool = std::make_shared<BlockMemoryPool>(1024, 5);
  std::shared_ptr<AlloterWrap> alloter = std::make_shared<AlloterWrap>(MakePoolAlloter());
  BufferQueue q{pool, alloter};
};

// Simulates a socket read of `data` into the queue's offered free space.
uint32_t ScatterIn(BufferQueue& q, const std::string& data, uint32_t wanted) {
  std::vector<Iovec> iov;
  const uint32_t offered = q.GetFreeMemoryBlock(iov, wanted);
  uint32_t done = 0;
  for (auto& v : iov) {
    const size_t n = std::min(v.iov_len, data.size() - done);
    std::memcpy(v.iov_base, data.data() + done, n);
    done += static_cast<uint32_t>(n);
  }
  q.MoveWritePt(done);
  return offered;
}

}  // namespace

TEST(BufferBlockRing, WrapsAndTellsFullFromEmpty) {
  auto pool = std::make_shared<BlockMemoryPool>(16, 1);
  BufferBlock b(pool);
  EXPECT_EQ(b.Write("0123456789", 10), 10u);
  char out[32] = {};
  EXPECT_EQ(b.Read(out, 6), 6u);
  EXPECT_EQ(std::string(out, 6), "012345");
  // 6 free at the end, 6 free at the front: the write wraps.
  EXPECT_EQ(b.Write("ABCDEFGHIJKLMNOP", 16), 12u);
  EXPECT_EQ(b.GetCanWriteLength(), 0u);
  EXPECT_EQ(b.GetCanReadLength(), 16u);
  std::vector<Iovec> used;
  EXPECT_EQ(b.GetUseMemoryBlock(used, 100), 16u);
  EXPECT_EQ(used.size(), 2u);
  std::vector<Iovec> free_space;
  EXPECT_EQ(b.GetFreeMemoryBlock(free_space, 0), 0u);
  EXPECT_EQ(b.ReadNotMovePt(out, 32), 16u);
  EXPECT_EQ(std::string(out, 16), "6789ABCDEFGHIJKL");
  EXPECT_EQ(b.Read(out, 32), 16u);
  EXPECT_EQ(b.GetCanReadLength(), 0u);
  EXPECT_EQ(b.GetCanWriteLength(), 16u);
}

TEST(BufferQueueChain, KeepsOrderAcrossBlocksAndReturnsDrainedBlocks) {
  Queue t;
  std::string data = Pattern(5000);
  data.replace(3068, 8, "<<MARK>>");  // spans the third and fourth block
  EXPECT_EQ(t.q.Write(data.data(), 3000), 3000u);
  EXPECT_EQ(t.q.Write(data.data() + 3000, 2000), 2000u);
  EXPECT_EQ(t.q.GetCanReadLength(), 5000u);
  EXPECT_EQ(t.q.BlockCount(), 5u);
  EXPECT_EQ(t.q.FindStr("<<MARK>>", 8), 3068);
  EXPECT_EQ(t.q.FindStr("#", 1), -1);

  std::vector<Iovec> iov;
  EXPECT_EQ(t.q.GetUseMemoryBlock(iov, 4096), 4096u);
  EXPECT_EQ(t.q.MoveReadPt(1500), 1500u);
  EXPECT_EQ(t.q.BlockCount(), 4u);  // the first block went back at once
  std::string rest(3500, '\0');
  EXPECT_EQ(t.q.Read(rest.data(), 10000), 3500u);
  EXPECT_EQ(rest, data.substr(1500));
  EXPECT_EQ(t.q.BlockCount(), 0u);
  EXPECT_EQ(t.q.GetCanReadLength(), 0u);
  EXPECT_EQ(t.pool->GetSize(), 5u);
}

TEST(BufferQueueChain, ScatterReadsGrowAndUnusedBlocksGoBack) {
  Queue t;
  // First turn: whatever the queue has at hand, one fresh block.
  EXPECT_EQ(ScatterIn(t.q, Pattern(1024), 0), 1024u);
  // Later turns ask for at least the wanted size.
  EXPECT_GE(ScatterIn(t.q, Pattern(4096, 1024), 4096), 4096u);
  const uint32_t offered = ScatterIn(t.q, Pattern(100, 5120), 8192);
  EXPECT_GE(offered, 8192u);
  EXPECT_EQ(t.q.GetCanReadLength(), 5220u);
  EXPECT_EQ(t.q.BlockCount(), 6u);  // the seven unfilled blocks were handed back
  std::string all(5220, '\0');
  EXPECT_EQ(t.q.Read(all.data(), 5220), 5220u);
  EXPECT_EQ(all, Pattern(5220));
  EXPECT_LE(t.pool->GetSize(), BlockMemoryPool::kMaxFreeBlocks);
}

TEST(BufferQueueChain, ReadUntilStopsAfterTheDelimiter) {
  Queue t;
  const std::string text = "GET / HTTP/1.1\r\n\r\nbody";
  t.q.Write(text.data(), static_cast<uint32_t>(text.size()));
  char out[64];
  uint32_t need = 0;
  EXPECT_EQ(t.q.ReadUntil(out, 4, "\r\n\r\n", 4, need), 0u);
  EXPECT_EQ(need, 18u);
  EXPECT_EQ(t.q.ReadUntil(out, sizeof(out), "\r\n\r\n", 4, need), 18u);
  EXPECT_EQ(t.q.GetCanReadLength(), 4u);
  t.q.Clear();
  EXPECT_EQ(t.q.GetCanReadLength(), 0u);
  EXPECT_EQ(t.q.BlockCount(), 0u);
}

// The default cap, and the small one a connection's pool of large blocks uses.
TEST(BlockPool, KeepsAtMostItsCapOfFreeBlocks) {
  for (const uint32_t cap : {BlockMemoryPool::kMaxFreeBlocks, 3u}) {
    SCOPED_TRACE(cap);
    BlockMemoryPool pool(1024, 5, cap);
    std::vector<void*> taken;
    for (int i = 0; i < 64; ++i) taken.push_back(pool.PoolLargeMalloc());
    EXPECT_EQ(std::set<void*>(taken.begin(), taken.end()).size(), 64u);
    uint32_t peak = 0;
    for (void*& b : taken) {
      pool.PoolLargeFree(b);
      EXPECT_EQ(b, nullptr);
      peak = std::max(peak, pool.GetSize());
    }
    EXPECT_EQ(peak, cap);
    EXPECT_GE(pool.GetSize(), cap / 2);
    // The newest blocks survive a halving: the last returned is handed out next.
    void* last = pool.PoolLargeMalloc();
    void* const kept = last;
    pool.PoolLargeFree(last);
    void* again = pool.PoolLargeMalloc();
    EXPECT_EQ(again, kept);
    pool.PoolLargeFree(again);
  }
}

TEST(PoolAlloterClasses, ServesAlignedDistinctObjectsAndReusesFreedOnes) {
  PoolAlloter a;
  EXPECT_EQ(PoolAlloter::ClassIndex(1), 0u);
  EXPECT_EQ(PoolAlloter::ClassIndex(4), 0u);
  EXPECT_EQ(PoolAlloter::ClassIndex(5), 1u);
  EXPECT_EQ(PoolAlloter::ClassIndex(256), 63u);
  std::set<void*> seen;
  std::vector<std::pair<void*, uint32_t>> live;
  for (uint32_t size = 1; size <= 300; size += 7) {
    for (int k = 0; k < 25; ++k) {  // more than one refill of 20
      void* p = a.Malloc(size);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
      EXPECT_TRUE(seen.insert(p).second);
      std::memset(p, 0xAB, size);  // must not overlap a neighbour (ASan checks)
      live.emplace_back(p, size);
    }
  }
  for (auto& [p, size] : live) {
    void* q = p;
    a.Free(q, size);
    EXPECT_EQ(q, nullptr);
  }
  const size_t chunks = a.ChunkCount();
  void* p = a.Malloc(15);  // comes from a free list, no new chunk
  EXPECT_EQ(a.ChunkCount(), chunks);
  void* z = a.MallocZero(40);
  EXPECT_EQ(static_cast<char*>(z)[39], 0);
  a.Free(p, 15);
  a.Free(z, 40);
}

namespace {

struct CaptureSink : BaseLogger {
  std::vector<std::string> lines;
  void Consume(const Log& log) override { lines.emplace_back(log.data, log.len); }
};

}  // namespace

TEST(CoreLogger, FormatsLevelsAndTruncatesToTheLineCapacity) {
  BaseLogger logger;
  auto sink = std::make_shared<CaptureSink>();
  logger.Error("file.cpp", 7, "no sink %d", 1);  // discarded quietly
  logger.SetLogger(sink);
  logger.Error("file.cpp", 42, "accept socket filed! errno:%d", 24);
  logger.Debug("file.cpp", 43, "not in the mask");
  const std::string big(3000, 'z');
  logger.Warn("w.cpp", 1, "%s", big.c_str());
  ASSERT_EQ(sink->lines.size(), 2u);
  const std::string& l = sink->lines[0];
  ASSERT_GT(l.size(), 30u);
  EXPECT_EQ(l.substr(0, 5), "[ERR|");
  EXPECT_EQ(l[9], '-');
  EXPECT_EQ(l.substr(28), "|file.cpp:42] accept socket filed! errno:24");
  EXPECT_EQ(sink->lines[1].substr(0, 5), "[WAR|");
  EXPECT_EQ(sink->lines[1].size(), Log::kCapacity - 1);
  logger.SetLevel(31);
  logger.Debug("d.cpp", 2, "now");
  EXPECT_EQ(sink->lines.back().substr(0, 5), "[DEB|");
}
