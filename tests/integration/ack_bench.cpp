// The acknowledgement path's rate beside the plainest possible UDP answerer (scripts/bench).
//   orvane_ack_bench bare PORT              answers every datagram on 127.0.0.1:PORT with
//                                           "DEDOVEROZ", one recvfrom and one sendto each
//   orvane_ack_bench load PORT SECONDS [WINDOW]
//                                           keeps WINDOW report-shaped 84-byte datagrams (each
//                                           different, under no key) outstanding towards PORT
//                                           and counts the acknowledgements; prints
//                                           "acked=N seconds=S per_second=R"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

int Bare(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = Loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("bind");
        return 1;
    }
    char buffer[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        sendto(fd, "DEDOVEROZ", 9, 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

int Load(int port, double seconds, int window) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in to = Loopback(port);
    std::uint8_t datagram[84] = {0, 1, 0, 48};
    std::uint64_t serial = 0;
    long acked = 0;
    int outstanding = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    char ack[64];
    while (Clock::now() < end) {
        while (outstanding < window) {
            ++serial;
            std::memcpy(datagram + 20, &serial, sizeof serial);  // every body's first block differs
            std::memcpy(datagram + 36, &serial, sizeof serial);
            if (sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) break;
            ++outstanding;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            outstanding = 0;  // lost on the way: send a new window
            continue;
        }
        while (recv(fd, ack, sizeof ack, 0) == 9) {
            ++acked;
            if (outstanding > 0) --outstanding;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("acked=%ld seconds=%.2f per_second=%.0f\n", acked, elapsed, acked / elapsed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "bare") == 0) return Bare(std::atoi(argv[2]));
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "load") == 0) {
        return Load(std::atoi(argv[2]), std::atof(argv[3]), argc == 5 ? std::atoi(argv[4]) : 32);
    }
    std::fprintf(stderr, "usage: orvane_ack_bench bare PORT | load PORT SECONDS [WINDOW]\n");
    return 2;
}
