// Payload cipher of the client protocol: AES in ECB mode with PKCS#7 padding,
// keyed from the registry. Requests arrive as raw cipher bytes, replies leave
// as Base64 text; the two directions are deliberately not symmetric.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/agent_wire.h"

namespace vantrel::agent {

// Capacity of one queued client message and of a deciphered request.
inline constexpr uint32_t kMessageBufferSize = 32288;

// Used when AESkey is absent or empty (AES-128).
inline constexpr const char* kDefaultAesKey = agentwire::kDefaultKey;

// SupportAES is exactly REG_DWORD 1. A value of another type is rewritten as
// REG_DWORD 0 (creating the key when needed) and reads as off.
bool IsAesSupported();
// AESkey as bytes (the low byte of each UTF-16 unit); empty when absent. A
// value that does not read as REG_SZ of at most 255 characters is rewritten as
// an empty REG_SZ.
std::string ReadAesKey();

// The cipher cores. Both return an empty string on any error (wrong key
// length, ciphertext not a multiple of the block size, bad padding) after
// printing the library's error text on standard output.
std::string AesDecrypt(const std::string& cipher, const uint8_t* key, size_t key_length);
std::string AesEncryptBase64(const std::string& plain, const uint8_t* key, size_t key_length);

// The plaintext of `block` (at most kMessageBufferSize bytes) when the cipher
// is on and the block deciphers to something non-empty; otherwise nullopt and
// the block is to be used as it came.
std::optional<std::string> DecipherBlock(const uint8_t* block, size_t length);
// The Base64 text of `text` when the cipher is on and enciphering succeeds.
std::optional<std::string> EncipherText(const std::string& text);

// When the cipher is on and the block deciphers to something non-empty, copies
// the plaintext to `out` (kMessageBufferSize bytes), sets *out_length and
// returns true; otherwise false and the block is to be used as it came.
bool DecryptMessage(const uint8_t* block, int32_t length, uint8_t* out, uint32_t* out_length);

// When the cipher is on and enciphering succeeds, copies the Base64 text to
// `out` (zero-filled by the caller, `capacity` bytes) and returns true;
// otherwise leaves `out` untouched. A text that would not fit with its
// terminating NUL is refused rather than cut.
bool EncryptMessage(const char* text, int32_t length, char* out, size_t capacity);

// Output capacity that always holds the Base64 form of a `plain_length`-byte
// text plus its NUL, and never less than kMessageBufferSize. Replies grow with
// the processor count, so the buffer is sized from the text, not fixed.
size_t EncipheredCapacity(size_t plain_length);

}  // namespace vantrel::agent
