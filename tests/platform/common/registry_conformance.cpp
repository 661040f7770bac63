// One behaviour suite for the registry backends: the Windows registry (run
// under Wine) and the Linux SQLite store (in a private state dir). Every case
// works below a unique key of its own and removes it afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::reg {
namespace {

using namespace vantrel::win32;

constexpr uint32_t kErrorDatatypeMismatch = 1629;

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); }

class RegistryConformance : public ::testing::TestWithParam<Root> {
 protected:
  void SetUp() override {
    base_ = L"Software\\VantrelTest\\" + testing::UniqueName(L"conf");
    const uint32_t rc = reg_.CreateKey(root(), base_);
    if (rc == kErrorAccessDenied) GTEST_SKIP() << "no write access to " << text::ToUtf8(RootName(root()));
    ASSERT_EQ(rc, kErrorSuccess);
  }
  void TearDown() override { reg_.DeleteTree(root(), base_); }

  Root root() const { return GetParam(); }
  std::wstring Key(const std::wstring& sub) const { return sub.empty() ? base_ : base_ + L"\\" + sub; }

  uint32_t Set(const std::wstring& sub, const std::wstring& name, uint32_t type, const std::vector<uint8_t>& data) {
    return reg_.SetValue(root(), Key(sub), name, type, data.data(), static_cast<uint32_t>(data.size()));
  }

  struct Read {
    uint32_t rc;
    uint32_t type;
    uint32_t size;
    std::vector<uint8_t> data;  // the first `size` bytes when rc is 0
  };
  Read Get(const std::wstring& sub, const std::wstring& name, uint32_t flags, uint32_t capacity = 256) {
    Read r{0, 0xDEAD, capacity, std::vector<uint8_t>(capacity, 0xAA)};
    r.rc = reg_.GetValue(root(), Key(sub), name, flags, &r.type, r.data.data(), &r.size);
    if (r.rc == kErrorSuccess) r.data.resize(r.size);
    return r;
  }

  testing::ScopedTestEnv env_;  // Linux: a private store for this case
  Registry& reg_ = SystemRegistry();
  std::wstring base_;
};

TEST_P(RegistryConformance, KeysAreCreatedWithTheirParentsAndFoundInAnyCase) {
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"a")), kErrorFileNotFound);
  ASSERT_EQ(reg_.CreateKey(root(), Key(L"a\\b\\c")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"a")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"a\\b")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"A\\B\\C")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), text::ToLower(Key(L"a\\b\\c"))), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"a\\b\\c\\d")), kErrorFileNotFound);
  EXPECT_EQ(reg_.CreateKey(root(), Key(L"a\\b\\c")), kErrorSuccess) << "creating an existing key opens it";
  EXPECT_EQ(reg_.OpenKey(root(), L""), kErrorSuccess) << "the root itself";

  // Non-ASCII names fold too.
  ASSERT_EQ(reg_.CreateKey(root(), Key(L"\u00c9t\u00e9")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"\u00e9T\u00c9")), kErrorSuccess);
}

TEST_P(RegistryConformance, BackslashesInKeyPaths) {
  EXPECT_EQ(reg_.CreateKey(root(), L"\\" + Key(L"x")), kErrorBadPathname);
  EXPECT_EQ(reg_.OpenKey(root(), L"\\" + base_), kErrorBadPathname);
  ASSERT_EQ(reg_.CreateKey(root(), Key(L"trail\\")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"trail")), kErrorSuccess);
  ASSERT_EQ(reg_.CreateKey(root(), Key(L"dbl\\\\x")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"dbl\\x")), kErrorSuccess);
}

