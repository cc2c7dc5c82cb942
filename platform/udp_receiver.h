#pragma once
// A UDP socket for a receiving loop that must also notice a stop request: receives block for at
// most a wake interval, and a datagram that is already waiting costs one system call. Reports
// the full length of a datagram even when it was longer than the buffer.
#include <cstddef>
#include <cstdint>

#include "platform/udp.h"

namespace orvane::platform {

class UdpReceiver {
public:
    UdpReceiver() = default;
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // The set-up steps, each false with the system error so the caller can say which failed.
    // No SO_REUSEADDR: a socket that receives from peers keeps its port to itself.
    bool Open(int& err);
    // Binds every local IPv4 address at `port` (0: a port the system chooses).
    bool BindAny(std::uint16_t port, int& err);
    // Longest time one Receive blocks; 0 means no limit.
    bool SetWakeInterval(unsigned ms, int& err);
    bool LocalEndpoint(Ipv4Endpoint& out, int& err) const;

    // Receives one datagram into `buffer`. `datagramLength` is the datagram's real length, which
    // is larger than `capacity` when the datagram did not fit (only `capacity` bytes are stored).
    // TimedOut when the wake interval passed without a datagram.
    ReceiveStatus Receive(void* buffer, std::size_t capacity, std::size_t& datagramLength, Ipv4Endpoint& from,
                          int& err);

    bool SendTo(const void* data, std::size_t length, const Ipv4Endpoint& to, int& err);

    // Several datagrams in one system call: waits (up to the wake interval) for the first, then
    // takes what is already waiting, up to `count`. Each slot's `datagramLength` is the real
    // length, as with Receive. Returns how many slots were filled, 0 when the wake interval
    // passed, -1 on failure (`err`).
    struct Slot {
        void* buffer = nullptr;
        std::size_t capacity = 0;
        std::size_t datagramLength = 0;
        Ipv4Endpoint from;
    };
    int ReceiveBatch(Slot* slots, int count, int& err);
    // Sends the same datagram to each of `to[0..count)` in as few system calls as it can. Returns
    // how many were sent before the first failure (`err` holds its error); count when all were.
    int SendToEach(const void* data, std::size_t length, const Ipv4Endpoint* to, int count, int& err);

    void Close();

private:
    UdpSocket socket_;
};

}  // namespace orvane::platform
