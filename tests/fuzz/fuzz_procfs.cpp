// The /proc and sysfs text parsers: /proc/stat's cpu line, /proc/meminfo,
// /proc/cpuinfo, sysfs numbers and PCI attributes, and the firmware's decimal
// answers. Texts printed from chosen numbers must read back exactly; any text
// must give a sane answer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/metrics/counter_math.h"
#include "agent/metrics/open_files_posix.h"
#include "common/text.h"
#include "hardware/firmware/commands.h"
#include "hardware/model/model_config.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace agent = vantrel::agent;
using u128 = unsigned __int128;

std::string Spaces(FuzzedDataProvider& in) { return std::string(in.ConsumeIntegralInRange<int>(1, 3), ' '); }

void CheckProcStat(FuzzedDataProvider& in) {
  const int n = in.ConsumeIntegralInRange<int>(4, 10);
  std::vector<uint64_t> f;
  std::string text = in.ConsumeBool() ? "intr 1 2 3\ncpu0 9 9 9 9\n" : "";
  text += "cpu";
  for (int i = 0; i < n; ++i) {
    f.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 1u << 30) : in.ConsumeIntegral<uint64_t>());
    text += Spaces(in) + std::to_string(f.back());
  }
  text += "\nctxt 5\n";
  // The first eight fields count; idle is the fourth plus iowait.
  u128 total = 0;
  for (int i = 0; i < n && i < 8; ++i) total += f[i];
  const u128 idle = static_cast<u128>(f[3]) + (n > 4 ? f[4] : 0);
  const auto got = agent::ParseProcStatTotal(text);
  if (total > UINT64_MAX) {
    FUZZ_CHECK(!got);  // no real counter set sums past 64 bits: a damaged line
    return;
  }
  FUZZ_CHECK(got && got->total == total && got->busy == total - idle);
}

void CheckPercent(double p) { FUZZ_CHECK(p >= 0.0 && p <= 100.0); }
void CheckPercent(std::optional<double> p) {
  if (p) CheckPercent(*p);
}

void CheckCpuTimes(FuzzedDataProvider& in) {
  agent::CpuTimes a{in.ConsumeIntegral<uint64_t>(), in.ConsumeIntegral<uint64_t>()};
  agent::CpuTimes b{in.ConsumeIntegral<uint64_t>(), in.ConsumeIntegral<uint64_t>()};
  CheckPercent(agent::ProcessorTimePercent(a, b));
  const std::string raw = in.ConsumeRemainingBytesAsString();
  if (const auto t = agent::ParseProcStatTotal(raw)) FUZZ_CHECK(t->busy <= t->total);
}

void CheckMeminfo(FuzzedDataProvider& in) {
  const uint64_t total = in.ConsumeIntegral<uint64_t>();
  const uint64_t available = in.ConsumeIntegral<uint64_t>();
  const std::string noise = in.ConsumeRandomLengthString(64);
  const std::string text = "MemTotal:" + Spaces(in) + std::to_string(total) + " kB\n" + noise + "\nMemAvailable:" +
                           Spaces(in) + std::to_string(available) + " kB\n";
  FUZZ_CHECK(agent::ParseMeminfoKb(text, "MemTotal") == total);
  // The noise may hold a MemAvailable line of its own, which comes first.
  if (noise.find("MemAvailable") == std::string::npos) FUZZ_CHECK(agent::ParseMeminfoKb(text, "MemAvailable") == available);
  (void)agent::ParseMeminfoKb(in.ConsumeRemainingBytesAsString(), "MemAvailable");
}

