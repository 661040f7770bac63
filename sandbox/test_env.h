// A private sandbox for tests and benches on both targets: folders, the
// environment that points the programs at them, program paths, free ports.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vantrel::testing {

// A private temporary folder tree for one test: on Linux it sets
// VANTREL_RUNTIME_DIR, VANTREL_STATE_DIR and PROGRAMDATA to folders inside it,
// VANTREL_CONFIG to a platform configuration file inside it (absent until
// written, so the machine's own file is never read), and VANTREL_SYSROOT when
// `sysroot` is given, for as long as it lives, and restores the previous values
// afterwards. On Windows it only makes the folder.
class ScopedTestEnv {
 public:
  explicit ScopedTestEnv(const std::string& sysroot = "");
  ~ScopedTestEnv();
  ScopedTestEnv(const ScopedTestEnv&) = delete;
  ScopedTestEnv& operator=(const ScopedTestEnv&) = delete;
  const std::string& root() const { return root_; }
  // The variables above, for a child process's environment.
  std::map<std::wstring, std::wstring> ChildEnv() const;
  // Linux: writes the platform configuration file ("[Platform]" with the
  // firmware backend and, when not empty, the programs folder). Windows has
  // no such file: nothing happens.
  void WritePlatformConfig(const std::string& firmware_backend, const std::string& programs_folder = "") const;

 private:
  std::string root_;
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

// Sets (or, with nullopt, removes) one environment variable for as long as it
// lives and restores the previous state afterwards. Both targets.
class ScopedEnvVar {
 public:
  ScopedEnvVar(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvVar();
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// <build>/bin/<name> (".exe" added on Windows), from VANTREL_TEST_BIN_DIR.
std::wstring ProgramPath(const std::wstring& name);
// The source tree (VANTREL_SOURCE_DIR), for fixtures.
std::string SourceDir();
// A loopback TCP port that was free a moment ago.
uint16_t FreeTcpPort();
// prefix + process id + a counter: names no other test run uses.
std::wstring UniqueName(const std::wstring& prefix);
// Polls `done` every 20 ms until it holds or `timeout` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace vantrel::testing