TEST_P(RegistryConformance, EveryTypeReadsBackItsExactBytes) {
  const struct {
    const wchar_t* name;
    uint32_t type;
    uint32_t flags;
    std::vector<uint8_t> data;
  } cases[] = {
      {L"sz", kRegSz, kRrfRtRegSz, text::ToUtf16LeZ(L"text \u00e9")},
      {L"expand", kRegExpandSz, kRrfRtRegExpandSz | kRrfNoExpand, text::ToUtf16LeZ(L"%NOT_A_VAR%\\x")},
      {L"binary", kRegBinary, kRrfRtRegBinary, Bytes({0x00, 0xFF, 0x10})},
      {L"empty_binary", kRegBinary, kRrfRtRegBinary, {}},
      {L"dword", kRegDword, kRrfRtRegDword, Bytes({0x78, 0x56, 0x34, 0x12})},
      {L"multi", kRegMultiSz, kRrfRtRegMultiSz, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0})},
      {L"qword", kRegQword, kRrfRtRegQword, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {L"none", kRegNone, kRrfRtRegNone, {}},
      {L"", kRegSz, kRrfRtRegSz, text::ToUtf16LeZ(L"default value")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(text::ToUtf8(c.name));
    ASSERT_EQ(Set(L"types", c.name, c.type, c.data), kErrorSuccess);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(text::ToUtf8(c.name));
    const Read r = Get(L"types", c.name, c.flags);
    EXPECT_EQ(r.rc, kErrorSuccess);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.data, c.data);
  }
  // Names match in any case, and a write through another spelling replaces the value and its type.
  EXPECT_EQ(Get(L"types", L"DWORD", kRrfRtRegDword).rc, kErrorSuccess);
  ASSERT_EQ(Set(L"types", L"Dword", kRegSz, text::ToUtf16LeZ(L"now text")), kErrorSuccess);
  const Read replaced = Get(L"types", L"dword", kRrfRtAny);
  EXPECT_EQ(replaced.type, kRegSz);
  EXPECT_EQ(replaced.data, text::ToUtf16LeZ(L"now text"));
}

TEST_P(RegistryConformance, SetValueCreatesTheKeyAndMissingThingsGiveNotFound) {
  ASSERT_EQ(Set(L"new\\deep", L"v", kRegDword, Bytes({1, 0, 0, 0})), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"new")), kErrorSuccess);
  EXPECT_EQ(Get(L"new\\deep", L"other", kRrfRtAny).rc, kErrorFileNotFound);
  EXPECT_EQ(Get(L"nokey", L"v", kRrfRtAny).rc, kErrorFileNotFound);
  uint32_t size = 0;
  EXPECT_EQ(reg_.GetValue(root(), Key(L"nokey"), L"v", kRrfRtAny, nullptr, nullptr, &size), kErrorFileNotFound);
}

TEST_P(RegistryConformance, TypeRestrictionMask) {
  ASSERT_EQ(Set(L"", L"d", kRegDword, Bytes({5, 0, 0, 0})), kErrorSuccess);
  ASSERT_EQ(Set(L"", L"s", kRegSz, text::ToUtf16LeZ(L"x")), kErrorSuccess);
  ASSERT_EQ(Set(L"", L"bin4", kRegBinary, Bytes({1, 2, 3, 4})), kErrorSuccess);
  ASSERT_EQ(Set(L"", L"bin3", kRegBinary, Bytes({1, 2, 3})), kErrorSuccess);
  ASSERT_EQ(Set(L"", L"odd", 0x1234, Bytes({9, 9})), kErrorSuccess);

  Read r = Get(L"", L"d", kRrfRtRegSz);
  EXPECT_EQ(r.rc, kErrorUnsupportedType);
  EXPECT_EQ(r.type, kRegDword) << "the actual type is still reported";
  EXPECT_EQ(r.size, 4u);
  EXPECT_EQ(Get(L"", L"s", kRrfRtRegDword).rc, kErrorUnsupportedType);
  EXPECT_EQ(Get(L"", L"s", kRrfRtRegSz | kRrfRtRegDword).rc, kErrorSuccess);
  EXPECT_EQ(Get(L"", L"d", kRrfRtAny).rc, kErrorSuccess);
  EXPECT_EQ(Get(L"", L"d", 0).rc, kErrorUnsupportedType) << "an empty mask admits nothing";

  // RRF_RT_DWORD (binary or dword) takes binary data of exactly four bytes.
  constexpr uint32_t kRrfRtDword = kRrfRtRegBinary | kRrfRtRegDword;
  r = Get(L"", L"bin4", kRrfRtDword);
  EXPECT_EQ(r.rc, kErrorSuccess);
  EXPECT_EQ(r.type, kRegBinary);
  EXPECT_EQ(Get(L"", L"bin3", kRrfRtDword).rc, kErrorDatatypeMismatch);
  EXPECT_EQ(Get(L"", L"bin3", kRrfRtRegBinary).rc, kErrorSuccess);

  // A type without a restriction flag passes no mask at all.
  r = Get(L"", L"odd", kRrfRtAny);
  EXPECT_EQ(r.rc, kErrorUnsupportedType);
  EXPECT_EQ(r.type, 0x1234u);
}

