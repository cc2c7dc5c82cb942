#pragma once
// How much of its cipher's key a share key fills, and full-length random keys. A share key is a
// password-like secret: whoever guesses it offline from one recorded datagram can forge reports
// or notifications, so a key should fill every key byte its cipher uses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::console {

enum class ShareKey { Client, Device };

// Key bytes the cipher takes from the key text: 16 for AES-128 (client reports, enhanced device
// encryption, EncryptType 1), 24 for Triple DES (general device encryption, EncryptType 0).
std::size_t CipherKeyBytes(ShareKey which, std::uint32_t encryptType);

// The longest key the setting can hold that the cipher uses in full: the cipher's key length,
// or the setting's limit when that is shorter (a device key holds at most 23 characters).
std::size_t FullKeyLength(ShareKey which, std::uint32_t encryptType);

// The cipher's name for messages ("AES-128", "Triple DES").
const char* CipherName(ShareKey which, std::uint32_t encryptType);

// Empty when `key` is full length; otherwise the warning for the administrator (no key text in it).
std::string ShortKeyWarning(ShareKey which, std::uint32_t encryptType, std::string_view key);

// Empty when the worker can keep `key`; otherwise why it cannot (no key text in it). The worker
// keeps at most 31 bytes: of the UTF-8 form for a device key, of the GBK form for a client key,
// so a key within the setting's character limit can still be too long, or have no GBK form.
std::string KeyBytesProblem(ShareKey which, std::string_view key);

// Empty unless `key` is a client key with a character outside ASCII: a PC's reporter derives its
// AES key from the UTF-8 bytes and the worker from the GBK bytes, so the two would not agree.
std::string NonAsciiKeyWarning(ShareKey which, std::string_view key);

// Generated keys use letters and digits only: they survive any quoting, a shell-sourced settings
// file and the device key's ban on "?".
inline constexpr char kGeneratedKeyAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// `length` characters from that alphabet, uniformly from OpenSSL's random generator; false when
// it has no randomness to give.
bool GenerateShareKey(std::size_t length, std::string& key);

}  // namespace orvane::console
