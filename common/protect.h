#pragma once
// Machine-bound protection of stored passwords and share keys ("protected text").
#include <cstddef>
#include <string>

namespace orvane {

// Longest protected text, in characters: the console receives it into 4096 wide characters
// and UnprotectText works on at most this many.
inline constexpr std::size_t kMaxProtectedTextLength = 4095;
// Longest clear text ProtectText accepts, in UTF-16 units, so that its protected text fits.
inline constexpr std::size_t kMaxProtectableUnits = 1008;

// Protects clear text; 0 with upper-case hex in protectedText, or -1 (empty text, clear text
// longer than kMaxProtectableUnits or not valid UTF-8 or holding a zero, failure).
int ProtectText(const std::string& clearText, std::string& protectedText);

// Turns protected text back; on success `field` holds the clear text, cut to a field of
// `capacity` UTF-16 units; on failure `field` is left untouched.
void UnprotectText(const std::string& protectedText, std::string& field, std::size_t capacity);

}  // namespace orvane
