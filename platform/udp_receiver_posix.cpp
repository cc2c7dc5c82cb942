#include "platform/udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::platform {

UdpReceiver::~UdpReceiver() { Close(); }

bool UdpReceiver::Open(int& err) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpReceiver::SetReuseAddress(int& err) {
    int one = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpReceiver::BindAny(std::uint16_t port, int& err) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpReceiver::SetWakeInterval(unsigned ms, int& err) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpReceiver::LocalEndpoint(Ipv4Endpoint& out, int& err) const {
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

ReceiveStatus UdpReceiver::Receive(void* buffer, std::size_t capacity, std::size_t& datagramLength,
                                   Ipv4Endpoint& from, int& err) {
    datagramLength = 0;
    sockaddr_in sa{};
    for (;;) {
        socklen_t len = sizeof sa;
        // MSG_TRUNC: the result is the datagram's length, so an oversized one is recognised.
        ssize_t n = ::recvfrom(fd_, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            datagramLength = static_cast<std::size_t>(n);
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

bool UdpReceiver::SendTo(const void* data, std::size_t length, const Ipv4Endpoint& to, int& err) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(to.address);
    sa.sin_port = htons(to.port);
    for (;;) {
        ssize_t n = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return true;
        if (errno == EINTR) continue;
        err = errno;
        return false;
    }
}

void UdpReceiver::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace orvane::platform
