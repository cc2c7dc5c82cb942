#include "console/core/secret_protection.h"

#include <openssl/crypto.h>

#include "common/protect.h"
#include "common/text.h"

namespace orvane::console {

std::size_t EffectiveSecretLimit(std::size_t maxLength) {
    return maxLength == 0 || maxLength > kMaxProtectableUnits ? kMaxProtectableUnits : maxLength;
}

SecretCheck CheckSecret(std::string_view secret, std::size_t maxLength) {
    if (secret.empty()) return SecretCheck::Empty;
    if (secret.find('\0') != std::string_view::npos) return SecretCheck::NotText;
    // Invalid UTF-8 would be stored as replacement characters: a different secret.
    std::u16string units = Utf8ToUtf16(secret);
    std::string back = Utf16ToUtf8(units);
    bool same = back == secret;
    OPENSSL_cleanse(units.data(), units.size() * sizeof(char16_t));
    OPENSSL_cleanse(back.data(), back.size());
    if (!same) return SecretCheck::NotText;
    if (Utf16Length(secret) > EffectiveSecretLimit(maxLength)) return SecretCheck::TooLong;
    return SecretCheck::Ok;
}

SecretCheck ProtectSecret(const std::string& secret, std::size_t maxLength, std::string& protectedText) {
    SecretCheck check = CheckSecret(secret, maxLength);
    if (check != SecretCheck::Ok) return check;
    return ProtectText(secret, protectedText) == 0 ? SecretCheck::Ok : SecretCheck::ProtectFailed;
}

void WipeSecret(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

}  // namespace orvane::console
