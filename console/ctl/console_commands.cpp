// orvanectl show / set / server / device / service / autostart: the console's work from a shell,
// through the same core as the window, so both check and write alike.
#include "console/ctl/console_commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "common/profile.h"
#include "common/protect.h"
#include "common/text.h"
#include "console/core/autostart.h"
#include "console/core/console_core.h"
#include "console/core/console_start.h"
#include "console/core/key_strength.h"
#include "console/core/secret_protection.h"
#include "console/ctl/commands.h"
#include "console/ctl/secret_input.h"
#include "console/ctl/session.h"

namespace orvane::ctl {

const char* const kExitStatusHelp =
    "Exit status: 0 done, 1 failed (config.ini or language.ini unreadable or unwritable),\n"
    "2 usage error, 3 refused by a check (the message says which), 4 settings locked\n"
    "while the service is not stopped, 5 the service manager failed or refused.\n";

const char* const kFolderHelp =
    "The program folder is the folder of orvanectl itself unless 'orvanectl --folder DIR'\n"
    "names another. Messages of the checks are in the console language (CurLanguageId).\n";

namespace {

using namespace orvane::console;

std::string g_folder;

// Messages go to stderr; questions are asked only on a terminal.
class TerminalMessages final : public MessageSink {
public:
    explicit TerminalMessages(bool assumeYes) : assumeYes_(assumeYes) {}
    void ShowMessage(const std::string& text) override { std::fprintf(stderr, "orvanectl: %s\n", text.c_str()); }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        if (assumeYes_) return true;
        if (!::isatty(STDIN_FILENO)) {
            std::fprintf(stderr, "orvanectl: %s: %s\norvanectl: not a terminal; confirm with --yes\n", caption.c_str(),
                         text.c_str());
            return false;
        }
        std::fprintf(stderr, "%s: %s [y/N] ", caption.c_str(), text.c_str());
        char line[16] = {};
        if (!std::fgets(line, sizeof line, stdin)) return false;
        return line[0] == 'y' || line[0] == 'Y';
    }

private:
    bool assumeYes_;
};

// Swallows what the core logs while orvanectl only looks (the lock check's status query).
class QuietLog {
public:
    QuietLog() : previous_(SetLogSink(&memory_)) {}
    ~QuietLog() { SetLogSink(previous_); }

private:
    MemoryLog memory_;
    LogSink* previous_;
};

std::string ProgramFolder() {
    if (!g_folder.empty()) return g_folder;
    std::string folder;
    ExecutableFolder(folder);
    return folder;
}

}  // namespace

std::optional<int> OpenSession(Session& s, bool assumeYes, Texts texts, std::optional<std::uint32_t> language) {
    const std::string folder = ProgramFolder();
    StartCheck check;
    {
        // Changing the language: the stored one failing is no error.
        std::optional<QuietLog> quiet;
        if (language) quiet.emplace();
        check = PrepareConsole(folder, s.start);
    }
    if (check == StartCheck::Ok && language && *language != s.start.languageId) check = StartCheck::NoLanguageText;
    if (check == StartCheck::NoLanguageText && language) {
        s.start.languageId = *language;
        if (!s.start.texts.Load(LanguageFilePath(folder), *language)) {
            std::fprintf(stderr,
                         "orvanectl: %s/language.ini lacks the text %s of language %u; the language is not "
                         "changed\n",
                         folder.c_str(), s.start.texts.FailedKey() ? s.start.texts.FailedKey() : "?", *language);
            return kExitRefused;
        }
        check = StartCheck::Ok;
    }
    switch (check) {
        case StartCheck::Ok:
            break;
        case StartCheck::NoFolder:
            std::fprintf(stderr, "orvanectl: cannot tell the program folder; give it with --folder\n");
            return kExitFailure;
        case StartCheck::NoConfig:
            std::fprintf(stderr, "orvanectl: no config.ini in %s (give the program folder with --folder)\n",
                         folder.c_str());
            return kExitFailure;
        case StartCheck::NoLanguageText: {
            // languageId stays the stored one: `show` tells what config.ini holds.
            std::fprintf(stderr,
                         "orvanectl: %s/language.ini lacks the text %s of language %u (CurLanguageId); "
                         "'orvanectl set language en' or 'zh' chooses one that loads\n",
                         folder.c_str(), s.start.texts.FailedKey() ? s.start.texts.FailedKey() : "?",
                         s.start.languageId);
            if (texts == Texts::Needed || s.start.languageId == kEnglish ||
                !s.start.texts.Load(LanguageFilePath(folder), kEnglish))
                return kExitFailure;
            std::fprintf(stderr, "orvanectl: going on in English\n");
            break;
        }
    }
    s.service = MakeSystemServiceControl();
    s.messages = std::make_unique<TerminalMessages>(assumeYes);
    s.core = std::make_unique<ConsoleCore>(folder, s.start.texts, *s.service, *s.messages);
    if (!s.core->Load()) {
        std::fprintf(stderr,
                     "orvanectl: %s cannot be used: a required setting is missing or a count is above its "
                     "maximum\n",
                     s.start.configPath.c_str());
        return kExitFailure;
    }
    return std::nullopt;
}

