// The network core's byte queue against a std::string: every operation the
// read and send passes and the application use, in any order, must leave the
// same bytes readable, and an empty queue holds no block.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "netcore/alloter/normal_alloter.h"
#include "netcore/alloter/pool_alloter.h"
#include "netcore/buffer/block_memory_pool.h"
#include "netcore/buffer/buffer_queue.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using netcore::Iovec;

constexpr size_t kModelLimit = 1 << 16;  // keeps each run quick

void CheckContents(netcore::BufferQueue& q, const std::string& model) {
  FUZZ_CHECK(q.GetCanReadLength() == model.size());
  std::string all(model.size() + 1, '\0');
  FUZZ_CHECK(q.ReadNotMovePt(all.data(), static_cast<uint32_t>(all.size())) == model.size());
  FUZZ_CHECK(std::memcmp(all.data(), model.data(), model.size()) == 0);
  if (model.empty()) FUZZ_CHECK(q.BlockCount() == 0);
}

void Step(FuzzedDataProvider& in, netcore::BufferQueue& q, std::string& model) {
  switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0: {  // Write
      if (model.size() >= kModelLimit) break;
      const std::string bytes = in.ConsumeRandomLengthString(3000);
      FUZZ_CHECK(q.Write(bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size());
      model += bytes;
      break;
    }
    case 1: {  // Read
      const uint32_t len = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
      std::string out(len, '\0');
      const uint32_t n = q.Read(out.data(), len);
      FUZZ_CHECK(n == std::min<size_t>(len, model.size()) && out.compare(0, n, model, 0, n) == 0);
      model.erase(0, n);
      break;
    }
    case 2: {  // MoveReadPt
      const uint32_t len = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
      const uint32_t n = q.MoveReadPt(len);
      FUZZ_CHECK(n == std::min<size_t>(len, model.size()));
      model.erase(0, n);
      break;
    }
    case 3:
      q.Clear();
      model.clear();
      break;
    case 4: {  // a receive pass: offer free space, fill some of it
      if (model.size() >= kModelLimit) break;
      std::vector<Iovec> free;
      const uint32_t want = in.ConsumeIntegralInRange<uint32_t>(0, 6000);
      const uint32_t offered = q.GetFreeMemoryBlock(free, want);
      size_t sum = 0;
      for (const Iovec& v : free) sum += v.iov_len;
      FUZZ_CHECK(sum == offered && offered > 0 && (want == 0 || offered >= want));
      const uint32_t fill = in.ConsumeIntegralInRange<uint32_t>(0, offered);
      const char c = in.ConsumeIntegral<char>();
      std::string written;
      for (const Iovec& v : free) {
        const size_t n = std::min<size_t>(v.iov_len, fill - written.size());
        for (size_t k = 0; k < n; ++k) static_cast<char*>(v.iov_base)[k] = static_cast<char>(c + written.size() + k);
        written.append(static_cast<const char*>(v.iov_base), n);
      }
      FUZZ_CHECK(q.MoveWritePt(fill) == fill);
      model += written;
      break;
    }
    case 5: {  // a send pass: the readable records, in order
      std::vector<Iovec> used;
      const uint32_t max = in.ConsumeIntegralInRange<uint32_t>(0, 9000);
      const uint32_t n = q.GetUseMemoryBlock(used, max);
      std::string seen;
      for (const Iovec& v : used) seen.append(static_cast<const char*>(v.iov_base), v.iov_len);
      FUZZ_CHECK(n == seen.size() && n == std::min<size_t>(max, model.size()) && model.compare(0, n, seen) == 0);
      break;
    }
    case 6: {  // FindStr
      const std::string needle = in.ConsumeRandomLengthString(6);
      const size_t at = needle.empty() ? std::string::npos : model.find(needle);
      FUZZ_CHECK(q.FindStr(needle.data(), static_cast<uint32_t>(needle.size())) ==
                 (at == std::string::npos ? -1 : static_cast<int32_t>(at)));
      break;
    }
    case 7: {  // ReadUntil
      const std::string needle = in.ConsumeRandomLengthString(4);
      const uint32_t len = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
      std::string out(len, '\0');
      uint32_t need = 0;
      const uint32_t n = q.ReadUntil(out.data(), len, needle.data(), static_cast<uint32_t>(needle.size()), need);
      const size_t at = needle.empty() ? std::string::npos : model.find(needle);
      const uint32_t want_need = at == std::string::npos ? 0 : static_cast<uint32_t>(at + needle.size());
      FUZZ_CHECK(need == want_need);
      const uint32_t want_n = want_need != 0 && want_need <= len ? want_need : 0;
      FUZZ_CHECK(n == want_n && out.compare(0, n, model, 0, n) == 0);
      model.erase(0, n);
      break;
    }
    default: {  // free space reported matches what a write can use without a new block
      const uint32_t free = q.GetCanWriteLength();
      const uint32_t blocks = q.BlockCount();
      const std::string bytes(std::min<uint32_t>(free, 4096), 'w');
      if (model.size() + bytes.size() > kModelLimit) break;
      q.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
      model += bytes;
      if (bytes.size() == free) FUZZ_CHECK(q.BlockCount() == blocks);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t block = in.ConsumeIntegralInRange<uint32_t>(1, 2048);
  auto pool = std::make_shared<netcore::BlockMemoryPool>(block, in.ConsumeIntegralInRange<uint32_t>(1, 8));
  std::shared_ptr<netcore::Alloter> alloter;
  if (in.ConsumeBool()) alloter = netcore::MakePoolAlloter();
  else alloter = netcore::MakeNormalAlloter();
  netcore::BufferQueue q(pool, std::make_shared<netcore::AlloterWrap>(alloter));
  std::string model;
  while (in.remaining_bytes() > 0) {
    Step(in, q, model);
    CheckContents(q, model);
  }
  return 0;
}
