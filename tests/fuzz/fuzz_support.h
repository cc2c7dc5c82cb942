#pragma once
// Shared pieces of the fuzz targets: a log that formats every message and keeps none, and a
// scratch folder for the parsers that read files (removed when the fuzzer ends).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/log.h"

namespace orvane::fuzzing {

// Messages are formatted (so their arguments are read) and dropped: nothing grows per input.
class DiscardLog final : public LogSink {
public:
    void Write(LogSeverity, std::string_view message) override { last_ = message.size(); }

private:
    std::size_t last_ = 0;
};

inline void InstallDiscardLog() {
    static DiscardLog log;
    SetLogSink(&log);
}

// One folder per fuzzer process under $TMPDIR (or /tmp).
class ScratchDir {
public:
    static ScratchDir& Get() {
        static ScratchDir dir;
        return dir;
    }
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvane-fuzz-XXXXXX";
        if (!::mkdtemp(tmpl.data())) {
            std::perror("orvane fuzz: no scratch folder");
            std::abort();
        }
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string path_;
};

// Replaces a file's content with `data`; aborts when it cannot (a broken harness, not a finding).
inline void WriteWhole(const std::string& path, std::string_view data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

inline void Append(const std::string& path, std::string_view data) {
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// A check of the fuzz target itself: a broken property is a finding like a crash.
#define ORVANE_FUZZ_CHECK(cond)                                                                   \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);        \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

}  // namespace orvane::fuzzing
