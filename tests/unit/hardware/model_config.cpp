// The start-up values and the overclock search over a fake environment:
// brand rule, INI choice, identifier match, "GPU_OC_Support", and damaged
// "Count" values.
#include "hardware/model/model_config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/startup.h"
#include "tests/unit/hardware/fake_registry.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace {

using vantrel::reg::Root;
using vantrel::testing::FakeRegistry;
namespace hw = vantrel::hw;

constexpr wchar_t kHwid[] = L"PCI\\VEN_10DE&DEV_2560&SUBSYS_12345678&REV_A1";

std::optional<uint32_t> OcSupport(FakeRegistry& r) {
  return vantrel::reg::ReadDword(r, Root::kLocalMachine, vantrel::reg::kOverclockKey, L"GPU_OC_Support");
}

struct Fixture {
  FakeRegistry registry;
  std::map<std::wstring, std::string> files;
  std::optional<std::vector<std::wstring>> adapters = std::vector<std::wstring>{kHwid};
  int enumerations = 0;

  hw::OverclockEnvironment Env() {
    hw::OverclockEnvironment env;
    env.exe_dir = L"C:\\Svc";
    env.separator = L'\\';
    env.tavrix_path = hw::kTavrixIniPath;
    env.file_exists = [this](const std::wstring& p) { return files.count(p) != 0; };
    env.load_ini = [this](const std::wstring& p) -> std::optional<hw::IniFile> {
      auto it = files.find(p);
      if (it == files.end()) return std::nullopt;
      return hw::IniFile::Parse(std::vector<uint8_t>(it->second.begin(), it->second.end()));
    };
    env.display_hardware_ids = [this] {
      ++enumerations;
      return adapters;
    };
    env.registry = &registry;
    return env;
  }
};

TEST(ListenerStartup, BrandRuleAndModelValues) {
  struct Case {
    const wchar_t* model;
    const wchar_t* brand;
  } cases[] = {{L"Rookane R15 X", L"Rookane"}, {L"rookane r15", L"Vantrel"}, {L"RookaneX", L"Vantrel"},
               {L"Quelm Q7", L"Quelm"},        {L"Quelm", L"Quelm"},         {L"Rookane", L"Rookane"},
               {L" Rookane R15", L"Vantrel"},  {L"", L"Vantrel"},
               // Narrowed to the low byte: U+0152 ends in 0x52 ('R').
               {L"\u0152ookane 15", L"Rookane"}};
  for (const Case& c : cases) {
    FakeRegistry r;
    std::wstring searched = L"unset";
    hw::ListenerStartupHooks hooks;
    hooks.read_model = [&] { return std::optional<std::wstring>(c.model); };
    hooks.operation_mode_support = [] { return std::optional<bool>(true); };
    hooks.overclock_search = [&](const std::wstring& m) { searched = m; };
    hw::RunListenerStartup(r, hooks);
    const std::wstring key = vantrel::reg::kSuiteKey;
    EXPECT_EQ(vantrel::reg::ReadString(r, Root::kLocalMachine, key, L"Model_Name_1st"), std::wstring(c.model));
    EXPECT_EQ(vantrel::reg::ReadString(r, Root::kLocalMachine, key, L"Model_Name_1st_brand"), std::wstring(c.brand))
        << vantrel::text::ToUtf8(c.model);
    EXPECT_EQ(vantrel::reg::ReadDword(r, Root::kLocalMachine, key, L"Operation_Mode_Support"), 1u);
    EXPECT_EQ(searched, c.model);
  }
}

