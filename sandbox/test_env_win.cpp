#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "common/text.h"
#include "sandbox/test_env.h"

namespace vantrel::testing {

ScopedTestEnv::ScopedTestEnv(const std::string& /*sysroot*/) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / text::ToUtf8(UniqueName(L"vantrel-test-"));
  std::filesystem::create_directories(dir);
  root_ = dir.string();
}

ScopedTestEnv::~ScopedTestEnv() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::map<std::wstring, std::wstring> ScopedTestEnv::ChildEnv() const { return {}; }

void ScopedTestEnv::WritePlatformConfig(const std::string&, const std::string&) const {}

namespace {
void SetVar(const std::string& name, const std::optional<std::string>& value) {
  // The CRT cannot hold an empty variable: "" removes it.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
}
}  // namespace

ScopedEnvVar::ScopedEnvVar(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  SetVar(name_, value);
}

ScopedEnvVar::~ScopedEnvVar() { SetVar(name_, old_); }

std::wstring ProgramPath(const std::wstring& name) {
  const char* dir = std::getenv("VANTREL_TEST_BIN_DIR");
  std::wstring path = dir != nullptr ? text::FromUtf8(dir) : std::wstring(L".");
  // A cross build under Wine gets a Unix path; Wine maps the Unix root to Z:,
  // which keeps the path valid whatever the current drive is.
  if (!path.empty() && path.front() == L'/') path.insert(0, L"Z:");
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  path += L"\\" + name;
  if (path.size() < 4 || !text::EqualsIgnoreCase(path.substr(path.size() - 4), L".exe")) path += L".exe";
  return path;
}

uint16_t FreeTcpPort() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return 0;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  closesocket(s);
  return port;
}

std::wstring UniqueName(const std::wstring& prefix) {
  static std::atomic<uint32_t> counter{0};
  static const auto start = static_cast<uint32_t>(
      std::chrono::system_clock::now().time_since_epoch() / std::chrono::milliseconds(1) % 1000000);
  return prefix + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(start) + L"_" +
         std::to_wstring(++counter);
}

}  // namespace vantrel::testing
