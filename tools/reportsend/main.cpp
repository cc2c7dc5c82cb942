// orvane-reportsend: builds one client report and sends it to a worker, then waits for the
// worker's acknowledgement. A stand-in for the logon reporter, and a way for administrators to
// check that a worker receives reports and that both sides use the same share key.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/client_report.h"
#include "common/gateway_message.h"
#include "common/key_input.h"
#include "platform/udp.h"

namespace {

using namespace orvane;
using platform::FormatIpv4Address;

constexpr char kUsage[] =
    "Usage: orvane-reportsend --to ADDR:PORT --user NAME --domain DOMAIN (--key-stdin | --key-file PATH)\n"
    "                         [--kind logon|logoff] [--computer NAME] [--wait-ack SECONDS]\n"
    "\n"
    "Builds one client report (\"DEDOVEROZ\" protocol) like the logon reporter does, encrypts it with\n"
    "the client share key and sends it to a worker's ListenPort. Then waits for the worker's\n"
    "acknowledgement and says whether \"DEDOVEROZ\" came back. An acknowledgement only means the\n"
    "worker received the datagram; with a wrong key the worker logs\n"
    "\"[ERR]Received unknown message from client script.\" instead of deciding the report.\n"
    "\n"
    "  --to ADDR:PORT       the worker's IPv4 address (dotted) and its ListenPort\n"
    "  --kind KIND          logon (default) or logoff\n"
    "  --user NAME          the logon name, without a domain part\n"
    "  --domain DOMAIN      the user's domain: dc= components (dc=corp,dc=example,dc=com), a\n"
    "                       distinguished name (its part from the first DC= on is used) or a DNS\n"
    "                       name (corp.example.com)\n"
    "  --computer NAME      the PC's host name (default: this host's name)\n"
    "  --key-stdin          read the client share key from the first line of standard input\n"
    "  --key-file PATH      read the client share key from the first line of a file\n"
    "                       (the key is never taken from the command line, where others could see it;\n"
    "                       its UTF-8 bytes are used, at most 31, like the logon reporter)\n"
    "  --wait-ack SECONDS   how long to wait for the acknowledgement (default 3; 0: do not wait)\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 acknowledged (or not waited for), 3 no acknowledgement in time, 1 the report\n"
    "could not be built or sent, 2 a usage error.\n";

enum class KeySource { None, Stdin, File };

struct Options {
    platform::Ipv4Endpoint to;
    bool haveTo = false;
    ReportKind kind = ReportKind::Logon;
    std::string user, domain, computer;
    bool haveUser = false, haveDomain = false;
    KeySource keySource = KeySource::None;
    std::string keyFile;
    unsigned waitSeconds = 3;
    bool help = false;
};

bool ParseUnsigned(std::string_view s, unsigned long max, unsigned long& out) {
    if (s.empty() || s.size() > 10) return false;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

bool ParseEndpoint(std::string_view s, platform::Ipv4Endpoint& out) {
    std::size_t colon = s.rfind(':');
    unsigned long port = 0;
    if (colon == std::string_view::npos || !platform::ParseIpv4Address(s.substr(0, colon), out.address) ||
        !ParseUnsigned(s.substr(colon + 1), 65535, port) || port == 0) {
        return false;
    }
    out.port = static_cast<std::uint16_t>(port);
    return true;
}

// dc= components from what an administrator is likely to type.
bool NormaliseDomain(const std::string& text, std::string& domain) {
    if (DomainFromDistinguishedName(text, domain)) return true;
    if (text.empty() || text.find_first_of("=,") != std::string::npos) return false;
    domain.clear();
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = text.find('.', start);
        std::string label = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty()) return false;
        for (char& c : label) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        domain += (domain.empty() ? "dc=" : ",dc=") + label;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            return true;
        }
        if (arg == "--key-stdin") {
            if (o.keySource != KeySource::None) return Fail(error, "give only one of --key-stdin and --key-file");
            o.keySource = KeySource::Stdin;
            continue;
        }
        bool takesValue = arg == "--to" || arg == "--kind" || arg == "--user" || arg == "--domain" ||
                          arg == "--computer" || arg == "--key-file" || arg == "--wait-ack";
        if (!takesValue) {
            if (arg == "--key") return Fail(error, "the key is not taken from the command line: use --key-stdin or --key-file");
            return Fail(error, "unknown argument \"" + std::string(arg) + "\"");
        }
        if (i + 1 >= argc) return Fail(error, std::string(arg) + " needs a value");
        std::string value = argv[++i];
        if (arg == "--to") {
            if (!ParseEndpoint(value, o.to)) return Fail(error, "--to: expected ADDR:PORT, e.g. 192.0.2.10:9000");
            o.haveTo = true;
        } else if (arg == "--kind") {
            if (value == "logon") {
                o.kind = ReportKind::Logon;
            } else if (value == "logoff") {
                o.kind = ReportKind::Logoff;
            } else {
                return Fail(error, "--kind: expected logon or logoff");
            }
        } else if (arg == "--user") {
            o.user = value;
            o.haveUser = true;
        } else if (arg == "--domain") {
            if (!NormaliseDomain(value, o.domain)) {
                return Fail(error, "--domain: expected dc= components, a distinguished name or a DNS name");
            }
            o.haveDomain = true;
        } else if (arg == "--computer") {
            o.computer = value;
        } else if (arg == "--key-file") {
            if (o.keySource != KeySource::None) return Fail(error, "give only one of --key-stdin and --key-file");
            o.keySource = KeySource::File;
            o.keyFile = value;
        } else {
            unsigned long seconds = 0;
            if (!ParseUnsigned(value, 3600, seconds)) return Fail(error, "--wait-ack: expected seconds from 0 to 3600");
            o.waitSeconds = static_cast<unsigned>(seconds);
        }
    }
    if (!o.haveTo) return Fail(error, "--to is required");
    if (!o.haveUser) return Fail(error, "--user is required");
    if (!o.haveDomain) return Fail(error, "--domain is required");
    if (o.keySource == KeySource::None) return Fail(error, "give the key with --key-stdin or --key-file");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, o, error)) {
        std::fprintf(stderr, "orvane-reportsend: %s\nTry \"orvane-reportsend --help\".\n", error.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.computer.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
            std::fprintf(stderr, "orvane-reportsend: cannot read this host's name, give --computer\n");
            return 2;
        }
        o.computer = host;
    }

    std::string keyText;
    if (!ReadKeyLine("orvane-reportsend", o.keySource == KeySource::Stdin, o.keyFile, keyText)) return 2;
    KeyField key;
    if (!FillKeyField(keyText, key)) {
        std::fprintf(stderr,
                     "orvane-reportsend: warning: the key is longer than 31 bytes; like the logon reporter, only its "
                     "first 31 bytes are kept (the first 16 make the AES key)\n");
    }
    if (keyText.empty()) {
        std::fprintf(stderr, "orvane-reportsend: warning: the key is empty; the report is sealed with the all-zero key\n");
    }

    std::vector<std::uint8_t> datagram;
    if (!BuildClientReport(o.kind, o.user, o.domain, o.computer, key, datagram)) {
        std::fprintf(stderr,
                     "orvane-reportsend: cannot build the report: the text must fit in %zu bytes and no field may "
                     "contain \"|\"\n",
                     kReportTextCapacity - 1);
        return 1;
    }
    if (datagram.size() > kMaxReportDatagram) {
        std::fprintf(stderr,
                     "orvane-reportsend: warning: the datagram is %zu bytes; a worker drops datagrams over %zu bytes "
                     "without acknowledging them\n",
                     datagram.size(), kMaxReportDatagram);
    }

    platform::UdpSocket socket;
    int err = 0;
    if (!socket.Open(err) || !socket.SendTo(datagram.data(), datagram.size(), o.to, err)) {
        std::fprintf(stderr, "orvane-reportsend: cannot send to %s:%u: %s\n", FormatIpv4Address(o.to.address).c_str(),
                     o.to.port, std::strerror(err));
        return 1;
    }
    const char* kindText = o.kind == ReportKind::Logon ? "logon" : "logoff";
    std::printf("sent a %s report (%zu bytes) for %s in %s from %s to %s:%u\n", kindText, datagram.size(),
                o.user.c_str(), o.domain.c_str(), o.computer.c_str(), FormatIpv4Address(o.to.address).c_str(),
                o.to.port);
    if (o.waitSeconds == 0) return 0;

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(o.waitSeconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        std::uint8_t reply[1024];
        std::size_t n = 0;
        platform::Ipv4Endpoint from;
        platform::ReceiveStatus status = socket.ReceiveFrom(reply, sizeof reply, n, from, static_cast<int>(left), err);
        if (status == platform::ReceiveStatus::TimedOut) continue;
        if (status == platform::ReceiveStatus::Failed) {
            // A port without a listener shows as a refused connection on the next receive.
            std::printf("no acknowledgement: %s\n", std::strerror(err));
            return 3;
        }
        // A worker with several addresses may answer from another one; its port is the one we sent to.
        if (from.port != o.to.port || !IsReportAcknowledgement(reply, n)) continue;
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("acknowledged: \"DEDOVEROZ\" came back after %.3f s\n", seconds);
        return 0;
    }
    std::printf("no acknowledgement within %u s: \"DEDOVEROZ\" did not come back\n", o.waitSeconds);
    return 3;
}
