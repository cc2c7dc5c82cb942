#include "reporter/reporter.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <openssl/crypto.h>

#include "common/client_report.h"
#include "common/file_version_text.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/udp.h"
#include "reporter/key_descriptor.h"
#include "reporter/reporter_log.h"

namespace orvane {

const char kReporterUsage[] =
    "Usage: Quenby --key-fd N WORKER-ADDRESS PORT KIND REPETITIONS\n"
    "       Quenby WORKER-ADDRESS PORT KIND REPETITIONS KEY\n"
    "\n"
    "The Orvane logon reporter. Run it with the user's rights at every logon (KIND 0) and logoff\n"
    "(KIND 1) of a user on a client PC.\n"
    "\n"
    "  --key-fd N      read the client share key as one line from the inherited descriptor N\n"
    "                  (0 is standard input), e.g. a pipe from the session hook; within 10 seconds\n"
    "  WORKER-ADDRESS  the worker's IPv4 address, dotted\n"
    "  PORT            the worker's ListenPort\n"
    "  KIND            0: logon; any other number: logoff\n"
    "  REPETITIONS     how often an unacknowledged report is repeated (0 to 3)\n"
    "  KEY             the client share key (the worker's ClientShareKey). On the command line\n"
    "                  every local user can read it in the process list, and the autostart entry\n"
    "                  keeps it: use --key-fd on PCs shared by several users.\n"
    "\n"
    "A logon run starts the watch copy Pemrose, which reports the logon and reports it again\n"
    "whenever the PC's IPv4 addresses change. With KEY on the command line the watch copy is a copy\n"
    "of the program in $XDG_DATA_HOME/Orvane (default ~/.local/share/Orvane), registered as the\n"
    "autostart entry Orvane_RUN ($XDG_CONFIG_HOME/autostart, default ~/.config/autostart); with\n"
    "--key-fd it is a fork of the logon run, started at every logon, and nothing is installed.\n"
    "A logoff run stops the watch copy and reports the logoff. Each run writes LOG_LOGON_*.txt or\n"
    "LOG_LOGOFF_*.txt (UTF-16LE) in that folder. With any other arguments the program does nothing.\n"
    "\n"
    "Test and diagnostic hook: when ORVANE_REPORTER_ADDRESS_FILE names a file, the watch copy reads\n"
    "the PC's addresses from its lines (read again every 5 seconds) instead of the network interfaces.\n";

namespace {

// The C library's atoi, kept to 16 bits like the stored fields.
std::uint16_t ReadNumber16(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    std::uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = (value * 10 + static_cast<std::uint32_t>(*p - '0')) & 0xFFFFu;
    return static_cast<std::uint16_t>(negative ? (0x10000u - value) & 0xFFFFu : value);
}

// The logon name without a domain part ("ann@corp.example.com" and "CORP\ann" give "ann").
std::string WithoutDomainPart(const std::string& login) {
    std::string name = login;
    if (std::size_t at = name.find('@'); at != std::string::npos) name.resize(at);
    if (std::size_t slash = name.rfind('\\'); slash != std::string::npos) name.erase(0, slash + 1);
    return name;
}

constexpr std::size_t kNameCapacity = 260;  // distinguished and host names, with their zero

}  // namespace

CommandLineUse ClassifyCommandLine(int argc, const char* const* argv) {
    if (argc == 7 && argv[1] && std::strcmp(argv[1], kKeyDescriptorOption) == 0) {
        return CommandLineUse::RunKeyFromDescriptor;
    }
    if (argc == 6) return CommandLineUse::Run;
    if (argc == 2 && argv[1] && std::strcmp(argv[1], "--help") == 0) return CommandLineUse::Help;
    return CommandLineUse::Nothing;
}

namespace {

// The argument text and the four fields before the key, as ReadArguments describes.
bool ReadFields(const std::vector<std::string>& shown, const char* const* four, const std::string& key,
                ReporterArgs& args) {
    args.arguments = shown;
    args.argumentText.clear();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (i) args.argumentText += ' ';
        args.argumentText += shown[i];
    }
    if (!FitsCapacity(args.argumentText, kArgumentTextLimit + 1)) {
        LogError("The command line is too long (at most %zu characters)", kArgumentTextLimit);
        return false;
    }
    args.workerAddress = four[0];
    if (args.workerAddress.size() > kWorkerAddressLimit ||
        !platform::ParseIpv4Address(args.workerAddress, args.workerHostOrder)) {
        LogError("The worker address %s is not a dotted IPv4 address", args.workerAddress.c_str());
        return false;
    }
    args.port = ReadNumber16(four[1]);
    args.kind = ReadNumber16(four[2]);
    args.repetitions = ReadNumber16(four[3]);
    if (args.repetitions > kMaxRepetitions) args.repetitions = kMaxRepetitions;
    // A longer key keeps its first 31 bytes, like the worker.
    FillKeyField(key, args.key);
    return true;
}

}  // namespace

