#include "platform/udp_receiver.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "platform/udp_internal.h"

namespace orvane::platform {

UdpReceiver::~UdpReceiver() { Close(); }

bool UdpReceiver::Open(int& err) { return socket_.Open(err); }

bool UdpReceiver::BindAny(std::uint16_t port, int& err) {
    return socket_.Bind(Ipv4Endpoint{INADDR_ANY, port}, err);
}

bool UdpReceiver::SetWakeInterval(unsigned ms, int& err) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(socket_.fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool UdpReceiver::LocalEndpoint(Ipv4Endpoint& out, int& err) const { return socket_.LocalEndpoint(out, err); }

ReceiveStatus UdpReceiver::Receive(void* buffer, std::size_t capacity, std::size_t& datagramLength,
                                   Ipv4Endpoint& from, int& err) {
    datagramLength = 0;
    // Blocks up to the wake interval (SO_RCVTIMEO, then EAGAIN: TimedOut). MSG_TRUNC: the result
    // is the datagram's length, so an oversized one is recognised.
    return detail::ReceiveDatagram(socket_.fd_, buffer, capacity, MSG_TRUNC, datagramLength, from, err);
}

bool UdpReceiver::SendTo(const void* data, std::size_t length, const Ipv4Endpoint& to, int& err) {
    return socket_.SendTo(data, length, to, err);
}

int UdpReceiver::ReceiveBatch(Slot* slots, int count, int& err) {
    constexpr int kMax = 64;
    if (count <= 0) return 0;
    if (count > kMax) count = kMax;
    mmsghdr msgs[kMax];
    iovec iov[kMax];
    sockaddr_in from[kMax];
    for (int i = 0; i < count; ++i) {
        iov[i] = {slots[i].buffer, slots[i].capacity};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    for (;;) {
        // MSG_WAITFORONE: block (SO_RCVTIMEO) for the first only. MSG_TRUNC: real lengths.
        int n = ::recvmmsg(socket_.fd_, msgs, static_cast<unsigned>(count), MSG_WAITFORONE | MSG_TRUNC, nullptr);
        if (n >= 0) {
            for (int i = 0; i < n; ++i) {
                slots[i].datagramLength = msgs[i].msg_len;
                slots[i].from.address = ntohl(from[i].sin_addr.s_addr);
                slots[i].from.port = ntohs(from[i].sin_port);
            }
            return n;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        err = errno;
        return -1;
    }
}

int UdpReceiver::SendToEach(const void* data, std::size_t length, const Ipv4Endpoint* to, int count, int& err) {
    constexpr int kMax = 64;
    int sent = 0;
    while (sent < count) {
        const int batch = count - sent < kMax ? count - sent : kMax;
        mmsghdr msgs[kMax];
        iovec iov{const_cast<void*>(data), length};
        sockaddr_in addr[kMax];
        for (int i = 0; i < batch; ++i) {
            addr[i] = detail::ToSockaddr(to[sent + i]);
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov;
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &addr[i];
            msgs[i].msg_hdr.msg_namelen = sizeof addr[i];
        }
        int n = ::sendmmsg(socket_.fd_, msgs, static_cast<unsigned>(batch), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return sent;
        }
        sent += n;
        if (n < batch) {
            // sendmmsg stops at the first failure and reports it on the next call: ask once more
            // for that datagram alone to learn its error.
            if (!socket_.SendTo(data, length, to[sent], err)) return sent;
            ++sent;
        }
    }
    return sent;
}

void UdpReceiver::Close() { socket_.Close(); }

}  // namespace orvane::platform
