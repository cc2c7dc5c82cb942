// Log-query mode figures: (1) one poll that finds many new logons, processed by the worker's
// poller against a real DC, beside the bare sequential LDAP search rate of the same lookups;
// (2) the cost of a poll against the size of the audit file (only the new part may count).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/integration/bare_ldap.h"
#include "worker/directory/directory_servers.h"
#include "worker/eventlog/samba_audit_source.h"
#include "worker/eventlog/security_log_poller.h"
#include "worker/startup/worker_runtime.h"
#include "worker/users/logon_decisions.h"

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: orvane_logquery_bench poll --server ADDR --user USER --password PW --work DIR\n"
    "                                   [--users N] [--events M] [--rounds R] [--bare B]\n"
    "       orvane_logquery_bench file --work DIR [--lines N] [--new M]\n"
    "\n"
    "poll: the users u0000.. must exist on the DC. Writes an audit log and smb.conf in DIR, then\n"
    "      per round appends M successful logons cycling over N users and times one poll\n"
    "      (QuerySecurityLog) beside B (default M) bare libldap searches for the same users, one\n"
    "      after another, and M with 16 in flight on one connection.\n"
    "file: times the first poll and a poll of M new lines on audit files of N lines and of M\n"
    "      lines, and reports the bytes each poll parsed.\n";

class CountingLog final : public LogSink {
public:
    void Write(LogSeverity, std::string_view) override { ++lines; }
    long lines = 0;
};

double Ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

std::string User(long i) {
    char b[32];
    std::snprintf(b, sizeof b, "u%04ld", i);
    return b;
}

// One line as Samba 4.17 writes it for a Kerberos logon; `us` microseconds after 2026-12-07 09:00.
std::string Line(long us, const std::string& user, int client) {
    const long s = us / 1000000;
    char b[1024];
    std::snprintf(
        b, sizeof b,
        "  {\"timestamp\": \"2026-12-07T%02ld:%02ld:%02ld.%06ld+0000\", \"type\": \"Authentication\", "
        "\"Authentication\": {\"version\": {\"major\": 1, \"minor\": 2}, \"eventId\": 4624, \"logonId\": "
        "\"92283fb0a2af54dd\", \"logonType\": 3, \"status\": \"NT_STATUS_OK\", \"localAddress\": null, "
        "\"remoteAddress\": \"ipv4:10.99.%d.%d:39804\", \"serviceDescription\": \"Kerberos KDC\", \"authDescription\": "
        "\"ENC-TS Pre-authentication\", \"clientDomain\": null, \"clientAccount\": \"%s@CORP.EXAMPLE.COM\", "
        "\"workstation\": null, \"becameAccount\": \"%s\", \"becameDomain\": \"CORP\", \"becameSid\": "
        "\"S-1-5-21-3449466878-862194999-4003669551-1102\", \"mappedAccount\": \"%s\", \"mappedDomain\": \"CORP\", "
        "\"netlogonComputer\": null, \"netlogonTrustAccount\": null, \"netlogonNegotiateFlags\": \"0x00000000\", "
        "\"netlogonSecureChannelType\": 0, \"netlogonTrustAccountSid\": null, \"passwordType\": "
        "\"aes256-cts-hmac-sha1-96\", \"duration\": 46553}}\n",
        9 + s / 3600, s / 60 % 60, s % 60, us % 1000000, 1 + client / 250, 1 + client % 250, user.c_str(), user.c_str(),
        user.c_str());
    return b;
}

bool Append(const std::string& path, long firstUs, long count, long users, long& bytes) {
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return false;
    std::string block;
    for (long i = 0; i < count; ++i) {
        block += Line(firstUs + i, User(i % users), static_cast<int>(i % users));
        if (block.size() > (1 << 20) || i + 1 == count) {
            std::fwrite(block.data(), 1, block.size(), f);
            bytes += static_cast<long>(block.size());
            block.clear();
        }
    }
    return std::fclose(f) == 0;
}

struct Args {
    std::string mode, server, user, password, work;
    long users = 1000, events = 10000, rounds = 3, lines = 1000000, fresh = 10000, bare = 0;
};

