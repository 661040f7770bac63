// The payload cipher: registry settings and their repair, both directions,
// the Base64 layout of replies and replies larger than a queued message.
#include <optional>

#include "agent/protocol/cipher.h"
#include "agent/protocol/client_message.h"
#include "tests/unit/agent/proto_support.h"

namespace vantrel::agent {
namespace {

using testing::AesEncryptRaw;
using testing::Base64DecryptRaw;
using testing::Block;

const char kVersionBody[] = R"({"Function": "VERSION"})";

class Cipher : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorDataHandler(nullptr); }
  void TearDown() override { SetMonitorDataHandler(nullptr); }

  std::optional<std::string> Send(const std::string& bytes) {
    return ProcessClientBlock(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
  }
  static std::string VersionReply() {
    return "{\n\t\"data\" : \"" + GetFileVersionString() + "\",\n\t\"request\" : \"VERSION\",\n\t\"result\" : \"0\"\n}\n";
  }
  // Every line but the last holds 72 characters; the text ends in a line feed.
  static void ExpectBase64Layout(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      if (end + 1 < text.size()) {
        EXPECT_EQ(end - start, 72u);
      }
      EXPECT_LE(end - start, 72u);
      start = end + 1;
    }
  }

  testing::ScopedFakeRegistry registry_;
  testing::CapturedLog log_;
};

TEST_F(Cipher, SettingsAreReadOnEveryUse) {
  EXPECT_FALSE(IsAesSupported());
  EXPECT_EQ(ReadAesKey(), "");
  EXPECT_FALSE(registry_->Get(L"SupportAES").has_value());  // absent values are not written

  registry_->SetDword(L"SupportAES", 2);
  EXPECT_FALSE(IsAesSupported());
  registry_->SetDword(L"SupportAES", 1);
  EXPECT_TRUE(IsAesSupported());

  // Each UTF-16 unit gives its low byte.
  registry_->SetText(L"AESkey", std::wstring(L"ab\u0163d"));
  EXPECT_EQ(ReadAesKey(), std::string("abcd"));
  registry_->SetText(L"AESkey", std::wstring(255, L'k'));
  EXPECT_EQ(ReadAesKey(), std::string(255, 'k'));
}

TEST_F(Cipher, WrongTypedSettingsAreRepaired) {
  registry_->SetText(L"SupportAES", L"1");
  EXPECT_FALSE(IsAesSupported());
  std::optional<testing::FakeRegistry::Value> aes = registry_->Get(L"SupportAES");
  ASSERT_TRUE(aes.has_value());
  EXPECT_EQ(aes->type, win32::kRegDword);
  EXPECT_EQ(aes->data, std::vector<uint8_t>(4, 0));

  registry_->SetDword(L"AESkey", 1234);
  EXPECT_EQ(ReadAesKey(), "");
  std::optional<testing::FakeRegistry::Value> key = registry_->Get(L"AESkey");
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->type, win32::kRegSz);
  EXPECT_EQ(key->data, std::vector<uint8_t>(2, 0));

  // Longer than the 512-byte read: no AES key can be that long.
  registry_->SetText(L"AESkey", std::wstring(256, L'k'));
  EXPECT_EQ(ReadAesKey(), "");
  EXPECT_EQ(registry_->Get(L"AESkey")->data, std::vector<uint8_t>(2, 0));

  // A repair that cannot be stored leaves the cipher off.
  registry_->SetText(L"SupportAES", L"1");
  registry_->fail_writes = win32::kErrorAccessDenied;
  EXPECT_FALSE(IsAesSupported());
  EXPECT_EQ(registry_->Get(L"SupportAES")->type, win32::kRegSz);
}

TEST_F(Cipher, DefaultKeyRoundTrip) {
  registry_->SetDword(L"SupportAES", 1);
  const std::string request = AesEncryptRaw(Block(0, kVersionBody), kDefaultAesKey);
  std::optional<std::string> reply = Send(request);
  ASSERT_TRUE(reply.has_value());
  ExpectBase64Layout(*reply);
  EXPECT_EQ(Base64DecryptRaw(*reply, kDefaultAesKey), VersionReply());

  // A key stored by the wrong type falls back to the default key.
  registry_->SetDword(L"AESkey", 7);
  reply = Send(request);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(Base64DecryptRaw(*reply, kDefaultAesKey), VersionReply());
}

TEST_F(Cipher, LongKeysRoundTrip) {
  registry_->SetDword(L"SupportAES", 1);
  for (const std::string& key : {std::string("0123456789abcdef01234567"), std::string("0123456789abcdef0123456789ABCDEF")}) {
    registry_->SetText(L"AESkey", std::wstring(key.begin(), key.end()));
    std::optional<std::string> reply = Send(AesEncryptRaw(Block(0, kVersionBody), key));
    ASSERT_TRUE(reply.has_value()) << key;
    EXPECT_EQ(Base64DecryptRaw(*reply, key), VersionReply()) << key;
  }
}

