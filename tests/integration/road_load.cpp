// Load generator for the client-report road: sends logon reports for one user at a fixed rate
// from many source ports to a worker and counts the acknowledgements.
//   orvane_road_load PORT KEYFILE USER DOMAIN COUNT RATE [SOCKETS]
// Prints "sent=N acked=N seconds=S".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/client_report.h"
#include "common/gateway_message.h"
#include "platform/udp.h"

using namespace orvane;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc < 7 || argc > 8) {
        std::fprintf(stderr, "usage: orvane_road_load PORT KEYFILE USER DOMAIN COUNT RATE [SOCKETS]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    std::string key;
    std::ifstream(argv[2]) >> key;
    const long count = std::atol(argv[5]);
    const double rate = std::atof(argv[6]);
    const int sockets = argc == 8 ? std::atoi(argv[7]) : 64;
    std::vector<std::uint8_t> datagram;
    if (!BuildClientReport(ReportKind::Logon, argv[3], argv[4], "LOADPC", MakeKeyField(key), datagram)) {
        std::fprintf(stderr, "cannot build the report\n");
        return 1;
    }
    std::vector<platform::UdpSocket> socks(static_cast<std::size_t>(sockets));
    int err = 0;
    for (auto& s : socks) {
        if (!s.Open(err)) {
            std::fprintf(stderr, "socket: %d\n", err);
            return 1;
        }
    }
    platform::Ipv4Endpoint to{};
    to.address = 0x7F000001;
    to.port = port;

    long sent = 0, acked = 0;
    std::uint8_t buf[64];
    auto drain = [&](int timeoutMs) {
        for (auto& s : socks) {
            std::size_t len = 0;
            platform::Ipv4Endpoint from{};
            while (s.ReceiveFrom(buf, sizeof buf, len, from, timeoutMs, err) == platform::ReceiveStatus::Received) {
                if (IsReportAcknowledgement(buf, len)) ++acked;
                timeoutMs = 0;
            }
        }
    };
    const auto start = Clock::now();
    for (; sent < count; ++sent) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent / rate));
        while (Clock::now() < due) drain(0);
        if (!socks[static_cast<std::size_t>(sent % sockets)].SendTo(datagram.data(), datagram.size(), to, err)) {
            std::fprintf(stderr, "send: %d\n", err);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The last acknowledgements are still on their way: collect them for up to a second.
    const auto ackDeadline = Clock::now() + std::chrono::seconds(1);
    while (acked < sent && Clock::now() < ackDeadline) {
        drain(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("sent=%ld acked=%ld seconds=%.3f\n", sent, acked, seconds);
    return 0;
}
