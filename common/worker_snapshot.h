#pragma once
// The live snapshot a worker publishes of what it knows (online users, gateways, directory
// servers, counters since start), its JSON form, and where a worker's status socket lives. The
// worker writes it and the console core reads it, so both share this one definition.
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// Bumped when a field changes meaning; readers refuse other versions.
constexpr int kSnapshotVersion = 1;

struct SnapshotDelivery {
    bool sent = false;       // a notification about the record went to this gateway
    bool confirmed = false;  // the gateway answered the last one
    unsigned sendsLeft = 0;  // repetitions still allowed while unconfirmed
};

struct SnapshotUser {
    std::string user;
    std::string domain;
    std::string address;
    std::string computer;
    std::string adPath;
    bool online = true;  // false: logged off, offline notifications under way
    std::int64_t since = 0;  // seconds since 1970 of the logon (or logoff) that set the state
    std::vector<SnapshotDelivery> gateways;  // one per gateway position
};

struct SnapshotGateway {
    std::string address;
    unsigned port = 0;
    std::int64_t lastHeartbeat = 0;  // seconds since 1970; 0 never
    std::int64_t lastResponse = 0;
};

struct SnapshotDirectory {
    std::string address;
    bool connected = false;
    std::uint64_t failedReconnects = 0;
};

// Counters since the worker started. The refusal reasons are the ways a report or a decision
// ends without telling the gateways.
struct SnapshotCounters {
    std::uint64_t reportsReceived = 0;
    std::uint64_t reportsAcknowledged = 0;
    std::uint64_t refusedUndecryptable = 0;  // wrong key or not a report
    std::uint64_t refusedMalformed = 0;      // too many fields or a field too long
    std::uint64_t refusedComputer = 0;       // computer accounts, never reported
    std::uint64_t refusedExcluded = 0;       // accounts never reported: the agent's own
    std::uint64_t refusedIgnored = 0;        // accounts the administrator's list ignores
    std::uint64_t refusedAddress = 0;        // addresses the administrator's rules exclude
    std::uint64_t refusedGroups = 0;         // users in none of the member groups
    std::uint64_t refusedUnverified = 0;     // no directory server vouched for the user
    std::uint64_t refusedReplay = 0;         // last logon outside the anti-replay window
    std::uint64_t refusedNotOnline = 0;      // logoff of a user not online
    std::uint64_t logons = 0;
    std::uint64_t logoffs = 0;
    std::uint64_t lookups = 0;
    std::uint64_t lookupFailures = 0;
    std::uint64_t searchesSentAhead = 0;  // directory searches sent ahead of their look-ups
    std::uint64_t searchesUnread = 0;     // of those, never read (no look-up came, connection lost)
    std::uint64_t notificationsSent = 0;
    std::uint64_t notificationFailures = 0;
    std::uint64_t confirmations = 0;
    std::uint64_t givenUp = 0;
    std::uint64_t heartbeatsSent = 0;
    // Datagrams dropped before any decision, never answered: what an outsider can send.
    std::uint64_t droppedNotReport = 0;        // not shaped like a report (an acknowledgement, garbage)
    std::uint64_t droppedQueueFull = 0;        // the received-report queue was at its cap
    std::uint64_t droppedForeignResponse = 0;  // on the gateway socket, from no configured gateway
    std::uint64_t recordsExpired = 0;          // online records removed at their maximum age
    std::uint64_t logLinesSuppressed = 0;      // repeated log lines counted instead of written
};

// One counter's names: its JSON key and what it counts. The refusals share one metric with a
// "reason" label, and so do the drops: `group` ("refused" or "dropped") and `reason` are set for
// them, and `key` is "<group>.<reason>".
struct SnapshotCounterInfo {
    const char* key;
    const char* reason;  // null unless one of a group
    const char* help;
    std::uint64_t SnapshotCounters::*member;
    const char* group = "refused";  // only read when `reason` is set
};
const std::vector<SnapshotCounterInfo>& SnapshotCounterTable();

struct WorkerSnapshot {
    int version = kSnapshotVersion;
    std::string server;  // the worker's server argument: "." in client-report mode
    std::string mode;    // "client-report" or "log-query"
    long pid = 0;
    std::int64_t started = 0;  // seconds since 1970
    std::int64_t now = 0;      // when the snapshot was taken
    std::vector<SnapshotUser> users;
    std::vector<SnapshotGateway> gateways;
    std::vector<SnapshotDirectory> directories;
    SnapshotCounters counters;
};

std::string SnapshotToJson(const WorkerSnapshot& snapshot);
// False with a reason in `error` when the text is not a snapshot of this version.
bool SnapshotFromJson(const std::string& text, WorkerSnapshot& out, std::string& error);

// The folder of the status sockets: "<program folder>/run".
std::string StatusSocketFolder(const std::string& programFolder);
// The socket of the worker started with `serverArgument` ("." or empty: the client-report worker).
std::string StatusSocketPath(const std::string& programFolder, const std::string& serverArgument);
// The server argument a socket's file name stands for; false for other files.
bool ServerOfStatusSocket(const std::string& fileName, std::string& serverArgument);
// Removes the status sockets of the run folder that nobody listens on any more (a killed worker
// leaves its socket behind); the paths removed. Other files and live sockets stay.
std::vector<std::string> RemoveStaleStatusSockets(const std::string& programFolder);

}  // namespace orvane
