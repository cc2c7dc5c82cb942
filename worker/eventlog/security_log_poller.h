#pragma once
// Log-query mode: the query-log thread polls its domain controller's Security log through the
// event source, looks each newly logged-on user up in the directory and tells every gateway.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/config_types.h"
#include "worker/directory/directory_client.h"
#include "worker/eventlog/event_source.h"
#include "worker/users/online_users.h"

namespace orvane {

class StateStore;

// Capacities of the poller context's texts, terminating zero included.
constexpr std::size_t kPollerFieldCapacity = 128;
constexpr std::size_t kLastQueryTimeCapacity = 50;
constexpr std::size_t kMaxQueryLength = 399;
constexpr unsigned kConnectAttempts = 60;
constexpr unsigned kConnectRetryMs = 10000;
constexpr unsigned kReconnectRetryMs = 1000;
constexpr unsigned kMinPollMs = 5000;
constexpr std::size_t kReportedPairsLimit = 100;

struct PollerContext {
    std::uint32_t remote = 0;
    std::uint32_t generation = 0;
    std::unique_ptr<EventLocator> locator;
    std::unique_ptr<EventServices> services;
    std::string eventFilter;
    std::string serverAddress;
    std::string user;
    std::string password;
    std::string namespacePath;
    std::string domain;
    std::string lastQueryTime;
};

// What the poller acts through beyond the event source and the directory; the worker's are
// the real ones (DefaultPollerServices), tests put doubles in.
struct PollerServices {
    // ReportServerLogon of the logon decisions.
    std::function<int(std::string_view address, std::string_view userName, OnlineUserRecord& record)> reportServerLogon;
    std::function<bool(std::string_view address)> isLocalAddress;
    // Ends the worker process (the supervisor starts a new one).
    std::function<void(int code)> exitProcess;
    const std::atomic<std::uint32_t>* runState = nullptr;
    std::uint16_t queryTime = 0;
    // Keeps the last query time across restarts; null for none. The first poll after a start
    // continues from the stored time, at most resumeSpan seconds back; 0 (or nothing stored)
    // starts from the newest event, as a worker without a store does.
    StateStore* store = nullptr;
    std::uint32_t resumeSpan = 0;
};

// The worker's: ReportServerLogon, IsLocalAddress, _exit, the runtime's run state.
PollerServices DefaultPollerServices(std::uint16_t queryTime);

// Milliseconds between polls: QueryTime seconds, at least 5 s.
unsigned PollingIntervalMs(std::uint16_t queryTime);

// Called once by start-up in log-query mode: reads QueryTime from config.ini into the settings,
// initialises the event sources and starts one query-log thread per directory server
// (AdServerNum), each polling every PollingIntervalMs(QueryTime).
void StartEventLogPoller(WorkerSettings& settings, StateStore* store = nullptr);

// Sets the context's last query time from the store before the first poll (see PollerServices)
// and logs "[INF]Resume query time %s"; nothing when there is nothing to resume.
void ResumeQueryTime(PollerContext& context, const PollerServices& services, std::int64_t now);

// The query-log thread's body; returns only where the worker process would end (after
// services.exitProcess) or when its context cannot be made.
void QueryLogThread(const PollerServices& services);

// 0 connected, 1 failed.
int ConnectWmi(PollerContext& context);
// True when the address is one of this machine's own IPv4 addresses.
bool IsLocalAddress(std::string_view address);
// 1 done (generation and event filter set), 0 failed.
int DetectServerGeneration(PollerContext& context);
// Null when the query cannot be run.
std::unique_ptr<EventEnumerator> ExecWql(std::string_view query, PollerContext& context);

// The (user name, address) pairs reported in one poll: emptied when it reaches 100.
class ReportedPairs {
public:
    // False when the pair is already there; otherwise adds it.
    bool Add(std::string_view userName, std::string_view address);
    std::size_t Size() const { return pairs_.size(); }
    void Clear() { pairs_.clear(); }

private:
    std::unordered_set<std::string> pairs_;
};

// One poll. 0 polled, -1 when the query fails.
int QuerySecurityLog(DirectorySearch* searchHandle, PollerContext& context, const PollerServices& services);

// The client address of an event's address text: the part after the last ':', when it is a
// dotted IPv4 address other than 127.0.0.1; empty when the event is to be skipped.
std::string ClientAddressOf(std::string_view text);

}  // namespace orvane
