// The hardware service's command table, its registry commands (with the
// re-issue over the service's own pipe on access denied) and its log-only
// commands. Firmware and GPU handlers live in their own files.
#include "hardware/commands/command_processor.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/diag_log.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/commands/registry_scope.h"

namespace velmont {
namespace {

namespace pipe = vantrel::pipe;
namespace reg = vantrel::reg;
namespace win32 = vantrel::win32;
namespace text = vantrel::text;

// RegGetValue's buffer never exceeds what one reply can carry: result
// argument (4 + 4 bytes), data length field and the count byte.
constexpr uint32_t kMaxGetValueBuffer = static_cast<uint32_t>(pipe::kMaxPipeMessage) - 1 - 8 - 4;

PipeReply ReplyU32(uint32_t value) {
  const auto bytes = pipe::U32Bytes(value);
  return pipe::build_pipe_reply({{4, bytes.data()}});
}

PipeReply ReplyResultAndData(uint32_t result, const uint8_t* data, uint32_t size) {
  const auto bytes = pipe::U32Bytes(result);
  return pipe::build_pipe_reply({{4, bytes.data()}, {size, data}});
}

PipeReply LogOnly(const wchar_t* handler, const wchar_t* command) {
  vantrel::LogInfo(std::wstring(kProcessorPrefix) + handler, command);
  return std::nullopt;
}

PipeReply Reserved(const PipeRequest&) { return std::nullopt; }

// The arguments of a registry command as they would be re-issued: strings
// whole with their NUL, integers as 4 bytes, data as received. The same bytes
// serve as the marker of a re-issue in flight.
class ReissueArgs {
 public:
  void AddString(const std::wstring& s) { Add(text::ToUtf16LeZ(s)); }
  void AddU32(uint32_t v) { Add(pipe::U32Bytes(v)); }
  void AddData(std::span<const uint8_t> data) { Add(std::vector<uint8_t>(data.begin(), data.end())); }
  std::vector<pipe::PipeArg> Args() const {
    std::vector<pipe::PipeArg> args;
    for (const auto& a : storage_) args.push_back({static_cast<uint32_t>(a.size()), a.data()});
    return args;
  }

 private:
  void Add(std::vector<uint8_t> bytes) { storage_.push_back(std::move(bytes)); }
  std::vector<std::vector<uint8_t>> storage_;
};

// Requests this process has re-issued and is still waiting on. A request that
// reaches a handler of this process while its own re-issue is in flight is the
// re-issue itself (or an identical one whose re-issue would come back here):
// it is answered with its own result instead of being sent on once more. This
// bounds the chain whether the pipe is served by this process alone or by
// several processes sending to each other.
class InFlightReissues {
 public:
  bool Contains(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_.count(message) != 0;
  }
  void Add(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.insert(message);
  }
  void Remove(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = set_.find(message);
    if (it != set_.end()) set_.erase(it);
  }