TEST_P(RegistryConformance, DwordOfTheWrongWidthIsNeverReadAsFourBytes) {
  ASSERT_EQ(Set(L"", L"short", kRegDword, Bytes({1, 2})), kErrorSuccess);
  const Read r = Get(L"", L"short", kRrfRtRegDword, 4);
  EXPECT_TRUE(r.rc != kErrorSuccess || r.size == 2) << "rc " << r.rc << " size " << r.size;
  EXPECT_EQ(ReadDword(reg_, root(), base_, L"short"), std::nullopt);
}

TEST_P(RegistryConformance, ExpandableStrings) {
  testing::ScopedEnvVar var("VANTREL_REG_TEST_VAR", "xyz");
  ASSERT_EQ(Set(L"", L"ex", kRegExpandSz, text::ToUtf16LeZ(L"a%VANTREL_REG_TEST_VAR%b%VANTREL_NOT_SET%")),
            kErrorSuccess);
  const std::vector<uint8_t> expanded = text::ToUtf16LeZ(L"axyzb%VANTREL_NOT_SET%");

  // RRF_RT_REG_SZ (and the any-type mask) read the expanded text as REG_SZ.
  for (uint32_t flags : {kRrfRtRegSz, kRrfRtAny}) {
    const Read r = Get(L"", L"ex", flags);
    EXPECT_EQ(r.rc, kErrorSuccess);
    EXPECT_EQ(r.type, kRegSz);
    EXPECT_EQ(r.data, expanded);
  }
  uint32_t size = 0;
  EXPECT_EQ(reg_.GetValue(root(), base_, L"ex", kRrfRtRegSz, nullptr, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, expanded.size()) << "the probe reports the expanded size";

  // Without expansion the raw text keeps its own type, which RRF_RT_REG_SZ refuses.
  Read r = Get(L"", L"ex", kRrfRtRegExpandSz | kRrfNoExpand);
  EXPECT_EQ(r.rc, kErrorSuccess);
  EXPECT_EQ(r.type, kRegExpandSz);
  EXPECT_EQ(r.data, text::ToUtf16LeZ(L"a%VANTREL_REG_TEST_VAR%b%VANTREL_NOT_SET%"));
  EXPECT_EQ(Get(L"", L"ex", kRrfRtRegSz | kRrfNoExpand).rc, kErrorUnsupportedType);

  // Asking for REG_EXPAND_SZ with expansion on is a caller error, value or not.
  EXPECT_EQ(Get(L"", L"ex", kRrfRtRegExpandSz).rc, kErrorInvalidParameter);
  EXPECT_EQ(Get(L"", L"ex", kRrfRtRegSz | kRrfRtRegExpandSz).rc, kErrorInvalidParameter);
  EXPECT_EQ(Get(L"", L"missing", kRrfRtRegExpandSz).rc, kErrorInvalidParameter);
}

TEST_P(RegistryConformance, ProbesAndBuffersThatAreTooSmall) {
  const std::vector<uint8_t> blob(100, 0x5A);
  ASSERT_EQ(Set(L"", L"blob", kRegBinary, blob), kErrorSuccess);

  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(reg_.GetValue(root(), base_, L"blob", kRrfRtAny, &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(reg_.GetValue(root(), base_, L"blob", kRrfRtAny, nullptr, nullptr, nullptr), kErrorSuccess)
      << "a bare existence probe";

  Read r = Get(L"", L"blob", kRrfRtRegBinary, 99);
  EXPECT_EQ(r.rc, kErrorMoreData);
  EXPECT_EQ(r.size, 100u) << "ERROR_MORE_DATA reports the size needed";
  EXPECT_EQ(r.type, kRegBinary);
  r = Get(L"", L"blob", kRrfRtRegBinary, 100);
  EXPECT_EQ(r.rc, kErrorSuccess);
  EXPECT_EQ(r.data, blob);

  // A type mismatch wins over a small buffer.
  EXPECT_EQ(Get(L"", L"blob", kRrfRtRegSz, 1).rc, kErrorUnsupportedType);

  // RRF_ZEROONFAILURE clears the caller's buffer when the read fails.
  std::vector<uint8_t> buffer(50, 0xAA);
  size = 50;
  EXPECT_EQ(reg_.GetValue(root(), base_, L"blob", kRrfRtAny | kRrfZeroOnFailure, nullptr, buffer.data(), &size),
            kErrorMoreData);
  EXPECT_EQ(buffer, std::vector<uint8_t>(50, 0));

  uint8_t one = 0;
  EXPECT_EQ(reg_.GetValue(root(), base_, L"blob", kRrfRtAny, nullptr, &one, nullptr), kErrorInvalidParameter)
      << "data without a size";
}

TEST_P(RegistryConformance, StringsAreHandedOutTerminated) {
  const std::vector<uint8_t> unterminated = {'a', 0, 'b', 0, 'c', 0};
  ASSERT_EQ(Set(L"", L"noterm", kRegSz, unterminated), kErrorSuccess);
  Read r = Get(L"", L"noterm", kRrfRtRegSz);
  EXPECT_EQ(r.rc, kErrorSuccess);
  EXPECT_EQ(r.data, text::ToUtf16LeZ(L"abc")) << "a NUL is added after the stored text";
  r = Get(L"", L"noterm", kRrfRtRegSz, 6);
  EXPECT_EQ(r.rc, kErrorMoreData) << "the stored size leaves no room for the NUL";
  EXPECT_EQ(r.size, 8u);
  EXPECT_EQ(ReadString(reg_, root(), base_, L"noterm"), L"abc");

  ASSERT_EQ(Set(L"", L"terminated", kRegSz, text::ToUtf16LeZ(L"abc")), kErrorSuccess);
  EXPECT_EQ(Get(L"", L"terminated", kRrfRtRegSz, 8).size, 8u) << "no second NUL";

  ASSERT_EQ(Set(L"", L"empty", kRegSz, {}), kErrorSuccess);
  r = Get(L"", L"empty", kRrfRtRegSz);
  EXPECT_EQ(r.rc, kErrorSuccess);
  EXPECT_EQ(r.size, 0u);
  EXPECT_EQ(ReadString(reg_, root(), base_, L"empty"), L"");

}

TEST_P(RegistryConformance, DeletingValuesAndTrees) {
  ASSERT_EQ(Set(L"t", L"Keep", kRegDword, Bytes({1, 0, 0, 0})), kErrorSuccess);
  ASSERT_EQ(Set(L"t", L"Drop", kRegDword, Bytes({2, 0, 0, 0})), kErrorSuccess);
  EXPECT_EQ(reg_.DeleteValue(root(), Key(L"t"), L"dROP"), kErrorSuccess);
  EXPECT_EQ(Get(L"t", L"drop", kRrfRtAny).rc, kErrorFileNotFound);
  EXPECT_EQ(Get(L"t", L"keep", kRrfRtAny).rc, kErrorSuccess);
  EXPECT_EQ(reg_.DeleteValue(root(), Key(L"t"), L"drop"), kErrorFileNotFound);
  EXPECT_EQ(reg_.DeleteValue(root(), Key(L"nokey"), L"x"), kErrorFileNotFound);

  // A tree goes with its values and subkeys; a sibling sharing its name's prefix stays.
  ASSERT_EQ(Set(L"tree\\x\\y", L"v", kRegSz, text::ToUtf16LeZ(L"1")), kErrorSuccess);
  ASSERT_EQ(Set(L"tree", L"v", kRegSz, text::ToUtf16LeZ(L"2")), kErrorSuccess);
  ASSERT_EQ(Set(L"treehouse", L"v", kRegSz, text::ToUtf16LeZ(L"3")), kErrorSuccess);
  ASSERT_EQ(Set(L"tree]", L"v", kRegSz, text::ToUtf16LeZ(L"4")), kErrorSuccess);
  EXPECT_EQ(reg_.DeleteTree(root(), Key(L"TREE")), kErrorSuccess);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"tree")), kErrorFileNotFound);
  EXPECT_EQ(reg_.OpenKey(root(), Key(L"tree\\x\\y")), kErrorFileNotFound);
  EXPECT_EQ(Get(L"tree\\x\\y", L"v", kRrfRtAny).rc, kErrorFileNotFound);
  EXPECT_EQ(ReadString(reg_, root(), Key(L"treehouse"), L"v"), L"3");
  EXPECT_EQ(ReadString(reg_, root(), Key(L"tree]"), L"v"), L"4");
  EXPECT_EQ(reg_.DeleteTree(root(), Key(L"tree")), kErrorFileNotFound);

  // A recreated key starts empty.
  ASSERT_EQ(reg_.CreateKey(root(), Key(L"tree\\x")), kErrorSuccess);
  EXPECT_EQ(Get(L"tree", L"v", kRrfRtAny).rc, kErrorFileNotFound);
}

