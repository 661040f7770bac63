#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/fd_posix.h"
#include "common/diag_log.h"
#include "common/text.h"
#include "hardware/platform_config.h"

namespace vantrel::hw {
namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;
std::atomic<bool> g_refusal_logged{false};

void LogRefusal(const std::string& path, const wchar_t* why) {
  if (!g_refusal_logged.exchange(true)) {
    Log(kLogWarning, L"ReadPlatformConfig", text::FromUtf8(path) + L" ignored (" + why + L"): defaults in use");
  }
}

}  // namespace

std::string PlatformConfigPath() {
  const char* env = std::getenv("VANTREL_CONFIG");
  return env != nullptr && *env != '\0' ? env : "/etc/vantrel/vantrel.conf";
}

PlatformConfig ReadPlatformConfig() {
  const std::string path = PlatformConfigPath();
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno != ENOENT) LogRefusal(path, L"cannot be opened");
    return {};
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LogRefusal(path, L"not a regular file");
    return {};
  }
  // Whoever can write the file decides what root starts.
  if ((st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    LogRefusal(path, L"writable by another account");
    return {};
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  while (bytes.size() <= kMaxConfigBytes) {
    const ssize_t n = read(fd.get(), chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      LogRefusal(path, L"read failed");
      return {};
    }
    if (n == 0) return ParsePlatformConfig(IniFile::Parse(bytes));
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  LogRefusal(path, L"too large");
  return {};
}

}  // namespace vantrel::hw
