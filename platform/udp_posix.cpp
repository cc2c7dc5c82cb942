#include "platform/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/udp_internal.h"

namespace orvane::platform {
namespace detail {

sockaddr_in ToSockaddr(const Ipv4Endpoint& ep) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ep.address);
    sa.sin_port = htons(ep.port);
    return sa;
}

ReceiveStatus ReceiveDatagram(int fd, void* buffer, std::size_t capacity, int flags, std::size_t& length,
                              Ipv4Endpoint& from, int& err) {
    sockaddr_in sa{};
    for (;;) {
        socklen_t len = sizeof sa;
        ssize_t n = ::recvfrom(fd, buffer, capacity, flags, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            length = static_cast<std::size_t>(n);
            from.address = ntohl(sa.sin_addr.s_addr);
            from.port = ntohs(sa.sin_port);
            return ReceiveStatus::Received;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveStatus::TimedOut;
        err = errno;
        return ReceiveStatus::Failed;
    }
}

}  // namespace detail

using detail::ToSockaddr;

bool ParseIpv4Address(std::string_view dotted, std::uint32_t& hostOrder) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= dotted.size() || dotted[i] != '.') return false;
            ++i;
        }
        std::size_t start = i;
        unsigned octet = 0;
        while (i < dotted.size() && dotted[i] >= '0' && dotted[i] <= '9' && i - start < 3) {
            octet = octet * 10 + static_cast<unsigned>(dotted[i] - '0');
            ++i;
        }
        if (i == start || octet > 255) return false;
        value = (value << 8) | octet;
    }
    if (i != dotted.size()) return false;
    hostOrder = value;
    return true;
}

void FormatIpv4Address(std::uint32_t hostOrder, char (&out)[16]) {
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", (hostOrder >> 24) & 0xFFu, (hostOrder >> 16) & 0xFFu,
                  (hostOrder >> 8) & 0xFFu, hostOrder & 0xFFu);
}

std::string FormatIpv4Address(std::uint32_t hostOrder) {
    char buf[16];
    FormatIpv4Address(hostOrder, buf);
    return buf;
}

UdpSocket::~UdpSocket() { Close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool UdpSocket::Open(int& err) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpSocket::SetReuseAddress(int& err) {
    int one = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpSocket::Bind(const Ipv4Endpoint& local, int& err) {
    sockaddr_in sa = ToSockaddr(local);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpSocket::LocalEndpoint(Ipv4Endpoint& out, int& err) const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        err = errno;
        return false;
    }
    out.address = ntohl(sa.sin_addr.s_addr);
    out.port = ntohs(sa.sin_port);
    return true;
}

bool UdpSocket::SendTo(const void* data, std::size_t length, const Ipv4Endpoint& to, int& err) {
    sockaddr_in sa = ToSockaddr(to);
    for (;;) {
        ssize_t n = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return true;
        if (errno == EINTR) continue;
        err = errno;
        return false;
    }
}

ReceiveStatus UdpSocket::ReceiveFrom(void* buffer, std::size_t capacity, std::size_t& length, Ipv4Endpoint& from,
                                     int timeoutMs, int& err) {
    length = 0;
    if (fd_ < 0) {
        err = EBADF;
        return ReceiveStatus::Failed;
    }
    // A datagram already waiting is taken at once: a busy socket costs one call per datagram.
    ReceiveStatus first = detail::ReceiveDatagram(fd_, buffer, capacity, MSG_DONTWAIT, length, from, err);
    if (first != ReceiveStatus::TimedOut || timeoutMs == 0) return first;
    pollfd p{};
    p.fd = fd_;
    p.events = POLLIN;
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (r > 0) break;
        if (r == 0) return ReceiveStatus::TimedOut;
        if (errno == EINTR) continue;
        err = errno;
        return ReceiveStatus::Failed;
    }
    // MSG_DONTWAIT: another reader may have taken the datagram between poll and recvfrom.
    return detail::ReceiveDatagram(fd_, buffer, capacity, MSG_DONTWAIT, length, from, err);
}

void UdpSocket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace orvane::platform