 private:
  std::mutex mutex_;
  std::multiset<std::vector<uint8_t>> set_;
};

InFlightReissues& InFlight() {
  static InFlightReissues* in_flight = new InFlightReissues();
  return *in_flight;
}

struct ReissueOutcome {
  uint32_t result = win32::kErrorAccessDenied;
  std::vector<uint8_t> data;  // command 6 only
};

// Sends the request to the hardware-service pipe and takes the answer.
// Returns nullopt when the request is this process's own re-issue, which must
// not travel again.
std::optional<ReissueOutcome> Reissue(uint16_t command, const ReissueArgs& reissue_args) {
  const std::vector<pipe::PipeArg> args = reissue_args.Args();
  const std::vector<uint8_t> marker = pipe::PackRequest(command, args);
  if (InFlight().Contains(marker)) return std::nullopt;
  InFlight().Add(marker);

  ReissueOutcome outcome;
  {
    // This service's own pipe name (with the test-instance suffix when set).
    pipe::PipeClient client(vantrel::names::Instance(vantrel::names::kHardwarePipe));
    // Longer than the registry store's own busy wait (15 s), so a slow write
    // still answers; bounded, because a worker waiting here holds one of the
    // pipe's 255 instances and all of them waiting would wait for each other.
    client.SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(20));
    // Not examined: without a connection the write fails and gives the result.
    client.Connect();
    uint32_t error = pipe::send_pipe_message(client, command, args);
    std::vector<uint8_t> reply;
    if (error == 0) error = client.ReadMessage(&reply);
    if (error != 0) {
      outcome.result = error;
    } else {
      auto parsed = pipe::ParseReply(reply);
      const size_t wanted = command == kSvcCmdRegGetValue ? 2 : 1;
      if (!parsed || parsed->size() < wanted || (*parsed)[0].size() != 4) {
        outcome.result = win32::kErrorInvalidData;
      } else {
        outcome.result = pipe::ReadU32Le((*parsed)[0].data());
        if (command == kSvcCmdRegGetValue) outcome.data.assign((*parsed)[1].begin(), (*parsed)[1].end());
      }
    }
    client.Close();
  }
  InFlight().Remove(marker);
  return outcome;
}

// Commands 1 to 5: the local result, or the re-issue's when access was denied.
PipeReply FinishU32(uint16_t command, const ReissueArgs& args, uint32_t result) {
  if (result == win32::kErrorAccessDenied) {
    if (auto outcome = Reissue(command, args)) result = outcome->result;
  }
  return ReplyU32(result);
}

struct KeyValueArgs {
  reg::KeyPath key;
  std::wstring key_text;
  std::wstring value;
};

// Key path (argument 0) and, when `with_value`, value name (argument 1).
// Missing or malformed strings give ERROR_INVALID_PARAMETER, an unknown root
// ERROR_FILE_NOT_FOUND, a key outside the suite's scope ERROR_ACCESS_DENIED
// (logged, never re-issued); all without touching the registry. The key is
// handed on in its normalised form, the one the scope check saw.
uint32_t ReadKeyArgs(const PipeRequest& r, bool with_value, const wchar_t* handler, vantrel::hw::ScopeRule rule,
                     KeyValueArgs* out) {
  auto path = r.StringArg(0);
  if (!path) return win32::kErrorInvalidParameter;
  std::optional<std::wstring> value;
  if (with_value) {
    value = r.StringArg(1);
    if (!value) return win32::kErrorInvalidParameter;
  }
  auto key = reg::ParseKeyPath(*path);
  if (!key) return win32::kErrorFileNotFound;
  auto scoped = vantrel::hw::ScopedSubkey(*key, rule);
  if (!scoped) {
    vantrel::Log(vantrel::kLogWarning, std::wstring(kProcessorPrefix) + handler,
                 L"refused: key outside SOFTWARE\\OEM: " + vantrel::hw::PrintablePath(*path));
    return win32::kErrorAccessDenied;
  }
  out->key = reg::KeyPath{key->root, *scoped};
  out->key_text = *path;
  if (value) out->value = *value;
  return win32::kErrorSuccess;
}

// kSvcCmdRegSetValue's write: creates the key when it cannot be opened for reading.
uint32_t WriteValue(reg::Registry& registry, const KeyValueArgs& a, uint32_t type, std::span<const uint8_t> data) {
  if (registry.OpenKey(a.key.root, a.key.subkey) != win32::kErrorSuccess) {
    registry.CreateKey(a.key.root, a.key.subkey);
  }
  return registry.SetValue(a.key.root, a.key.subkey, a.value, type, data.data(), static_cast<uint32_t>(data.size()));
}

// Arguments 0 (key), 1 (value), 2 (type), 3 (data) of commands 3 and 5.
PipeReply SetOrUpdate(const PipeRequest& r, uint16_t command, bool only_existing) {
  KeyValueArgs a;
  uint32_t result = ReadKeyArgs(r, true, only_existing ? L"reg_update_value" : L"reg_set_value",
                                vantrel::hw::ScopeRule::kAtOrBelow, &a);
  auto data = r.arg(3);
  if (result == win32::kErrorSuccess && (!r.arg(2) || !data)) result = win32::kErrorInvalidParameter;
  if (result != win32::kErrorSuccess) return ReplyU32(result);
  const uint32_t type = r.U32Arg(2);  // longer than 4 bytes reads 0

  reg::Registry& registry = reg::SystemRegistry();
  if (only_existing) {
    uint32_t existing_type = 0;
    uint32_t size = 0;
    result = registry.GetValue(a.key.root, a.key.subkey, a.value, win32::kRrfRtAny, &existing_type, nullptr, &size);
  }
  if (result == win32::kErrorSuccess) result = WriteValue(registry, a, type, *data);

  ReissueArgs args;
  args.AddString(a.key_text);
  args.AddString(a.value);
  args.AddU32(type);
  args.AddData(*data);
  return FinishU32(command, args, result);
}

// Writes the default of a get command (REG_SZ for flags 2, REG_DWORD for 16,
// else the flags themselves as the type) and reads the value back into
// `buffer`; `*size` is the read's reported size. Returns the read's result,
// the write's when it was denied, nullopt when the write failed otherwise.
std::optional<uint32_t> WriteDefault(reg::Registry& registry, const KeyValueArgs& a, uint32_t flags,
                                     std::span<const uint8_t> default_data, uint32_t capacity,
                                     std::vector<uint8_t>* buffer, uint32_t* size) {
  uint32_t write_type = flags;
  if (flags == win32::kRrfRtRegSz) write_type = win32::kRegSz;
  if (flags == win32::kRrfRtRegDword) write_type = win32::kRegDword;
  const uint32_t written = registry.SetValue(a.key.root, a.key.subkey, a.value, write_type, default_data.data(),
                                             static_cast<uint32_t>(default_data.size()));
  if (written == win32::kErrorAccessDenied) return written;
  if (written != win32::kErrorSuccess) return std::nullopt;
  std::fill(buffer->begin(), buffer->end(), 0);
  *size = capacity;
  uint32_t type = 0;
  return registry.GetValue(a.key.root, a.key.subkey, a.value, flags, &type, buffer->data(), size);
}

}  // namespace

