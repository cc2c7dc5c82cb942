#pragma once
// Protecting a secret the administrator typed: the checks the console's dialogs and
// orvanectl share, then ProtectText.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::console {

// The console's edit limits, in characters.
inline constexpr std::size_t kFirewallShareKeyMaxLength = 23;
inline constexpr std::size_t kClientShareKeyMaxLength = 16;
inline constexpr std::size_t kServerPasswordMaxLength = 32;

enum class SecretCheck {
    Ok,
    Empty,
    TooLong,        // longer than the caller's limit or than protection allows
    NotText,        // not valid UTF-8, or holding a zero character
    ProtectFailed,  // ProtectText refused; its reason is in the log
};

// Checks a secret against a limit in characters (UTF-16 units; 0: only the limit of protection).
SecretCheck CheckSecret(std::string_view secret, std::size_t maxLength);

// Checks, then protects; `protectedText` is written only on Ok.
SecretCheck ProtectSecret(const std::string& secret, std::size_t maxLength, std::string& protectedText);

// The limit CheckSecret applies for maxLength (the smaller of it and the limit of protection).
std::size_t EffectiveSecretLimit(std::size_t maxLength);

// Overwrites a secret's bytes before its memory is given back, then empties it.
void WipeSecret(std::string& secret);

}  // namespace orvane::console
