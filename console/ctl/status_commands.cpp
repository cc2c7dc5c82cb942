// orvanectl users / status / metrics: the workers' live snapshots, read through the console core
// as the window reads them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "console/core/service_control.h"
#include "console/core/status_report.h"
#include "console/core/worker_status.h"
#include "console/ctl/commands.h"
#include "console/ctl/console_commands.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace orvane::ctl {
namespace {

using namespace orvane::console;

constexpr const char* kCommonHelp =
    "Each worker answers on its status socket <folder>/run/Orvane-<server>.sock (root only).\n"
    "A worker that does not answer within --timeout (default 3 seconds) is reported; a socket\n"
    "nobody listens on any more (left by a killed worker) is skipped.\n"
    "\n"
    "Exit status: 0 every worker answered, 1 failed, 2 usage error, 6 no worker is running\n"
    "or one of them is stopped or not answering (what the others answered is still shown).\n";

struct StatusOptions {
    bool json = false;
    std::string filter;
    std::string output;
    int timeoutMs = kWorkerReadTimeoutMs;
};

// Parses the options a command allows; an exit status on error.
int ParseOptions(int argc, char** argv, bool allowJson, bool allowFilter, bool allowOutput, StatusOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvanectl %s: %s needs a value\n", argv[0], a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (allowJson && a == "--json") {
            o.json = true;
        } else if (allowFilter && a == "--filter") {
            if (!value(o.filter)) return kExitUsage;
        } else if (allowOutput && a == "--output") {
            if (!value(o.output)) return kExitUsage;
        } else if (a == "--timeout") {
            if (!value(v)) return kExitUsage;
            char* end = nullptr;
            errno = 0;
            double seconds = std::strtod(v.c_str(), &end);
            if (errno != 0 || end == v.c_str() || *end != '\0' || !(seconds > 0) || seconds > 600) {
                std::fprintf(stderr, "orvanectl: --timeout wants seconds between 0 and 600, not \"%s\"\n", v.c_str());
                return kExitUsage;
            }
            o.timeoutMs = static_cast<int>(seconds * 1000.0 + 0.5);
            if (o.timeoutMs == 0) o.timeoutMs = 1;
        } else {
            std::fprintf(stderr, "orvanectl %s: unknown option '%s' (see 'orvanectl %s --help')\n", argv[0],
                         a.c_str(), argv[0]);
            return kExitUsage;
        }
    }
    return kExitOk;
}

// Reads every worker and reports the ones that did not answer on stderr; the exit status the
// command ends with unless it fails otherwise.
int ReadWorkers(const StatusOptions& o, std::vector<WorkerReading>& readings) {
    const std::string folder = CurrentProgramFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "orvanectl: cannot tell the program folder; give it with --folder\n");
        return kExitFailure;
    }
    std::string error;
    readings = ReadAllWorkerStatus(folder, error, o.timeoutMs);
    if (readings.empty()) {
        std::fprintf(stderr, "orvanectl: no worker status: %s\n", error.c_str());
        return kExitNoWorker;
    }
    int status = kExitOk;
    for (const WorkerReading& r : readings) {
        if (r.state == WorkerReadState::Ok) continue;
        std::fprintf(stderr, "orvanectl: worker %s: %s\n", WorkerLabel(r).c_str(), DescribeReadState(r).c_str());
        status = kExitNoWorker;
    }
    return status;
}

// Why the running service runs no worker ("idle: ..."), empty when it runs them or is not
// running; nothing when the service manager cannot tell (no such service, no manager).
std::optional<std::string> ServiceIdleReason() {
    constexpr const char* kService = "OrvaneSRV";
    platform::ServiceResult r = platform::ServiceResult::Failed;
    std::string text;
    auto manager = platform::OpenServiceManager(platform::ServiceManagerAccess::Control, r, text);
    if (!manager) return std::nullopt;
    platform::ServiceState state = platform::ServiceState::Stopped;
    if (manager->Query(kService, state) != platform::ServiceResult::Ok) return std::nullopt;
    if (state != platform::ServiceState::Running) return std::string();
    if (manager->StatusText(kService, text) != platform::ServiceResult::Ok) return std::nullopt;
    return text.rfind(kIdlePrefix, 0) == 0 ? text : std::string();
}

bool HelpAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

