#pragma once
// The worker's logon-time scale: UTC calendar fields read by the C library's mktime as if they
// were local time (tm_isdst 0). The directory's lastLogon and the anti-replay "now" are both
// put on this scale, so they compare correctly whatever the machine's time zone.
#include <cstdint>

namespace orvane {

// A directory FILETIME (100-ns units since 1601-01-01 UTC) on the logon-time scale. 0 (and
// anything not after 1970-01-01) means "never logged on" and gives 0.
std::int64_t FileTimeToLogonTime(std::int64_t fileTime);

// Seconds since 1970 (UTC) on the logon-time scale; 0 when mktime cannot convert them.
std::int64_t UtcToLogonTime(std::int64_t utcSeconds);

}  // namespace orvane
