// Load generator for the client-report road: sends logon reports for one user (each built
// afresh, as at every logon) at a fixed rate from many source ports to a worker and counts the
// acknowledgements.
//   orvane_road_load PORT KEYFILE USER DOMAIN COUNT RATE [SOCKETS]
// Prints "sent=N acked=N seconds=S".
// It shares two cores with the worker and the DC under test, so it never spins: the sender
// sleeps until each report is due and a second thread blocks in epoll for acknowledgements.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/client_report.h"
#include "common/gateway_message.h"

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
    if (count <= 0 || rate <= 0 || sockets <= 0) {
        std::fprintf(stderr, "COUNT, RATE and SOCKETS must be positive\n");
        return 2;
    }
    // One report each, as from many logons: the worker decides a repeated body only once. Built
    // before the clock starts.
    std::vector<std::vector<std::uint8_t>> datagrams(static_cast<std::size_t>(count));
    for (auto& datagram : datagrams) {
        if (!BuildClientReport(ReportKind::Logon, argv[3], argv[4], "LOADPC", MakeKeyField(key), datagram)) {
            std::fprintf(stderr, "cannot build the report\n");
            return 1;
        }
    }
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> socks;
    for (int i = 0; i < sockets; ++i) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || ep < 0) {
            std::fprintf(stderr, "socket: %s\n", std::strerror(errno));
            return 1;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        socks.push_back(fd);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);

    std::atomic<long> acked{0};
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        epoll_event events[64];
        std::uint8_t buf[64];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = ::epoll_wait(ep, events, 64, 50);
            for (int i = 0; i < n; ++i) {
                ssize_t len;
                while ((len = ::recv(events[i].data.fd, buf, sizeof buf, 0)) >= 0) {
                    if (IsReportAcknowledgement(buf, static_cast<std::size_t>(len))) acked.fetch_add(1);
                }
            }
        }
    });

    long sent = 0;
    const auto start = Clock::now();
    for (; sent < count; ++sent) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent / rate));
        if (Clock::now() < due) std::this_thread::sleep_until(due);
        int fd = socks[static_cast<std::size_t>(sent % sockets)];
        const auto& datagram = datagrams[static_cast<std::size_t>(sent)];
        if (::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            std::fprintf(stderr, "send: %s\n", std::strerror(errno));
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The last acknowledgements are still on their way: collect them for up to a second.
    const auto ackDeadline = Clock::now() + std::chrono::seconds(1);
    while (acked.load() < sent && Clock::now() < ackDeadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    receiver.join();
    std::printf("sent=%ld acked=%ld seconds=%.3f\n", sent, acked.load(), seconds);
    for (int fd : socks) ::close(fd);
    ::close(ep);
    return 0;
}