bool ReadArguments(const char* const* five, ReporterArgs& args) {
    args.keyFromDescriptor = false;
    return ReadFields(std::vector<std::string>(five, five + 5), five, five[4], args);
}

bool ReadArgumentsWithKey(const char* const* four, const std::string& key, ReporterArgs& args) {
    args.keyFromDescriptor = true;
    return ReadFields(std::vector<std::string>(four, four + 4), four, key, args);
}

ProcessFacts ReadProcessFacts() {
    ProcessFacts f;
    f.haveUser = SessionUserName(f.loginName, f.userError);
    int err = 0;
    f.havePath = platform::GetModulePath(f.modulePath, 520, err) == platform::ModulePathResult::Ok;
    return f;
}

bool InitCurrentProcess(const ProcessFacts& facts, ReporterSession& session) {
    bool ok = true;
    if (!facts.haveUser) {
        LogError("get login name fail! errorcode:%d", facts.userError);
        ok = false;
    } else {
        session.loginName = facts.loginName;
        session.userName = WithoutDomainPart(facts.loginName);
        if (EqualsNoCase(session.userName, "administrator")) {
            LogError("Login user is ad server account!");
            ok = false;
        }
    }
    if (!facts.havePath) {
        LogError("Get current module path failed");
        ok = false;
    } else {
        session.modulePath = facts.modulePath;
    }
    if (!ok) LogError("Init current process failed!");
    return ok;
}

bool IsWatchCopyPath(const std::string& modulePath) {
    std::size_t slash = modulePath.rfind('/');
    std::string_view name = slash == std::string::npos ? std::string_view(modulePath)
                                                       : std::string_view(modulePath).substr(slash + 1);
    return name == kWatchCopyName;
}

int BuildReportText(const ReporterSession& session, std::size_t* pulInfoBugLen, std::uint8_t* pszInfoBug) {
    if (!pszInfoBug) {
        LogError("The parameter pszInfoBug is null");
        return 0;
    }
    if (!pulInfoBugLen) {
        LogError("The parameter pulInfoBugLen is null");
        return 0;
    }
    std::string dn;
    int err = 0;
    if (!session.identity || !session.identity->FullyQualifiedDn(session.loginName, dn, err)) {
        LogError("get full domain name failed! errorcode:%d\n", err);
        return 0;
    }
    if (!FitsCapacity(dn, kNameCapacity)) {
        LogError("get full domain name failed! errorcode:%d\n", ENAMETOOLONG);
        return 0;
    }
    std::string domain;
    if (!DomainFromDistinguishedName(dn, domain)) {
        LogError("Domain name invalid!");
        return 0;
    }
    std::string host;
    err = 0;
    if (!session.identity->HostName(host, err)) {
        LogError("get computer name failed! errorcode:%d\n", err);
        return 0;
    }
    if (!FitsCapacity(host, kNameCapacity)) {
        LogError("get computer name failed! errorcode:%d\n", ENAMETOOLONG);
        return 0;
    }
    const std::string& user = session.userName;
    // The worker skips empty fields, so an empty name would move the next one into its place
    // (the domain read as the user), and it drops a report with a field over 259 characters:
    // neither is ever built.
    if (user.empty() || host.empty()) {
        LogError("The %s name is empty", user.empty() ? "user" : "computer");
        return 0;
    }
    if (!FitsCapacity(user, kReportFieldLimit + 1)) {
        LogError("The user name is longer than %zu characters", kReportFieldLimit);
        return 0;
    }
    // The documented rule counts characters; the UTF-8 bytes are counted too, so a text with
    // non-ASCII names is refused rather than cut into a report for another name.
    std::size_t characters = Utf16Length(user) + Utf16Length(domain) + Utf16Length(host) + 14;
    std::size_t bytes = user.size() + domain.size() + host.size() + 14;
    if (*pulInfoBugLen < characters || *pulInfoBugLen < bytes) {
        LogError("Size of the computer info buffer too small");
        return 0;
    }
    ReportKind kind = session.args.kind == 0 ? ReportKind::Logon : ReportKind::Logoff;
    std::size_t length = ComposeReportText(kind, user, domain, host, pszInfoBug, *pulInfoBugLen);
    if (length == 0) {
        LogError("The user, domain or computer name holds a \"|\"");
        return 0;
    }
    *pulInfoBugLen = length;
    return 1;
}

