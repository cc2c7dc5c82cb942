// orvane-gwemu: a gateway emulator for tests and for administrators checking what the agent sends.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/key_input.h"
#include "tools/gwemu/emulator.h"
#include "tools/gwemu/options.h"

namespace {

void OnStopSignal(int) { orvane::gwemu::g_stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    using namespace orvane;
    gwemu::Options options;
    std::string error;
    if (!gwemu::ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "orvane-gwemu: %s\nTry \"orvane-gwemu --help\".\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(gwemu::kUsage, stdout);
        return 0;
    }

    std::string keyText;
    if (options.keySource != gwemu::KeySource::None &&
        !ReadKeyLine("orvane-gwemu", options.keySource == gwemu::KeySource::Stdin, options.keyFile, keyText)) {
        return 2;
    }
    KeyField key;
    if (!FillKeyField(keyText, key)) {
        std::fprintf(stderr,
                     "orvane-gwemu: warning: the key is longer than 31 bytes; like the agent, only its first 31 "
                     "bytes are kept\n");
    }

    std::FILE* out = stdout;
    if (!options.outPath.empty()) {
        out = std::fopen(options.outPath.c_str(), "a");
        if (!out) {
            std::fprintf(stderr, "orvane-gwemu: cannot open %s for appending: %s\n", options.outPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int rc = gwemu::RunEmulator(options, key, out);
    if (out != stdout && std::fclose(out) != 0 && rc == 0) {
        std::fprintf(stderr, "orvane-gwemu: cannot write %s: %s\n", options.outPath.c_str(), std::strerror(errno));
        rc = 1;
    }
    key.fill(0);
    return rc;
}
