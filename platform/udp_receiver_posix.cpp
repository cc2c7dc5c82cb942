#include "platform/udp_receiver.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "platform/udp_internal.h"

namespace orvane::platform {

UdpReceiver::~UdpReceiver() { Close(); }

bool UdpReceiver::Open(int& err) { return socket_.Open(err); }

bool UdpReceiver::SetReuseAddress(int& err) { return socket_.SetReuseAddress(err); }

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

void UdpReceiver::Close() { socket_.Close(); }

}  // namespace orvane::platform
