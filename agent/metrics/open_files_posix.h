// Files the counters read on every report, kept open and read again from
// offset 0: procfs and sysfs produce fresh contents for every read from the
// start, and opening and closing (path walk, file set-up and teardown) cost
// more than the read itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantrel::agent {

// A leading decimal number ("2400000\n"), spaces before it allowed.
std::optional<uint64_t> ParseLeadingNumber(std::string_view text);

// The whole file at `path`, opened for this one read; nullopt when it cannot
// be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

class OpenFiles {
 public:
  OpenFiles() = default;
  OpenFiles(const OpenFiles&) = delete;
  OpenFiles& operator=(const OpenFiles&) = delete;
  ~OpenFiles();

  // The whole file; nullopt when it cannot be opened or read.
  std::optional<std::string> Read(const std::string& path);
  // A sysfs number.
  std::optional<uint64_t> ReadNumber(const std::string& path);
  // Closes the files not read since the previous call, so files of things
  // that went away (a network adapter) do not stay open.
  void CloseUnused();

 private:
  struct Entry {
    int fd = -1;
    bool kernel = false;  // procfs or sysfs: never replaced under its name
    bool used = false;
  };
  Entry* Open(const std::string& path);
  void Forget(const std::string& path);

  std::unordered_map<std::string, Entry> files_;
};

}  // namespace vantrel::agent
