// A TCP delay line: puts a fixed one-way delay on each direction of every connection passed
// through it, the way a distant DC is a round trip away. Bytes leave when their time comes, in
// order, while later bytes keep being read: a connection's throughput is not capped by the delay
// (no stop-and-wait). Bytes pass untouched, so StartTLS and TLS work through it.
//
//   orvane_delay_line --listen ADDR:PORT --connect ADDR:PORT --delay-us MICROSECONDS [--stall-ms MS]
//
// PORT 0 for --listen takes a free port. Once listening it prints "listening on ADDR:PORT" on
// stderr. Runs until killed. With --stall-ms, SIGUSR1 arms a slow answer: the next bytes a server
// sends (and, in order, all behind them) leave MS later than their time; it prints "stall armed"
// and then "stalled" on stderr.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Nanos = std::int64_t;

volatile std::sig_atomic_t g_stallRequested = 0;
void RequestStall(int) { g_stallRequested = 1; }

Nanos Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool ParseEndpoint(const char* text, sockaddr_in& out) {
    const char* colon = std::strrchr(text, ':');
    if (!colon) return false;
    const std::string host(text, colon);
    char* end = nullptr;
    const long port = std::strtol(colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) return false;
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(port));
    return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

// Bytes read at one moment, to be written `delay` later; an empty chunk is the end of the stream.
struct Chunk {
    Nanos due;
    std::vector<char> bytes;
    std::size_t sent = 0;
};

// A direction read from `from` and written to `to`.
struct Direction {
    int from = -1, to = -1;
    std::deque<Chunk> pending;
    std::size_t buffered = 0;
    bool readEnded = false;   // `from` said end of stream (queued as an empty chunk)
    bool writeEnded = false;  // `to` was shut down for writing
};

struct Pair {
    Direction up, down;  // client to server, server to client
    bool connected = false;
};

// Past this much waiting in one direction, reading stops until it drains: memory stays bounded
// when the far side reads slower than the near side writes.
constexpr std::size_t kMaxBuffered = 16u << 20;
constexpr std::size_t kReadSize = 64u << 10;

class DelayLine {
public:
    DelayLine(const sockaddr_in& target, Nanos delay, Nanos stall)
        : target_(target), delay_(delay), stall_(stall) {}

    bool Listen(const sockaddr_in& at) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (epoll_ < 0 || timer_ < 0 || listener_ < 0 ||
            bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(listener_, 128) != 0) {
            std::fprintf(stderr, "delay line: cannot listen: %s\n", std::strerror(errno));
            return false;
        }
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
        char host[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &bound.sin_addr, host, sizeof host);
        Watch(listener_, EPOLLIN);
        Watch(timer_, EPOLLIN);
        std::fprintf(stderr, "listening on %s:%u\n", host, ntohs(bound.sin_port));
        return true;
    }

    void Run() {
        epoll_event events[64];
        for (;;) {
            const int n = epoll_wait(epoll_, events, 64, -1);
            if (g_stallRequested) {
                g_stallRequested = 0;
                stallArmed_ = stall_ > 0;
                std::fprintf(stderr, "stall armed\n");
            }
            if (n < 0 && errno == EINTR) continue;
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == listener_) {
                    Accept();
                } else if (fd == timer_) {
                    std::uint64_t expirations = 0;
                    [[maybe_unused]] ssize_t r = read(timer_, &expirations, sizeof expirations);
                } else {
                    Handle(fd, events[i].events);
                }
            }
            Flush();
        }
    }