// A manager that cannot be asked leaves the state stopped, as it does in the window.
std::optional<int> CheckUnlocked(Session& s) {
    {
        QuietLog quiet;
        s.core->QueryService();
    }
    if (EnablingFor(s.core->ServiceState()).settings) return std::nullopt;
    std::fprintf(stderr,
                 "orvanectl: the settings are locked while the service is not stopped; "
                 "run 'orvanectl service stop' first\n");
    return kExitLocked;
}

namespace {

const char* StateName(std::uint32_t state) {
    switch (state) {
        case kServiceStopped: return "stopped";
        case kServiceStartPending: return "start pending";
        case kServiceStopPending: return "stop pending";
        case kServiceRunning: return "running";
        case kServiceContinuePending: return "continue pending";
        case kServicePausePending: return "pause pending";
        case kServicePaused: return "paused";
    }
    return "unknown";
}

}  // namespace

int Usage(const char* command, const char* text) {
    std::fprintf(stderr, "orvanectl %s: %s (see 'orvanectl %s --help')\n", command, text, command);
    return kExitUsage;
}

bool IsHelp(std::string_view a) { return a == "-h" || a == "--help"; }

namespace {

// Slot number of an entry, as "N" or the section name "AdServerN"/"FirewallN".
bool ParseSlot(std::string_view text, std::string_view prefix, unsigned& slot) {
    if (text.size() > prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix))
        text = text.substr(prefix.size());
    if (text.empty() || text.size() > 2 || CheckFieldInput(Field::Port, text) != InputCheck::Ok) return false;
    slot = static_cast<unsigned>(LeadingNumber(text));
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, int first, std::initializer_list<const char*> known, Options& out,
                  std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--yes" || a == "-y") {
            out.yes = true;
            continue;
        }
        // --help anywhere is the command's own help, not an unknown option.
        if (!a.starts_with("--") || a == "--help") {
            out.positional.emplace_back(a);
            continue;
        }
        std::string name(a.substr(2)), value;
        std::size_t eq = name.find('=');
        bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        bool isKnown = false;
        for (const char* k : known) isKnown = isKnown || name == k;
        if (!isKnown) {
            error = "unknown option '--" + name + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "--" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        out.values.emplace_back(name, value);
    }
    return true;
}

