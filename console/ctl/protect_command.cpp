// orvanectl protect: a secret from standard input, its protected text on stdout.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/config_types.h"
#include "common/protect.h"
#include "common/text.h"
#include "console/core/secret_protection.h"
#include "console/ctl/commands.h"
#include "console/ctl/secret_input.h"
#include "platform/machine_protect.h"

namespace orvane::ctl {
namespace {

bool ParseLength(std::string_view text, std::size_t& value) {
    if (text.empty()) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size() && value > 0;
}

// No field of config.ini that holds a protected text takes more than this.
constexpr std::size_t kDefaultLimit = kPasswordCapacity - 1;

}  // namespace

void PrintProtectHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl protect [--max N]\n"
                 "\n"
                 "Reads one secret from standard input and prints its protected text (upper-case\n"
                 "hexadecimal) for config.ini: the Password of an AdServer section, ClientShareKey\n"
                 "or FirewallShareKey. On a terminal the secret is asked for twice without echo;\n"
                 "otherwise the first line is read and its line end removed. The secret is never\n"
                 "taken from the command line, where the process list and the shell history would\n"
                 "show it.\n"
                 "\n"
                 "Options:\n"
                 "  --max N     refuse a secret longer than N characters. The console's limits:\n"
                 "                FirewallShareKey           %zu\n"
                 "                ClientShareKey             %zu\n"
                 "                AdServer Password          %zu\n"
                 "              Without --max a secret of up to %zu characters (the longest\n"
                 "              AdServer Password a worker reads) is protected; above %zu\n"
                 "              characters a warning says that a log-query worker refuses it.\n"
                 "  -h, --help  show this help\n"
                 "\n"
                 "The protected text can be turned back on this machine only: it is bound to the\n"
                 "machine key %s (set ORVANE_MACHINE_KEY to use another file),\n"
                 "created at the first protection; creating or reading it needs root.\n"
                 "\n"
                 "Exit status: 0 protected, 1 refused or failed, 2 usage error.\n",
                 console::kFirewallShareKeyMaxLength, console::kClientShareKeyMaxLength,
                 console::kServerPasswordMaxLength, kDefaultLimit, kLogQueryPasswordCapacity - 1,
                 platform::MachineKeyPath().c_str());
}

int RunProtect(int argc, char** argv) {
    std::size_t maxLength = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintProtectHelp(stdout);
            return kExitOk;
        }
        if (arg == "--max" || arg.starts_with("--max=")) {
            std::string_view value;
            if (arg == "--max") {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "orvanectl protect: --max needs a number of characters\n");
                    return kExitUsage;
                }
                value = argv[++i];
            } else {
                value = arg.substr(std::strlen("--max="));
            }
            if (!ParseLength(value, maxLength)) {
                std::fprintf(stderr, "orvanectl protect: --max needs a whole number of characters, 1 or more\n");
                return kExitUsage;
            }
            continue;
        }
        if (arg.starts_with("--")) {
            std::fprintf(stderr, "orvanectl protect: unknown option '%s' (see 'orvanectl protect --help')\n", argv[i]);
            return kExitUsage;
        }
        // Not repeated back: it may well be the secret itself.
        std::fprintf(stderr,
                     "orvanectl protect: the secret is never taken from the command line; "
                     "give it on standard input (see 'orvanectl protect --help')\n");
        return kExitUsage;
    }

    if (maxLength == 0) maxLength = kDefaultLimit;
    std::string secret;
    int sysError = 0;
    switch (ReadSecretFromStdin(secret, sysError)) {
        case SecretInput::Ok:
            break;
        case SecretInput::Mismatch:
            std::fprintf(stderr, "orvanectl protect: the two entries differ; nothing was protected\n");
            return kExitFailure;
        case SecretInput::TooLong:
            std::fprintf(stderr, "orvanectl protect: the secret is longer than %zu characters; nothing was protected\n",
                         console::EffectiveSecretLimit(maxLength));
            return kExitFailure;
        case SecretInput::ReadError:
            std::fprintf(stderr, "orvanectl protect: cannot read standard input: %s\n", std::strerror(sysError));
            return kExitFailure;
    }

    std::string protectedText;
    console::SecretCheck result = console::ProtectSecret(secret, maxLength, protectedText);
    const std::size_t length = Utf16Length(secret);
    console::WipeSecret(secret);
    if (result == console::SecretCheck::Ok && length >= kLogQueryPasswordCapacity)
        std::fprintf(stderr,
                     "orvanectl protect: warning: the secret has %zu characters; as an AdServer Password a "
                     "log-query worker refuses more than %zu (a client-report worker takes up to %zu), and a "
                     "share key holds at most 31 bytes\n",
                     length, kLogQueryPasswordCapacity - 1, kDefaultLimit);
    switch (result) {
        case console::SecretCheck::Ok:
            std::printf("%s\n", protectedText.c_str());
            return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
        case console::SecretCheck::Empty:
            std::fprintf(stderr, "orvanectl protect: the secret is empty; nothing was protected\n");
            break;
        case console::SecretCheck::TooLong:
            std::fprintf(stderr, "orvanectl protect: the secret is longer than %zu characters; nothing was protected\n",
                         console::EffectiveSecretLimit(maxLength));
            break;
        case console::SecretCheck::NotText:
            std::fprintf(stderr,
                         "orvanectl protect: the secret is not valid UTF-8 text or holds a zero character; "
                         "nothing was protected\n");
            break;
        case console::SecretCheck::ProtectFailed:
            std::fprintf(stderr,
                         "orvanectl protect: the secret could not be protected with the machine key %s "
                         "(see the message above; creating or reading the key needs root)\n",
                         platform::MachineKeyPath().c_str());
            break;
    }
    return kExitFailure;
}

}  // namespace orvane::ctl
