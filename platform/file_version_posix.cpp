#include "platform/file_version.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace orvane::platform {
namespace {

constexpr char kSectionName[] = ".orvane_version";
constexpr char kMagic[8] = {'O', 'R', 'V', 'N', 'V', 'E', 'R', '1'};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool ReadAt(int fd, void* buf, std::size_t len, off_t off) {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = ::pread(fd, p, len, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
        off += n;
    }
    return true;
}

// Offset of the version note inside the file, or -1.
off_t FindNote(int fd) {
    Elf64_Ehdr eh;
    if (!ReadAt(fd, &eh, sizeof eh, 0)) return -1;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return -2;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum) return -1;
    std::vector<Elf64_Shdr> sh(eh.e_shnum);
    if (!ReadAt(fd, sh.data(), sh.size() * sizeof(Elf64_Shdr), static_cast<off_t>(eh.e_shoff))) return -1;
    const Elf64_Shdr& strSec = sh[eh.e_shstrndx];
    if (strSec.sh_size > (1u << 20)) return -1;
    std::vector<char> names(strSec.sh_size + 1, '\0');
    if (!ReadAt(fd, names.data(), strSec.sh_size, static_cast<off_t>(strSec.sh_offset))) return -1;
    for (const auto& s : sh) {
        if (s.sh_name >= strSec.sh_size) continue;
        if (std::strcmp(names.data() + s.sh_name, kSectionName) == 0 && s.sh_type == SHT_PROGBITS &&
            s.sh_size >= sizeof(VersionNote)) {
            return static_cast<off_t>(s.sh_offset);
        }
    }
    return -1;
}

}  // namespace

VersionReadResult ReadFileVersion(const std::string& path, VersionNote& note, int& errnoOut) {
    errnoOut = 0;
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) {
        errnoOut = errno;
        return VersionReadResult::NoFile;
    }
    off_t off = FindNote(f.fd);
    if (off == -2) return VersionReadResult::NotElf;
    if (off < 0) return VersionReadResult::NoVersion;
    VersionNote n;
    if (!ReadAt(f.fd, &n, sizeof n, off) || std::memcmp(n.magic, kMagic, sizeof kMagic) != 0) {
        return VersionReadResult::NoVersion;
    }
    note = n;
    return VersionReadResult::Ok;
}

bool WriteFileVersion(const std::string& path, std::uint32_t versionMs, std::uint32_t versionLs) {
    Fd f{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (f.fd < 0) return false;
    off_t off = FindNote(f.fd);
    if (off < 0) return false;
    VersionNote n;
    std::memcpy(n.magic, kMagic, sizeof kMagic);
    n.versionMs = versionMs;
    n.versionLs = versionLs;
    return ::pwrite(f.fd, &n, sizeof n, off) == static_cast<ssize_t>(sizeof n);
}

}  // namespace orvane::platform