namespace {

// A secret from stdin (asked twice on a terminal); an exit status on failure. `mismatch` is the
// message the window shows when the two entries differ.
std::optional<int> ReadSecret(const Session& s, std::optional<TextId> mismatch, std::string& secret) {
    int sysError = 0;
    switch (ReadSecretFromStdin(secret, sysError)) {
        case SecretInput::Ok:
            return std::nullopt;
        case SecretInput::Mismatch:
            if (mismatch)
                std::fprintf(stderr, "orvanectl: %s\n", s.start.texts.Text(*mismatch).c_str());
            else
                std::fprintf(stderr, "orvanectl: the two entries differ\n");
            return kExitRefused;
        case SecretInput::TooLong:
            std::fprintf(stderr, "orvanectl: the secret on standard input is far too long\n");
            return kExitRefused;
        case SecretInput::ReadError:
            std::fprintf(stderr, "orvanectl: cannot read standard input: %s\n", std::strerror(sysError));
            return kExitFailure;
    }
    return kExitFailure;
}

// The checks a key edit and the save apply, then the protected key written.
int StoreKey(Session& s, Field field, SaveStep step, const char* section, std::string& secret) {
    ConsoleCore& core = *s.core;
    if (CheckFieldInput(field, secret) == InputCheck::TooLong) {
        std::fprintf(stderr, "orvanectl: the key is longer than %zu characters\n", FieldLimit(field));
        return kExitRefused;
    }
    core.FieldText(field) = secret;
    if (field == Field::ClientKey) core.FieldText(Field::ClientKeyConfirm) = secret;
    if (auto refused = core.CheckStep(step)) {
        s.messages->ShowMessage(s.start.texts.Text(*refused));
        return kExitRefused;
    }
    const std::string problem = KeyBytesProblem(field == Field::ClientKey ? ShareKey::Client : ShareKey::Device, secret);
    if (!problem.empty()) {
        std::fprintf(stderr, "orvanectl: %s; nothing is stored\n", problem.c_str());
        return kExitRefused;
    }
    std::string protectedText;
    SecretCheck check = ProtectSecret(secret, FieldLimit(field), protectedText);
    if (check == SecretCheck::NotText) {
        std::fprintf(stderr, "orvanectl: the key is not valid UTF-8 text\n");
        return kExitRefused;
    }
    if (check != SecretCheck::Ok) {
        LogError("[ERR]Encryption error !");
        return kExitFailure;
    }
    if (!WriteProfileString(s.start.configPath, section, "Value", protectedText.c_str())) {
        std::fprintf(stderr, "orvanectl: cannot write %s\n", s.start.configPath.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

// A choice given as its number or its name.
std::optional<std::uint32_t> Choice(std::string_view v, std::initializer_list<std::pair<const char*, std::uint32_t>> names) {
    for (const auto& [name, value] : names)
        if (EqualsNoCase(v, name) || v == std::to_string(value)) return value;
    return std::nullopt;
}

int WriteValue(const Session& s, const char* section, const std::string& value) {
    if (WriteProfileString(s.start.configPath, section, "Value", value.c_str())) return kExitOk;
    std::fprintf(stderr, "orvanectl: cannot write %s\n", s.start.configPath.c_str());
    return kExitFailure;
}

int SetNumber(Session& s, Field field, SaveStep step, const char* section, const std::string& value) {
    if (CheckFieldInput(field, value) != InputCheck::Ok) {
        std::fprintf(stderr, "orvanectl: '%s' is not a number (digits only)\n", value.c_str());
        return kExitRefused;
    }
    s.core->FieldText(field) = value;
    if (auto refused = s.core->CheckStep(step)) {
        s.messages->ShowMessage(s.start.texts.Text(*refused));
        return kExitRefused;
    }
    return WriteValue(s, section, value);
}

void PrintServers(const ConsoleConfig& c) {
    std::printf("Directory servers: %u\n", c.serverCount);
    for (unsigned i = 0; i < kMaxServers; ++i)
        if (c.serverPresent[i]) std::printf("  AdServer%-2u %-15s  %s\n", i, c.servers[i].ip.c_str(), c.servers[i].userName.c_str());
}

void PrintDevices(const ConsoleConfig& c) {
    std::printf("Devices: %u\n", c.deviceCount);
    for (unsigned i = 0; i < kMaxGateways; ++i)
        if (c.devicePresent[i]) std::printf("  Firewall%u  %-15s  port %u\n", i, c.devices[i].ip.c_str(), c.devices[i].port);
}

// What a service outcome means for a terminal, and its exit status.
int ReportService(const Session& s, ServiceOutcome o) {
    const std::string& why = s.core->LastServiceError();
    auto failed = [&](const char* what) {
        std::fprintf(stderr, "orvanectl: %s%s%s\n", what, why.empty() ? "" : ": ", why.c_str());
        return kExitServiceFailed;
    };
    switch (o) {
        case ServiceOutcome::Done: return kExitOk;
        case ServiceOutcome::AlreadyRunning:
            std::printf("The service is already running.\n");
            return kExitOk;
        case ServiceOutcome::AlreadyStopped:
            std::printf("The service is stopped.\n");
            return kExitOk;
        case ServiceOutcome::NoServer:
        case ServiceOutcome::NoDevice: return kExitRefused;  // the message is shown
        case ServiceOutcome::AccessDenied: return failed("access to the service manager is denied (run as root)");
        case ServiceOutcome::ManagerFailed: return failed("cannot open the service manager");
        case ServiceOutcome::NotInstalled: return failed("the service OrvaneSRV is not installed");
        case ServiceOutcome::OpenFailed: return failed("cannot open the service OrvaneSRV");
        case ServiceOutcome::QueryFailed: return failed("cannot query the service OrvaneSRV");
        case ServiceOutcome::NotActive: return failed("the service is not active");
        case ServiceOutcome::RequestFailed: return failed("the service manager refused the request");
    }
    return kExitServiceFailed;
}

// The warning for a stored share key the worker cannot keep, a client key outside ASCII or a key
// shorter than its cipher's key; empty when it is sound or cannot be read back (that needs the
// machine key, so root).
std::string StoredKeyWarning(const Session& s, const char* section, ShareKey which) {
    std::string protectedText =
        ReadProfileString(s.start.configPath, section, "Value", "", kMaxProtectedTextLength + 1);
    if (protectedText.empty()) return {};
    std::string clear;
    {
        QuietLog quiet;
        UnprotectText(protectedText, clear, 32);
    }
    if (clear.empty()) return {};
    // A key stored before the byte check came in may be one the worker leaves empty.
    std::string warning = KeyBytesProblem(which, clear);
    if (warning.empty()) warning = NonAsciiKeyWarning(which, clear);
    if (warning.empty()) warning = ShortKeyWarning(which, s.core->Config().encryptType, clear);
    WipeSecret(clear);
    return warning;
}

void WarnShortKey(const std::string& warning, const char* setting) {
    if (warning.empty()) return;
    std::fprintf(stderr, "orvanectl: warning: %s; 'orvanectl set %s --generate' makes a full-length random one\n",
                 warning.c_str(), setting);
}

}  // namespace

void SetProgramFolder(const std::string& folder) { g_folder = folder; }

std::string CurrentProgramFolder() { return ProgramFolder(); }

// ---------------------------------------------------------------------------------------------

void PrintShowHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl show\n"
                 "\n"
                 "Prints the settings of config.ini as the console shows them (keys only as\n"
                 "\"stored\" or \"not set\"), the directory servers, the devices, the service\n"
                 "state and whether the console starts with the desktop. A stored share key\n"
                 "the worker cannot keep in 31 bytes, a client key outside ASCII or a key\n"
                 "shorter than its cipher's key gets a warning on standard error (as root,\n"
                 "which can read the machine key).\n"
                 "\n%s\n%s",
                 kFolderHelp, kExitStatusHelp);
}

int RunShow(int argc, char** argv) {
    if (argc > 1) {
        if (IsHelp(argv[1])) {
            PrintShowHelp(stdout);
            return kExitOk;
        }
        return Usage("show", "takes no arguments");
    }
    Session s;
    if (auto status = OpenSession(s, false, Texts::Optional)) return *status;
    const ConsoleConfig& c = s.core->Config();
    std::printf("Mode: %u (%s)\n", c.mode, c.mode == 0 ? "client-report" : "log-query");
    std::printf("Listen port: %s\n", c.listenPort.c_str());
    std::printf("Client share key: %s\n", c.clientKey == kKeyMask ? "stored" : "not set");
    std::printf("Anti-replay time: %s\n", c.antiReplayTime.c_str());
    std::printf("Query interval: %s\n", c.queryTime.c_str());
    std::printf("Encryption: %u (%s)\n", c.encryptType, c.encryptType == 0 ? "general" : "enhanced");
    std::printf("Device share key: %s\n", c.firewallKey == kKeyMask ? "stored" : "not set");
    std::printf("Encoding: %u (%s)\n", c.encodeType, c.encodeType == 0 ? "GBK" : "UTF-8");
    std::printf("Language: %u\n", s.start.languageId);
    PrintServers(c);
    PrintDevices(c);
    ServiceOutcome q;
    {
        QuietLog quiet;
        q = s.core->QueryService();
    }
    if (q == ServiceOutcome::Done)
        std::printf("Service: %s\n", StateName(s.core->ServiceState()));
    else
        std::printf("Service: unknown (%s)\n", s.core->LastServiceError().empty() ? "not installed or not reachable"
                                                                                  : s.core->LastServiceError().c_str());
    std::printf("Auto-start: %s\n", ReadAutoStartFlag(AutostartFolder()) ? "on" : "off");
    if (std::fflush(stdout) != 0) return kExitFailure;
    WarnShortKey(StoredKeyWarning(s, "ClientShareKey", ShareKey::Client), "client-key");
    WarnShortKey(StoredKeyWarning(s, "FirewallShareKey", ShareKey::Device), "device-key");
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------

void PrintSetHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl set <setting> [<value>]\n"
                 "\n"
                 "Checks one setting as the console window does and writes it to config.ini.\n"
                 "The service reads it at its next start.\n"
                 "\n"
                 "Settings:\n"
                 "  mode <0|1|client-report|log-query>\n"
                 "  port <1024-65535>            listen port for the PCs' reports; must be free\n"
                 "  client-key [--generate]      the PCs' share key, at most 16 characters, read\n"
                 "                               from standard input (asked twice on a terminal)\n"
                 "  anti-replay <0|5-86400>      seconds; 0 switches the check off\n"
                 "  query-time <5-300>           seconds between two queries of a log\n"
                 "  encryption <0|1|general|enhanced>\n"
                 "  device-key [--generate]      the devices' share key, at most 23 characters\n"
                 "                               without \"?\", read from standard input\n"
                 "  encoding <0|1|gbk|utf-8>\n"
                 "  language <1033|2052|en|zh>   language of the console and of these messages;\n"
                 "                               stored only when its texts in language.ini load\n"
                 "\n"
                 "Keys are never taken from the command line, where the process list would show\n"
                 "them. A key shorter than its cipher's key (16 characters for AES-128: the client\n"
                 "key and enhanced encryption; 23 for Triple DES, general encryption, which uses\n"
                 "24 key bytes) is stored with a warning: a short key can be guessed offline from\n"
                 "one recorded datagram. --generate makes a random key of full length from\n"
                 "letters and digits (OpenSSL's generator), stores it protected and prints it once\n"
                 "on standard output, for the PCs' reporters or the devices; it is logged nowhere.\n"
                 "The worker keeps at most 31 bytes of a key (the client key in GBK, the device\n"
                 "key as UTF-8): a key longer than that in bytes is refused. A client key with\n"
                 "characters outside ASCII is stored with a warning: the PCs' reporters take its\n"
                 "UTF-8 bytes, so their AES key would differ from the worker's.\n"
                 "Settings are locked while the service is not stopped.\n"
                 "\n%s\n%s",
                 kFolderHelp, kExitStatusHelp);
}

