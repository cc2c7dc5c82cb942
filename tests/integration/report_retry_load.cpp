// Load generator for many users on the client-report road, retrying as the logon reporter does:
// each report goes out from a socket of its own and is sent again when no acknowledgement came
// within the reporter's wait (1, 3, 5, 7 seconds for a logon, 1 second for a logoff), at most four
// times. Every report is built afresh, so no two bodies are alike.
//
// Logon reports: ROUNDS rounds over the users u0000..; report (user, round) goes out from its own
// loopback address 127.(20+round).(user/250).(user%250+1), so the gateway's notification names
// exactly which report it decides. Logoff reports: one for each acknowledged logon in
// LOGON_ACKS, from its address.
// One line per acknowledged report goes to ACKS as soon as the acknowledgement arrives:
//   KIND USER ROUND ADDRESS ATTEMPT
// and at the end "sent=N acked=N given_up=N datagrams=N seconds=S" to stdout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <queue>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/client_report.h"
#include "common/gateway_message.h"

using namespace orvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kAttempts = 4;  // the reporter's largest repetition count is 3
constexpr const char* kUsage =
    "usage: orvane_report_retry_load PORT KEYFILE DOMAIN logon USERS ROUNDS RATE ACKS\n"
    "       orvane_report_retry_load PORT KEYFILE DOMAIN logoff LOGON_ACKS RATE ACKS\n"
    "Sends the reports to 127.0.0.1:PORT at RATE per second, retrying unacknowledged ones as the\n"
    "logon reporter does, and writes one line per acknowledged report to ACKS.\n";

struct Report {
    std::string user;
    int round = 0;
    std::string address;
    std::vector<std::uint8_t> datagram;
    int fd = -1;
    int attempts = 0;
    bool acked = false;
};

std::string UserName(int user) {
    char name[16];
    std::snprintf(name, sizeof name, "u%04d", user);
    return name;
}

std::string LogonAddress(int user, int round) {
    return "127." + std::to_string(20 + round) + "." + std::to_string(user / 250) + "." +
           std::to_string(user % 250 + 1);
}

// Every acknowledged logon in ACKS: its user and address.
bool AckedLogons(const char* path, std::vector<Report>& reports) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        Report r;
        if (!(fields >> kind >> r.user >> r.round >> r.address) || kind != "logon") continue;
        reports.push_back(std::move(r));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool logon = argc == 9 && std::strcmp(argv[4], "logon") == 0;
    const bool logoff = argc == 8 && std::strcmp(argv[4], "logoff") == 0;
    if (!logon && !logoff) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    std::string key;
    std::ifstream(argv[2]) >> key;
    const std::string domain = argv[3];
    const double rate = std::atof(argv[logon ? 7 : 6]);
    const char* acksPath = argv[logon ? 8 : 7];
    std::vector<Report> reports;
    if (logon) {
        const int users = std::atoi(argv[5]), rounds = std::atoi(argv[6]);
        if (users <= 0 || users > 250 * 256 || rounds <= 0 || rounds > 200) {
            std::fputs("USERS must be 1 to 64000 and ROUNDS 1 to 200\n", stderr);
            return 2;
        }
        for (int round = 0; round < rounds; ++round) {
            for (int user = 0; user < users; ++user) {
                Report r;
                r.user = UserName(user);
                r.round = round;
                r.address = LogonAddress(user, round);
                reports.push_back(std::move(r));
            }
        }
    } else if (!AckedLogons(argv[5], reports)) {
        std::fprintf(stderr, "cannot read %s\n", argv[5]);
        return 1;
    }
    if (port == 0 || key.empty() || rate <= 0) {
        std::fputs("PORT, KEYFILE's key and RATE must be given\n", stderr);
        return 2;
    }
    const KeyField keyField = MakeKeyField(key);
    const ReportKind kind = logon ? ReportKind::Logon : ReportKind::Logoff;
    for (Report& r : reports) {
        if (!BuildClientReport(kind, r.user, domain, "PC-" + r.user, keyField, r.datagram)) {
            std::fprintf(stderr, "cannot build the report of %s\n", r.user.c_str());
            return 1;
        }
    }
    FILE* acks = std::fopen(acksPath, "w");
    if (!acks) {
        std::fprintf(stderr, "cannot write %s: %s\n", acksPath, std::strerror(errno));
        return 1;
    }
    // Reports waiting through a worker restart each hold a socket.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        std::fprintf(stderr, "epoll: %s\n", std::strerror(errno));
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);

    long datagrams = 0, acked = 0, givenUp = 0, open = 0;
    auto close = [&](Report& r) {
        ::close(r.fd);
        r.fd = -1;
        --open;
    };
    auto send = [&](Report& r) {
        if (::sendto(r.fd, r.datagram.data(), r.datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            std::fprintf(stderr, "send from %s: %s\n", r.address.c_str(), std::strerror(errno));
        ++r.attempts;
        ++datagrams;
    };
    auto wait = [&](const Report& r) {
        return std::chrono::seconds(logon ? 1 + 2 * (r.attempts - 1) : 1);
    };
    using Due = std::pair<Clock::time_point, std::size_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> retries;

    const auto start = Clock::now();
    auto firstDue = [&](std::size_t i) {
        return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(i) / rate));
    };
    std::size_t next = 0;
    epoll_event events[256];
    std::uint8_t buf[64];
    while (next < reports.size() || open > 0) {
        auto now = Clock::now();
        for (; next < reports.size() && firstDue(next) <= now; ++next) {
            Report& r = reports[next];
            sockaddr_in from{};
            from.sin_family = AF_INET;
            int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0 || ::inet_pton(AF_INET, r.address.c_str(), &from.sin_addr) != 1 ||
                ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                std::fprintf(stderr, "socket at %s: %s\n", r.address.c_str(), std::strerror(errno));
                return 1;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = next;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            r.fd = fd;
            ++open;
            send(r);
            retries.emplace(now + wait(r), next);
        }
        while (!retries.empty() && retries.top().first <= now) {
            Report& r = reports[retries.top().second];
            const std::size_t i = retries.top().second;
            retries.pop();
            if (r.acked) continue;
            if (r.attempts < kAttempts) {
                send(r);
                retries.emplace(now + wait(r), i);
            } else {
                // The reporter counts it as sent and never sends it again.
                close(r);
                ++givenUp;
            }
        }
        Clock::time_point until = Clock::now() + std::chrono::milliseconds(100);
        if (next < reports.size() && firstDue(next) < until) until = firstDue(next);
        if (!retries.empty() && retries.top().first < until) until = retries.top().first;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        const int n = ::epoll_wait(ep, events, 256, ms > 0 ? static_cast<int>(ms) : 0);
        for (int e = 0; e < n; ++e) {
            Report& r = reports[events[e].data.u64];
            if (r.fd < 0) continue;
            ssize_t len;
            while (r.fd >= 0 && (len = ::recv(r.fd, buf, sizeof buf, 0)) >= 0) {
                if (!IsReportAcknowledgement(buf, static_cast<std::size_t>(len))) continue;
                r.acked = true;
                ++acked;
                std::fprintf(acks, "%s %s %d %s %d\n", logon ? "logon" : "logoff", r.user.c_str(), r.round,
                             r.address.c_str(), r.attempts);
                std::fflush(acks);
                close(r);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fclose(acks);
    ::close(ep);
    std::printf("sent=%zu acked=%ld given_up=%ld datagrams=%ld seconds=%.3f\n", reports.size(), acked, givenUp,
                datagrams, seconds);
    return 0;
}