private:
    void Watch(int fd, std::uint32_t events, int op = EPOLL_CTL_ADD) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        epoll_ctl(epoll_, op, fd, &e);
    }

    void Accept() {
        for (;;) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0) return;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (server < 0) {
                close(client);
                continue;
            }
            const int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (connect(server, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) != 0 &&
                errno != EINPROGRESS) {
                close(client);
                close(server);
                continue;
            }
            auto pair = std::make_shared<Pair>();
            pair->up.from = pair->down.to = client;
            pair->up.to = pair->down.from = server;
            pairs_[client] = pair;
            pairs_[server] = pair;
            // The client is read only once the server side is connected.
            Watch(server, EPOLLOUT);
        }
    }

    void Handle(int fd, std::uint32_t events) {
        auto it = pairs_.find(fd);
        if (it == pairs_.end()) return;
        std::shared_ptr<Pair> pair = it->second;
        if (!pair->connected) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0 || (events & (EPOLLERR | EPOLLHUP))) {
                Drop(*pair);
                return;
            }
            pair->connected = true;
            Watch(pair->up.from, EPOLLIN);
            Watch(pair->up.to, EPOLLIN, EPOLL_CTL_MOD);
            return;
        }
        Direction& d = fd == pair->up.from ? pair->up : pair->down;
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(*pair, d);
    }

    void Read(Pair& pair, Direction& d) {
        while (!d.readEnded && d.buffered < kMaxBuffered) {
            const ssize_t n = read(d.from, buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n < 0) {
                Drop(pair);
                return;
            }
            d.buffered += static_cast<std::size_t>(n);
            if (n == 0) d.readEnded = true;
            Nanos due = Now() + delay_;
            if (stallArmed_ && &d == &pair.down && n > 0) {
                // Everything behind it waits too: the stream stays in order.
                stallArmed_ = false;
                due += stall_;
                std::fprintf(stderr, "stalled\n");
            }
            d.pending.push_back(Chunk{due, std::vector<char>(buffer_.data(), buffer_.data() + n)});
        }
        SetReading(d);
    }

    // Reads only while there is room and the stream goes on; an ended stream is not watched at
    // all (its hang-up would be reported again and again).
    void SetReading(Direction& d) {
        if (d.readEnded)
            epoll_ctl(epoll_, EPOLL_CTL_DEL, d.from, nullptr);
        else
            Watch(d.from, d.buffered < kMaxBuffered ? std::uint32_t{EPOLLIN} : 0u, EPOLL_CTL_MOD);
    }

    // Writes every due chunk that the far side takes now; arms the timer for the next one.
    void Flush() {
        Nanos next = 0;
        std::vector<std::shared_ptr<Pair>> done;
        for (auto& [fd, pair] : pairs_) {
            if (fd != pair->up.from) continue;  // each pair once
            for (Direction* d : {&pair->up, &pair->down}) {
                const bool wasFull = d->buffered >= kMaxBuffered;
                const Nanos now = Now();
                while (!d->pending.empty() && d->pending.front().due <= now) {
                    Chunk& c = d->pending.front();
                    if (c.bytes.empty()) {
                        shutdown(d->to, SHUT_WR);
                        d->writeEnded = true;
                        d->pending.pop_front();
                        continue;
                    }
                    const ssize_t n = write(d->to, c.bytes.data() + c.sent, c.bytes.size() - c.sent);
                    if (n < 0 && errno == EAGAIN) break;
                    if (n < 0) {
                        done.push_back(pair);
                        break;
                    }
                    c.sent += static_cast<std::size_t>(n);
                    d->buffered -= static_cast<std::size_t>(n);
                    if (c.sent == c.bytes.size()) d->pending.pop_front();
                }
                if (wasFull && d->buffered < kMaxBuffered) SetReading(*d);
                if (!d->pending.empty()) {
                    // A due chunk the far side could not take yet is retried soon.
                    const Nanos due = std::max(d->pending.front().due, now + 200'000);
                    if (next == 0 || due < next) next = due;
                }
            }
            if (pair->up.writeEnded && pair->down.writeEnded) done.push_back(pair);
        }
        for (auto& pair : done) Drop(*pair);
        itimerspec wake{};
        if (next != 0) {
            wake.it_value.tv_sec = next / 1'000'000'000;
            wake.it_value.tv_nsec = next % 1'000'000'000;
        }
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &wake, nullptr);
    }

    void Drop(Pair& pair) {
        for (int fd : {pair.up.from, pair.up.to}) {
            if (pairs_.erase(fd) == 0) continue;
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
        }
    }

    sockaddr_in target_;
    Nanos delay_;
    Nanos stall_;
    bool stallArmed_ = false;
    int epoll_ = -1, timer_ = -1, listener_ = -1;
    std::unordered_map<int, std::shared_ptr<Pair>> pairs_;
    std::vector<char> buffer_ = std::vector<char>(kReadSize);
};

int Usage(const char* why) {
    if (why) std::fprintf(stderr, "orvane_delay_line: %s\n", why);
    std::fprintf(why ? stderr : stdout,
                 "usage: orvane_delay_line --listen ADDR:PORT --connect ADDR:PORT --delay-us MICROSECONDS\n"
                 "                         [--stall-ms MS]\n"
                 "Adds the delay to each direction of every TCP connection passed through, without\n"
                 "stop-and-wait. Prints \"listening on ADDR:PORT\" on stderr once ready. With\n"
                 "--stall-ms, SIGUSR1 holds the next bytes from the server MS longer (\"stalled\").\n");
    return why ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    sockaddr_in listenAt{}, target{};
    bool haveListen = false, haveTarget = false;
    long long delayUs = -1, stallMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Usage(nullptr);
        if (i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--listen") {
            haveListen = ParseEndpoint(value, listenAt);
            if (!haveListen) return Usage("--listen wants ADDR:PORT (IPv4)");
        } else if (arg == "--connect") {
            haveTarget = ParseEndpoint(value, target);
            if (!haveTarget) return Usage("--connect wants ADDR:PORT (IPv4)");
        } else if (arg == "--delay-us") {
            char* end = nullptr;
            delayUs = std::strtoll(value, &end, 10);
            if (*end != '\0' || delayUs < 0 || delayUs > 10'000'000) return Usage("--delay-us wants 0 to 10000000");
        } else if (arg == "--stall-ms") {
            char* end = nullptr;
            stallMs = std::strtoll(value, &end, 10);
            if (*end != '\0' || stallMs < 0 || stallMs > 600'000) return Usage("--stall-ms wants 0 to 600000");
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    if (!haveListen || !haveTarget || delayUs < 0) return Usage("--listen, --connect and --delay-us are needed");
    signal(SIGPIPE, SIG_IGN);
    struct sigaction stall {};
    stall.sa_handler = RequestStall;  // no SA_RESTART: epoll_wait returns and sees it
    sigaction(SIGUSR1, &stall, nullptr);
    DelayLine line(target, static_cast<Nanos>(delayUs) * 1000, static_cast<Nanos>(stallMs) * 1'000'000);
    if (!line.Listen(listenAt)) return 1;
    line.Run();
}
