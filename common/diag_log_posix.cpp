#include <errno.h>
#include <systemd/sd-journal.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "common/diag_log.h"
#include "common/diag_log_internal.h"
#include "common/paths.h"
#include "common/text.h"

namespace vantrel {

std::wstring CurrentUserName() {
  const uid_t uid = geteuid();
  std::vector<char> buf(4096);
  passwd pw{};
  passwd* found = nullptr;
  while (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  // A uid without a passwd entry (common in containers) is named by its number.
  if (found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
    return std::to_wstring(static_cast<unsigned long>(uid));
  }
  return text::FromUtf8(found->pw_name);
}

namespace diag_detail {

wchar_t PathSeparator() { return L'/'; }

void MakeFolderFor(const std::wstring& file_path) {
  const size_t cut = file_path.rfind(L'/');
  if (cut == std::wstring::npos || cut == 0) return;
  paths::MakeDirs(file_path.substr(0, cut));
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
  const int fd = open(text::ToUtf8(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write per line; O_APPEND keeps lines of other processes from overwriting it.
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}

std::string LocalTimeStamp() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char date[64];
  if (strftime(date, sizeof date, "%Y%m%d_%H:%M:%S", &local) == 0) date[0] = '\0';
  char out[96];
  std::snprintf(out, sizeof out, "%s.%03d", date, static_cast<int>(ts.tv_nsec / 1000000));
  return out;
}

void ToJournal(int priority, const std::wstring& function, const std::wstring& message) {
  const std::string line = text::ToUtf8(message);
  const std::string func = text::ToUtf8(function);
  // libsystemd opens its journal socket on first use and publishes it with an
  // atomic that ThreadSanitizer cannot see inside the uninstrumented library;
  // one sender at a time makes the hand-over visible. Journal lines are rare
  // (warnings and errors, or the diagnostic switch), so the lock costs nothing.
  static std::mutex journal_lock;
  std::lock_guard<std::mutex> hold(journal_lock);
  sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", priority, "CODE_FUNC=%s", func.c_str(),
                  "SYSLOG_IDENTIFIER=%s", program_invocation_short_name, nullptr);
}

}  // namespace diag_detail
}  // namespace vantrel