int Poll(const Args& a) {
    CountingLog log;
    SetLogSink(&log);
    const std::string audit = a.work + "/auth.json";
    const std::string conf = a.work + "/smb.conf";
    FILE* c = std::fopen(conf.c_str(), "w");
    if (!c) return 1;
    std::fprintf(c, "[global]\n\tlog level = 1 auth_json_audit:3@%s\n", audit.c_str());
    std::fclose(c);
    ::setenv("ORVANE_SMB_CONF", conf.c_str(), 1);
    long bytes = 0;
    long us = 0;
    if (!Append(audit, us, 1000, a.users, bytes)) return 1;
    us += 1000;

    PollerContext ctx;
    GetEventSourceFactory().CreateLocator(ctx.locator);
    ctx.serverAddress = a.server;
    ctx.namespacePath = "\\\\" + a.server + "\\root\\cimv2";
    if (ConnectWmi(ctx) != 0 || DetectServerGeneration(ctx) != 1) {
        std::fprintf(stderr, "cannot open the audit log\n");
        return 1;
    }
    std::unique_ptr<DirectorySearch> handle;
    GetSearchHandleOfAD(a.user, handle, a.server, a.password);
    ServerEntry entry{a.server, a.user, a.password, ""};
    auto bare = bench::BareLdap::Open(entry);
    if (!handle || !bare) {
        std::fprintf(stderr, "cannot bind to %s\n", a.server.c_str());
        return 1;
    }
    long reported = 0;
    OnlineUserTable unused;
    LogonDecisions decisions(unused, LogonServices{nullptr, [](OnlineUserRecord&) {}}, 0);
    PollerServices services;
    services.reportServerLogon = [&](std::string_view address, std::string_view user, OnlineUserRecord& r) {
        ++reported;
        return decisions.ReportServerLogon(address, user, r);
    };
    if (QuerySecurityLog(handle.get(), ctx, services) != 0 || ctx.lastQueryTime.empty()) return 1;

    std::vector<double> ratios, pipedRatios;
    const long bareCount = a.bare > 0 ? a.bare : a.events;
    for (long round = 0; round < a.rounds; ++round) {
        if (!Append(audit, us, a.events, a.users, bytes)) return 1;
        us += a.events;
        reported = 0;
        auto start = Clock::now();
        if (QuerySecurityLog(handle.get(), ctx, services) != 0) return 1;
        const double pollMs = Ms(start);
        start = Clock::now();
        for (long i = 0; i < bareCount; ++i) {
            if (!bare->Find(User(i % a.users), LDAP_NO_ATTRS)) {
                std::fprintf(stderr, "bare search for %s found nothing\n", User(i % a.users).c_str());
                return 1;
            }
        }
        const double bareRate = bareCount * 1000.0 / Ms(start);
        start = Clock::now();
        if (!bare->FindPipelined(User(0), LDAP_NO_ATTRS, a.events, static_cast<int>(kLookupPipelineDepth))) {
            std::fprintf(stderr, "pipelined bare searches failed\n");
            return 1;
        }
        const double pipedRate = a.events * 1000.0 / Ms(start);
        const double pollRate = a.events * 1000.0 / pollMs;
        ratios.push_back(pollRate / bareRate);
        pipedRatios.push_back(pollRate / pipedRate);
        std::printf("round %ld events=%ld reported=%ld poll_ms=%.0f poll_per_second=%.0f bare_per_second=%.0f "
                    "pipelined_per_second=%.0f ratio=%.2f of_pipelined=%.2f\n",
                    round + 1, a.events, reported, pollMs, pollRate, bareRate, pipedRate, ratios.back(),
                    pipedRatios.back());
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(pipedRatios.begin(), pipedRatios.end());
    std::printf("median ratio=%.2f of_pipelined=%.2f\n", ratios[ratios.size() / 2], pipedRatios[pipedRatios.size() / 2]);
    return 0;
}

// Times the first query (newest event only) and one query of `fresh` appended lines.
bool TimeFile(const std::string& path, long lines, long fresh) {
    ::unlink(path.c_str());
    long bytes = 0;
    if (!Append(path, 0, lines, 1000, bytes)) return false;
    SambaAuditServices source(path);
    const std::string filter =
        "(EventCode='4768' OR EventCode='4769' OR EventCode='4770' OR EventCode='4624')";
    auto start = Clock::now();
    std::unique_ptr<EventEnumerator> e;
    if (source.ExecQuery("SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND " + filter, e) != kSOk)
        return false;
    EventObject newest;
    if (!e->Next(newest)) return false;
    const double firstMs = Ms(start);
    const std::string after = *newest.GetString("TimeGenerated");
    long added = 0;
    if (!Append(path, lines, fresh, 1000, added)) return false;
    const auto parsedBefore = source.Log().BytesParsed();
    start = Clock::now();
    if (source.ExecQuery("SELECT * FROM Win32_NTLogEvent where TimeGenerated>'" + after +
                             "' and LogFile='Security' AND " + filter,
                         e) != kSOk)
        return false;
    long n = 0;
    EventObject o;
    while (e->Next(o)) ++n;
    const double newMs = Ms(start);
    std::printf("file lines=%ld size_mb=%.0f first_poll_ms=%.2f new_lines=%ld new_events=%ld new_poll_ms=%.1f "
                "parsed_bytes=%llu new_bytes=%ld\n",
                lines, bytes / 1048576.0, firstMs, fresh, n, newMs,
                static_cast<unsigned long long>(source.Log().BytesParsed() - parsedBefore), added);
    std::fflush(stdout);
    return n == fresh;
}

int File(const Args& a) {
    CountingLog log;
    SetLogSink(&log);
    const std::string path = a.work + "/big.json";
    bool ok = TimeFile(path, a.fresh, a.fresh) && TimeFile(path, a.lines, a.fresh);
    ::unlink(path.c_str());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (k == "-h" || k == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i == 1) a.mode = k;
        else if (k == "--server") a.server = next();
        else if (k == "--user") a.user = next();
        else if (k == "--password") a.password = next();
        else if (k == "--work") a.work = next();
        else if (k == "--users") a.users = std::atol(next().c_str());
        else if (k == "--events") a.events = std::atol(next().c_str());
        else if (k == "--rounds") a.rounds = std::atol(next().c_str());
        else if (k == "--lines") a.lines = std::atol(next().c_str());
        else if (k == "--new") a.fresh = std::atol(next().c_str());
        else if (k == "--bare") a.bare = std::atol(next().c_str());
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (a.work.empty() || a.users <= 0 || a.events <= 0 || a.rounds <= 0 || a.lines <= 0 || a.fresh <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (a.mode == "poll" && !a.server.empty()) return Poll(a);
    if (a.mode == "file") return File(a);
    std::fputs(kUsage, stderr);
    return 2;
}
