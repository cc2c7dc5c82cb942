#include "worker/directory/logon_time.h"

#include <ctime>

namespace orvane {
namespace {

constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffset = 11644473600;

}  // namespace

std::int64_t UtcToLogonTime(std::int64_t utcSeconds) {
    std::time_t t = static_cast<std::time_t>(utcSeconds);
    std::tm fields{};
    if (!gmtime_r(&t, &fields)) return 0;
    fields.tm_isdst = 0;
    std::time_t local = std::mktime(&fields);
    if (local == static_cast<std::time_t>(-1)) return 0;
    return static_cast<std::int64_t>(local);
}

std::int64_t FileTimeToLogonTime(std::int64_t fileTime) {
    if (fileTime <= 0) return 0;
    std::int64_t seconds = fileTime / kFileTimeUnitsPerSecond - kFileTimeEpochOffset;
    if (seconds <= 0) return 0;
    return UtcToLogonTime(seconds);
}

}  // namespace orvane
