/* A stand-in for power-profiles-daemon on the bus DBUS_SYSTEM_BUS_ADDRESS names:
 * it owns net.hadess.PowerProfiles, answers ActiveProfile and, like the real
 * daemon, writes what it is given to the platform profile attribute (mapping
 * power-saver to low-power), and appends each change to $PPD_STANDIN_LOG.
 * It writes $PPD_STANDIN_LOG.ready once it owns its name, and runs until killed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>

static char active[32] = "balanced";

static int get_active(sd_bus* bus, const char* path, const char* iface, const char* prop, sd_bus_message* reply,
                      void* data, sd_bus_error* error) {
  (void)bus, (void)path, (void)iface, (void)prop, (void)data, (void)error;
  return sd_bus_message_append(reply, "s", active);
}

static void write_text(const char* path, const char* text, const char* mode) {
  FILE* f = fopen(path, mode);
  if (f) {
    fprintf(f, "%s\n", text);
    fclose(f);
  }
}

static int set_active(sd_bus* bus, const char* path, const char* iface, const char* prop, sd_bus_message* value,
                      void* data, sd_bus_error* error) {
  (void)bus, (void)path, (void)iface, (void)prop, (void)data;
  const char* name = NULL;
  int r = sd_bus_message_read(value, "s", &name);
  if (r < 0) return r;
  if (strcmp(name, "power-saver") != 0 && strcmp(name, "balanced") != 0 && strcmp(name, "performance") != 0) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no such profile");
  }
  snprintf(active, sizeof active, "%s", name);
  const char* root = getenv("VANTREL_SYSROOT");
  char attr[4096];
  snprintf(attr, sizeof attr, "%s/sys/firmware/acpi/platform_profile", root ? root : "");
  write_text(attr, strcmp(name, "power-saver") == 0 ? "low-power" : name, "w");
  const char* log = getenv("PPD_STANDIN_LOG");
  if (log) write_text(log, name, "a");
  return 0;
}

static const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_WRITABLE_PROPERTY("ActiveProfile", "s", get_active, set_active, 0, 0),
    SD_BUS_VTABLE_END,
};

int main(void) {
  sd_bus* bus = NULL;
  sd_bus_slot* slot = NULL;
  if (sd_bus_open_system(&bus) < 0) return 1;
  if (sd_bus_add_object_vtable(bus, &slot, "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles", kVtable,
                               NULL) < 0) {
    return 1;
  }
  if (sd_bus_request_name(bus, "net.hadess.PowerProfiles", 0) < 0) return 1;
  const char* log = getenv("PPD_STANDIN_LOG");
  if (log) {
    char ready[4096];
    snprintf(ready, sizeof ready, "%s.ready", log);
    write_text(ready, "ready", "w");
  }
  for (;;) {
    int r = sd_bus_process(bus, NULL);
    if (r < 0) return 1;
    if (r > 0) continue;
    if (sd_bus_wait(bus, (uint64_t)-1) < 0) return 1;
  }
}