int RunSet(int argc, char** argv) {
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintSetHelp(stdout);
        return kExitOk;
    }
    if (argc < 2) return Usage("set", "which setting?");
    const std::string_view name = argv[1];
    const bool isKey = name == "client-key" || name == "device-key";
    const bool generate = isKey && argc == 3 && std::string_view(argv[2]) == "--generate";
    if (isKey && argc != 2 && !generate)
        return Usage("set", "keys are read from standard input or made with --generate, never taken from the command line");
    if (!isKey && argc != 3) return Usage("set", "give the setting and one value");
    const std::string value = isKey ? std::string() : argv[2];
    // The language is checked against language.ini before anything else: it is saved only when
    // its texts load, and a stored one that does not load is no reason to refuse a change.
    std::optional<std::uint32_t> language;
    if (name == "language") {
        language = Choice(value, {{"en", kEnglish}, {"zh", kSimplifiedChinese}});
        if (!language) return Usage("set", "not one of the values this setting takes");
    }

    Session s;
    if (auto status = OpenSession(s, false, Texts::Needed, language)) return *status;
    if (auto status = CheckUnlocked(s)) return *status;

    if (name == "port") return SetNumber(s, Field::Port, SaveStep::ListenPort, "ListenPort", value);
    if (name == "anti-replay") return SetNumber(s, Field::AntiReplayTime, SaveStep::AntiReplayTime, "AntiReplayTime", value);
    if (name == "query-time") return SetNumber(s, Field::QueryTime, SaveStep::QueryTime, "QueryTime", value);
    if (isKey) {
        const bool client = name == "client-key";
        const ShareKey which = client ? ShareKey::Client : ShareKey::Device;
        const std::uint32_t encryptType = s.core->Config().encryptType;
        std::string secret;
        if (generate) {
            if (!GenerateShareKey(FullKeyLength(which, encryptType), secret)) {
                std::fprintf(stderr, "orvanectl: no random numbers to make a key from (OpenSSL's generator failed)\n");
                return kExitFailure;
            }
        } else {
            std::optional<TextId> mismatch;
            if (client) mismatch = TextId::Agent_CheckClientKey;
            if (auto status = ReadSecret(s, mismatch, secret)) return *status;
        }
        int status = client ? StoreKey(s, Field::ClientKey, SaveStep::ClientShareKey, "ClientShareKey", secret)
                            : StoreKey(s, Field::FirewallKey, SaveStep::FirewallShareKey, "FirewallShareKey", secret);
        if (status == kExitOk && generate) {
            // The one time it is shown: the administrator copies it to the PCs or the devices.
            std::printf("%s\n", secret.c_str());
            if (std::fflush(stdout) != 0) status = kExitFailure;
            std::fprintf(stderr, "orvanectl: a random %s share key of %zu characters (%s) is stored; it is shown above only this once\n",
                         client ? "client" : "device", secret.size(), CipherName(which, encryptType));
        } else if (status == kExitOk) {
            WarnShortKey(ShortKeyWarning(which, encryptType, secret), client ? "client-key" : "device-key");
            const std::string nonAscii = NonAsciiKeyWarning(which, secret);
            if (!nonAscii.empty()) std::fprintf(stderr, "orvanectl: warning: %s\n", nonAscii.c_str());
        }
        WipeSecret(secret);
        WipeSecret(s.core->FieldText(Field::ClientKey));
        WipeSecret(s.core->FieldText(Field::ClientKeyConfirm));
        WipeSecret(s.core->FieldText(Field::FirewallKey));
        return status;
    }
    std::optional<std::uint32_t> choice;
    const char* section = nullptr;
    if (name == "mode") {
        choice = Choice(value, {{"client-report", 0}, {"log-query", 1}});
        section = "ModelType";
    } else if (name == "encryption") {
        choice = Choice(value, {{"general", 0}, {"enhanced", 1}});
        section = "EncryptType";
    } else if (name == "encoding") {
        choice = Choice(value, {{"gbk", 0}, {"utf-8", 1}, {"utf8", 1}});
        section = "EncodeType";
    } else if (name == "language") {
        choice = language;
        section = "CurLanguageId";
    } else {
        return Usage("set", "unknown setting");
    }
    if (!choice) return Usage("set", "not one of the values this setting takes");
    return WriteValue(s, section, std::to_string(*choice));
}

