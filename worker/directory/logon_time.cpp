#include "worker/directory/logon_time.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

namespace orvane {
namespace {

constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffset = 11644473600;

std::int64_t Convert(std::int64_t utcSeconds) {
    std::time_t t = static_cast<std::time_t>(utcSeconds);
    std::tm fields{};
    if (!gmtime_r(&t, &fields)) return 0;
    fields.tm_isdst = 0;
    std::time_t local = std::mktime(&fields);
    if (local == static_cast<std::time_t>(-1)) return 0;
    return static_cast<std::int64_t>(local);
}

// mktime reloads the time zone (a look-up of the zone file) on every call, and a logon converts
// twice. Zone offsets and their changes fall on whole minutes, so the conversion of a minute's
// start serves each of its seconds: while TZ reads the same, and for a second of real time, so
// a replaced zone file is still seen within a second.
struct CachedMinute {
    bool valid = false;
    std::int64_t start = 0;
    std::int64_t converted = 0;
    std::chrono::steady_clock::time_point at;
    bool tzSet = false;
    std::string tz;
};

}  // namespace

std::int64_t UtcToLogonTime(std::int64_t utcSeconds) {
    thread_local CachedMinute cache[2];
    thread_local unsigned next = 0;
    const std::int64_t start = utcSeconds - ((utcSeconds % 60) + 60) % 60;
    const auto now = std::chrono::steady_clock::now();
    const char* tz = std::getenv("TZ");
    CachedMinute* hit = nullptr;
    for (CachedMinute& m : cache) {
        if (m.valid && m.start == start && now - m.at < std::chrono::seconds(1) && m.tzSet == (tz != nullptr) &&
            (!tz || m.tz == tz)) {
            hit = &m;
        }
    }
    if (!hit) {
        hit = &cache[next++ % 2];
        hit->valid = true;
        hit->start = start;
        hit->converted = Convert(start);
        hit->at = now;
        hit->tzSet = tz != nullptr;
        hit->tz = tz ? tz : "";
    }
    // A minute whose start cannot be converted is not guessed at from its neighbours.
    if (hit->converted == 0) return Convert(utcSeconds);
    return hit->converted + (utcSeconds - start);
}

std::int64_t FileTimeToLogonTime(std::int64_t fileTime) {
    if (fileTime <= 0) return 0;
    std::int64_t seconds = fileTime / kFileTimeUnitsPerSecond - kFileTimeEpochOffset;
    if (seconds <= 0) return 0;
    return UtcToLogonTime(seconds);
}

}  // namespace orvane
