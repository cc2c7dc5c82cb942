#pragma once
// The Linux stand-in for a Windows fixed file version: a small note placed by the build
// into the ELF section ".orvane_version" of every executable, read back from any file by path.
#include <cstdint>
#include <string>

namespace orvane::platform {

struct VersionNote {
    char magic[8];           // "ORVNVER1"
    std::uint32_t versionMs; // major << 16 | minor
    std::uint32_t versionLs; // build << 16 | revision
};

enum class VersionReadResult { Ok, NoFile, NotElf, NoVersion };

// Reads the note of the executable at path. errnoOut receives the system error when the
// file could not be read.
VersionReadResult ReadFileVersion(const std::string& path, VersionNote& note, int& errnoOut);

// Rewrites the note inside an existing executable (used by tools that stamp test builds).
bool WriteFileVersion(const std::string& path, std::uint32_t versionMs, std::uint32_t versionLs);

}  // namespace orvane::platform