int SendClientReport(const ReporterSession& session) {
    std::uint8_t text[kReportTextCapacity] = {};
    std::size_t length = sizeof text;
    if (!BuildReportText(session, &length, text)) return 0;

    std::uint8_t datagram[kMaxBuiltReportDatagram] = {};
    std::size_t size = SealClientReport(text, length, session.args.key, datagram);
    if (size == 0) {
        LogError("Encrypt the report failed!");
        return 0;
    }

    platform::UdpSocket socket;
    int err = 0;
    if (!socket.Open(err)) {
        LogError("WSA socket failed! errorcode:%d\n", err);
        LogError("set socket failed!\n");
        return 0;
    }
    if (!socket.SetReuseAddress(err)) {
        LogError("set socket failed! errorcode:%d\n", err);
        socket.Close();
        LogError("set socket failed!\n");
        return 0;
    }
    const platform::Ipv4Endpoint to{session.args.workerHostOrder, session.args.port};
    const bool logon = session.args.kind == 0;
    const unsigned attempts = session.args.repetitions + 1u;
    for (unsigned i = 0; i < attempts; ++i) {
        if (!socket.SendTo(datagram, size, to, err)) {
            LogError("send request to AD control failed! errorcode:%d", err);
            return 0;
        }
        LogInfo("send request to AD, already sent %u times.", i + 1);
        platform::GetClock().SleepMs(logon ? 1000 + 2000 * i : 1000);
        // Everything that arrived meanwhile, without waiting: a stray datagram ahead of the
        // acknowledgement must not hide it.
        for (;;) {
            std::uint8_t reply[1024];
            std::size_t n = 0;
            platform::Ipv4Endpoint from;
            if (socket.ReceiveFrom(reply, sizeof reply, n, from, 0, err) != platform::ReceiveStatus::Received) break;
            if (IsReportAcknowledgement(reply, n)) {
                LogInfo("AD control accepts the request.");
                return 1;
            }
        }
    }
    return 1;
}

int GetLocalAddressList(AddressSource& source, std::string* pszIpList, unsigned* pulIpCount) {
    if (!pszIpList) {
        LogError("The parameter pszIpList is null");
        return 0;
    }
    if (!pulIpCount) {
        LogError("The parameter pulIpCount is null");
        return 0;
    }
    std::vector<std::string> addresses;
    int err = 0;
    if (!source.Addresses(addresses, err)) {
        LogError("get host by name failed! errorcode:%d\n", err);
        return 0;
    }
    pszIpList->clear();
    unsigned count = 0;
    for (const std::string& a : addresses) {
        if (count == kMaxLocalAddresses) break;
        *pszIpList += a;
        *pszIpList += ' ';
        ++count;
    }
    *pulIpCount = count;
    return 1;
}

std::string QueryVersionText(const std::string& path) {
    std::string text;
    if (!GetFileVersionText(path.c_str(), &text, 64)) text.clear();
    return text;
}

std::string WatchCopyPath(const ReporterSession& session) {
    return platform::JoinPath(session.programFolder, kWatchCopyName);
}

