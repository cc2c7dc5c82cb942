#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvane::platform {

bool WriteAll(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReplaceFile(const std::string& path, std::string_view text, unsigned mode) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    int fd = -1;
    // What stands under the name is left by a killed run, or planted: it goes, and the name is
    // taken again. Someone planting faster than that wins nothing but a failed write.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd < 0 && (errno != EEXIST || ::unlink(temporary.c_str()) != 0)) return false;
    }
    if (fd < 0) return false;
    // The umask must not narrow a file meant for other readers.
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, text.data(), text.size());
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    if (ok) err = errno;
    ::unlink(temporary.c_str());
    errno = err;
    return false;
}

}  // namespace orvane::platform