std::vector<PipeCommandHandler> VmClientCommandProcessor::CommandTable() {
  using P = VmClientCommandProcessor;
  std::vector<PipeCommandHandler> table(kHardwareCommandSlots, &Reserved);
  table[kSvcCmdDumpArguments] = &vantrel::pipe::dump_arguments;
  table[kSvcCmdRegCreateKey] = &P::reg_create_key;
  table[kSvcCmdRegDeleteTree] = &P::reg_delete_tree;
  table[kSvcCmdRegSetValue] = &P::reg_set_value;
  table[kSvcCmdRegDeleteValue] = &P::reg_delete_value;
  table[kSvcCmdRegUpdateValue] = &P::reg_update_value;
  table[kSvcCmdRegGetValue] = &P::reg_get_value;
  table[kSvcCmdWMIGetGamingSystemInformation] = &P::wmi_get_gaming_system_information;
  table[kSvcCmdGPUGetCount] = &P::gpu_get_count;
  table[kSvcCmdGPUGetIdleState] = &P::gpu_get_idle_state;
  table[kSvcCmdGPUGetFrequency] = &P::gpu_get_frequency;
  table[kSvcCmdGPUGetMaxFrequency] = &P::gpu_get_max_frequency;
  table[kSvcCmdGPUGetUsage] = &P::gpu_get_usage;
  table[kSvcCmdWMISetGamingFanGroupBehavior] = &P::wmi_set_gaming_fan_group_behavior;
  table[kSvcCmdWMIGetGamingFanGroupBehavior] = &P::wmi_get_gaming_fan_group_behavior;
  table[kSvcCmdWMISetGamingFanGroupSpeed] = &P::wmi_set_gaming_fan_group_speed;
  table[kSvcCmdWMIGetGamingFanGroupSpeed] = &P::wmi_get_gaming_fan_group_speed;
  table[kSvcCmdWMISetGamingFanTable] = &P::wmi_set_gaming_fan_table;
  table[kSvcCmdWMIGetGamingFanTable] = &P::wmi_get_gaming_fan_table;
  table[kSvcCmdGetOperationModeCapbility] = &P::get_operation_mode_capability;
  table[kSvcCmdGetOperationMode] = &P::get_operation_mode;
  table[kSvcCmdSetOperationMode] = &P::set_operation_mode;
  table[kSvcCmdGetDTSSoundMode] = &P::get_dts_sound_mode;
  table[kSvcCmdSetDTSSoundMode] = &P::set_dts_sound_mode;
  table[kSvcCmdWMISetGamingProfileConfiguration] = &P::wmi_set_gaming_profile_configuration;
  table[kSvcCmdWMIGetGamingProfileConfiguration] = &P::wmi_get_gaming_profile_configuration;
  table[kSvcCmdWMISetGamingMiscSetting] = &P::wmi_set_gaming_misc_setting;
  table[kSvcCmdWMIGetGamingMiscSetting] = &P::wmi_get_gaming_misc_setting;
  table[kSvcCmdGetStickyKey] = &P::get_stickykey;
  table[kSvcCmdWMIGeFunction] = &P::wmi_get_function;
  table[kSvcCmdWMISetFunction] = &P::wmi_set_function;
  table[kSvcCmdGetKBBLoff30sControl] = &P::usb_get_keyborad_backlight30s;
  table[kSvcCmdApplyBIOSLogo] = &P::apply_bios_logo;
  table[kSvcCmdRestoreBIOSLogo] = &P::restore_bios_logo;
  table[kSvcCmdGetBIOSLogo] = &P::get_bios_logo;
  return table;
}

