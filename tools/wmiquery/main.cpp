// orvane-wmiquery: runs one WQL query against a domain controller exactly the way the worker's
// log-query mode does (a remote DC over WS-Management, or the Samba DC of this machine), and
// prints the objects or, with --count, how many came back and how long it took.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <variant>

#include "common/log.h"
#include "worker/eventlog/event_source.h"
#include "worker/eventlog/wsman_event_source.h"

namespace {

using namespace orvane;

const char kUsage[] =
    "usage: orvane-wmiquery --server ADDR [--user DOMAIN\\USER --password-file FILE] [--auth MECH] [--query WQL] [--count]\n"
    "       orvane-wmiquery --local [--query WQL] [--count]\n"
    "\n"
    "Runs one WQL query the way the worker's log-query mode does and prints every object.\n"
    "  --server ADDR        a remote domain controller, reached over WS-Management (HTTPS port\n"
    "                       $ORVANE_WSMAN_PORT, default 5986); the certificate is verified against\n"
    "                       LDAPTLS_CACERT, else TLS_CACERT of /etc/ldap/ldap.conf, else the system store\n"
    "  --user DOMAIN\\USER   the account (as in config.ini's AdServer UserName)\n"
    "  --password-file FILE the account's password in clear, first line (default: $ORVANE_PASSWORD)\n"
    "  --auth MECH          kerberos, ntlm, or auto (the default, as the worker does with AllowNtlm=1:\n"
    "                       Kerberos for HTTP/<the DC's dnsHostName>, NTLM when Kerberos cannot be\n"
    "                       used); the mechanism that authenticated is printed to standard error\n"
    "  --local              the Samba DC of this machine (its audit log, found through smb.conf)\n"
    "  --query WQL          default: SELECT Caption FROM Win32_OperatingSystem\n"
    "  --count              print only the number of objects, the time the query took and the\n"
    "                       processor time this program spent on it (all threads)\n"
    "Exit status 0 when the query ran, 1 when it failed, 2 on a usage error.\n";

// User and system time of the whole process so far, in milliseconds.
double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

class StderrLog final : public LogSink {
public:
    void Write(LogSeverity, std::string_view m) override { std::fprintf(stderr, "%.*s\n", static_cast<int>(m.size()), m.data()); }
};

void Print(const EventObject& o, const char* name) {
    const EventValue* v = o.Get(name);
    if (!v) return;
    if (const auto* s = std::get_if<std::string>(v)) std::printf("  %s = %s\n", name, s->c_str());
    if (const auto* i = std::get_if<std::int64_t>(v)) std::printf("  %s = %lld\n", name, static_cast<long long>(*i));
    if (const auto* a = std::get_if<std::vector<std::string>>(v)) {
        std::printf("  %s =", name);
        for (const std::string& s : *a) std::printf(" [%s]", s.c_str());
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string server, who, passwordFile, auth = "auto", query = "SELECT Caption FROM Win32_OperatingSystem";
    bool local = false, count = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((a == "--server" && value(server)) || (a == "--user" && value(who)) ||
            (a == "--password-file" && value(passwordFile)) || (a == "--query" && value(query)) ||
            (a == "--auth" && value(auth)))
            continue;
        if (a == "--local") {
            local = true;
        } else if (a == "--count") {
            count = true;
        } else {
            std::fprintf(stderr, "orvane-wmiquery: unexpected argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (local == !server.empty()) {
        std::fprintf(stderr, "orvane-wmiquery: give either --server or --local\n%s", kUsage);
        return 2;
    }
    if (auth == "kerberos") {
        SetWsmanAuthPolicy({WsmanAuth::Kerberos, false});
    } else if (auth == "ntlm") {
        SetWsmanAuthPolicy({WsmanAuth::Ntlm, true});
    } else if (auth == "auto") {
        SetWsmanAuthPolicy({WsmanAuth::Auto, true});
    } else {
        std::fprintf(stderr, "orvane-wmiquery: --auth takes kerberos, ntlm or auto, not %s\n%s", auth.c_str(), kUsage);
        return 2;
    }
    std::string password;
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        if (!std::getline(in, password)) {
            std::fprintf(stderr, "orvane-wmiquery: cannot read %s\n", passwordFile.c_str());
            return 2;
        }
    } else if (const char* p = std::getenv("ORVANE_PASSWORD")) {
        password = p;
    }
    const std::size_t slash = who.find('\\');
    const std::string domain = slash == std::string::npos ? std::string() : who.substr(0, slash);
    const std::string user = slash == std::string::npos ? who : who.substr(slash + 1);

    StderrLog log;
    SetLogSink(&log);
    std::unique_ptr<EventLocator> locator;
    std::unique_ptr<EventServices> services;
    if (GetEventSourceFactory().CreateLocator(locator) != kSOk || !locator) return 1;
    const auto start = std::chrono::steady_clock::now();
    const HResult hr = local ? locator->ConnectServer("root\\cimv2", "", "", "", services)
                             : locator->ConnectServer("\\\\" + server + "\\root\\cimv2", user, password,
                                                      "ntlmdomain:" + domain, services);
    if (hr != kSOk || !services) {
        std::fprintf(stderr, "orvane-wmiquery: cannot connect: 0x%08lX\n", static_cast<unsigned long>(static_cast<std::uint32_t>(hr)));
        return 1;
    }
    const auto connected = std::chrono::steady_clock::now();
    if (const char* mechanism = WsmanMechanism(*services))
        std::fprintf(stderr, "orvane-wmiquery: authenticated with %s\n", mechanism);
    const double cpuBefore = CpuMs();
    std::unique_ptr<EventEnumerator> e;
    if (HResult q = services->ExecQuery(query, e); q != kSOk || !e) {
        std::fprintf(stderr, "orvane-wmiquery: the query failed: 0x%08lX\n", static_cast<unsigned long>(static_cast<std::uint32_t>(q)));
        return 1;
    }
    long n = 0;
    EventObject o;
    while (e->Next(o)) {
        ++n;
        if (count) continue;
        std::printf("object %ld\n", n);
        for (const char* name : {"Caption", "TimeGenerated", "EventCode", "EventIdentifier", "RecordNumber", "InsertionStrings"})
            Print(o, name);
    }
    e.reset();
    const auto done = std::chrono::steady_clock::now();
    if (count) {
        std::printf("objects %ld connect_ms %.1f query_ms %.1f query_cpu_ms %.1f\n", n,
                    std::chrono::duration<double, std::milli>(connected - start).count(),
                    std::chrono::duration<double, std::milli>(done - connected).count(), CpuMs() - cpuBefore);
    }
    SetLogSink(nullptr);
    return 0;
}
