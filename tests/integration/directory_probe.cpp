// Drives the worker's directory lookups against real directory servers: the integration tests
// and the lookup benchmark use it. Commands are read from standard input, one per line; every
// logged message goes to standard error as "LOG <message>".
#include <ldap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/config_types.h"
#include "common/log.h"
#include "platform/clock.h"
#include "tests/integration/bare_ldap.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/ldap_directory.h"
#include "worker/directory/logon_time.h"
#include "worker/users/online_users.h"

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: orvane_directory_probe [--timeout-ms N] [--ad-server-num N] [--bare-clause FILTER]\n"
    "                              --server ADDR --user USER --password PASSWORD [--server ...]\n"
    "\n"
    "Loads the servers as the worker's directory-server list (in the order given) and runs\n"
    "commands read from standard input, one per line:\n"
    "  connect                  ConnectDirectoryServers (otherwise done before the first verify)\n"
    "  verify USER DOMAIN       VerifyUser (DOMAIN '-' for an empty domain)\n"
    "  find USER                log-query mode: GetSearchHandleOfAD on the first server with its\n"
    "                           whole user name, then FindUserInDirectory\n"
    "  compare N ROUNDS USER DOMAIN\n"
    "                           lookups per second of VerifyUser and of a bare libldap search\n"
    "                           loop (same filter and attribute, first server), N each per round,\n"
    "                           ROUNDS alternating rounds after a warm-up; medians reported;\n"
    "                           --bare-clause adds FILTER to the bare search's conditions\n"
    "  pipelined N DEPTH USER   bare searches per second with up to DEPTH in flight on one\n"
    "                           connection (first server), N of them\n"
    "  now                      the current time on the logon-time scale\n"
    "  echo TEXT                prints TEXT (a marker for scripts)\n"
    "Replies go to standard output; logged messages to standard error as \"LOG <message>\".\n"
    "LDAP TLS trust comes from ldap.conf or LDAPTLS_CACERT.\n";