PipeReply VmClientCommandProcessor::reg_create_key(const PipeRequest& r) {
  KeyValueArgs a;
  uint32_t result = ReadKeyArgs(r, false, L"reg_create_key", vantrel::hw::ScopeRule::kAtOrBelow, &a);
  if (result != win32::kErrorSuccess) return ReplyU32(result);
  result = reg::SystemRegistry().CreateKey(a.key.root, a.key.subkey);
  ReissueArgs args;
  args.AddString(a.key_text);
  return FinishU32(kSvcCmdRegCreateKey, args, result);
}

PipeReply VmClientCommandProcessor::reg_delete_tree(const PipeRequest& r) {
  KeyValueArgs a;
  // A root, SOFTWARE or SOFTWARE\OEM itself is refused: the scope admits only
  // keys strictly below OEM here, so no client empties what others share.
  uint32_t result = ReadKeyArgs(r, false, L"reg_delete_tree", vantrel::hw::ScopeRule::kStrictlyBelow, &a);
  if (result != win32::kErrorSuccess) return ReplyU32(result);
  result = reg::SystemRegistry().DeleteTree(a.key.root, a.key.subkey);
  ReissueArgs args;
  args.AddString(a.key_text);
  return FinishU32(kSvcCmdRegDeleteTree, args, result);
}

PipeReply VmClientCommandProcessor::reg_set_value(const PipeRequest& r) {
  return SetOrUpdate(r, kSvcCmdRegSetValue, false);
}

PipeReply VmClientCommandProcessor::reg_update_value(const PipeRequest& r) {
  return SetOrUpdate(r, kSvcCmdRegUpdateValue, true);
}

PipeReply VmClientCommandProcessor::reg_delete_value(const PipeRequest& r) {
  KeyValueArgs a;
  uint32_t result = ReadKeyArgs(r, true, L"reg_delete_value", vantrel::hw::ScopeRule::kAtOrBelow, &a);
  if (result != win32::kErrorSuccess) return ReplyU32(result);
  result = reg::SystemRegistry().DeleteValue(a.key.root, a.key.subkey, a.value);
  ReissueArgs args;
  args.AddString(a.key_text);
  args.AddString(a.value);
  return FinishU32(kSvcCmdRegDeleteValue, args, result);
}

