// The hardware service's whole command table over a real store (the SQLite
// registry in a private state dir) and the simulated firmware. Each input is
// a sequence of requests, raw or built from registry-shaped pieces, against a
// store reset to the same contents. Checked: every reply's layout and width,
// registry writes that report success are in the store exactly, get-value
// never changes a value that exists and never reports success with less than
// the value's data, and keys outside the suite's own are refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/pipe_message.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware/commands.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace pipe = vantrel::pipe;
namespace reg = vantrel::reg;
namespace w = vantrel::win32;
using velmont::VmClientCommandProcessor;

// A value of a type outside the seven that RegGetValueW knows is refused even
// under RRF_RT_ANY (as on Windows); for such a value only its type and size are
// visible, and `data` holds that many zero bytes.
struct StoredValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool opaque = false;
  bool operator==(const StoredValue&) const = default;
};

// The store holds what a write sent: exactly, or by type and size where the
// type cannot be read back; string types read back with a terminator added when the data had
// none (at most two UTF-16 NULs, as RegGetValueW adds).
bool Holds(const std::optional<StoredValue>& stored, const StoredValue& written) {
  if (!stored || stored->type != written.type) return false;
  if (stored->opaque) return stored->data.size() == written.data.size();
  const bool text = written.type == w::kRegSz || written.type == w::kRegExpandSz || written.type == w::kRegMultiSz;
  const std::vector<uint8_t>& got = stored->data;
  if (!text) return got == written.data;
  if (got.size() < written.data.size() || got.size() > written.data.size() + 4) return false;
  if (!std::equal(written.data.begin(), written.data.end(), got.begin())) return false;
  return std::all_of(got.begin() + static_cast<std::ptrdiff_t>(written.data.size()), got.end(),
                     [](uint8_t b) { return b == 0; });
}

const std::vector<pipe::PipeCommandHandler>& Table() {
  static const auto* table = [] {
    const std::string& root = vantrel::fuzz::PrivateDirs();
    // The simulated firmware, chosen by the configuration file (and by the
    // store, for builds that still read it there).
    const std::string conf = root + "/vantrel.conf";
    std::ofstream(conf) << "[Platform]\nFirmwareBackend=sim\n";
    setenv("VANTREL_CONFIG", conf.c_str(), 1);
    return new std::vector<pipe::PipeCommandHandler>(VmClientCommandProcessor::CommandTable());
  }();
  return *table;
}

void ResetStore() {
  reg::Registry& r = reg::SystemRegistry();
  for (reg::Root root : {reg::Root::kLocalMachine, reg::Root::kCurrentUser, reg::Root::kUsers,
                         reg::Root::kClassesRoot, reg::Root::kCurrentConfig}) {
    r.DeleteTree(root, L"");
  }
  reg::WriteString(r, reg::Root::kLocalMachine, reg::kPlatformKey, L"FirmwareBackend", L"sim");
  reg::WriteDword(r, reg::Root::kLocalMachine, reg::kSuiteKey, L"dw", 7);
  const std::vector<uint8_t> keep = vantrel::text::ToUtf16LeZ(L"keep me");
  r.SetValue(reg::Root::kCurrentUser, L"SOFTWARE\\OEM\\X", L"exp", w::kRegExpandSz, keep.data(),
             static_cast<uint32_t>(keep.size()));
  reg::WriteString(r, reg::Root::kCurrentUser, L"Software\\X", L"s", L"outside");
}

std::optional<StoredValue> Stored(const reg::KeyPath& key, const std::wstring& name) {
  reg::Registry& r = reg::SystemRegistry();
  const uint32_t flags = w::kRrfRtAny | w::kRrfNoExpand;
  StoredValue v;
  uint32_t size = 0;
  const uint32_t probe = r.GetValue(key.root, key.subkey, name, flags, &v.type, nullptr, &size);
  if (probe == w::kErrorUnsupportedType) {
    v.data.assign(size, 0);
    v.opaque = true;
    return v;
  }
  if (probe != w::kErrorSuccess) return std::nullopt;
  v.data.resize(size);
  if (r.GetValue(key.root, key.subkey, name, flags, &v.type, v.data.data(), &size) != w::kErrorSuccess) {
    return std::nullopt;
  }
  v.data.resize(size);
  return v;
}

bool KeyExists(const reg::KeyPath& key) {
  return reg::SystemRegistry().OpenKey(key.root, key.subkey) == w::kErrorSuccess;
}