// ---------------------------------------------------------------------------------------------

namespace {

struct ListKind {
    const char* command;   // "server" / "device"
    const char* prefix;    // section prefix
    unsigned max;
};

// The password of a server entry: read, length-checked, then into the dialog input.
std::optional<int> ServerPassword(const Session& s, ServerDialogInput& in) {
    if (auto status = ReadSecret(s, TextId::Server_CheckPW, in.password)) return status;
    in.confirm = in.password;
    if (Utf16Length(in.password) > kServerPasswordMaxLength) {
        std::fprintf(stderr, "orvanectl: the password is longer than %zu characters\n", kServerPasswordMaxLength);
        return kExitRefused;
    }
    return std::nullopt;
}

int EntryUsage(const ListKind& k, const char* text) { return Usage(k.command, text); }

// Address given on the command line into the address control's four fields.
bool AddressFields(const ListKind& k, const std::string& text, Ipv4Fields& f) {
    if (ParseIpv4Fields(text, f)) return true;
    std::fprintf(stderr, "orvanectl %s: '%s' is not an IPv4 address\n", k.command, text.c_str());
    return false;
}

int RunEntries(const ListKind& k, int argc, char** argv) {
    const bool isServer = std::strcmp(k.command, "server") == 0;
    if (argc < 2) return EntryUsage(k, "list, add, edit or delete?");
    std::string_view sub = argv[1];
    Options opt;
    std::string error;
    const bool ok = isServer ? ParseOptions(argc, argv, 2, {"ip", "user"}, opt, error)
                             : ParseOptions(argc, argv, 2, {"ip", "port"}, opt, error);
    if (!ok) return EntryUsage(k, error.c_str());
    for (const std::string& p : opt.positional)
        if (IsHelp(p)) {
            (isServer ? PrintServerHelp : PrintDeviceHelp)(stdout);
            return kExitOk;
        }

    Session s;
    if (sub == "list") {
        if (!opt.positional.empty() || !opt.values.empty()) return EntryUsage(k, "list takes no arguments");
        if (auto status = OpenSession(s, false, Texts::Optional)) return *status;
        (isServer ? PrintServers : PrintDevices)(s.core->Config());
        return kExitOk;
    }
    const bool add = sub == "add", edit = sub == "edit", del = sub == "delete";
    if (!add && !edit && !del) return EntryUsage(k, "list, add, edit or delete?");
    unsigned slot = ConsoleCore::kNoSlot;
    if (add && !opt.positional.empty()) return EntryUsage(k, "add takes options only");
    if (edit || del) {
        if (opt.positional.size() != 1 || !ParseSlot(opt.positional[0], k.prefix, slot))
            return EntryUsage(k, "give the entry's number (see 'list')");
        if (slot >= k.max) return EntryUsage(k, "no such entry number");
    }
    if (del && !opt.values.empty()) return EntryUsage(k, "delete takes the entry's number only");

    if (auto status = OpenSession(s, opt.yes)) return *status;
    if (auto status = CheckUnlocked(s)) return *status;
    ConsoleCore& core = *s.core;
    const ConsoleConfig& c = core.Config();

    if (del) {
        EntryCommand r = isServer ? core.DeleteServer(slot) : core.DeleteDevice(slot);
        if (r == EntryCommand::Done) return kExitOk;
        if (r == EntryCommand::Cancelled) return kExitRefused;
        if (r == EntryCommand::Refused) std::fprintf(stderr, "orvanectl: the list is empty\n");
        return kExitRefused;
    }
    if (edit && !(isServer ? core.ServerPresent(slot) : core.DevicePresent(slot))) {
        s.messages->ShowMessage(s.start.texts.Text(isServer ? TextId::Agent_NoAdServerItem : TextId::Agent_NoFirewallItem));
        return kExitRefused;
    }
    if (add && !(isServer ? core.BeginAddServer() : core.BeginAddDevice())) return kExitRefused;

    // The dialog's fields: empty for an add, the entry's values for an edit; options replace them.
    const std::string* ip = opt.Get("ip");
    std::string ipText = ip ? *ip : edit ? (isServer ? c.servers[slot].ip : c.devices[slot].ip) : std::string();
    Ipv4Fields fields;
    if (!AddressFields(k, ipText, fields)) return kExitRefused;

    if (isServer) {
        ServerDialogInput in;
        in.ip = fields;
        const std::string* user = opt.Get("user");
        in.account = user ? *user : edit ? c.servers[slot].userName : std::string();
        if (Utf16Length(in.account) > kAccountMaxLength) {
            std::fprintf(stderr, "orvanectl: the account is longer than %zu characters\n", kAccountMaxLength);
            return kExitRefused;
        }
        // The address and account are checked before the password is asked for.
        ServerEntry entry;
        ServerDialogInput probe = in;
        probe.password = probe.confirm = "-";
        if (auto refused = CheckServerDialog(probe, entry)) {
            s.messages->ShowMessage(s.start.texts.Text(*refused));
            return kExitRefused;
        }
        if (auto status = ServerPassword(s, in)) return *status;
        std::optional<TextId> refused = CheckServerDialog(in, entry);
        WipeSecret(in.password);
        WipeSecret(in.confirm);
        if (refused) {
            s.messages->ShowMessage(s.start.texts.Text(*refused));
            WipeSecret(entry.password);
            return kExitRefused;
        }
        int status = kExitOk;
        if (add) {
            if (core.AddServer(entry, slot) != AddResult::Added) status = kExitFailure;
            else std::printf("AdServer%u\n", slot);
        } else if (core.EditServer(slot, entry) != EntryCommand::Done) {
            std::fprintf(stderr, "orvanectl: cannot write AdServer%u to %s\n", slot, s.start.configPath.c_str());
            status = kExitFailure;
        }
        WipeSecret(entry.password);
        return status;
    }

    DeviceDialogInput in;
    in.ip = fields;
    const std::string* port = opt.Get("port");
    in.port = port ? *port : DeviceDialogPort(edit ? &c.devices[slot] : nullptr);
    if (CheckFieldInput(Field::Port, in.port) != InputCheck::Ok) {
        std::fprintf(stderr, "orvanectl: '%s' is not a port number (digits only)\n", in.port.c_str());
        return kExitRefused;
    }
    DeviceEntry entry;
    if (auto refused = CheckDeviceDialog(in, entry)) {
        s.messages->ShowMessage(s.start.texts.Text(*refused));
        return kExitRefused;
    }
    if (add) {
        if (core.AddDevice(entry, slot) != AddResult::Added) return kExitFailure;
        std::printf("Firewall%u\n", slot);
        return kExitOk;
    }
    if (core.EditDevice(slot, entry) != EntryCommand::Done) {
        std::fprintf(stderr, "orvanectl: cannot write Firewall%u to %s\n", slot, s.start.configPath.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

void PrintServerHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl server list\n"
                 "       orvanectl server add --ip A.B.C.D --user DOMAIN\\NAME\n"
                 "       orvanectl server edit N [--ip A.B.C.D] [--user DOMAIN\\NAME]\n"
                 "       orvanectl server delete N [--yes]\n"
                 "\n"
                 "The directory servers (domain controllers) the worker connects to, at most 16,\n"
                 "in the sections AdServer0 to AdServer15 of config.ini; N is the section number\n"
                 "shown by 'list'. An add takes the lowest free section. The account's password\n"
                 "(at most 32 characters) is read from standard input, asked twice on a terminal,\n"
                 "and stored protected; an edit needs it again. A delete asks for confirmation on\n"
                 "a terminal; elsewhere it needs --yes. Changes are written at once and are\n"
                 "locked while the service is not stopped.\n"
                 "\n%s\n%s",
                 kFolderHelp, kExitStatusHelp);
}

int RunServer(int argc, char** argv) {
    static const ListKind kind{"server", "AdServer", kMaxServers};
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintServerHelp(stdout);
        return kExitOk;
    }
    return RunEntries(kind, argc, argv);
}

void PrintDeviceHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl device list\n"
                 "       orvanectl device add --ip A.B.C.D [--port P]\n"
                 "       orvanectl device edit N [--ip A.B.C.D] [--port P]\n"
                 "       orvanectl device delete N [--yes]\n"
                 "\n"
                 "The devices (firewall gateways) that receive the user notifications, at most 5,\n"
                 "in the sections Firewall0 to Firewall4 of config.ini; N is the section number\n"
                 "shown by 'list'. The port is 1025 to 50000; a new device takes 8000 unless\n"
                 "--port says otherwise. A delete asks for confirmation on a terminal; elsewhere\n"
                 "it needs --yes. Changes are written at once and are locked while the service\n"
                 "is not stopped.\n"
                 "\n%s\n%s",
                 kFolderHelp, kExitStatusHelp);
}

