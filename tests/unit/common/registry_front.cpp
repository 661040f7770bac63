// Key path parsing and the convenience layer, over a scripted fake registry.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::reg {
namespace {

using namespace vantrel::win32;

TEST(RegistryPaths, RootNamesAreMatchedInFullIgnoringCase) {
  EXPECT_EQ(ParseRootName(L"HKEY_LOCAL_MACHINE"), Root::kLocalMachine);
  EXPECT_EQ(ParseRootName(L"hkey_current_user"), Root::kCurrentUser);
  EXPECT_EQ(ParseRootName(L"Hkey_Current_Config"), Root::kCurrentConfig);
  EXPECT_EQ(ParseRootName(L"HKEY_CLASSES_ROOT"), Root::kClassesRoot);
  EXPECT_EQ(ParseRootName(L"HKEY_USERS"), Root::kUsers);
  for (const wchar_t* bad : {L"HKLM", L"HKEY_USER", L"HKEY_USERSX", L"", L" HKEY_USERS", L"HKEY_PERFORMANCE_DATA"}) {
    EXPECT_EQ(ParseRootName(bad), std::nullopt) << text::ToUtf8(bad);
  }
  for (Root r : {Root::kLocalMachine, Root::kCurrentUser, Root::kCurrentConfig, Root::kClassesRoot, Root::kUsers}) {
    EXPECT_EQ(ParseRootName(RootName(r)), r);
  }
}

TEST(RegistryPaths, KeyPathSplitsAtTheFirstBackslash) {
  auto p = ParseKeyPath(L"hkey_local_machine\\SOFTWARE\\OEM\\X");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->root, Root::kLocalMachine);
  EXPECT_EQ(p->subkey, L"SOFTWARE\\OEM\\X");

  p = ParseKeyPath(L"HKEY_USERS");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->root, Root::kUsers);
  EXPECT_EQ(p->subkey, L"") << "a bare root names the root itself";

  p = ParseKeyPath(L"HKEY_CURRENT_USER\\");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->subkey, L"");

  EXPECT_EQ(ParseKeyPath(L"HKLM\\SOFTWARE"), std::nullopt);
  EXPECT_EQ(ParseKeyPath(L"\\HKEY_USERS\\x"), std::nullopt);
  EXPECT_EQ(ParseKeyPath(L""), std::nullopt);
}

// Answers GetValue from a script; every other call fails.
class ScriptedRegistry : public Registry {
 public:
  std::function<uint32_t(uint32_t flags, uint32_t* type, void* data, uint32_t* size)> get;
  int gets = 0;

  uint32_t CreateKey(Root, const std::wstring&) override { return kErrorAccessDenied; }
  uint32_t OpenKey(Root, const std::wstring&) override { return kErrorAccessDenied; }
  uint32_t GetValue(Root, const std::wstring&, const std::wstring&, uint32_t flags, uint32_t* type, void* data,
                    uint32_t* size) override {
    ++gets;
    return get(flags, type, data, size);
  }
  uint32_t SetValue(Root, const std::wstring&, const std::wstring&, uint32_t, const void*, uint32_t) override {
    return kErrorAccessDenied;
  }
  uint32_t DeleteValue(Root, const std::wstring&, const std::wstring&) override { return kErrorAccessDenied; }
  uint32_t DeleteTree(Root, const std::wstring&) override { return kErrorAccessDenied; }
};

// Serves `bytes` as a RegGetValueW would, for REG_SZ reads.
uint32_t Serve(const std::vector<uint8_t>& bytes, uint32_t* type, void* data, uint32_t* size) {
  if (type) *type = kRegSz;
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  uint32_t rc = kErrorSuccess;
  if (data != nullptr) {
    if (*size < n) {
      rc = kErrorMoreData;
    } else {
      std::memcpy(data, bytes.data(), n);
    }
  }
  *size = n;
  return rc;
}

TEST(RegistryConvenience, ReadStringRetriesWhenTheValueGrowsBetweenProbeAndRead) {
  ScriptedRegistry fake;
  const std::vector<uint8_t> small = text::ToUtf16LeZ(L"ab");
  const std::vector<uint8_t> large = text::ToUtf16LeZ(L"a much longer value");
  fake.get = [&](uint32_t flags, uint32_t* type, void* data, uint32_t* size) {
    EXPECT_EQ(flags, kRrfRtRegSz);
    return Serve(fake.gets == 1 ? small : large, type, data, size);
  };
  EXPECT_EQ(ReadString(fake, Root::kLocalMachine, L"k", L"v"), L"a much longer value");
}

TEST(RegistryConvenience, ReadStringGivesUpOnAValueThatKeepsGrowing) {
  ScriptedRegistry fake;
  fake.get = [&](uint32_t, uint32_t* type, void* data, uint32_t* size) {
    return Serve(text::ToUtf16LeZ(std::wstring(static_cast<size_t>(fake.gets) * 50, L'x')), type, data, size);
  };
  EXPECT_EQ(ReadString(fake, Root::kLocalMachine, L"k", L"v"), std::nullopt);
  EXPECT_LT(fake.gets, 10);
}

TEST(RegistryConvenience, ReadDwordNeedsExactlyFourBytes) {
  ScriptedRegistry fake;
  uint32_t served = 4;
  fake.get = [&](uint32_t flags, uint32_t* type, void* data, uint32_t* size) -> uint32_t {
    EXPECT_EQ(flags, kRrfRtRegDword);
    if (type) *type = kRegDword;
    if (*size < served) return kErrorMoreData;
    std::memset(data, 0x11, served);
    *size = served;
    return kErrorSuccess;
  };
  EXPECT_EQ(ReadDword(fake, Root::kLocalMachine, L"k", L"v"), 0x11111111u);
  served = 2;
  EXPECT_EQ(ReadDword(fake, Root::kLocalMachine, L"k", L"v"), std::nullopt);
}

TEST(RegistryConvenience, SystemRegistryCanBeReplacedAndRestored) {
  ScriptedRegistry fake;
  Registry& real = SystemRegistry();
  SetSystemRegistryForTesting(&fake);
  EXPECT_EQ(&SystemRegistry(), &fake);
  SetSystemRegistryForTesting(nullptr);
  EXPECT_EQ(&SystemRegistry(), &real);
}

}  // namespace
}  // namespace vantrel::reg
