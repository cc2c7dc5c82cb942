#include "platform/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace orvane::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool FillAddress(const std::string& path, sockaddr_un& sa, int& err) {
    sa = {};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) {
        err = ENAMETOOLONG;
        return false;
    }
    std::memcpy(sa.sun_path, path.data(), path.size());
    return true;
}

int RemainingMs(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline: 1 ready, 0 timed out, -1 failed (errno).
int WaitFor(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r >= 0) return r;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

LocalConnection::~LocalConnection() { Close(); }

LocalConnection::LocalConnection(LocalConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

LocalConnection& LocalConnection::operator=(LocalConnection&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void LocalConnection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LocalConnection::SendAll(const void* data, std::size_t length, int timeoutMs, int& err) {
    // A large answer to a slow but reading peer takes as long as it takes; only a peer that
    // stops reading for timeoutMs is given up (a deadline on the whole answer cut big snapshots
    // short on a busy machine, and the reader saw half a JSON text).
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return false;
        }
        int r = WaitFor(fd_, POLLOUT, deadline);
        if (r <= 0) {
            err = r == 0 ? ETIMEDOUT : errno;
            return false;
        }
    }
    return true;
}

LocalListener::~LocalListener() { Close(); }

bool LocalListener::Listen(const std::string& path, unsigned mode, int& err) {
    Close();
    sockaddr_un sa;
    if (!FillAddress(path, sa, err)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = errno;
        return false;
    }
    // A socket left by an earlier run of the same program is replaced; other files are not.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    // Created with no access at all, then opened up to `mode`: nobody connects in between.
    const mode_t old = ::umask(0777);
    int r = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    const int bindErr = errno;
    ::umask(old);
    if (r != 0 || ::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0 || ::listen(fd, 16) != 0) {
        err = r != 0 ? bindErr : errno;
        if (r == 0) ::unlink(path.c_str());
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool LocalListener::Accept(int timeoutMs, LocalConnection& out, int& err) {
    err = 0;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int r = WaitFor(fd_, POLLIN, deadline);
    if (r <= 0) {
        err = r == 0 ? 0 : errno;
        return false;
    }
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) {
        // A client that gave up between poll and accept is no failure.
        err = (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) ? 0 : errno;
        return false;
    }
    out = LocalConnection(c);
    return true;
}

void LocalListener::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    fd_ = -1;
    path_.clear();
}

bool EnsureSocketFolder(const std::string& folder, unsigned mode, int& err) {
    if (::mkdir(folder.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    struct stat st {};
    if (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    err = errno == EEXIST ? ENOTDIR : errno;
    return false;
}

bool IsAbandonedLocalSocket(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    sockaddr_un sa;
    int err = 0;
    if (!FillAddress(path, sa, err)) return false;
    // Non-blocking: a listener with a full backlog answers EAGAIN at once, and is alive.
    LocalConnection probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.IsOpen()) return false;
    return ::connect(probe.Fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 && errno == ECONNREFUSED;
}

LocalReadResult ReadLocalAnswer(const std::string& path, int timeoutMs, std::size_t maxBytes, std::string& out,
                                int& err) {
    out.clear();
    err = 0;
    // Renewed with every piece of the answer: a worker that answers is read to the end, however
    // large its answer; one that says nothing for timeoutMs is not answering.
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un sa;
    if (!FillAddress(path, sa, err)) return LocalReadResult::Failed;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = errno;
        return LocalReadResult::Failed;
    }
    LocalConnection guard(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno;
        if (err == ENOENT || err == ECONNREFUSED) return LocalReadResult::NoSocket;
        if (err == EACCES || err == EPERM) return LocalReadResult::Denied;
        // A full backlog: the listener is alive but busy; wait for it like for an answer.
        if (err != EAGAIN && err != EINPROGRESS) return LocalReadResult::Failed;
        int r = WaitFor(fd, POLLOUT, deadline);
        if (r <= 0) {
            err = r == 0 ? ETIMEDOUT : errno;
            return r == 0 ? LocalReadResult::TimedOut : LocalReadResult::Failed;
        }
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) return err == ECONNREFUSED ? LocalReadResult::NoSocket : LocalReadResult::Failed;
    }
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return LocalReadResult::Read;
        if (n > 0) {
            if (out.size() + static_cast<std::size_t>(n) > maxBytes) return LocalReadResult::TooLong;
            out.append(buffer, static_cast<std::size_t>(n));
            deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return LocalReadResult::Failed;
        }
        int r = WaitFor(fd, POLLIN, deadline);
        if (r == 0) {
            err = ETIMEDOUT;
            return LocalReadResult::TimedOut;
        }
        if (r < 0) {
            err = errno;
            return LocalReadResult::Failed;
        }
    }
}

}  // namespace orvane::platform