TEST_F(Cipher, PlainRequestWithCipherOnIsAnsweredPlain) {
  registry_->SetDword(L"SupportAES", 1);
  const std::vector<uint8_t> plain = Block(0, kVersionBody);
  EXPECT_EQ(Send(std::string(plain.begin(), plain.end())), VersionReply());
}

TEST_F(Cipher, TenCharacterKeyLeavesEveryMessagePlain) {
  registry_->SetDword(L"SupportAES", 1);
  registry_->SetText(L"AESkey", L"0123456789");
  const std::vector<uint8_t> plain = Block(0, kVersionBody);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Send(std::string(plain.begin(), plain.end())), VersionReply());
  const std::string printed = ::testing::internal::GetCapturedStdout();
  // One cipher error for the request; the reply is not enciphered at all.
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST_F(Cipher, CipherCoresFailEmpty) {
  const std::string key = kDefaultAesKey;
  const uint8_t* k = reinterpret_cast<const uint8_t*>(key.data());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AesDecrypt(std::string(15, 'x'), k, key.size()), "");   // not a whole block
  EXPECT_EQ(AesDecrypt(std::string(16, 'x'), k, 10), "");           // key length
  EXPECT_EQ(AesEncryptBase64("text", k, 10), "");
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3) << printed;
}

TEST_F(Cipher, Base64LayoutOf2000Bytes) {
  const std::string key = kDefaultAesKey;
  const std::string text = AesEncryptBase64(std::string(2000, '{'), reinterpret_cast<const uint8_t*>(key.data()),
                                            key.size());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 38);
  EXPECT_EQ(text.size() - 38, 2688u);
  ExpectBase64Layout(text);
  EXPECT_LE(text.size() + 1, EncipheredCapacity(2000));
}

TEST_F(Cipher, EncryptMessageNeverCutsItsOutput) {
  registry_->SetDword(L"SupportAES", 1);
  const std::string text(40000, 'r');
  std::vector<char> small(kMessageBufferSize, '\0');
  EXPECT_FALSE(EncryptMessage(text.data(), static_cast<int32_t>(text.size()), small.data(), small.size()));
  EXPECT_EQ(std::count(small.begin(), small.end(), '\0'), static_cast<long>(small.size()));

  for (size_t n : {0u, 1u, 15u, 16u, 17u, 53u, 54u, 55u, 2000u, 24000u, 40000u}) {
    const std::string t(n, 'r');
    std::vector<char> out(EncipheredCapacity(n), '\0');
    ASSERT_TRUE(EncryptMessage(t.data(), static_cast<int32_t>(n), out.data(), out.size())) << n;
    EXPECT_EQ(out.back(), '\0') << n;
    EXPECT_EQ(Base64DecryptRaw(std::string(out.data()), kDefaultAesKey), t) << n;
  }
}

TEST_F(Cipher, ReplyLargerThanAQueuedMessageIsSentWhole) {
  registry_->SetDword(L"SupportAES", 1);
  SetMonitorDataHandler([](TXSocket& request) {
    Json::Value cores(Json::arrayValue);
    for (int i = 0; i < 4096; ++i) cores.append(4321.5);
    request.response["data"]["CPU_CORE_FREQUENCY"] = cores;
    request.response["result"] = "0";
  });
  std::optional<std::string> reply = Send(AesEncryptRaw(Block(10, "{}"), kDefaultAesKey));
  ASSERT_TRUE(reply.has_value());
  EXPECT_GT(reply->size(), kMessageBufferSize);
  ExpectBase64Layout(*reply);
  const std::string text = Base64DecryptRaw(*reply, kDefaultAesKey);
  Json::Value parsed;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &parsed, nullptr));
  EXPECT_EQ(parsed["data"]["CPU_CORE_FREQUENCY"].size(), 4096u);
}

TEST_F(Cipher, DecipheredMessageShorterThanHeaderGetsNoReply) {
  registry_->SetDword(L"SupportAES", 1);
  EXPECT_FALSE(Send(AesEncryptRaw({'V', 'N', 'T', 'L', 0}, kDefaultAesKey)).has_value());
}

TEST_F(Cipher, SwitchTakesEffectOnTheNextMessage) {
  const std::string request = AesEncryptRaw(Block(0, kVersionBody), kDefaultAesKey);
  registry_->SetDword(L"SupportAES", 1);
  EXPECT_EQ(Base64DecryptRaw(Send(request).value_or(""), kDefaultAesKey), VersionReply());
  registry_->SetDword(L"SupportAES", 0);
  // Now the cipher bytes are taken as a plain block with a bad header.
  EXPECT_EQ(Send(request), std::optional<std::string>("{\n\t\"result\" : \"3\"\n}\n"));
}

}  // namespace
}  // namespace vantrel::agent
