#include "hardware/launcher/launcher.h"

#include <vector>

#include "common/diag_log.h"
#include "common/win32_errors.h"

namespace vantrel::hw {
namespace {

constexpr wchar_t kInputFn[] = L"WindowsMessageLoop::WindowsInput";
constexpr wchar_t kBrandValue[] = L"Model_Name_1st_brand";
// The brand buffer doubles from 512 bytes; past this the value is not a brand.
constexpr uint32_t kMaxBrandBytes = 1u << 20;

enum class BrandRead { kOk, kMissing, kError };

BrandRead ReadBrandOnce(reg::Registry& registry, std::wstring* brand) {
  std::vector<uint8_t> buffer(512);
  while (true) {
    uint32_t size = static_cast<uint32_t>(buffer.size());
    uint32_t type = 0;
    const uint32_t rc = registry.GetValue(reg::Root::kLocalMachine, reg::kSuiteKey, kBrandValue, win32::kRrfRtRegSz,
                                          &type, buffer.data(), &size);
    if (rc == win32::kErrorFileNotFound) return BrandRead::kMissing;
    // A returned size that fills the buffer may mean a cut value: read again with more room.
    if (rc == win32::kErrorMoreData || (rc == 0 && size >= buffer.size())) {
      if (buffer.size() >= kMaxBrandBytes) return BrandRead::kError;
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0) return BrandRead::kError;
    brand->clear();
    for (size_t i = 0; i + 1 < size; i += 2) {
      const uint8_t low = buffer[i];
      if (low == 0 && buffer[i + 1] == 0) break;
      brand->push_back(static_cast<wchar_t>(low));
    }
    return BrandRead::kOk;
  }
}

}  // namespace

std::optional<LauncherChoice> ChooseLauncher(bool ctrl, bool shift, const std::wstring& brand, bool controller) {
  const bool quelm = controller && brand == L"Quelm";
  const bool rookane = controller && brand == L"Rookane";
  if (ctrl) {
    if (quelm) return LauncherChoice{Launcher::kBrivon, LaunchWay::kCommandLine};
    if (rookane) return LauncherChoice{Launcher::kTavrix, LaunchWay::kCommandLine};
    return std::nullopt;
  }
  if (shift) return LauncherChoice{Launcher::kPulsedeck, LaunchWay::kApplicationPath};
  if (quelm) return LauncherChoice{Launcher::kBrivon, LaunchWay::kApplicationPath};
  if (rookane) return LauncherChoice{Launcher::kTavrix, LaunchWay::kApplicationPath};
  return LauncherChoice{Launcher::kZorvik, LaunchWay::kApplicationPath};
}

const wchar_t* LauncherWindowsPath(Launcher launcher) {
  switch (launcher) {
    case Launcher::kTavrix:
      return L"C:\\\\Program Files\\Tavrix\\Prerequisites\\TavrixLauncher.exe";
    case Launcher::kBrivon:
      return L"C:\\\\Program Files\\Brivon\\Prerequisites\\BrivonLauncher.exe";
    case Launcher::kZorvik:
      return L"C:\\\\Program Files\\Zorvik\\Prerequisites\\ZorvikLauncher.exe";
    case Launcher::kPulsedeck:
      return L"C:\\\\Program Files\\Pulsedeck\\Prerequisites\\VantrelPulsedeckLauncher.exe";
  }
  return L"";
}

const wchar_t* LauncherRelativePath(Launcher launcher) {
  // The Windows path without "C:\\Program Files\".
  return LauncherWindowsPath(launcher) + 18;
}

std::wstring ReadBrandForLauncher(reg::Registry& registry) {
  std::wstring brand;
  BrandRead r = ReadBrandOnce(registry, &brand);
  if (r == BrandRead::kMissing) {
    reg::WriteString(registry, reg::Root::kLocalMachine, reg::kSuiteKey, kBrandValue, L"");
    r = ReadBrandOnce(registry, &brand);
    if (r == BrandRead::kMissing) return L"";
  }
  return r == BrandRead::kOk ? brand : L"Vantrel";
}

std::optional<LauncherChoice> RunLauncherKeyAction(bool ctrl, bool shift, bool controller, reg::Registry& registry,
                                                   const std::function<std::wstring(Launcher)>& path_of,
                                                   const ProgramStarter& start) {
  const std::wstring brand = ReadBrandForLauncher(registry);
  const std::optional<LauncherChoice> choice = ChooseLauncher(ctrl, shift, brand, controller);
  if (ctrl) {
    LogInfo(kInputFn, L"Get Keyboard Input : CONTROL");
    if (!choice) return std::nullopt;
    const std::wstring command_line = L"\"" + path_of(choice->launcher) + L"\" " + kWidgetArgument;
    LogInfo(kInputFn, command_line);
    start(std::nullopt, command_line);
    return choice;
  }
  if (shift) LogInfo(kInputFn, L"Get Keyboard Input : SHIFT");
  const std::wstring path = path_of(choice->launcher);
  LogInfo(kInputFn, L"File path: " + path);
  start(path, std::nullopt);
  return choice;
}

}  // namespace vantrel::hw