TEST(ListenerStartup, NoModelWritesNeitherValueAndSearchesWithAnEmptyModel) {
  FakeRegistry r;
  std::vector<std::string> order;
  std::wstring searched = L"unset";
  hw::ListenerStartupHooks hooks;
  hooks.read_model = [&] {
    order.push_back("model");
    return std::optional<std::wstring>();
  };
  hooks.operation_mode_support = [&] {
    order.push_back("opmode");
    return std::optional<bool>(false);
  };
  hooks.publish_gpu_names = [&] { order.push_back("gpu"); };
  hooks.overclock_search = [&](const std::wstring& m) {
    order.push_back("oc");
    searched = m;
  };
  hw::RunListenerStartup(r, hooks);
  EXPECT_EQ(order, (std::vector<std::string>{"model", "opmode", "gpu", "oc"}));
  EXPECT_FALSE(vantrel::reg::ValueExists(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st"));
  EXPECT_FALSE(vantrel::reg::ValueExists(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st_brand"));
  EXPECT_EQ(vantrel::reg::ReadDword(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Operation_Mode_Support"), 0u);
  EXPECT_EQ(searched, L"");
}

TEST(OverclockSearch, TavrixIniWinsOverTheModelNamedFile) {
  Fixture f;
  f.files[L"C:\\Svc\\R15.ini"] = "[OC_GPU]\nCount=1\nGPUName1=NOPE\n";
  f.files[hw::kTavrixIniPath] = "[OC_GPU]\nCount=1\nGPUName1=DEV_2560\n";
  const auto env = f.Env();
  EXPECT_EQ(hw::ChooseIniPath(L"R15", env), std::wstring(hw::kTavrixIniPath));
  EXPECT_TRUE(hw::SearchGpuOcSupport(L"R15", env));
  EXPECT_EQ(OcSupport(f.registry), 1u);

  f.files.erase(hw::kTavrixIniPath);
  EXPECT_EQ(hw::ChooseIniPath(L"R15", env), std::wstring(L"C:\\Svc\\R15.ini"));
  EXPECT_EQ(hw::ChooseIniPath(L"", env), std::wstring(L"C:\\Svc\\.ini"));
}

TEST(OverclockSearch, SecondIdentifierMatchesAndItsSectionIsRead) {
  Fixture f;
  f.files[L"C:\\Svc\\R15.ini"] =
      "[OC_GPU]\nCount=2\nGPUName1=DEV_9999\nGPUName2=VEN_10DE&DEV_2560\n"
      "[VEN_10DE&DEV_2560]\nQuiet=100.5\nTurbo=250\nRAM_Extreme=x\n";
  fwgpu_test::LogCapture log;
  const auto env = f.Env();
  EXPECT_EQ(hw::FindGpuDevice({L"DEV_9999", L"VEN_10DE&DEV_2560"}, env), std::optional<size_t>(1));
  EXPECT_TRUE(hw::SearchGpuOcSupport(L"R15", env));
  EXPECT_EQ(OcSupport(f.registry), 1u);
  const std::string fn = "search_cpu_gpu_oc_support";
  EXPECT_TRUE(log.Has(fn, "OC_GPU->Count: 2"));
  EXPECT_TRUE(log.Has(fn, "OC_GPU->GPUName2: VEN_10DE&DEV_2560"));
  EXPECT_TRUE(log.Has(fn, "GPU Normal overclock frequency: 100.500000"));
  EXPECT_TRUE(log.Has(fn, "GPU Turbo overclock frequency: 250.000000"));
  EXPECT_TRUE(log.Has(fn, "GPU RAM_Extreme overclock frequency: 0.000000"));
  EXPECT_FALSE(log.Has(fn, "GPU Faster overclock frequency: 0.000000"));  // "NULL": not logged
  EXPECT_TRUE(log.Has("find_gpu_device",
                      "Find the same GPU HWID: PCI\\VEN_10DE&DEV_2560&SUBSYS_12345678&REV_A1"));
}

TEST(OverclockSearch, NothingIsWrittenWithoutAMatchAndNeverAZero) {
  Fixture f;
  f.files[L"C:\\Svc\\R15.ini"] = "[OC_GPU]\nCount=3\nGPUName1=dev_2560\nGPUName3=DEV_0001\n";
  // Case-sensitive, and the missing GPUName2 becomes "NULL", which matches nothing here.
  EXPECT_FALSE(hw::SearchGpuOcSupport(L"R15", f.Env()));
  EXPECT_FALSE(OcSupport(f.registry).has_value());
  // ... but does match an id containing that text.
  f.adapters = std::vector<std::wstring>{L"PCI\\VEN_NULL"};
  EXPECT_TRUE(hw::SearchGpuOcSupport(L"R15", f.Env()));
  // The enumeration cannot be opened.
  Fixture g;
  g.files[L"C:\\Svc\\R15.ini"] = "[OC_GPU]\nCount=1\nGPUName1=DEV_2560\n";
  g.adapters.reset();
  EXPECT_FALSE(hw::SearchGpuOcSupport(L"R15", g.Env()));
  // The first adapter with a match wins; the first identifier within it.
  g.adapters = std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_0001", kHwid};
  EXPECT_EQ(hw::FindGpuDevice({L"XX", L"DEV_2560", L"VEN_10DE"}, g.Env()), std::optional<size_t>(1));
}

TEST(OverclockSearch, MissingOrDamagedCountStopsBeforeTheDevices) {
  const char* bodies[] = {
      "[OC_GPU]\nGPUName1=DEV_2560\n",        // no Count
      "[OC_GPU]\nCount=abc\nGPUName1=DEV_2560\n", "[OC_GPU]\nCount=0\nGPUName1=DEV_2560\n",
      "[OC_GPU]\nCount=-1\nGPUName1=DEV_2560\n",  "[OC_GPU]\nCount=99999999999999999999\nGPUName1=DEV_2560\n",
      "[OC_GPU]\nCount=2147483648\n",             "[OC_GPU]\nCount=1025\nGPUName1=DEV_2560\n",
  };
  for (const char* body : bodies) {
    Fixture f;
    // An earlier run left a value: it stays as it was.
    vantrel::reg::WriteDword(f.registry, Root::kLocalMachine, vantrel::reg::kOverclockKey, L"GPU_OC_Support", 7);
    f.files[L"C:\\Svc\\R15.ini"] = body;
    EXPECT_FALSE(hw::SearchGpuOcSupport(L"R15", f.Env())) << body;
    EXPECT_EQ(f.enumerations, 0) << body;
    EXPECT_EQ(OcSupport(f.registry), 7u) << body;
  }
  // No file at all reads as a missing Count.
  Fixture none;
  EXPECT_FALSE(hw::SearchGpuOcSupport(L"R15", none.Env()));
  EXPECT_EQ(none.enumerations, 0);
}

TEST(OverclockSearch, CountTextIsReadLikeWtoiWithinBounds) {
  EXPECT_EQ(hw::ParseGpuCount(L"2"), 2);
  EXPECT_EQ(hw::ParseGpuCount(L"  +3x"), 3);
  EXPECT_EQ(hw::ParseGpuCount(L"x3"), 0);
  EXPECT_EQ(hw::ParseGpuCount(L""), 0);
  EXPECT_EQ(hw::ParseGpuCount(L"-0"), 0);
  EXPECT_EQ(hw::ParseGpuCount(L"1024"), 1024);
  EXPECT_EQ(hw::ParseGpuCount(L"1025"), std::nullopt);
  EXPECT_EQ(hw::ParseGpuCount(L"-2"), std::nullopt);
  // A huge count with a matching list is not a list: it neither loops nor matches.
  Fixture f;
  f.files[L"C:\\Svc\\R15.ini"] = "[OC_GPU]\nCount=4000000000\nGPUName1=DEV_2560\n";
  EXPECT_FALSE(hw::SearchGpuOcSupport(L"R15", f.Env()));
}

TEST(OverclockSearch, EmptyIdentifierMatchesNothing) {
  EXPECT_EQ(hw::MatchIdentifier({L"", L"DEV_2560"}, kHwid), std::optional<size_t>(1));
  EXPECT_EQ(hw::MatchIdentifier({L""}, kHwid), std::nullopt);
}

TEST(OverclockSearch, AModelTooLongForThePathBufferNeverOverruns) {
  Fixture f;
  const std::wstring model(300, L'M');
  f.files[L"C:\\Svc\\" + model + L".ini"] = "[OC_GPU]\nCount=1\nGPUName1=DEV_2560\n";
  EXPECT_EQ(hw::ChooseIniPath(model, f.Env()), std::nullopt);
  EXPECT_FALSE(hw::SearchGpuOcSupport(model, f.Env()));
  // Exactly 259 characters still fits; Tavrix.ini is used whatever the model.
  const std::wstring fits(259 - 11, L'M');  // "C:\Svc\" + model + ".ini"
  EXPECT_EQ(hw::ChooseIniPath(fits, f.Env())->size(), 259u);
  f.files[hw::kTavrixIniPath] = "[OC_GPU]\nCount=1\nGPUName1=DEV_2560\n";
  EXPECT_TRUE(hw::SearchGpuOcSupport(model, f.Env()));
}

TEST(OverclockSearch, PciHardwareIdFromSysfsTexts) {
  EXPECT_EQ(hw::PciHardwareId("0x10de\n", "0x2560\n", "0x1043\n", "0x1f3f\n", "0xa1\n"),
            std::wstring(L"PCI\\VEN_10DE&DEV_2560&SUBSYS_1F3F1043&REV_A1"));
  EXPECT_EQ(hw::PciHardwareId("0x10de", "0x2560", "0x1043", "0x1f3f", "0x100"), std::nullopt);
  EXPECT_EQ(hw::PciHardwareId("0x10de", "0x12345", "0x1043", "0x1f3f", "0xa1"), std::nullopt);
  EXPECT_EQ(hw::PciHardwareId("junk", "0x2560", "0x1043", "0x1f3f", "0xa1"), std::nullopt);
  EXPECT_EQ(hw::PciHardwareId(std::string(5000, 'f'), "0x2560", "0x1043", "0x1f3f", "0xa1"), std::nullopt);
}

}  // namespace
