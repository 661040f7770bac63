#include "hardware/platform_config.h"

#include "common/text.h"

namespace vantrel::hw {

PlatformConfig ParsePlatformConfig(const IniFile& file) {
  PlatformConfig config;
  const std::wstring backend = file.Get(L"Platform", L"FirmwareBackend", L"none", 64);
  if (text::EqualsIgnoreCase(backend, L"hwmon")) config.firmware_backend = FirmwareBackend::kHwmon;
  if (text::EqualsIgnoreCase(backend, L"sim")) config.firmware_backend = FirmwareBackend::kSim;
  if (text::EqualsIgnoreCase(backend, L"linux")) config.firmware_backend = FirmwareBackend::kLinux;
  // A relative folder would be resolved against whatever the service's
  // working directory happens to be.
  const std::wstring folder = file.Get(L"Platform", L"ProgramsFolder", L"", 4096);
  if (!folder.empty() && folder.front() == L'/') config.programs_folder = text::ToUtf8(folder);
  return config;
}

}  // namespace vantrel::hw
