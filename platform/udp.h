#pragma once
// IPv4 UDP sockets. Addresses are host-order numbers (first octet most significant) so
// callers resolve a destination once and never touch socket structures themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::platform {

struct Ipv4Endpoint {
    std::uint32_t address = 0;  // host byte order: 127.0.0.1 is 0x7F000001
    std::uint16_t port = 0;
};

// Strict dotted decimal ("a.b.c.d", each 0-255) to a host-order address; false otherwise.
bool ParseIpv4Address(std::string_view dotted, std::uint32_t& hostOrder);
// The dotted form of a host-order address; the buffer form for paths that must not allocate.
void FormatIpv4Address(std::uint32_t hostOrder, char (&out)[16]);
std::string FormatIpv4Address(std::uint32_t hostOrder);

enum class ReceiveStatus { Received, TimedOut, Failed };

class UdpReceiver;

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates an unbound IPv4 datagram socket; false with the system error.
    bool Open(int& err);
    bool IsOpen() const { return fd_ >= 0; }
    // SO_REUSEADDR, for a socket that only sends and reads its answers (the reporter's); never
    // for one that receives from peers: another program could share its port.
    bool SetReuseAddress(int& err);
    bool Bind(const Ipv4Endpoint& local, int& err);
    // The local address and port (after Bind or the first send).
    bool LocalEndpoint(Ipv4Endpoint& out, int& err) const;

    // Sends one datagram; false with the system error.
    bool SendTo(const void* data, std::size_t length, const Ipv4Endpoint& to, int& err);

    // Waits up to timeoutMs (negative: no limit) for one datagram and reads at most `capacity`
    // bytes of it; `length` is the number of bytes stored (a longer datagram is cut).
    ReceiveStatus ReceiveFrom(void* buffer, std::size_t capacity, std::size_t& length, Ipv4Endpoint& from,
                              int timeoutMs, int& err);

    void Close();

private:
    friend class UdpReceiver;  // adds socket options and a truncation-aware receive on the same descriptor
    int fd_ = -1;
};

}  // namespace orvane::platform