int RunDevice(int argc, char** argv) {
    static const ListKind kind{"device", "Firewall", kMaxGateways};
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintDeviceHelp(stdout);
        return kExitOk;
    }
    return RunEntries(kind, argc, argv);
}

// ---------------------------------------------------------------------------------------------

void PrintServiceHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl service start|stop|status\n"
                 "\n"
                 "  start   checks and saves the settings as the window's Start button does, then\n"
                 "          asks the service manager to start OrvaneSRV (a directory server and a\n"
                 "          device must be configured)\n"
                 "  stop    asks the service manager to stop OrvaneSRV\n"
                 "  status  prints the service's state\n"
                 "\n"
                 "Neither waits for the service to get there. Unlike the window, orvanectl does not\n"
                 "stay to restart a service that stops. Starting and stopping need root.\n"
                 "\n%s\n%s",
                 kFolderHelp, kExitStatusHelp);
}

int RunService(int argc, char** argv) {
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintServiceHelp(stdout);
        return kExitOk;
    }
    if (argc != 2) return Usage("service", "start, stop or status?");
    std::string_view sub = argv[1];
    if (sub != "start" && sub != "stop" && sub != "status") return Usage("service", "start, stop or status?");
    Session s;
    // Only start checks and saves the settings, with messages from language.ini.
    if (auto status = OpenSession(s, false, sub == "start" ? Texts::Needed : Texts::Optional)) return *status;
    ConsoleCore& core = *s.core;
    // The state a console opened now would believe.
    ServiceOutcome q = core.QueryService();
    if (q != ServiceOutcome::Done) return ReportService(s, q);
    if (sub == "status") {
        std::printf("%s\n", StateName(core.ServiceState()));
        // Active for the manager, yet nothing runs: say why on a line of its own.
        const std::string idle = core.ServiceIdleReason();
        if (!idle.empty()) std::printf("%s\n", idle.c_str());
        return kExitOk;
    }
    if (sub == "stop") return ReportService(s, core.StopService());
    // As the tray's start: saved first in any state but running.
    if (core.ServiceState() != kServiceRunning) {
        std::optional<TextId> refused;
        if (core.SaveMainSettings(&refused) != 1) {
            LogError("[ERR]Save all config info fail!");
            return refused ? kExitRefused : kExitFailure;
        }
    }
    return ReportService(s, core.StartService());
}

