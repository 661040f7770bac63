#include "hardware/model/model_config.h"

#include <cwchar>

#include "common/diag_log.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"

namespace vantrel::hw {
namespace {

std::wstring Fn(const wchar_t* name) { return std::wstring(velmont::kProcessorPrefix) + name; }

constexpr const wchar_t* kLevelKeys[] = {L"Quiet",     L"Default",     L"Extreme",     L"Turbo",
                                         L"RAM_Quiet", L"RAM_Default", L"RAM_Extreme", L"RAM_Turbo"};
constexpr const wchar_t* kLevelLogs[] = {
    L"GPU Normal overclock frequency: %f",     L"GPU Faster overclock frequency: %f",
    L"GPU Extreme overclock frequency: %f",    L"GPU Turbo overclock frequency: %f",
    L"GPU RAM_Normal overclock frequency: %f", L"GPU RAM_Faster overclock frequency: %f",
    L"GPU RAM_Extreme overclock frequency: %f", L"GPU RAM_Turbo overclock frequency: %f"};

std::optional<uint32_t> ParseHex(const std::string& text, uint32_t max) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  uint32_t value = 0;
  size_t digits = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    value = value * 16 + d;
    if (value > max) return std::nullopt;
    ++digits;
  }
  while (i < text.size() && (text[i] == '\n' || text[i] == '\r' || text[i] == ' ' || text[i] == '\t')) ++i;
  if (digits == 0 || i != text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int> ParseGpuCount(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > kMaxListedGpus) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<size_t> MatchIdentifier(const std::vector<std::wstring>& identifiers, const std::wstring& hardware_id) {
  for (size_t i = 0; i < identifiers.size(); ++i) {
    if (!identifiers[i].empty() && hardware_id.find(identifiers[i]) != std::wstring::npos) return i;
  }
  return std::nullopt;
}

std::optional<std::wstring> ChooseIniPath(const std::wstring& model, const OverclockEnvironment& env) {
  if (env.file_exists && env.file_exists(env.tavrix_path)) return env.tavrix_path;
  std::wstring path = env.exe_dir;
  if (path.empty() || path.back() != env.separator) path.push_back(env.separator);
  path += model + L".ini";
  if (path.size() >= kPathCapacity) return std::nullopt;
  return path;
}

std::optional<size_t> FindGpuDevice(const std::vector<std::wstring>& identifiers, const OverclockEnvironment& env) {
  const std::wstring fn = Fn(L"find_gpu_device");
  LogInfo(fn, L"find_gpu_device() - start");
  std::optional<std::vector<std::wstring>> ids =
      env.display_hardware_ids ? env.display_hardware_ids() : std::nullopt;
  if (!ids) {
    Log(kLogError, fn, L"hDevInfo not found handle");
    return std::nullopt;
  }
  for (const std::wstring& hwid : *ids) {
    if (std::optional<size_t> index = MatchIdentifier(identifiers, hwid)) {
      LogInfo(fn, L"Find the same GPU HWID: " + hwid);
      LogInfo(fn, L"find_gpu_device() - end");
      return index;
    }
  }
  LogInfo(fn, L"find_gpu_device() - end");
  return std::nullopt;
}

bool SearchGpuOcSupport(const std::wstring& model, const OverclockEnvironment& env) {
  const std::wstring fn = Fn(L"search_cpu_gpu_oc_support");
  try {
    std::optional<std::wstring> path = ChooseIniPath(model, env);
    if (!path) {
      Log(kLogWarning, fn, L"TX_INI_FILE_PATH: the model-named path does not fit " +
                               std::to_wstring(kPathCapacity) + L" characters; no INI file");
      return false;
    }
    LogInfo(fn, L"TX_INI_FILE_PATH: " + *path);
    const std::optional<IniFile> ini = env.load_ini ? env.load_ini(*path) : std::nullopt;

    const std::wstring count_text = ReadIniText(ini, kOcSection, L"Count");
    LogInfo(fn, L"OC_GPU->Count: " + count_text);
    if (count_text == kIniAbsent) return false;
    const std::optional<int> count = ParseGpuCount(count_text);
    if (!count) {
      Log(kLogWarning, fn, L"OC_GPU->Count is negative or above " + std::to_wstring(kMaxListedGpus) + L"; ignored");
      return false;
    }
    if (*count == 0) return false;

    std::vector<std::wstring> identifiers;
    for (int i = 1; i <= *count; ++i) {
      const std::wstring key = L"GPUName" + std::to_wstring(i);
      identifiers.push_back(ReadIniText(ini, kOcSection, key));
      LogInfo(fn, L"OC_GPU->" + key + L": " + identifiers.back());
    }

    const std::optional<size_t> index = FindGpuDevice(identifiers, env);
    if (!index) return false;

    const std::wstring& section = identifiers[*index];
    for (size_t k = 0; k < std::size(kLevelKeys); ++k) {
      const std::wstring value = ReadIniText(ini, section, kLevelKeys[k]);
      if (value == kIniAbsent) continue;
      LogInfo(fn, text::Format(kLevelLogs[k], std::wcstod(value.c_str(), nullptr)));
    }

    if (env.registry == nullptr) return false;
    reg::Registry& registry = *env.registry;
    registry.CreateKey(reg::Root::kLocalMachine, reg::kOverclockKey);
    return reg::WriteDword(registry, reg::Root::kLocalMachine, reg::kOverclockKey, kOcSupportValue, 1) == 0;
  } catch (...) {
    return false;
  }
}

std::optional<std::wstring> PciHardwareId(const std::string& vendor, const std::string& device,
                                          const std::string& subsystem_vendor, const std::string& subsystem_device,
                                          const std::string& revision) {
  const auto v = ParseHex(vendor, 0xFFFF);
  const auto d = ParseHex(device, 0xFFFF);
  const auto sv = ParseHex(subsystem_vendor, 0xFFFF);
  const auto sd = ParseHex(subsystem_device, 0xFFFF);
  const auto r = ParseHex(revision, 0xFF);
  if (!v || !d || !sv || !sd || !r) return std::nullopt;
  return text::Format(L"PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", *v, *d, *sd, *sv, *r);
}

void RunOverclockSearch(const std::wstring& model) { SearchGpuOcSupport(model, SystemOverclockEnvironment()); }

}  // namespace vantrel::hw