namespace {

enum class WatchFile { New, Same, Replaced, Failed };

// Puts the running program in place as the watch copy: copied when missing, replaced (after
// stopping the running copies) when its version differs.
WatchFile PlaceWatchCopy(const ReporterSession& session, WatchControl& control, const std::string& watch) {
    int err = 0;
    struct stat st{};
    if (::stat(watch.c_str(), &st) != 0) {
        if (!CopyProgram(session.modulePath, watch, true, err)) {
            LogError("Copy file failed error:%d", err);
            return WatchFile::Failed;
        }
        return WatchFile::New;
    }
    std::string current = QueryVersionText(session.modulePath);
    std::string local = QueryVersionText(watch);
    LogInfo("the current version is %s,the local version is %s", current.c_str(), local.c_str());
    if (current == local) return WatchFile::Same;
    control.StopWatchCopies();
    if (!CopyProgram(session.modulePath, watch, false, err)) {
        LogError("Copy file failed error:%d", err);
        return WatchFile::Failed;
    }
    return WatchFile::Replaced;
}

// With the key on a descriptor nothing may keep it where the user can read it: no autostart entry,
// no command line, and no program file in the user's home, which the user could replace by one
// that prints the key it is given. The watch copy is a fork of this run, which the session hook
// starts at every logon; a running one may hold an older key or worker and cannot be asked, so it
// is replaced.
int InstallKeyedWatchCopy(const ReporterSession& session, WatchControl& control) {
    // An entry left by the command-line form holds the key in the user's files.
    RemoveRunValue(session.autostartFolder);
    control.StopWatchCopies();
    int err = 0;
    if (!control.StartWatchProcess([&session] { RunForkedWatchCopy(session); }, err)) {
        LogError("Create process failed! errorcode:%d\n", err);
    }
    return 1;
}

}  // namespace

int InstallWatchCopy(const ReporterSession& session, WatchControl& control) {
    if (session.args.keyFromDescriptor) return InstallKeyedWatchCopy(session, control);
    const std::string watch = WatchCopyPath(session);
    const std::string command = ExecCommand(watch, session.args.arguments);
    auto start = [&] {
        int err = 0;
        if (!control.StartWatchCommand(watch, session.args.arguments, err)) {
            LogError("Create process failed! errorcode:%d\n", err);
        }
    };
    const WatchFile file = PlaceWatchCopy(session, control, watch);
    if (file == WatchFile::Failed) return 0;
    if (file == WatchFile::New) {
        if (WriteRunValue(session.autostartFolder, command)) {
            start();
        } else {
            LogError("Save auto running failed");
        }
        return 1;
    }
    const bool replaced = file == WatchFile::Replaced;
    std::string runValue;
    bool haveRunValue = ReadRunValue(session.autostartFolder, runValue) != 0;
    if (!haveRunValue) {
        // A missing entry (a user may delete it) is registered again below; stopping here would
        // leave a just replaced watch copy stopped and the logons unreported.
        LogError("Read config info failed");
    }
    if (!haveRunValue || runValue.find(ExecArguments(session.args.arguments)) == std::string::npos) {
        if (WriteRunValue(session.autostartFolder, command)) {
            if (!replaced) control.StopWatchCopies();
            start();
        } else {
            LogError("Save config info failed");
        }
    } else if (replaced || !control.WatchCopyRunning()) {
        // Autostart entries run only in desktop sessions: after a console or remote logon, or
        // once a logoff stopped it, nothing else would start the watch copy again.
        start();
    }
    return 1;
}

std::string RunLogPath(const std::string& programFolder, unsigned kind) {
    platform::LocalTime started;
    if (!platform::GetClock().LocalNow(started)) started = {};
    return platform::JoinPath(programFolder, ReporterLogName(kind, started, platform::CurrentProcessId()));
}

void RunWatchCopy(const ReporterSession& session) {
    // One watch copy per user: a second one (the autostart entry and a logon run racing) waits
    // briefly for the first to end, else leaves.
    if (AcquireWatchLock(session.programFolder, 10000) < 0) return;
    std::unique_ptr<AddressSource> source = MakeAddressSource();
    RunNetworkWatch(session, *source);
}

