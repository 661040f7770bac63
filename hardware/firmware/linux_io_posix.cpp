// The real /sys and the fan record file under the state folder.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/fd_posix.h"
#include "common/paths.h"
#include "common/text.h"
#include "hardware/firmware/linux_io.h"

namespace velmont::firmware {
namespace {

namespace fs = std::filesystem;

// Attributes are at most a page.
constexpr size_t kMaxAttribute = 4096;

using vantrel::Fd;

std::optional<std::string> ReadSmallFile(const std::string& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  std::string content;
  char buf[1024];
  while (content.size() <= kMaxAttribute) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(buf, static_cast<size_t>(n));
  }
  return std::nullopt;
}

class RealSysfs : public Sysfs {
 public:
  std::optional<std::string> Read(const std::string& path) override {
    auto content = ReadSmallFile(vantrel::paths::SysPath(path));
    if (!content) return std::nullopt;
    content->resize(std::min(content->find('\n'), content->size()));
    while (!content->empty() && (content->back() == ' ' || content->back() == '\r')) content->pop_back();
    return content;
  }

  bool Write(const std::string& path, const std::string& value, std::string* error) override {
    // Never creates a file, and never follows a link in the attribute's own name.
    Fd fd(open(vantrel::paths::SysPath(path).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return Fail(error);
    const std::string line = value + "\n";
    ssize_t n;
    do {
      n = write(fd.get(), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(error);
    if (static_cast<size_t>(n) != line.size()) {
      *error = "short write";
      return false;
    }
    return true;
  }

  std::vector<std::string> List(const std::string& dir) override {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(vantrel::paths::SysPath(dir), ec), end; !ec && it != end; it.increment(ec)) {
      names.push_back(it->path().filename().string());
    }
    return names;
  }

  bool Exists(const std::string& path) override {
    return access(vantrel::paths::SysPath(path).c_str(), F_OK) == 0;
  }

 private:
  static bool Fail(std::string* error) {
    *error = std::strerror(errno);
    return false;
  }
};

class FanRecord : public StateFile {
 public:
  std::string Load() override { return ReadSmallFile(Path()).value_or(""); }

  // Replaced whole through a renamed temporary: a crash mid-save leaves the
  // old record or the new one, never half of one.
  bool Save(const std::string& content) override {
    const std::string path = Path();
    if (content.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
    if (!vantrel::paths::MakeDirs(vantrel::text::FromUtf8(vantrel::paths::StateDir()))) return false;
    const std::string temp = path + ".new";
    {
      Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (fd.get() < 0) return false;
      if (write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) return false;
      if (fsync(fd.get()) != 0) return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
  }

  // A lock file of its own: the record itself is replaced by rename. Only
  // root's processes reach the state folder, so no stranger can hold it; a
  // stalled holder still costs at most `wait`.
  // Threads of one process (the supervisor's watchers) share this object, so
  // they queue on `held_` first; the descriptor is theirs while held. A flag
  // under a plain mutex rather than a timed_mutex: its timed lock goes through
  // pthread_mutex_clocklock, which ThreadSanitizer does not see.
  bool Lock(std::chrono::milliseconds wait) override {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    {
      std::unique_lock<std::mutex> gate(gate_);
      if (!turn_.wait_until(gate, deadline, [this] { return !held_; })) return false;
      held_ = true;
    }
    const std::string path = Path() + ".lock";
    Fd fd;
    if (vantrel::paths::MakeDirs(vantrel::text::FromUtf8(vantrel::paths::StateDir()))) {
      fd = Fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    }
    while (fd.get() >= 0 && flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) fd = Fd();
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd.get() < 0) {
      Release();
      return false;
    }
    lock_ = std::move(fd);
    return true;
  }

  void Unlock() override {
    lock_ = Fd();
    Release();
  }

 private:
  static std::string Path() { return vantrel::paths::StateDir() + "/firmware-fans"; }
  void Release() {
    {
      std::lock_guard<std::mutex> gate(gate_);
      held_ = false;
    }
    turn_.notify_one();
  }
  std::mutex gate_;
  std::condition_variable turn_;
  bool held_ = false;
  Fd lock_;  // held while locked; closing it releases the lock
};

}  // namespace

Sysfs& SystemSysfs() {
  static RealSysfs sys;
  return sys;
}

StateFile& FanStateFile() {
  // Never destroyed: the supervisor's watcher threads are detached and may
  // still hold the record while the process exits.
  static FanRecord* const record = new FanRecord;
  return *record;
}

}  // namespace velmont::firmware
