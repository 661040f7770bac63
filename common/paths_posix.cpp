#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/text.h"

namespace vantrel::paths {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string HomeDir() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/tmp";
}

}  // namespace

std::string RuntimeDir() {
  std::string dir = Env("VANTREL_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  if (geteuid() == 0) return "/run/vantrel";
  std::string xdg = Env("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return xdg + "/vantrel";
  // No session runtime dir (a cron job, a plain ssh login without logind):
  // a per-user folder under /tmp keeps users apart.
  return "/tmp/vantrel-" + std::to_string(geteuid());
}

std::string StateDir() {
  std::string dir = Env("VANTREL_STATE_DIR");
  if (!dir.empty()) return dir;
  if (geteuid() == 0) return "/var/lib/vantrel";
  std::string xdg = Env("XDG_STATE_HOME");
  if (!xdg.empty()) return xdg + "/vantrel";
  return HomeDir() + "/.local/state/vantrel";
}

std::wstring ProgramData() {
  std::string dir = Env("PROGRAMDATA");
  if (dir.empty()) dir = StateDir();
  return text::FromUtf8(dir);
}

std::wstring ExecutableDir() {
  std::vector<char> buf(4096);
  while (true) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return L".";
    if (static_cast<size_t>(n) < buf.size()) {
      std::string exe(buf.data(), static_cast<size_t>(n));
      const size_t slash = exe.rfind('/');
      if (slash == std::string::npos) return L".";
      if (slash == 0) return L"/";
      return text::FromUtf8(exe.substr(0, slash));
    }
    buf.resize(buf.size() * 2);
  }
}

std::wstring MapWindowsPath(const std::wstring& path) {
  static constexpr std::wstring_view kPrefix = L"C:\\ProgramData";
  if (path.size() < kPrefix.size() || !text::EqualsIgnoreCase(std::wstring_view(path).substr(0, kPrefix.size()), kPrefix)) {
    return path;
  }
  std::wstring rest = path.substr(kPrefix.size());
  if (!rest.empty() && rest.front() != L'\\' && rest.front() != L'/') return path;  // "C:\ProgramDataX"
  for (wchar_t& c : rest) {
    if (c == L'\\') c = L'/';
  }
  std::wstring base = ProgramData();
  while (base.size() > 1 && base.back() == L'/') base.pop_back();
  return base + rest;
}

bool MakeDirs(const std::wstring& dir) {
  std::string path = text::ToUtf8(dir);
  if (path.empty()) return false;
  struct stat st {};
  // Create each prefix in turn; EEXIST from a racing creator is fine.
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      if (stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    }
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vantrel::paths