void RunForkedWatchCopy(const ReporterSession& session) {
    // A run of its own, with its own log, as a started watch copy has.
    ReporterLog log(RunLogPath(session.programFolder, 0));
    LogSink* previous = SetLogSink(&log);
    RunWatchCopy(session);
    SetLogSink(previous);
}

void RunNetworkWatch(const ReporterSession& session, AddressSource& source, unsigned cycles) {
    NetworkWatch watch;
    for (unsigned i = 0; cycles == 0 || i < cycles; ++i) {
        platform::GetClock().SleepMs(5000);
        watch.Cycle(source, [&] { return SendClientReport(session); });
    }
}

int RunReporter(int argc, const char* const* argv) {
    const CommandLineUse use = ClassifyCommandLine(argc, argv);
    switch (use) {
        case CommandLineUse::Run:
        case CommandLineUse::RunKeyFromDescriptor:
            break;
        case CommandLineUse::Help:
            std::fputs(kReporterUsage, stdout);
            return 0;
        case CommandLineUse::Nothing:
            return 0;
    }
    const bool keyOnDescriptor = use == CommandLineUse::RunKeyFromDescriptor;
    const char* const* fields = keyOnDescriptor ? argv + 3 : argv + 1;

    // Before the key is in memory, and before any file is opened, so that the descriptor named
    // is one that was inherited and not one of ours.
    int dumpError = 0;
    const bool undumpable = MakeProcessUndumpable(dumpError);
    int keyFd = -1;
    KeyRead keyRead = KeyRead::ReadFailed;
    int keyError = EBADF;
    std::string key;
    const bool traced = keyOnDescriptor && undumpable && BeingTraced();
    if (keyOnDescriptor && undumpable && !traced && ParseKeyDescriptor(argv[2], keyFd)) {
        keyRead = ReadKeyFromDescriptor(keyFd, kKeyReadTimeoutMs, key, keyError);
    }

    ReporterSession session;
    std::string appData;
    int err = 0;
    if (!LocalAppDataFolder(appData)) return 0;
    session.programFolder = platform::JoinPath(appData, "Orvane");
    if (!EnsureFolder(session.programFolder, err)) return 0;

    // The kind names the log before the arguments are read, as atoi would read it.
    const unsigned kind = ReadNumber16(fields[2]) == 0 ? 0u : 1u;
    ReporterLog log(RunLogPath(session.programFolder, kind));
    LogSink* previous = SetLogSink(&log);

    SystemIdentity identity;
    session.identity = &identity;
    if (!AutostartFolder(session.autostartFolder)) session.autostartFolder.clear();
    bool argsOk = true;
    if (!undumpable) {
        LogError("Protect the process memory failed! errorcode:%d", dumpError);
        argsOk = !keyOnDescriptor;
    } else if (traced) {
        LogError("The process is being traced; the client share key is not read");
        argsOk = false;
    } else if (keyOnDescriptor && keyFd < 0) {
        LogError("The key descriptor %s is not a descriptor number", argv[2]);
        argsOk = false;
    } else if (keyOnDescriptor && keyRead != KeyRead::Ok) {
        LogKeyReadFailure(keyRead, keyFd, keyError);
        argsOk = false;
    }
    if (argsOk) argsOk = keyOnDescriptor ? ReadArgumentsWithKey(fields, key, session.args)
                                         : ReadArguments(fields, session.args);
    OPENSSL_cleanse(key.data(), key.size());
    bool processOk = InitCurrentProcess(ReadProcessFacts(), session);
    if (!argsOk && processOk) LogError("Init current process failed!");
    if (argsOk && processOk) {
        if (IsWatchCopyPath(session.modulePath)) {
            RunWatchCopy(session);
        } else if (session.args.kind != 0) {
            SystemWatchControl control;
            control.StopWatchCopies();
            SendClientReport(session);
        } else {
            platform::GetClock().SleepMs(1000);
            SystemWatchControl control;
            InstallWatchCopy(session, control);
        }
    }
    SetLogSink(previous);
    return 0;
}

}  // namespace orvane