// Replaces `path` at once, so a scraper never reads half a file. The file is for the collector,
// which runs as its own user; its folder may be that user's, so nothing there is followed.
bool WriteReplacing(const std::string& path, const std::string& text) {
    if (platform::ReplaceFile(path, text, 0644)) return true;
    std::fprintf(stderr, "orvanectl: cannot replace %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

}  // namespace

void PrintUsersHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl users [--json] [--filter TEXT] [--timeout SECONDS]\n"
                 "\n"
                 "Lists the users the running workers believe are logged on: user, domain,\n"
                 "address, state (online, or logging off while the offline notifications are\n"
                 "repeated), the record's age, each gateway's delivery state (confirmed, pending\n"
                 "with the sends left, given up) and the AD path. --filter keeps the users whose\n"
                 "name or address contains TEXT (ignoring case). --json prints a JSON array.\n"
                 "\n%s",
                 kCommonHelp);
}

int RunUsers(int argc, char** argv) {
    if (HelpAsked(argc, argv)) {
        PrintUsersHelp(stdout);
        return kExitOk;
    }
    StatusOptions o;
    if (int r = ParseOptions(argc, argv, true, true, false, o); r != kExitOk) return r;
    std::vector<WorkerReading> readings;
    const int status = ReadWorkers(o, readings);
    if (status == kExitFailure) return status;
    const std::string text = o.json ? FormatUsersJson(readings, o.filter) : FormatUsersTable(readings, o.filter);
    std::fputs(text.c_str(), stdout);
    return status;
}

void PrintStatusHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl status [--timeout SECONDS]\n"
                 "\n"
                 "A short summary of each worker: mode, process, uptime, users, each gateway's\n"
                 "last heartbeat and response, each directory server's connection, and the\n"
                 "counters since the worker started; then each worker's state store (size and\n"
                 "last write).\n"
                 "\n%s",
                 kCommonHelp);
}

int RunStatus(int argc, char** argv) {
    if (HelpAsked(argc, argv)) {
        PrintStatusHelp(stdout);
        return kExitOk;
    }
    StatusOptions o;
    if (int r = ParseOptions(argc, argv, false, false, false, o); r != kExitOk) return r;
    // An idle service is active for systemd: its reason comes first, as nothing else explains it.
    if (const auto idle = ServiceIdleReason(); idle && !idle->empty()) std::printf("OrvaneSRV: %s\n", idle->c_str());
    std::vector<WorkerReading> readings;
    const int status = ReadWorkers(o, readings);
    if (status == kExitFailure) return status;
    std::fputs(FormatStatus(readings).c_str(), stdout);
    std::fputs(FormatStateFiles().c_str(), stdout);
    return status;
}

void PrintMetricsHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl metrics [--output FILE] [--timeout SECONDS]\n"
                 "\n"
                 "Prints the workers' counters and states in the Prometheus text exposition\n"
                 "format (metric names orvane_*, label worker). A worker that does not answer\n"
                 "appears as orvane_worker_up 0; orvane_service_idle is 1 while the service\n"
                 "OrvaneSRV runs but runs no worker (absent when it is not installed). --output\n"
                 "FILE replaces FILE at once instead, for node_exporter's textfile collector\n"
                 "(name it *.prom), e.g. from a systemd timer.\n"
                 "\n%s",
                 kCommonHelp);
}

int RunMetrics(int argc, char** argv) {
    if (HelpAsked(argc, argv)) {
        PrintMetricsHelp(stdout);
        return kExitOk;
    }
    StatusOptions o;
    if (int r = ParseOptions(argc, argv, false, false, true, o); r != kExitOk) return r;
    std::vector<WorkerReading> readings;
    const int status = ReadWorkers(o, readings);
    if (status == kExitFailure) return status;
    std::string text = FormatPrometheus(readings);
    if (const auto idle = ServiceIdleReason())
        text += "# HELP orvane_service_idle 1 while the running service runs no worker (see its status line)\n"
                "# TYPE orvane_service_idle gauge\n"
                "orvane_service_idle " + std::string(idle->empty() ? "0" : "1") + "\n";
    if (!o.output.empty()) return WriteReplacing(platform::AbsolutePath(o.output), text) ? status : kExitFailure;
    std::fputs(text.c_str(), stdout);
    return status;
}

}  // namespace orvane::ctl
