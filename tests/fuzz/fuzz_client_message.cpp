// The agent's whole client message path: decipher, header, JSON, dispatch,
// reply, encipher, with blocks longer than one message cut to it. The plain
// answer is checked for its shape; with the cipher on, a request enciphered
// here must get the plain answer back enciphered, and raw bytes are answered
// as they would be deciphered (or as plain text when they do not decipher).
#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <json/json.h>

#include <cstring>
#include <optional>
#include <string>

#include "agent/protocol/client_message.h"
#include "common/registry.h"
#include "common/win32_errors.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/memory_registry.h"

namespace {

namespace agent = vantrel::agent;
namespace reg = vantrel::reg;

vantrel::testing::MemoryRegistry& Registry() {
  static vantrel::testing::MemoryRegistry* r = [] {
    vantrel::fuzz::PrivateDirs();  // pipes to the hardware service fail at once
    vantrel::fuzz::SilenceStdout();
    auto* m = new vantrel::testing::MemoryRegistry();
    reg::SetSystemRegistryForTesting(m);
    return m;
  }();
  return *r;
}

void SetCipher(bool on) {
  if (on) {
    reg::WriteDword(Registry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"SupportAES", 1);
  } else {
    Registry().DeleteValue(reg::Root::kLocalMachine, reg::kSuiteKey, L"SupportAES");
  }
}

std::optional<std::string> Process(const std::string& block) {
  return agent::ProcessClientBlock(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
}

std::optional<std::string> Encrypt(const std::string& plain, const std::string& key) {
  try {
    std::string out;
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e;
    e.SetKey(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    CryptoPP::StringSource(plain, true, new CryptoPP::StreamTransformationFilter(e, new CryptoPP::StringSink(out)));
    return out;
  } catch (const CryptoPP::Exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> Decrypt(const std::string& cipher, const std::string& key, bool base64) {
  try {
    std::string out;
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption d;
    d.SetKey(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    auto* filter = new CryptoPP::StreamTransformationFilter(d, new CryptoPP::StringSink(out));
    if (base64) {
      CryptoPP::StringSource(cipher, true, new CryptoPP::Base64Decoder(filter));
    } else {
      CryptoPP::StringSource(cipher, true, filter);
    }
    return out;
  } catch (const CryptoPP::Exception&) {
    return std::nullopt;
  }
}

// The plain answer: none without a whole header; otherwise a JSON object whose
// "result" is one of the protocol's codes, and exactly {"result":"3"} for a
// wrong magic or a body that is not JSON.
void CheckPlainAnswer(const std::string& request, const std::optional<std::string>& answer) {
  FUZZ_CHECK(answer.has_value() == (request.size() >= agent::kHeaderSize));
  if (!answer) return;
  Json::Value reply;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  FUZZ_CHECK(reader->parse(answer->data(), answer->data() + answer->size(), &reply, &errors) && reply.isObject());
  if (reply.isMember("result")) {
    const std::string r = reply["result"].asString();
    FUZZ_CHECK(r == "0" || r == "1" || r == "3");
  }
  if (std::memcmp(request.data(), agent::kMagic, 4) != 0) {
    FUZZ_CHECK(reply.size() == 1 && reply["result"].asString() == "3");
  }
  FUZZ_CHECK(*answer == agent::SerializeReply(reply));
}

// With the cipher on, the answer to a block that deciphers is the plain answer
// to its plaintext, enciphered; any other block is answered as plain text.
void CheckCipheredAnswer(const std::string& block, const std::string& key) {
  const std::optional<std::string> answer = Process(block);
  const std::string cut = block.substr(0, agent::kMessageBufferSize);
  const std::optional<std::string> plain = Decrypt(cut, key, false);
  SetCipher(false);
  if (!plain || plain->empty()) {
    FUZZ_CHECK(answer == Process(block));
  } else {
    const std::optional<std::string> expected = Process(*plain);
    FUZZ_CHECK(answer.has_value() == expected.has_value());
    if (answer) FUZZ_CHECK(Decrypt(*answer, key, true) == expected);
  }
  SetCipher(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 40000) return 0;
  const uint8_t mode = data[0];
  // Key: absent (the default), or 16, 24, 32 or an unusable length of the input's bytes.
  static constexpr size_t kKeyLengths[] = {0, 16, 24, 32, 5};
  const size_t key_length = std::min<size_t>(kKeyLengths[(mode >> 2) % 5], size - 1);
  std::string key(reinterpret_cast<const char*>(data + 1), key_length);
  for (char& c : key) if (c == '\0') c = 'k';
  std::string request(reinterpret_cast<const char*>(data + 1 + key_length), size - 1 - key_length);
  // Now and then a block longer than one message holds, which is cut to it.
  if ((mode & 2) && !request.empty()) {
    while (request.size() <= agent::kMessageBufferSize) request += request;
  }

  auto& r = Registry();
  if (key.empty()) {
    r.DeleteValue(reg::Root::kLocalMachine, reg::kSuiteKey, L"AESkey");
  } else {
    std::wstring text;  // one UTF-16 unit per key byte, as the agent reads it back
    for (char c : key) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    reg::WriteString(r, reg::Root::kLocalMachine, reg::kSuiteKey, L"AESkey", text);
  }
  const std::string effective = key.empty() ? agent::kDefaultAesKey : key;

  SetCipher(false);
  CheckPlainAnswer(request, Process(request));
  if (mode & 1) {
    SetCipher(true);
    CheckCipheredAnswer(request, effective);
    if (auto enciphered = Encrypt(request, effective)) CheckCipheredAnswer(*enciphered, effective);
    SetCipher(false);
  }
  return 0;
}
