#include "tools/gwemu/options.h"

#include <charconv>
#include <string_view>

namespace orvane::gwemu {

const char kUsage[] =
    "Usage: orvane-gwemu --listen [ADDR:]PORT [options]\n"
    "A gateway emulator: receives the agent's user notifications and heartbeats, decrypts them\n"
    "with the device share key, prints one JSON line per datagram, and answers notifications\n"
    "with \"login OK\" / \"logout OK\" the way a gateway confirms them.\n"
    "\n"
    "  --listen [ADDR:]PORT    address and UDP port to receive on (address default 127.0.0.1;\n"
    "                          port 0 picks a free port, shown in the \"listening on\" line)\n"
    "  --encrypt-type 0|1      0 = general (Triple DES), 1 = enhanced (AES-128); default 1\n"
    "  --encode-type 0|1       text encoding: 0 = GBK, 1 = UTF-8; default 1\n"
    "  --key-stdin             read the device share key (clear text) from the first line of stdin\n"
    "  --key-file FILE         read the device share key from the first line of FILE\n"
    "                          (without either, the all-zero key an agent without a key uses)\n"
    "  --answer MODE           always (default), never, or every=N (answer the Nth, 2Nth, ...\n"
    "                          notification, leaving the others for the agent to repeat)\n"
    "  --count N               exit after N datagrams\n"
    "  --timeout SECONDS       exit after that many seconds\n"
    "  --out FILE              append the JSON lines to FILE instead of standard output\n"
    "  --help                  show this text\n"
    "\n"
    "\"listening on ADDR:PORT\" goes to standard error once the socket is bound. Exit status:\n"
    "0 after --count, --timeout, SIGINT or SIGTERM; 1 on a socket or output error; 2 on a usage error.\n";

namespace {

bool ParseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseListen(std::string_view text, platform::Ipv4Endpoint& ep) {
    std::string_view port = text;
    std::size_t colon = text.rfind(':');
    ep.address = 0x7F000001;
    if (colon != std::string_view::npos) {
        std::string_view addr = text.substr(0, colon);
        if (!addr.empty() && !platform::ParseIpv4Address(addr, ep.address)) return false;
        port = text.substr(colon + 1);
    }
    std::uint64_t p = 0;
    if (!ParseNumber(port, p) || p > 65535) return false;
    ep.port = static_cast<std::uint16_t>(p);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& out, std::string& error) {
    bool listenGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](std::string_view& v) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        std::string_view v;
        std::uint64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            return true;
        } else if (arg == "--listen") {
            if (!value(v)) return false;
            if (!ParseListen(v, out.listen)) {
                error = "--listen wants [ADDR:]PORT with a dotted IPv4 address and a port 0-65535, not \"" +
                        std::string(v) + "\"";
                return false;
            }
            listenGiven = true;
        } else if (arg == "--encrypt-type" || arg == "--encode-type") {
            if (!value(v)) return false;
            if (v != "0" && v != "1") {
                error = std::string(arg) + " wants 0 or 1, not \"" + std::string(v) + "\"";
                return false;
            }
            (arg == "--encrypt-type" ? out.encryptType : out.encodeType) = v == "1" ? 1 : 0;
        } else if (arg == "--key-stdin" || arg == "--key-file") {
            if (out.keySource != KeySource::None) {
                error = "give the key once: --key-stdin or --key-file";
                return false;
            }
            if (arg == "--key-file") {
                if (!value(v)) return false;
                out.keyFile = v;
                out.keySource = KeySource::File;
            } else {
                out.keySource = KeySource::Stdin;
            }
        } else if (arg == "--answer") {
            if (!value(v)) return false;
            if (v == "always") {
                out.answer = AnswerMode::Always;
            } else if (v == "never") {
                out.answer = AnswerMode::Never;
            } else if (v.starts_with("every=") && ParseNumber(v.substr(6), n) && n > 0) {
                out.answer = AnswerMode::Every;
                out.answerEvery = n;
            } else {
                error = "--answer wants always, never or every=N (N at least 1), not \"" + std::string(v) + "\"";
                return false;
            }
        } else if (arg == "--count" || arg == "--timeout") {
            if (!value(v)) return false;
            if (!ParseNumber(v, n) || n == 0) {
                error = std::string(arg) + " wants a positive whole number, not \"" + std::string(v) + "\"";
                return false;
            }
            (arg == "--count" ? out.count : out.timeoutSeconds) = n;
        } else if (arg == "--out") {
            if (!value(v)) return false;
            out.outPath = v;
        } else if (arg == "--key") {
            error = "the key is never taken from the command line (other users can read it there): use "
                    "--key-stdin or --key-file";
            return false;
        } else {
            error = "unknown argument \"" + std::string(arg) + "\"";
            return false;
        }
    }
    if (!listenGiven) {
        error = "--listen [ADDR:]PORT is required";
        return false;
    }
    return true;
}

}  // namespace orvane::gwemu
