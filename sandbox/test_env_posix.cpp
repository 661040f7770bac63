#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "sandbox/test_env.h"

namespace vantrel::testing {
namespace {

const char* const kVars[] = {"VANTREL_RUNTIME_DIR", "VANTREL_STATE_DIR", "PROGRAMDATA", "VANTREL_SYSROOT",
                             "VANTREL_CONFIG"};

}  // namespace

ScopedTestEnv::ScopedTestEnv(const std::string& sysroot) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vantrel-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = buf.data();

  for (const char* name : kVars) {
    const char* old = std::getenv(name);
    saved_[name] = {old != nullptr, old != nullptr ? old : ""};
  }
  const std::pair<const char*, std::string> dirs[] = {
      {"VANTREL_RUNTIME_DIR", root_ + "/run"},
      {"VANTREL_STATE_DIR", root_ + "/state"},
      {"PROGRAMDATA", root_ + "/programdata"},
  };
  for (const auto& [name, dir] : dirs) {
    std::filesystem::create_directories(dir);
    setenv(name, dir.c_str(), 1);
  }
  setenv("VANTREL_CONFIG", (root_ + "/vantrel.conf").c_str(), 1);
  if (!sysroot.empty()) setenv("VANTREL_SYSROOT", sysroot.c_str(), 1);
}

void ScopedTestEnv::WritePlatformConfig(const std::string& firmware_backend,
                                        const std::string& programs_folder) const {
  // Written beside and renamed over, so a service reading it meanwhile sees
  // the old file or the new one, never half of one.
  const std::string path = root_ + "/vantrel.conf";
  {
    std::ofstream out(path + ".new", std::ios::binary | std::ios::trunc);
    out << "[Platform]\nFirmwareBackend=" << firmware_backend << "\n";
    if (!programs_folder.empty()) out << "ProgramsFolder=" << programs_folder << "\n";
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  std::filesystem::rename(path + ".new", path);
}

ScopedTestEnv::~ScopedTestEnv() {
  for (const auto& [name, old] : saved_) {
    if (old.first) {
      setenv(name.c_str(), old.second.c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::map<std::wstring, std::wstring> ScopedTestEnv::ChildEnv() const {
  std::map<std::wstring, std::wstring> env;
  for (const char* name : kVars) {
    const char* value = std::getenv(name);
    if (value != nullptr) env[text::FromUtf8(name)] = text::FromUtf8(value);
  }
  return env;
}

namespace {
void SetVar(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}
}  // namespace

ScopedEnvVar::ScopedEnvVar(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  SetVar(name_, value);
}

ScopedEnvVar::~ScopedEnvVar() { SetVar(name_, old_); }

std::wstring ProgramPath(const std::wstring& name) {
  const char* dir = std::getenv("VANTREL_TEST_BIN_DIR");
  return (dir != nullptr ? text::FromUtf8(dir) : std::wstring(L".")) + L"/" + name;
}

uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

std::wstring UniqueName(const std::wstring& prefix) {
  static std::atomic<uint32_t> counter{0};
  static const auto start = static_cast<uint32_t>(
      std::chrono::system_clock::now().time_since_epoch() / std::chrono::milliseconds(1) % 1000000);
  return prefix + std::to_wstring(getpid()) + L"_" + std::to_wstring(start) + L"_" + std::to_wstring(++counter);
}

}  // namespace vantrel::testing
