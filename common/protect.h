#pragma once
// Machine-bound protection of stored passwords and share keys ("protected text").
#include <cstddef>
#include <string>

namespace orvane {

// Protects clear text; 0 with upper-case hex in protectedText, or -1 (empty text, failure).
int ProtectText(const std::string& clearText, std::string& protectedText);

// Turns protected text back; on success `field` holds the clear text, cut to a field of
// `capacity` UTF-16 units; on failure `field` is left untouched.
void UnprotectText(const std::string& protectedText, std::string& field, std::size_t capacity);

}  // namespace orvane
