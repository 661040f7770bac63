// Linux settings that decide what the root service runs or reads: the
// firmware backend and the folder that stands for "C:\Program Files". They
// come from a root-owned INI file, never from the registry store, which every
// local account can write through the pipe.
//
//   [Platform]
//   FirmwareBackend=none|hwmon|sim|linux   (default none; unknown names read as none)
//   ProgramsFolder=/absolute/path    (default /opt; a relative path is ignored)
//
// The parsing is portable; reading the file is Linux-only.
#pragma once
#include <string>

#include "hardware/model/ini_reader.h"

namespace vantrel::hw {

enum class FirmwareBackend { kNone, kHwmon, kSim, kLinux };

struct PlatformConfig {
  FirmwareBackend firmware_backend = FirmwareBackend::kNone;
  std::string programs_folder;  // empty: the default
};

PlatformConfig ParsePlatformConfig(const IniFile& file);

// $VANTREL_CONFIG when set (tests), else /etc/vantrel/vantrel.conf.
std::string PlatformConfigPath();
// The file's settings, read now (they are looked up at each use, so an edit
// takes effect without a restart). A missing file gives the defaults; so does
// a file that is not a regular file owned by root (or by this service's own
// account) and closed to writes by group and others, which is logged once.
PlatformConfig ReadPlatformConfig();

}  // namespace vantrel::hw