class StderrLog final : public LogSink {
public:
    void Write(LogSeverity, std::string_view message) override {
        std::fprintf(stderr, "LOG %.*s\n", static_cast<int>(message.size()), message.data());
        std::fflush(stderr);
    }
};

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Probe {
    WorkerSettings settings;
    std::string bareClause;
    bool connected = false;
    std::unique_ptr<DirectorySearch> logQueryHandle;

    void Connect() {
        auto start = Clock::now();
        ConnectDirectoryServers();
        connected = true;
        std::printf("connect slots=%u ms=%.1f\n", GetDirectoryServerTable().SlotCount(), MillisecondsSince(start));
    }

    void Verify(const std::string& user, const std::string& domain) {
        if (!connected) Connect();
        OnlineUserRecord record;
        auto start = Clock::now();
        HResult hr = VerifyUser(user, domain, record);
        double ms = MillisecondsSince(start);
        if (hr == kSOk)
            std::printf("verify ok adpath=%s lastlogon=%lld ms=%.1f\n", record.AdPath().c_str(),
                        static_cast<long long>(record.lastLogonTime), ms);
        else
            std::printf("verify fail 0x%08X ms=%.1f\n", static_cast<unsigned>(hr), ms);
    }

    void Find(const std::string& user) {
        if (settings.servers.empty()) {
            std::printf("find fail no-server\n");
            return;
        }
        const ServerEntry& server = settings.servers.front();
        auto start = Clock::now();
        if (!logQueryHandle) GetSearchHandleOfAD(server.userName, logQueryHandle, server.ip, server.password);
        OnlineUserRecord record;
        HResult hr = FindUserInDirectory(logQueryHandle.get(), user, record);
        double ms = MillisecondsSince(start);
        if (hr == kSOk)
            std::printf("find ok adpath=%s user=%s ms=%.1f\n", record.AdPath().c_str(), record.UserName().c_str(), ms);
        else
            std::printf("find fail 0x%08X ms=%.1f\n", static_cast<unsigned>(hr), ms);
    }

    // Lookups per second of n VerifyUser calls; negative when one failed.
    double TimeVerify(long n, const std::string& user, const std::string& domain) {
        if (!connected) Connect();
        auto start = Clock::now();
        for (long i = 0; i < n; ++i) {
            OnlineUserRecord record;
            if (VerifyUser(user, domain, record) != kSOk) return -1;
        }
        return static_cast<double>(n) * 1000.0 / MillisecondsSince(start);
    }

    // The same search as a lookup on a connection of its own, without the worker's code.
    std::unique_ptr<bench::BareLdap> raw;

    // Searches per second of n bare searches; negative when one failed.
    double TimeRaw(long n, const std::string& user) {
        if (!raw && !settings.servers.empty()) raw = bench::BareLdap::Open(settings.servers.front());
        if (!raw) return -1;
        auto start = Clock::now();
        for (long i = 0; i < n; ++i) {
            if (!raw->Find(user, "lastLogon", bareClause)) return -1;
        }
        return static_cast<double>(n) * 1000.0 / MillisecondsSince(start);
    }

    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }

    // Both loops on the same DC, warmed up, in alternating rounds (the machine may be busy).
    void Compare(long n, int rounds, const std::string& user, const std::string& domain) {
        std::vector<double> verify, bare;
        if (TimeVerify(n / 10 + 1, user, domain) < 0 || TimeRaw(n / 10 + 1, user) < 0) {
            std::printf("compare fail\n");
            return;
        }
        for (int r = 0; r < rounds; ++r) {
            verify.push_back(TimeVerify(n, user, domain));
            bare.push_back(TimeRaw(n, user));
            if (verify.back() < 0 || bare.back() < 0) {
                std::printf("compare fail\n");
                return;
            }
        }
        std::printf("compare n=%ld rounds=%d verifyuser_per_second=%.0f raw_per_second=%.0f\n", n, rounds,
                    Median(verify), Median(bare));
    }

    bool Run(const std::string& line) {
        std::istringstream in(line);
        std::string cmd;
        if (!(in >> cmd)) return true;
        if (cmd == "connect") {
            Connect();
        } else if (cmd == "verify") {
            std::string user, domain;
            if (!(in >> user >> domain)) return false;
            Verify(user, domain == "-" ? std::string() : domain);
        } else if (cmd == "find") {
            std::string user;
            if (!(in >> user)) return false;
            Find(user);
        } else if (cmd == "compare") {
            long n = 0;
            int rounds = 0;
            std::string user, domain;
            if (!(in >> n >> rounds >> user >> domain) || n <= 0 || rounds <= 0) return false;
            Compare(n, rounds, user, domain == "-" ? std::string() : domain);
        } else if (cmd == "pipelined") {
            long n = 0;
            int depth = 0;
            std::string user;
            if (!(in >> n >> depth >> user) || n <= 0 || depth <= 0) return false;
            if (!raw && !settings.servers.empty()) raw = bench::BareLdap::Open(settings.servers.front());
            const auto start = Clock::now();
            if (!raw || !raw->FindPipelined(user, "lastLogon", n, depth)) {
                std::printf("pipelined fail\n");
            } else {
                std::printf("pipelined n=%ld depth=%d per_second=%.0f\n", n, depth,
                            static_cast<double>(n) * 1000.0 / MillisecondsSince(start));
            }
        } else if (cmd == "now") {
            std::printf("now %lld\n", static_cast<long long>(UtcToLogonTime(platform::GetClock().Now())));
        } else if (cmd == "echo") {
            std::string rest;
            std::getline(in, rest);
            std::printf("%s\n", rest.empty() ? "" : rest.c_str() + 1);
        } else {
            return false;
        }
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Probe probe;
    int timeoutMs = LdapDirectoryClient::kDefaultTimeoutMs;
    long adServerNum = -1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvane_directory_probe: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--server") {
            probe.settings.servers.push_back(ServerEntry{value(), {}, {}, {}});
        } else if ((arg == "--user" || arg == "--password") && !probe.settings.servers.empty()) {
            (arg == "--user" ? probe.settings.servers.back().userName : probe.settings.servers.back().password) =
                value();
        } else if (arg == "--timeout-ms") {
            timeoutMs = std::atoi(value());
        } else if (arg == "--bare-clause") {
            probe.bareClause = value();
        } else if (arg == "--ad-server-num") {
            adServerNum = std::atol(value());
        } else {
            std::fprintf(stderr, "orvane_directory_probe: unexpected argument %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (probe.settings.servers.empty()) {
        std::fprintf(stderr, "orvane_directory_probe: no --server given\n%s", kUsage);
        return 2;
    }
    probe.settings.adServerNum =
        static_cast<std::uint16_t>(adServerNum >= 0 ? adServerNum : static_cast<long>(probe.settings.servers.size()));

    StderrLog log;
    SetLogSink(&log);
    LdapDirectoryClient client(timeoutMs);
    SetDirectoryClient(&client);
    LoadDirectoryServers(probe.settings);

    std::string line;
    int status = 0;
    while (std::getline(std::cin, line)) {
        if (!probe.Run(line)) {
            std::printf("error bad command: %s\n", line.c_str());
            status = 1;
        }
        std::fflush(stdout);
    }
    probe.logQueryHandle.reset();
    probe.raw.reset();
    SetDirectoryClient(nullptr);
    SetLogSink(nullptr);
    return status;
}
