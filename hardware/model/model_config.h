// Model and overclock configuration: which INI file lists the overclockable
// GPUs, whether a listed GPU is present, and "GPU_OC_Support" under the
// Overclock key. The search is portable over a small environment that the
// platform fills (files, display adapters, registry) and tests replace.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "hardware/model/ini_reader.h"

namespace vantrel::hw {

// Used instead of the model-named file when it exists (mapped on Linux).
inline constexpr wchar_t kTavrixIniPath[] = L"C:\\ProgramData\\oem\\VantrelAgentService\\Tavrix.ini";
inline constexpr wchar_t kOcSection[] = L"OC_GPU";
inline constexpr wchar_t kOcSupportValue[] = L"GPU_OC_Support";
// Path buffers hold this many characters, the terminating NUL included.
inline constexpr size_t kPathCapacity = 260;
// More listed GPUs than this is taken for a damaged file, not a list.
inline constexpr int kMaxListedGpus = 1024;

// What the "Count" text says, read like _wtoi (leading blanks, a sign, the
// leading digits; "2x" is 2, "x" is 0). A negative count or one above
// kMaxListedGpus (overflowing ones included) gives nullopt: the file is damaged.
std::optional<int> ParseGpuCount(const std::wstring& text);

// Index of the first identifier that occurs (case-sensitive) in `hardware_id`.
// An empty identifier matches nothing: it would otherwise match every adapter.
std::optional<size_t> MatchIdentifier(const std::vector<std::wstring>& identifiers, const std::wstring& hardware_id);

struct OverclockEnvironment {
  std::wstring exe_dir;              // folder of the model-named file
  wchar_t separator = L'\\';
  std::wstring tavrix_path;          // kTavrixIniPath as the platform spells it
  std::function<bool(const std::wstring&)> file_exists;
  std::function<std::optional<IniFile>(const std::wstring&)> load_ini;
  // First hardware id of each present display adapter in enumeration order;
  // nullopt when the enumeration cannot be opened.
  std::function<std::optional<std::vector<std::wstring>>()> display_hardware_ids;
  reg::Registry* registry = nullptr;
};

// The platform's environment: the executable's folder, the real files, the
// display adapters, the system registry.
OverclockEnvironment SystemOverclockEnvironment();

// The INI file to read: Tavrix.ini when it exists, else "<exe dir>\<model>.ini".
// Nullopt when the model-named path does not fit a path buffer.
std::optional<std::wstring> ChooseIniPath(const std::wstring& model, const OverclockEnvironment& env);

// Find GPU device: index of the first identifier found in the first present
// adapter whose hardware id contains one; nullopt when none does.
std::optional<size_t> FindGpuDevice(const std::vector<std::wstring>& identifiers, const OverclockEnvironment& env);

// The overclock-support search. Returns true when it wrote "GPU_OC_Support" 1.
bool SearchGpuOcSupport(const std::wstring& model, const OverclockEnvironment& env);

// Platform half: the first hardware id of each present display adapter.
// Linux: PCI devices of class 0x03xxxx under <sysroot>/sys/bus/pci/devices.
std::optional<std::vector<std::wstring>> DisplayAdapterHardwareIds();

// "PCI\VEN_vvvv&DEV_dddd&SUBSYS_ssssSSSS&REV_rr" from the sysfs attribute
// texts ("0x10de\n" etc.); nullopt when one is not a number of its width.
std::optional<std::wstring> PciHardwareId(const std::string& vendor, const std::string& device,
                                          const std::string& subsystem_vendor, const std::string& subsystem_device,
                                          const std::string& revision);

}  // namespace vantrel::hw
