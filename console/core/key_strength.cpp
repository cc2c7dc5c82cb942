#include "console/core/key_strength.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

#include "common/config.h"
#include "common/text.h"
#include "console/core/secret_protection.h"

namespace orvane::console {

namespace {

bool IsTripleDes(ShareKey which, std::uint32_t encryptType) { return which == ShareKey::Device && encryptType != 1; }

std::size_t SettingLimit(ShareKey which) {
    return which == ShareKey::Client ? kClientShareKeyMaxLength : kFirewallShareKeyMaxLength;
}

}  // namespace

std::size_t CipherKeyBytes(ShareKey which, std::uint32_t encryptType) { return IsTripleDes(which, encryptType) ? 24 : 16; }

std::size_t FullKeyLength(ShareKey which, std::uint32_t encryptType) {
    return std::min(CipherKeyBytes(which, encryptType), SettingLimit(which));
}

const char* CipherName(ShareKey which, std::uint32_t encryptType) {
    return IsTripleDes(which, encryptType) ? "Triple DES" : "AES-128";
}

std::string ShortKeyWarning(ShareKey which, std::uint32_t encryptType, std::string_view key) {
    const std::size_t full = FullKeyLength(which, encryptType);
    // The ciphers take bytes of the UTF-8 form.
    if (key.size() >= full) return {};
    const std::size_t cipher = CipherKeyBytes(which, encryptType);
    std::string text = std::string("the ") + (which == ShareKey::Client ? "client" : "device") + " share key has " +
                       std::to_string(key.size()) + " characters; " + CipherName(which, encryptType) + " uses " +
                       std::to_string(cipher);
    if (full < cipher) text += " (the setting holds at most " + std::to_string(full) + ")";
    text += ", and a short key can be guessed offline from one recorded datagram";
    return text;
}

std::string KeyBytesProblem(ShareKey which, std::string_view key) {
    const std::string limit = std::to_string(kShareKeyMaxBytes);
    if (which == ShareKey::Device) {
        if (DeviceKeyBytes(key)) return {};
        return "the device share key takes " + std::to_string(key.size()) + " bytes as UTF-8; the worker keeps at most " +
               limit + " and would run with an empty key";
    }
    std::string ansi;
    if (ClientKeyBytes(key, ansi)) {
        OPENSSL_cleanse(ansi.data(), ansi.size());
        return {};
    }
    const bool converts = Utf8ToAnsi(key, ansi);
    const std::size_t bytes = ansi.size();
    OPENSSL_cleanse(ansi.data(), ansi.size());
    if (!converts)
        return "the client share key has a character without a GBK form; the worker keeps the key in GBK and would "
               "run with an empty key";
    return "the client share key takes " + std::to_string(bytes) + " bytes in GBK; the worker keeps at most " + limit +
           " and would run with an empty key";
}

std::string NonAsciiKeyWarning(ShareKey which, std::string_view key) {
    if (which != ShareKey::Client) return {};
    if (std::all_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return {};
    return "the client share key has characters outside ASCII; a PC's reporter makes its AES key from the UTF-8 "
           "bytes and the worker from the GBK bytes, so reports from the PCs will not decrypt. Use ASCII characters";
}

bool GenerateShareKey(std::size_t length, std::string& key) {
    constexpr std::size_t kAlphabet = sizeof kGeneratedKeyAlphabet - 1;
    // Bytes at or above the largest multiple of the alphabet's size are thrown away, so every
    // character is equally likely.
    constexpr unsigned kLimit = 256 / kAlphabet * kAlphabet;
    std::string out;
    out.reserve(length);
    unsigned char buf[64];
    while (out.size() < length) {
        if (RAND_bytes(buf, sizeof buf) != 1) {
            OPENSSL_cleanse(buf, sizeof buf);
            WipeSecret(out);
            return false;
        }
        for (unsigned char b : buf) {
            if (out.size() == length) break;
            if (b < kLimit) out += kGeneratedKeyAlphabet[b % kAlphabet];
        }
    }
    OPENSSL_cleanse(buf, sizeof buf);
    key.swap(out);
    WipeSecret(out);
    return true;
}

}  // namespace orvane::console
