#pragma once
// Shared helpers of the unit tests: a temporary folder, a drivable clock, file reading.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "common/gateway_message.h"
#include "common/log.h"
#include "platform/clock.h"

namespace orvane::testing {

// A socket file as a killed listener leaves it: bound, closed, never removed. False when it
// cannot be made.
inline bool BindAbandonedSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return bound;
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// prefix + n, built by appending: GCC 12 at -O3 reports a bogus -Wrestrict overlap inside
// `"literal" + std::to_string(n)` (GCC PR 105329), so loops that name things use this.
inline std::string Numbered(std::string_view prefix, long n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

// A clock that only moves when told to (or by the sleeps of the code under test).
class FakeClock final : public platform::Clock {
public:
    explicit FakeClock(std::int64_t now = 1700000000) : now_ms_(now * 1000) {}
    std::int64_t Now() override { return now_ms_.load() / 1000; }
    bool LocalNow(platform::LocalTime& out) override { return platform::ToLocalTime(Now(), out); }
    void SleepMs(unsigned ms) override {
        now_ms_ += ms;
        ++sleeps_;
    }
    void Set(std::int64_t seconds) { now_ms_ = seconds * 1000; }
    void Advance(std::int64_t seconds) { now_ms_ += seconds * 1000; }
    int sleeps() const { return sleeps_; }

private:
    std::atomic<std::int64_t> now_ms_;
    std::atomic<int> sleeps_{0};
};

// Sets an environment variable for the life of the object, then puts back the earlier value or
// its absence.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        ::setenv(name_, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// A secret of `length` characters none of whose pieces of a few characters is likely to
// occur by chance in a log (for checks that a secret is never logged).
inline std::string DistinctSecret(std::size_t length) {
    std::string s;
    for (std::size_t i = 0; s.size() < length; ++i) s += static_cast<char>("Qz7#kP2!vW9$mX4%"[i % 16] + (i / 16) % 3);
    return s;
}

// True when `text` holds any piece of `secret` of `piece` characters.
inline bool HoldsPieceOf(std::string_view text, std::string_view secret, std::size_t piece = 8) {
    for (std::size_t at = 0; at + piece <= secret.size(); ++at) {
        if (text.find(secret.substr(at, piece)) != std::string_view::npos) return true;
    }
    return false;
}

// IV bytes start, start + 1, ... so a sealed datagram is the same on every run.
class CountingRandom final : public RandomSource {
public:
    explicit CountingRandom(std::uint8_t start = 0) : next_(start) {}
    bool NextByte(std::uint8_t& out) override {
        out = next_++;
        return true;
    }

private:
    std::uint8_t next_;
};

// Installs a clock for the life of the object.
class ScopedClock {
public:
    explicit ScopedClock(platform::Clock& c) { platform::SetClock(&c); }
    ~ScopedClock() { platform::SetClock(nullptr); }
};

// Captures LogInfo/LogError for the life of the object.
class ScopedMemoryLog {
public:
    ScopedMemoryLog() { previous_ = SetLogSink(&log_); }
    ~ScopedMemoryLog() { SetLogSink(previous_); }
    MemoryLog& log() { return log_; }
    bool Contains(std::string_view m) const { return log_.Contains(m); }
    std::string Text() const { return log_.Text(); }
    // How many times `m` occurs in the log.
    std::size_t Count(std::string_view m) const {
        std::string text = Text();
        std::size_t n = 0;
        for (std::size_t at = text.find(m); at != std::string::npos; at = text.find(m, at + m.size())) ++n;
        return n;
    }

private:
    MemoryLog log_;
    LogSink* previous_ = nullptr;
};

}  // namespace orvane::testing
