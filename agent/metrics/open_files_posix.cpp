#include "agent/metrics/open_files_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vantrel::agent {
namespace {

// One read from offset 0 into `buffer`; -1 on error. Enough for a sysfs
// number, which comes whole with the first read.
ssize_t ReadStart(int fd, char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The file from offset 0 to its end. The first capacity is fixed: the same
// files are read over and over, and same-sized blocks are reused where exact
// sizes would fragment the heap. Read to the end: seq_file and binary sysfs
// files hand out a page or so per read, so a short read is not the end.
std::optional<std::string> ReadToEnd(int fd) {
  std::string text(4096, '\0');
  size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::pread(fd, text.data() + used, text.size() - used, static_cast<off_t>(used));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return text;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text = ReadToEnd(fd);
  ::close(fd);
  return text;
}

std::optional<uint64_t> ParseLeadingNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  uint64_t value = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

OpenFiles::~OpenFiles() {
  for (auto& [path, entry] : files_) ::close(entry.fd);
}

OpenFiles::Entry* OpenFiles::Open(const std::string& path) {
  auto it = files_.find(path);
  if (it != files_.end() && !it->second.kernel) {
    // A regular file (a fixture tree) may have been removed or replaced: then
    // the name is opened again.
    struct stat st {};
    if (::fstat(it->second.fd, &st) != 0 || st.st_nlink == 0) {
      Forget(path);
      it = files_.end();
    }
  }
  if (it == files_.end()) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct statfs fs {};
    Entry entry;
    entry.fd = fd;
    entry.kernel = ::fstatfs(fd, &fs) == 0 && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC);
    it = files_.emplace(path, entry).first;
  }
  it->second.used = true;
  return &it->second;
}

void OpenFiles::Forget(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return;
  ::close(it->second.fd);
  files_.erase(it);
}

std::optional<std::string> OpenFiles::Read(const std::string& path) {
  Entry* entry = Open(path);
  if (entry == nullptr) return std::nullopt;
  std::optional<std::string> text = ReadToEnd(entry->fd);
  if (!text) Forget(path);  // for instance ENODEV once a device went away
  return text;
}

std::optional<uint64_t> OpenFiles::ReadNumber(const std::string& path) {
  Entry* entry = Open(path);
  if (entry == nullptr) return std::nullopt;
  char buffer[64];
  const ssize_t n = ReadStart(entry->fd, buffer, sizeof buffer);
  if (n < 0) {
    Forget(path);
    return std::nullopt;
  }
  return ParseLeadingNumber(std::string_view(buffer, static_cast<size_t>(n)));
}

void OpenFiles::CloseUnused() {
  std::vector<std::string> unused;
  for (auto& [path, entry] : files_) {
    if (!entry.used) unused.push_back(path);
    entry.used = false;
  }
  for (const std::string& path : unused) Forget(path);
}

}  // namespace vantrel::agent