// The key with repeated, leading and trailing backslashes dropped, the form
// the handlers give the store; nullopt for paths with "." or ".." parts,
// whose reading is the handlers' own choice.
std::optional<reg::KeyPath> Normalised(const reg::KeyPath& key, std::vector<std::wstring>* names) {
  std::vector<std::wstring> parts(1);
  for (wchar_t c : key.subkey) {
    if (c == L'\\') parts.emplace_back();
    else parts.back() += c;
  }
  names->clear();
  reg::KeyPath out{key.root, L""};
  for (const auto& p : parts) {
    if (p == L"." || p == L"..") return std::nullopt;
    if (p.empty()) continue;
    if (!names->empty()) out.subkey += L'\\';
    out.subkey += p;
    names->push_back(p);
  }
  return out;
}

// Under SOFTWARE\OEM of HKLM or HKCU.
bool InsideSuiteKeys(const reg::KeyPath& key, const std::vector<std::wstring>& names) {
  const bool root_ok = key.root == reg::Root::kLocalMachine || key.root == reg::Root::kCurrentUser;
  return root_ok && names.size() >= 2 && vantrel::text::EqualsIgnoreCase(names[0], L"SOFTWARE") &&
         vantrel::text::EqualsIgnoreCase(names[1], L"OEM");
}

bool Writes(uint16_t command) {
  const auto* row = velmont::firmware::FindFirmwareCommand(command);
  return (command >= 1 && command <= 6) || (row != nullptr && row->set_row);
}

size_t ReplyArgs(uint16_t command) {
  return command == velmont::kSvcCmdRegGetValue ? 2 : 1;
}

void CheckRequest(const std::vector<uint8_t>& message) {
  const auto request = pipe::PipeRequest::Parse(message, velmont::kHardwareCommandSlots);
  if (!request) return;
  const uint16_t command = request->command();
  const auto path = request->StringArg(0);
  const auto value_name = request->StringArg(1);
  const std::optional<reg::KeyPath> parsed = path ? reg::ParseKeyPath(*path) : std::nullopt;
  std::vector<std::wstring> names;
  const std::optional<reg::KeyPath> key = parsed ? Normalised(*parsed, &names) : std::nullopt;
  const bool registry_command = command >= 1 && command <= 6;
  std::optional<StoredValue> before;
  if (key && value_name) before = Stored(*key, *value_name);

  const pipe::PipeReply reply = Table()[command](*request);

  const velmont::firmware::FirmwareCommand* row = velmont::firmware::FindFirmwareCommand(command);
  if (command == 0 || registry_command || row || (command >= 8 && command <= 12)) {
    FUZZ_CHECK(reply.has_value());
    const auto args = pipe::ParseReply(*reply);
    FUZZ_CHECK(args && args->size() == ReplyArgs(command));
    if (command != 0) FUZZ_CHECK((*args)[0].size() == (row ? row->output_width() : 4));
  } else {
    FUZZ_CHECK(!reply.has_value());  // log-only and reserved commands answer nothing
    return;
  }
  if (!registry_command) return;

  const auto args = *pipe::ParseReply(*reply);
  const uint32_t result = pipe::ReadU32Le(args[0].data());
  if (!key) return;
  const bool inside = InsideSuiteKeys(*key, names);
  if (!inside && result != w::kErrorInvalidParameter) FUZZ_CHECK(result == w::kErrorAccessDenied);
  // A refused command changes nothing.
  if (result == w::kErrorAccessDenied && value_name) FUZZ_CHECK(Stored(*key, *value_name) == before);
  switch (command) {
    case velmont::kSvcCmdRegCreateKey:
      if (result == w::kErrorSuccess) FUZZ_CHECK(KeyExists(*key));
      break;
    case velmont::kSvcCmdRegDeleteTree:
      if (result == w::kErrorSuccess) FUZZ_CHECK(!KeyExists(*key));
      break;
    case velmont::kSvcCmdRegSetValue:
    case velmont::kSvcCmdRegUpdateValue:
      if (result == w::kErrorSuccess) {
        const StoredValue written{request->U32Arg(2), std::vector<uint8_t>(request->arg(3)->begin(), request->arg(3)->end()), false};
        FUZZ_CHECK(value_name && Holds(Stored(*key, *value_name), written));
      }
      if (command == velmont::kSvcCmdRegUpdateValue && !before && value_name) {
        FUZZ_CHECK(!Stored(*key, *value_name));  // update never creates
      }
      break;
    case velmont::kSvcCmdRegDeleteValue:
      if (result == w::kErrorSuccess) FUZZ_CHECK(value_name && !Stored(*key, *value_name));
      break;
    case velmont::kSvcCmdRegGetValue: {
      if (!value_name) break;
      const uint32_t capacity = request->U32Arg(3);
      FUZZ_CHECK(args[1].size() <= capacity);
      if (!before) break;
      // The default stands in only for a missing value: an existing one keeps its type and data.
      FUZZ_CHECK(Stored(*key, *value_name) == before);
      // Success carries the whole value; strings may gain a terminator, expandable ones are expanded.
      if (result == w::kErrorSuccess && before->type != w::kRegSz && before->type != w::kRegExpandSz &&
          before->type != w::kRegMultiSz) {
        FUZZ_CHECK(std::vector<uint8_t>(args[1].begin(), args[1].end()) == before->data);
      }
      if (result == w::kErrorSuccess) FUZZ_CHECK(args[1].size() >= std::min<size_t>(before->data.size(), 1));
      break;
    }
    default:
      break;
  }
}

