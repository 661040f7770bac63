#include "agent/protocol/cipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>

#include "common/registry.h"
#include "common/win32_errors.h"

namespace vantrel::agent {
namespace {

using reg::Root;
namespace w = vantrel::win32;

constexpr wchar_t kSupportAesValue[] = L"SupportAES";
constexpr wchar_t kAesKeyValue[] = L"AESkey";
constexpr uint32_t kAesKeyBufferBytes = 512;

bool ValuePresent(reg::Registry& r, const wchar_t* name) {
  uint32_t type = 0;
  uint32_t size = 0;
  return r.GetValue(Root::kLocalMachine, reg::kSuiteKey, name, w::kRrfRtAny, &type, nullptr, &size) ==
         w::kErrorSuccess;
}

// The key is created with full access only when it does not open for reading.
bool EnsureSuiteKey(reg::Registry& r) {
  if (r.OpenKey(Root::kLocalMachine, reg::kSuiteKey) == w::kErrorSuccess) return true;
  return r.CreateKey(Root::kLocalMachine, reg::kSuiteKey) == w::kErrorSuccess;
}

void PrintCipherError(const std::exception& e) {
  const char* what = e.what();
  std::cout << ((what != nullptr && *what != '\0') ? what : "Unknown exception") << std::endl;
}

// The registry is read on every message; both directions of one message read it once each.
std::string EffectiveKey() {
  std::string key = ReadAesKey();
  if (key.empty()) key = kDefaultAesKey;
  return key;
}

}  // namespace

bool IsAesSupported() {
  reg::Registry& r = reg::SystemRegistry();
  if (!ValuePresent(r, kSupportAesValue)) return false;
  uint32_t value = 0;
  uint32_t type = 0;
  uint32_t size = sizeof(value);
  if (r.GetValue(Root::kLocalMachine, reg::kSuiteKey, kSupportAesValue, w::kRrfRtRegDword, &type, &value,
                 &size) != w::kErrorSuccess) {
    // Wrong type: repair to DWORD 0 so the next read is clean.
    if (!EnsureSuiteKey(r)) return false;
    const uint32_t zero = 0;
    if (r.SetValue(Root::kLocalMachine, reg::kSuiteKey, kSupportAesValue, w::kRegDword, &zero,
                   sizeof(zero)) != w::kErrorSuccess) {
      return false;
    }
    value = 0;
  }
  return value == 1;
}

std::string ReadAesKey() {
  reg::Registry& r = reg::SystemRegistry();
  if (!ValuePresent(r, kAesKeyValue)) return {};
  uint8_t buffer[kAesKeyBufferBytes] = {};
  uint32_t type = 0;
  uint32_t size = sizeof(buffer);
  if (r.GetValue(Root::kLocalMachine, reg::kSuiteKey, kAesKeyValue, w::kRrfRtRegSz, &type, buffer, &size) !=
      w::kErrorSuccess) {
    // Another type, or too long for any AES key: replace with an empty text
    // so the default key applies from now on.
    if (EnsureSuiteKey(r)) {
      const uint8_t empty[2] = {0, 0};
      r.SetValue(Root::kLocalMachine, reg::kSuiteKey, kAesKeyValue, w::kRegSz, empty, sizeof(empty));
    }
    std::memset(buffer, 0, sizeof(buffer));
    size = sizeof(buffer);
    if (r.GetValue(Root::kLocalMachine, reg::kSuiteKey, kAesKeyValue, w::kRrfRtRegSz, &type, buffer, &size) !=
        w::kErrorSuccess) {
      return {};
    }
  }
  std::string key;
  const uint32_t units = std::min<uint32_t>(size, sizeof(buffer)) / 2;
  for (uint32_t i = 0; i < units; ++i) {
    const uint16_t unit = static_cast<uint16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    if (unit == 0) break;
    key.push_back(static_cast<char>(unit & 0xFF));
  }
  return key;
}

std::string AesDecrypt(const std::string& cipher, const uint8_t* key, size_t key_length) {
  std::string plain;
  try {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption decryption;
    decryption.SetKey(key, key_length);
    CryptoPP::StringSource source(
        cipher, true,
        new CryptoPP::StreamTransformationFilter(decryption, new CryptoPP::StringSink(plain),
                                                 CryptoPP::StreamTransformationFilter::PKCS_PADDING));
  } catch (const std::exception& e) {
    PrintCipherError(e);
    return {};
  }
  return plain;
}

std::string AesEncryptBase64(const std::string& plain, const uint8_t* key, size_t key_length) {
  std::string encoded;
  try {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption encryption;
    encryption.SetKey(key, key_length);
    CryptoPP::StringSource source(
        plain, true,
        new CryptoPP::StreamTransformationFilter(encryption,
                                                 new CryptoPP::Base64Encoder(new CryptoPP::StringSink(encoded)),
                                                 CryptoPP::StreamTransformationFilter::PKCS_PADDING));
  } catch (const std::exception& e) {
    PrintCipherError(e);
    return {};
  }
  return encoded;
}

std::optional<std::string> DecipherBlock(const uint8_t* block, size_t length) {
  if (block == nullptr || length == 0 || !IsAesSupported()) return std::nullopt;
  const std::string key = EffectiveKey();
  std::string plain = AesDecrypt(std::string(reinterpret_cast<const char*>(block), length),
                                 reinterpret_cast<const uint8_t*>(key.data()), key.size());
  if (plain.empty()) return std::nullopt;
  // Plaintext is always shorter than its ciphertext; the limit only guards a
  // caller that passed a block longer than a queued message.
  if (plain.size() > kMessageBufferSize) plain.resize(kMessageBufferSize);
  return plain;
}

std::optional<std::string> EncipherText(const std::string& text) {
  if (!IsAesSupported()) return std::nullopt;
  const std::string key = EffectiveKey();
  std::string encoded = AesEncryptBase64(text, reinterpret_cast<const uint8_t*>(key.data()), key.size());
  if (encoded.empty()) return std::nullopt;
  return encoded;
}

bool DecryptMessage(const uint8_t* block, int32_t length, uint8_t* out, uint32_t* out_length) {
  if (length <= 0) return false;
  const std::optional<std::string> plain = DecipherBlock(block, static_cast<size_t>(length));
  if (!plain) return false;
  std::memcpy(out, plain->data(), plain->size());
  if (out_length != nullptr) *out_length = static_cast<uint32_t>(plain->size());
  return true;
}

bool EncryptMessage(const char* text, int32_t length, char* out, size_t capacity) {
  if (text == nullptr || length < 0) return false;
  const std::optional<std::string> encoded = EncipherText(std::string(text, static_cast<size_t>(length)));
  if (!encoded) return false;
  if (encoded->size() >= capacity) return false;  // never sent cut
  std::memcpy(out, encoded->data(), encoded->size());
  return true;
}

size_t EncipheredCapacity(size_t plain_length) {
  const size_t cipher = (plain_length / 16 + 1) * 16;
  const size_t base64 = (cipher + 2) / 3 * 4;
  const size_t line_feeds = base64 / 72 + 1;
  return std::max<size_t>(base64 + line_feeds + 1, kMessageBufferSize);
}

}  // namespace vantrel::agent
