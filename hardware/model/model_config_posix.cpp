// Linux half of the model and overclock configuration: the model from the DMI
// product name, display adapters from the PCI devices in sysfs.
#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/diag_log.h"
#include "common/paths.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "hardware/model/model_config.h"
#include "hardware/startup.h"

namespace vantrel::hw {
namespace {

// DMI strings are short; a fixture or a broken file must not be read whole.
constexpr size_t kMaxAttributeBytes = 4096;

std::optional<std::string> ReadAttribute(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data(kMaxAttributeBytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (in.bad()) return std::nullopt;
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

}  // namespace

std::optional<std::wstring> ReadComputerModel() {
  const std::wstring fn = std::wstring(velmont::kProcessorPrefix) + L"GetModelName";
  LogInfo(fn, L"GetModelName() - start");
  std::optional<std::string> raw = ReadAttribute(paths::SysPath("/sys/class/dmi/id/product_name"));
  if (!raw) {
    LogInfo(fn, L"Could not read /sys/class/dmi/id/product_name.");
    return std::nullopt;
  }
  // The kernel ends the attribute with a newline; the string itself is kept as is.
  if (!raw->empty() && raw->back() == '\n') raw->pop_back();
  const size_t nul = raw->find('\0');
  if (nul != std::string::npos) raw->resize(nul);
  return text::FromUtf8(*raw);
}

std::optional<std::vector<std::wstring>> DisplayAdapterHardwareIds() {
  const std::string root = paths::SysPath("/sys/bus/pci/devices");
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());

  std::vector<std::wstring> ids;
  for (const std::string& name : names) {
    const std::string base = root + "/" + name + "/";
    std::optional<std::string> cls = ReadAttribute(base + "class");
    // Class 0x03xxxx: display controllers of every subclass.
    if (!cls || cls->size() < 4 || cls->compare(0, 4, "0x03") != 0) continue;
    auto vendor = ReadAttribute(base + "vendor");
    auto device = ReadAttribute(base + "device");
    auto sub_vendor = ReadAttribute(base + "subsystem_vendor");
    auto sub_device = ReadAttribute(base + "subsystem_device");
    auto revision = ReadAttribute(base + "revision");
    if (!vendor || !device || !sub_vendor || !sub_device || !revision) continue;
    if (auto id = PciHardwareId(*vendor, *device, *sub_vendor, *sub_device, *revision)) ids.push_back(*id);
  }
  return ids;
}

OverclockEnvironment SystemOverclockEnvironment() {
  OverclockEnvironment env;
  env.exe_dir = paths::ExecutableDir();
  env.separator = L'/';
  env.tavrix_path = paths::MapWindowsPath(kTavrixIniPath);
  env.file_exists = [](const std::wstring& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::path(text::ToUtf8(path)), ec);
  };
  env.load_ini = [](const std::wstring& path) { return IniFile::Load(path); };
  env.display_hardware_ids = &DisplayAdapterHardwareIds;
  env.registry = &reg::SystemRegistry();
  return env;
}

}  // namespace vantrel::hw