void CheckCpuinfo(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    const auto mhz = agent::ParseCpuinfoMhz(in.ConsumeRemainingBytesAsString());
    FUZZ_CHECK(mhz.size() <= 4096);
    for (const auto& m : mhz) if (m) FUZZ_CHECK(std::isfinite(*m) && *m > 0.0);
    return;
  }
  std::string text;
  std::vector<std::pair<int, std::string>> cores;
  while (in.remaining_bytes() > 0 && cores.size() < 64) {
    const int id = in.ConsumeIntegralInRange<int>(0, 80);
    char mhz[64];
    std::snprintf(mhz, sizeof mhz, "%.3f", in.ConsumeFloatingPointInRange<double>(1.0, 1e6));
    text += "processor\t: " + std::to_string(id) + "\nvendor_id\t: x\ncpu MHz\t\t: " + mhz + "\n\n";
    cores.emplace_back(id, mhz);
  }
  const auto got = agent::ParseCpuinfoMhz(text);
  for (const auto& [id, mhz] : cores) {
    // A later block with the same number wins.
    std::string last;
    for (const auto& [id2, mhz2] : cores) if (id2 == id) last = mhz2;
    FUZZ_CHECK(static_cast<size_t>(id) < got.size() && got[id] == std::strtod(last.c_str(), nullptr));
  }
}

// Decimal digits after optional blanks: the value, nullopt past 64 bits or without digits.
std::optional<uint64_t> ReferenceLeading(const std::string& s) {
  size_t i = s.find_first_not_of(" \t");
  if (i == std::string::npos) return std::nullopt;
  u128 v = 0;
  size_t digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
    if (v > UINT64_MAX) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint64_t>(v);
}

std::optional<uint64_t> ReferenceDecimal(const std::wstring& s) {
  const wchar_t* blanks = L" \t\r\n";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::wstring::npos) return std::nullopt;
  const size_t e = s.find_last_not_of(blanks) + 1;
  u128 v = 0;
  for (size_t i = b; i < e; ++i) {
    if (s[i] < L'0' || s[i] > L'9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(s[i] - L'0');
    if (v > UINT64_MAX) return std::nullopt;
  }
  return static_cast<uint64_t>(v);
}

void CheckNumbers(FuzzedDataProvider& in) {
  const uint64_t n = in.ConsumeIntegral<uint64_t>();
  FUZZ_CHECK(velmont::firmware::ParseDecimalText(velmont::firmware::DecimalText(n)) == n);
  FUZZ_CHECK(agent::ParseLeadingNumber(" " + std::to_string(n) + "\n") == n);
  const std::string raw = in.ConsumeRandomLengthString(64);
  FUZZ_CHECK(agent::ParseLeadingNumber(raw) == ReferenceLeading(raw));
  const std::wstring wide = vantrel::text::FromUtf8(raw);
  FUZZ_CHECK(velmont::firmware::ParseDecimalText(wide) == ReferenceDecimal(wide));
  if (const auto count = vantrel::hw::ParseGpuCount(wide)) {
    FUZZ_CHECK(*count >= 0 && *count <= vantrel::hw::kMaxListedGpus);
  }
}

void CheckPci(FuzzedDataProvider& in) {
  const uint16_t v = in.ConsumeIntegral<uint16_t>(), d = in.ConsumeIntegral<uint16_t>();
  const uint16_t sv = in.ConsumeIntegral<uint16_t>(), sd = in.ConsumeIntegral<uint16_t>();
  const uint8_t r = in.ConsumeIntegral<uint8_t>();
  auto hex = [](unsigned x, int width) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%0*x\n", width, x);
    return std::string(b);
  };
  wchar_t want[96];
  std::swprintf(want, 96, L"PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", v, d, sd, sv, r);
  FUZZ_CHECK(vantrel::hw::PciHardwareId(hex(v, 4), hex(d, 4), hex(sv, 4), hex(sd, 4), hex(r, 2)) ==
             std::wstring(want));
  std::string raw[5];
  for (auto& s : raw) s = in.ConsumeRandomLengthString(12);
  if (const auto id = vantrel::hw::PciHardwareId(raw[0], raw[1], raw[2], raw[3], raw[4])) {
    FUZZ_CHECK(id->size() == std::wstring(want).size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: CheckProcStat(in); break;
    case 1: CheckCpuTimes(in); break;
    case 2: CheckMeminfo(in); break;
    case 3: CheckCpuinfo(in); break;
    case 4: CheckNumbers(in); break;
    default: CheckPci(in); break;
  }
  return 0;
}