// Arguments: key path, value name, u32 type flags, u32 buffer size, default
// data (optional). Reply: u32 result, data (never more than the buffer).
PipeReply VmClientCommandProcessor::reg_get_value(const PipeRequest& r) {
  KeyValueArgs a;
  uint32_t result = ReadKeyArgs(r, true, L"reg_get_value", vantrel::hw::ScopeRule::kAtOrBelow, &a);
  if (result == win32::kErrorSuccess && (!r.arg(2) || !r.arg(3))) result = win32::kErrorInvalidParameter;
  if (result != win32::kErrorSuccess) return ReplyResultAndData(result, nullptr, 0);

  const uint32_t flags = r.U32Arg(2);  // longer than 4 bytes reads 0
  const uint32_t requested = r.U32Arg(3);
  // A size the reply could never carry is not allocated: the read then
  // reports ERROR_MORE_DATA like any buffer too small for the value.
  const uint32_t capacity = std::min(requested, kMaxGetValueBuffer);
  const std::span<const uint8_t> default_data = r.arg(4).value_or(std::span<const uint8_t>());

  reg::Registry& registry = reg::SystemRegistry();
  // Never a null buffer, even for size 0: a null pointer would turn the read
  // into a size query that succeeds without data instead of ERROR_MORE_DATA.
  std::vector<uint8_t> buffer(std::max<uint32_t>(capacity, 1), 0);
  uint32_t type = 0;
  uint32_t size = capacity;
  result = registry.GetValue(a.key.root, a.key.subkey, a.value, flags, &type, buffer.data(), &size);

  // The default stands in for a missing value only. A value that exists but
  // does not fit the flags or the buffer is the caller's and stays as it is;
  // a denied read goes to the re-issue.
  if (result != win32::kErrorSuccess && result != win32::kErrorMoreData && result != win32::kErrorAccessDenied &&
      flags != win32::kRrfRtAny && !default_data.empty()) {
    uint32_t probe_size = 0;
    const uint32_t probe =
        registry.GetValue(a.key.root, a.key.subkey, a.value, win32::kRrfRtAny, nullptr, nullptr, &probe_size);
    if (probe == win32::kErrorAccessDenied) result = probe;
    if (probe == win32::kErrorFileNotFound) {
      result = WriteDefault(registry, a, flags, default_data, capacity, &buffer, &size).value_or(result);
    }
  }

  if (result == win32::kErrorAccessDenied) {
    ReissueArgs args;
    args.AddString(a.key_text);
    args.AddString(a.value);
    args.AddU32(flags);
    args.AddU32(requested);
    args.AddData(default_data);
    if (auto outcome = Reissue(kSvcCmdRegGetValue, args)) {
      const uint32_t n = std::min(static_cast<uint32_t>(outcome->data.size()), capacity);
      return ReplyResultAndData(outcome->result, outcome->data.data(), n);
    }
  }
  // The size a failed read reports can exceed the buffer (ERROR_MORE_DATA);
  // only the buffer's bytes are sent.
  return ReplyResultAndData(result, buffer.data(), std::min(size, capacity));
}

PipeReply VmClientCommandProcessor::get_operation_mode_capability(const PipeRequest&) {
  return LogOnly(L"get_operation_mode_capability", L"kSvcCmdGetOperationModeCapbility");
}
PipeReply VmClientCommandProcessor::get_operation_mode(const PipeRequest&) {
  return LogOnly(L"get_operation_mode", L"kSvcCmdGetOperationMode");
}
PipeReply VmClientCommandProcessor::set_operation_mode(const PipeRequest&) {
  return LogOnly(L"set_operation_mode", L"kSvcCmdSetOperationMode");
}
PipeReply VmClientCommandProcessor::get_dts_sound_mode(const PipeRequest&) {
  return LogOnly(L"get_dts_sound_mode", L"kSvcCmdGetDTSSoundMode");
}
PipeReply VmClientCommandProcessor::set_dts_sound_mode(const PipeRequest&) {
  return LogOnly(L"set_dts_sound_mode", L"kSvcCmdSetDTSSoundMode");
}
PipeReply VmClientCommandProcessor::get_stickykey(const PipeRequest&) {
  return LogOnly(L"get_stickykey", L"kSvcCmdGetStickyKey");
}
PipeReply VmClientCommandProcessor::usb_get_keyborad_backlight30s(const PipeRequest&) {
  return LogOnly(L"usb_get_keyborad_backlight30s", L"kSvcCmdGetKBBLoff30sControl");
}
PipeReply VmClientCommandProcessor::apply_bios_logo(const PipeRequest&) {
  return LogOnly(L"apply_bios_logo", L"kSvcCmdApplyBIOSLogo");
}
PipeReply VmClientCommandProcessor::restore_bios_logo(const PipeRequest&) {
  return LogOnly(L"restore_bios_logo", L"kSvcCmdRestoreBIOSLogo");
}
PipeReply VmClientCommandProcessor::get_bios_logo(const PipeRequest&) {
  return LogOnly(L"get_bios_logo", L"kSvcCmdGetBIOSLogo");
}

}  // namespace velmont
