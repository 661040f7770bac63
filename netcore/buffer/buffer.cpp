#include "netcore/buffer/buffer.h"

#include <string>

namespace netcore {

int32_t Buffer::FindStr(const char* find, uint32_t find_len) {
  const uint32_t n = GetCanReadLength();
  if (find == nullptr || find_len == 0 || find_len > n) return -1;
  std::string all(n, '\0');
  ReadNotMovePt(all.data(), n);
  const size_t pos = all.find(find, 0, find_len);
  return pos == std::string::npos ? -1 : static_cast<int32_t>(pos);
}

uint32_t Buffer::ReadUntil(char* res, uint32_t len, const char* find, uint32_t find_len,
                           uint32_t& need_len) {
  need_len = 0;
  const int32_t pos = FindStr(find, find_len);
  if (pos < 0) return 0;
  need_len = static_cast<uint32_t>(pos) + find_len;
  if (need_len > len) return 0;
  return Read(res, need_len);
}

}  // namespace netcore
