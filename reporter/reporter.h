#pragma once
// Quenby, the logon reporter, and its watch copy Pemrose. A logon run makes sure the watch copy
// is installed, registered for autostart and running; the watch copy reports the logon and
// reports again whenever the PC's IPv4 addresses change; a logoff run stops the watch copy and
// reports the logoff. Reports are DEDOVEROZ client reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/gateway_message.h"
#include "reporter/address_source.h"
#include "reporter/identity.h"
#include "reporter/watch_copy.h"

namespace orvane {

enum class CommandLineUse { Run, RunKeyFromDescriptor, Help, Nothing };

// Exactly five arguments run the reporter; "--key-fd N" followed by the first four of them run it
// with the key read from descriptor N; "--help" alone prints the usage; anything else does nothing
// at all.
CommandLineUse ClassifyCommandLine(int argc, const char* const* argv);

inline constexpr std::size_t kArgumentTextLimit = 259;
inline constexpr std::size_t kWorkerAddressLimit = 47;
inline constexpr unsigned kMaxRepetitions = 3;

struct ReporterArgs {
    std::string workerAddress;     // dotted IPv4
    std::uint32_t workerHostOrder = 0;
    std::uint16_t port = 0;
    std::uint16_t kind = 0;        // 0 logon, anything else logoff
    std::uint16_t repetitions = 0; // at most 3
    KeyField key{};
    // The key came on a descriptor: the watch copy is a fork holding it, and nothing the user can
    // read (command line, autostart entry) ever holds it.
    bool keyFromDescriptor = false;
    std::vector<std::string> arguments;  // the five unchanged; without the key when it came on a descriptor
    std::string argumentText;            // "%s %s %s %s %s" (the four without the key)
};

// Reads the five arguments. Numbers are read like the C library's atoi, kept to 16 bits;
// repetitions above 3 become 3. False (with a message logged) when the address is not dotted
// IPv4 or longer than 47 bytes, or the argument text is longer than 259 characters.
bool ReadArguments(const char* const* five, ReporterArgs& args);
// The same for the first four arguments, with the key read from a descriptor.
bool ReadArgumentsWithKey(const char* const* four, const std::string& key, ReporterArgs& args);

struct ReporterSession {
    ReporterArgs args;
    std::string userName;       // the session's user, without a domain part
    std::string loginName;      // the account name as the system gives it
    std::string modulePath;
    std::string programFolder;
    std::string autostartFolder;
    Identity* identity = nullptr;
};

// What start step 5 learns about the process.
struct ProcessFacts {
    bool haveUser = false;
    std::string loginName;
    int userError = 0;
    bool havePath = false;
    std::string modulePath;
};

ProcessFacts ReadProcessFacts();

// The checks of start step 5: logs each failure, refuses the administrator account, and fills
// the session's user and path. False: log "Init current process failed!" was written, end.
bool InitCurrentProcess(const ProcessFacts& facts, ReporterSession& session);

// True when the running program is the watch copy (its file name is "Pemrose").
bool IsWatchCopyPath(const std::string& modulePath);

// Builds the report text into pszInfoBug (*pulInfoBugLen bytes, zeroed by the caller); on
// success *pulInfoBugLen is the text length in bytes with its terminating zero. 1 or 0.
int BuildReportText(const ReporterSession& session, std::size_t* pulInfoBugLen, std::uint8_t* pszInfoBug);

// Sends the report, repeating it until acknowledged (up to repetitions + 1 datagrams). 1 when it
// went out (acknowledged or not), 0 when it was not built or could not be sent.
int SendClientReport(const ReporterSession& session);

inline constexpr unsigned kMaxLocalAddresses = 8;

// The PC's IPv4 addresses (at most 8), each followed by a blank in pszIpList so that two
// different lists never read alike, and their count. 1 or 0.
int GetLocalAddressList(AddressSource& source, std::string* pszIpList, unsigned* pulIpCount);

// The version text of an executable ("%u.%u.%u.%u"), empty when it cannot be read.
std::string QueryVersionText(const std::string& path);

// The watch copy's path and the command that starts it.
std::string WatchCopyPath(const ReporterSession& session);

// The logon run's installation of the watch copy. Returns 0 when it ended at a failed copy.
// With the key on a descriptor nothing is installed (an autostart entry or a program file in the
// user's home would give the key away): a left-over entry is removed, and the watch copy, a fork
// of this run holding its key, replaces the running one at every logon.
int InstallWatchCopy(const ReporterSession& session, WatchControl& control);

// One network-watch cycle after its sleep: a list that differs from the remembered one sends
// the report; the list is remembered once a report went out, so a report that could not be
// built or sent is tried again at the next cycle.
class NetworkWatch {
public:
    template <class Send>
    void Cycle(AddressSource& source, Send&& send) {
        std::string list;
        unsigned count = 0;
        if (!GetLocalAddressList(source, &list, &count)) return;
        if (list != remembered_) lastResult_ = send();
        if (lastResult_ != 0) remembered_ = std::move(list);
    }
    const std::string& remembered() const { return remembered_; }

private:
    std::string remembered_;
    int lastResult_ = 1;
};

// The log of a run started now: "LOG_LOGON_<time> _<pid>.txt" or LOG_LOGOFF_… in the folder.
std::string RunLogPath(const std::string& programFolder, unsigned kind);
// Network-watch mode behind the one-per-user lock.
void RunWatchCopy(const ReporterSession& session);
// The same in a forked watch copy, with a log of its own.
void RunForkedWatchCopy(const ReporterSession& session);

// The watch copy's loop: every 5 seconds a cycle. `cycles` 0 runs forever (tests give a count).
void RunNetworkWatch(const ReporterSession& session, AddressSource& source, unsigned cycles = 0);

// The whole program; returns the exit code.
int RunReporter(int argc, const char* const* argv);

extern const char kReporterUsage[];

}  // namespace orvane
