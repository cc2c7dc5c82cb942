#pragma once
// Socket-structure helpers shared by UdpSocket and UdpReceiver; not for use outside platform/.
#include <netinet/in.h>

#include <cstddef>

#include "platform/udp.h"

namespace orvane::platform::detail {

sockaddr_in ToSockaddr(const Ipv4Endpoint& ep);

// One recvfrom with `flags`, retried on EINTR. `length` is what recvfrom returned (with
// MSG_TRUNC the datagram's full length). TimedOut when nothing was waiting (EAGAIN).
ReceiveStatus ReceiveDatagram(int fd, void* buffer, std::size_t capacity, int flags, std::size_t& length,
                              Ipv4Endpoint& from, int& err);

}  // namespace orvane::platform::detail
