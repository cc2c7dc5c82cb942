#pragma once
// The machine's version value, major * 10 + minor as the Windows design computes it.
// It chooses the protection path of stored secrets, so it must stay the same for the life of
// the machine: here it is one fixed value, never the kernel's number (an upgrade would
// otherwise switch paths and strand every stored secret).
#include <optional>

namespace orvane::platform {

// The value this platform reports: it selects the modern ("CNG") protection path.
inline constexpr int kOsVersionValue = 62;

// Reads the version value; false when it cannot be had.
bool GetOsVersionValue(int& value);

// Test seam: a value to report instead of the fixed one (std::nullopt restores it).
void SetOsVersionValueForTest(std::optional<int> value);
// Test seam: makes GetOsVersionValue fail until called again with false.
void SetOsVersionFailsForTest(bool fails);

}  // namespace orvane::platform
