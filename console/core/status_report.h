#pragma once
// What orvanectl (and the console window) show of the workers' snapshots: the online users as
// a table or JSON, a short status per worker, and the Prometheus text exposition format.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/worker_status.h"

namespace orvane::console {

// A user row's delivery state at one gateway: "confirmed", "pending", "given up" or "not sent".
std::string DeliveryText(const SnapshotDelivery& d);

// True when `filter` is empty or occurs, ignoring ASCII case, in the user name or the address.
bool UserMatches(const SnapshotUser& user, std::string_view filter);

// The label a worker goes by: "client-report" or its directory server's address.
std::string WorkerLabel(const WorkerReading& reading);

// Seconds as "45s", "12m05s", "3h02m", "2d04h".
std::string FormatAge(std::int64_t seconds);

// One user row of an answering worker, gateways by position with their delivery state.
struct UserRowGateway {
    std::string name;  // "address:port"
    std::string state;  // as DeliveryText
    unsigned sendsLeft = 0;
};
struct UserRow {
    std::string worker;
    const SnapshotUser* user = nullptr;  // points into the readings
    std::int64_t ageSeconds = 0;
    std::vector<UserRowGateway> gateways;
};
// The rows of every answering worker, filtered as UserMatches does.
std::vector<UserRow> CollectUserRows(const std::vector<WorkerReading>& readings, std::string_view filter);

// The online users of every answering worker, one row each, filtered as UserMatches does.
std::string FormatUsersTable(const std::vector<WorkerReading>& readings, std::string_view filter);
std::string FormatUsersJson(const std::vector<WorkerReading>& readings, std::string_view filter);

// A few lines per worker: mode, pid, uptime, users, gateways, directory servers, counters.
std::string FormatStatus(const std::vector<WorkerReading>& readings);

// Prometheus text exposition format (version 0.0.4): every family with HELP and TYPE, its
// samples together, metric names orvane_*, label values escaped.
std::string FormatPrometheus(const std::vector<WorkerReading>& readings);
// A label value escaped as the format requires (backslash, double quote, line feed).
std::string EscapeLabelValue(std::string_view value);

}  // namespace orvane::console
