// The console session on Linux, as the supervisor sees it: the graphical
// session active on seat0 and the environment a worker started into it gets.
#include "supervisor/console_session.h"

#include <dirent.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/text.h"

namespace vantrel::supervisor {
namespace {

// One variable of another process's environment (readable for our own
// processes, or for all as root).
std::string ProcessEnvValue(uint32_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::string entry;
  while (std::getline(in, entry, '\0')) {
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return "";
}

// The first process of the session whose environment names a display.
uint32_t DesktopProcessOf(const char* session) {
  uint32_t found = 0;
  DIR* dir = opendir("/proc");
  if (!dir) return 0;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (pid == 0 || !end || *end != '\0') continue;
    char* own = nullptr;
    bool same = sd_pid_get_session(static_cast<pid_t>(pid), &own) >= 0 && own && std::strcmp(own, session) == 0;
    free(own);
    if (same && (!ProcessEnvValue(static_cast<uint32_t>(pid), "DISPLAY").empty() ||
                 !ProcessEnvValue(static_cast<uint32_t>(pid), "WAYLAND_DISPLAY").empty())) {
      found = static_cast<uint32_t>(pid);
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

std::map<std::wstring, std::wstring> GraphicalSessionEnvironment() {
  std::map<std::wstring, std::wstring> env;
  char* session = nullptr;
  uid_t uid = 0;
  if (sd_seat_get_active("seat0", &session, &uid) < 0 || !session) return env;
  char* type = nullptr;
  bool graphical = sd_session_get_type(session, &type) >= 0 && type &&
                   (std::strcmp(type, "x11") == 0 || std::strcmp(type, "wayland") == 0 ||
                    std::strcmp(type, "mir") == 0);
  free(type);
  if (graphical) {
    env[L"XDG_SESSION_ID"] = text::FromUtf8(session);
    env[L"XDG_SEAT"] = L"seat0";
    env[L"XDG_RUNTIME_DIR"] = text::FromUtf8("/run/user/" + std::to_string(uid));
    env[L"DBUS_SESSION_BUS_ADDRESS"] = text::FromUtf8("unix:path=/run/user/" + std::to_string(uid) + "/bus");
    char* display = nullptr;
    if (sd_session_get_display(session, &display) >= 0 && display) env[L"DISPLAY"] = text::FromUtf8(display);
    free(display);
    // A desktop process of the session knows the rest of its variables.
    uint32_t donor = DesktopProcessOf(session);
    if (donor != 0) {
      for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_SESSION_TYPE",
                               "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS"}) {
        std::string v = ProcessEnvValue(donor, name);
        if (!v.empty()) env[text::FromUtf8(name)] = text::FromUtf8(v);
      }
    }
  }
  free(session);
  return env;
}

std::string ProcessSession(uint32_t pid) {
  char* session = nullptr;
  std::string id;
  if (sd_pid_get_session(static_cast<pid_t>(pid), &session) >= 0 && session) {
    id = session;
  } else {
    // Started by the service into a session: it carries the session's id.
    id = ProcessEnvValue(pid, "XDG_SESSION_ID");
  }
  free(session);
  return id;
}

}  // namespace vantrel::supervisor