// ---------------------------------------------------------------------------------------------

void PrintAutostartHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl autostart [on|off]\n"
                 "\n"
                 "Whether the console starts hidden, in the notification area, at every desktop\n"
                 "logon: the machine-wide entry %s runs\n"
                 "\"<program folder>/OrvaneAgent -Hide\". Without an argument, prints on or off.\n"
                 "Writing the entry needs root.\n"
                 "\n%s\n%s",
                 AutostartEntryPath(AutostartFolder()).c_str(), kFolderHelp, kExitStatusHelp);
}

int RunAutostart(int argc, char** argv) {
    if (argc >= 2 && IsHelp(argv[1])) {
        PrintAutostartHelp(stdout);
        return kExitOk;
    }
    if (argc > 2) return Usage("autostart", "on or off?");
    const std::string dir = AutostartFolder();
    int flag = ReadAutoStartFlag(dir);
    if (argc == 1) {
        std::printf("%s\n", flag ? "on" : "off");
        return kExitOk;
    }
    std::string_view v = argv[1];
    if (v != "on" && v != "off") return Usage("autostart", "on or off?");
    const bool want = v == "on";
    const std::string folder = ProgramFolder();
    if (want && folder.empty()) {
        std::fprintf(stderr, "orvanectl: cannot tell the program folder; give it with --folder\n");
        return kExitFailure;
    }
    if (ApplyAutoStart(want, flag, dir, folder) != (want ? 1 : 0)) {
        std::fprintf(stderr, "orvanectl: cannot %s %s: %s\n", want ? "write" : "remove",
                     AutostartEntryPath(dir).c_str(), std::strerror(errno));
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace orvane::ctl