// Registry-shaped requests: a command 1 to 6 with paths, names, types and data
// drawn from pieces that reach both sides of every rule.
std::vector<uint8_t> BuildRequest(FuzzedDataProvider& in) {
  static const wchar_t* const kPaths[] = {
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\VantrelSysMonitorService",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\VantrelSysMonitorService\\Platform",
      L"HKEY_CURRENT_USER\\SOFTWARE\\OEM\\X",
      L"hkey_current_user\\software\\\\oem\\\\x\\",
      L"HKEY_CURRENT_USER\\Software\\X",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\ByNobody",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE",
      L"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\OEMX",
      L"HKEY_USERS\\SOFTWARE\\OEM\\X",
      L"HKEY_LOCAL_MACHINE",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\..\\..\\SYSTEM",
      L"NOT_A_ROOT\\SOFTWARE\\OEM",
  };
  static const wchar_t* const kNames[] = {L"dw", L"exp", L"s", L"FirmwareBackend", L"new", L""};
  // Values the reset store holds, so reads and updates meet existing data.
  static const std::pair<const wchar_t*, const wchar_t*> kExisting[] = {
      {L"HKEY_CURRENT_USER\\SOFTWARE\\OEM\\X", L"exp"},
      {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\VantrelSysMonitorService", L"dw"},
      {L"HKEY_CURRENT_USER\\Software\\X", L"s"},
  };
  const uint16_t command = in.ConsumeIntegralInRange<uint16_t>(1, 6);
  const bool existing = in.ConsumeBool();
  const auto& pair = in.PickValueInArray(kExisting);
  std::wstring path = existing ? pair.first : in.PickValueInArray(kPaths);
  if (!existing && in.ConsumeBool()) path += vantrel::text::FromUtf8(in.ConsumeRandomLengthString(8));
  std::vector<std::vector<uint8_t>> args;
  args.push_back(vantrel::text::ToUtf16LeZ(path));
  if (command != velmont::kSvcCmdRegCreateKey && command != velmont::kSvcCmdRegDeleteTree) {
    args.push_back(vantrel::text::ToUtf16LeZ(existing ? pair.second : in.PickValueInArray(kNames)));
  }
  if (command == velmont::kSvcCmdRegSetValue || command == velmont::kSvcCmdRegUpdateValue) {
    args.push_back(pipe::U32Bytes(in.PickValueInArray<uint32_t>({0, 1, 2, 3, 4, 7, 11, 0x7FFF})));
    args.push_back(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16)));
  }
  if (command == velmont::kSvcCmdRegGetValue) {
    args.push_back(pipe::U32Bytes(in.PickValueInArray<uint32_t>({0x2, 0x4, 0x8, 0x10, 0x40, 0xFFFF, 0x10000002,
                                                                  0x20000010, 0})));
    args.push_back(pipe::U32Bytes(in.PickValueInArray<uint32_t>({0, 1, 3, 4, 8, 64, 0xFFFFFFFF})));
    if (in.ConsumeBool()) args.push_back(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8)));
  }
  // Now and then an argument is cut or dropped, as a faulty client would send it.
  if (!args.empty() && in.ConsumeProbability<float>() < 0.1f) args.pop_back();
  std::vector<pipe::PipeArg> packed;
  for (const auto& a : args) packed.push_back({static_cast<uint32_t>(a.size()), a.data()});
  return pipe::PackRequest(command, packed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Table();
  // Only commands that can write (registry, firmware Set rows) make the next
  // input start from a reset store; most inputs leave it as it was.
  static bool dirty = true;
  if (dirty) ResetStore();
  dirty = false;
  FuzzedDataProvider in(data, size);
  for (int n = 0; n < 8 && in.remaining_bytes() > 0; ++n) {
    const std::vector<uint8_t> message =
        in.ConsumeBool() ? BuildRequest(in) : in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 600));
    if (message.size() >= 2) dirty = dirty || Writes(static_cast<uint16_t>(message[0] | (message[1] << 8)));
    CheckRequest(message);
  }
  return 0;
}