TEST_P(RegistryConformance, ConvenienceReadersAndWriters) {
  ASSERT_EQ(WriteDword(reg_, root(), base_, L"n", 0xCAFEF00D), kErrorSuccess);
  EXPECT_EQ(ReadDword(reg_, root(), base_, L"n"), 0xCAFEF00Du);
  EXPECT_EQ(ReadString(reg_, root(), base_, L"n"), std::nullopt) << "a DWORD is no string";

  const std::wstring long_text =
      std::wstring(L"Mod\u00e8le ") + text::FromUtf8("\xF0\x9F\x98\x80") + std::wstring(600, L'x');
  ASSERT_EQ(WriteString(reg_, root(), base_, L"s", long_text), kErrorSuccess);
  EXPECT_EQ(ReadString(reg_, root(), base_, L"s"), long_text);
  EXPECT_EQ(ReadDword(reg_, root(), base_, L"s"), std::nullopt);
  const Read raw = Get(L"", L"s", kRrfRtRegSz, 2000);
  EXPECT_EQ(raw.data, text::ToUtf16LeZ(long_text)) << "stored as UTF-16LE with its NUL";

  EXPECT_TRUE(ValueExists(reg_, root(), base_, L"S"));
  EXPECT_FALSE(ValueExists(reg_, root(), base_, L"absent"));
  EXPECT_FALSE(ValueExists(reg_, root(), Key(L"nokey"), L"s"));
}

TEST_P(RegistryConformance, ThreadsSharingTheRegistryLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::wstring key = Key(L"threads\\t" + std::to_wstring(t % 2));
      for (int i = 0; i < kValues; ++i) {
        const std::wstring name = L"v" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        if (WriteDword(reg_, root(), key, name, static_cast<uint32_t>(t * 1000 + i)) != kErrorSuccess) ++failures;
        if (ReadDword(reg_, root(), key, name) != static_cast<uint32_t>(t * 1000 + i)) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValues; ++i) {
      const std::wstring name = L"v" + std::to_wstring(t) + L"_" + std::to_wstring(i);
      ASSERT_EQ(ReadDword(reg_, root(), Key(L"threads\\t" + std::to_wstring(t % 2)), name),
                static_cast<uint32_t>(t * 1000 + i));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Roots, RegistryConformance, ::testing::Values(Root::kCurrentUser, Root::kLocalMachine),
                         [](const ::testing::TestParamInfo<Root>& info) {
                           return info.param == Root::kCurrentUser ? "CurrentUser" : "LocalMachine";
                         });

}  // namespace
}  // namespace vantrel::reg
