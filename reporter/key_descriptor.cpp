#include "reporter/key_descriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include <openssl/crypto.h>

#include "common/log.h"

namespace orvane {

bool ParseKeyDescriptor(const char* text, int& fd) {
    if (!text || !*text) return false;
    int value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || p - text >= 4) return false;
        value = value * 10 + (*p - '0');
    }
    if (value > 1023) return false;
    fd = value;
    return true;
}

namespace {

void CloseKeyDescriptor(int fd) {
    if (fd > 2) {
        ::close(fd);
        return;
    }
    // A standard stream stays open, on /dev/null, so no later file takes its number.
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    ::dup2(null, fd);
    ::close(null);
}

KeyRead ReadLine(int fd, unsigned timeoutMs, std::string& line, int& err) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[kKeyLineLimit + 2];
    std::size_t used = 0;
    KeyRead result = KeyRead::Ok;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            err = errno;
            result = KeyRead::ReadFailed;
            break;
        }
        if (ready == 0) {
            result = KeyRead::TimedOut;
            break;
        }
        if (p.revents & POLLNVAL) {
            err = EBADF;
            result = KeyRead::ReadFailed;
            break;
        }
        ssize_t n = ::read(fd, buf + used, sizeof buf - used);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            err = errno;
            result = KeyRead::ReadFailed;
            break;
        }
        std::size_t before = used;
        used += static_cast<std::size_t>(n);
        bool lineEnded = false;
        for (std::size_t i = before; i < used; ++i) {
            if (buf[i] == '\n') {
                used = i;
                lineEnded = true;
                break;
            }
        }
        if (!lineEnded && used == sizeof buf) {
            result = KeyRead::TooLong;
            break;
        }
        if (lineEnded || n == 0) break;
    }
    if (result == KeyRead::Ok) {
        if (used > 0 && buf[used - 1] == '\r') --used;
        if (used > kKeyLineLimit) {
            result = KeyRead::TooLong;
        } else if (used == 0) {
            result = KeyRead::Empty;
        } else {
            line.assign(buf, used);
        }
    }
    OPENSSL_cleanse(buf, sizeof buf);
    return result;
}

}  // namespace

KeyRead ReadKeyFromDescriptor(int fd, unsigned timeoutMs, std::string& key, int& err) {
    KeyRead result = ReadLine(fd, timeoutMs, key, err);
    CloseKeyDescriptor(fd);
    return result;
}

void LogKeyReadFailure(KeyRead result, int fd, int err) {
    switch (result) {
        case KeyRead::Ok:
            return;
        case KeyRead::ReadFailed:
            LogError("Read the client share key from descriptor %d failed! errorcode:%d", fd, err);
            return;
        case KeyRead::TimedOut:
            LogError("No client share key arrived on descriptor %d within %u seconds", fd,
                     kKeyReadTimeoutMs / 1000);
            return;
        case KeyRead::Empty:
            LogError("The client share key on descriptor %d is empty", fd);
            return;
        case KeyRead::TooLong:
            LogError("The client share key on descriptor %d is longer than %zu bytes", fd, kKeyLineLimit);
            return;
    }
}

bool BeingTraced() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
    return false;
}

bool MakeProcessUndumpable(int& err) {
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0) return true;
    err = errno;
    return false;
}

}  // namespace orvane
