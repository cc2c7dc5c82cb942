#include "console/core/status_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "common/text.h"

namespace orvane::console {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char a, char b) { return Lower(a) == Lower(b); }) != text.end();
}


std::string GatewayName(const WorkerSnapshot& s, std::size_t position) {
    if (position >= s.gateways.size()) return "gateway" + std::to_string(position);
    return s.gateways[position].address + ":" + std::to_string(s.gateways[position].port);
}

std::string Ago(std::int64_t when, std::int64_t now) { return when == 0 ? "never" : FormatAge(now - when) + " ago"; }

// Columns padded to their widest cell; the last column is left as it is.
std::string Columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            out += row[i];
            if (i + 1 < row.size()) out.append(width[i] - row[i].size() + 2, ' ');
        }
        out += '\n';
    }
    return out;
}

}  // namespace

std::string DeliveryText(const SnapshotDelivery& d) {
    if (d.confirmed) return "confirmed";
    if (!d.sent) return "not sent";
    return d.sendsLeft > 0 ? "pending" : "given up";
}

bool UserMatches(const SnapshotUser& user, std::string_view filter) {
    return filter.empty() || ContainsIgnoringCase(user.user, filter) || ContainsIgnoringCase(user.address, filter);
}

std::string WorkerLabel(const WorkerReading& r) {
    if (IsClientReportWorker(r)) return "client-report";
    return r.state == WorkerReadState::Ok ? r.snapshot.server : r.server;
}

std::string FormatAge(std::int64_t s) {
    if (s < 0) s = 0;
    if (s < 60) return FormatText("%" PRId64 "s", s);
    if (s < 3600) return FormatText("%" PRId64 "m%02" PRId64 "s", s / 60, s % 60);
    if (s < 86400) return FormatText("%" PRId64 "h%02" PRId64 "m", s / 3600, s % 3600 / 60);
    return FormatText("%" PRId64 "d%02" PRId64 "h", s / 86400, s % 86400 / 3600);
}

std::vector<UserRow> CollectUserRows(const std::vector<WorkerReading>& readings, std::string_view filter) {
    std::vector<UserRow> rows;
    for (const WorkerReading& r : readings) {
        if (r.state != WorkerReadState::Ok) continue;
        const WorkerSnapshot& s = r.snapshot;
        const std::string worker = WorkerLabel(r);
        for (const SnapshotUser& u : s.users) {
            if (!UserMatches(u, filter)) continue;
            UserRow row{worker, &u, std::max<std::int64_t>(0, s.now - u.since), {}};
            row.gateways.reserve(u.gateways.size());
            for (std::size_t p = 0; p < u.gateways.size(); ++p)
                row.gateways.push_back({GatewayName(s, p), DeliveryText(u.gateways[p]), u.gateways[p].sendsLeft});
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::string FormatUsersTable(const std::vector<WorkerReading>& readings, std::string_view filter) {
    std::vector<std::vector<std::string>> rows = {{"USER", "DOMAIN", "ADDRESS", "STATE", "AGE", "GATEWAYS", "AD PATH"}};
    for (const UserRow& row : CollectUserRows(readings, filter)) {
        const SnapshotUser& u = *row.user;
        std::string gateways;
        for (const UserRowGateway& g : row.gateways) {
            if (!gateways.empty()) gateways += ", ";
            gateways += g.name + " " + g.state;
            if (g.state == "pending") gateways += " (" + std::to_string(g.sendsLeft) + " left)";
        }
        rows.push_back({u.user, u.domain, u.address, u.online ? "online" : "logging off", FormatAge(row.ageSeconds),
                        gateways.empty() ? "-" : gateways, u.adPath.empty() ? "-" : u.adPath});
    }
    return Columns(rows);
}

std::string FormatUsersJson(const std::vector<WorkerReading>& readings, std::string_view filter) {
    using nlohmann::json;
    json users = json::array();
    for (const WorkerReading& r : readings) {
        if (r.state != WorkerReadState::Ok) continue;
        const WorkerSnapshot& s = r.snapshot;
        for (const SnapshotUser& u : s.users) {
            if (!UserMatches(u, filter)) continue;
            json gateways = json::array();
            for (std::size_t p = 0; p < u.gateways.size(); ++p) {
                const SnapshotGateway g = p < s.gateways.size() ? s.gateways[p] : SnapshotGateway{};
                gateways.push_back({{"address", g.address},
                                    {"port", g.port},
                                    {"state", DeliveryText(u.gateways[p])},
                                    {"sends_left", u.gateways[p].sendsLeft}});
            }
            users.push_back({{"worker", WorkerLabel(r)},
                             {"user", u.user},
                             {"domain", u.domain},
                             {"address", u.address},
                             {"computer", u.computer},
                             {"ad_path", u.adPath},
                             {"state", u.online ? "online" : "offline"},
                             {"since", u.since},
                             {"age_seconds", std::max<std::int64_t>(0, s.now - u.since)},
                             {"gateways", std::move(gateways)}});
        }
    }
    return users.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string FormatStatus(const std::vector<WorkerReading>& readings) {
    std::string out;
    for (const WorkerReading& r : readings) {
        if (r.state != WorkerReadState::Ok) {
            out += FormatText("worker %s: %s\n", WorkerLabel(r).c_str(), DescribeReadState(r).c_str());
            continue;
        }
        const WorkerSnapshot& s = r.snapshot;
        const SnapshotCounters& c = s.counters;
        std::size_t online = 0;
        for (const SnapshotUser& u : s.users) online += u.online ? 1 : 0;
        out += FormatText("worker %s: running (%s mode), pid %ld, up %s\n", WorkerLabel(r).c_str(), s.mode.c_str(),
                      s.pid, FormatAge(s.now - s.started).c_str());
        if (s.mode == "client-report")
            out += FormatText("  users: %zu online, %zu logging off\n", online, s.users.size() - online);
        for (std::size_t p = 0; p < s.gateways.size(); ++p)
            out += FormatText("  gateway %s: last heartbeat %s, last response %s\n", GatewayName(s, p).c_str(),
                          Ago(s.gateways[p].lastHeartbeat, s.now).c_str(),
                          Ago(s.gateways[p].lastResponse, s.now).c_str());
        for (const SnapshotDirectory& d : s.directories)
            out += FormatText("  directory %s: %s, %" PRIu64 " failed reconnections\n", d.address.c_str(),
                          d.connected ? "connected" : "not connected", d.failedReconnects);
        const std::uint64_t refused = c.refusedUndecryptable + c.refusedMalformed + c.refusedComputer + c.refusedExcluded +
                                      c.refusedIgnored + c.refusedAddress + c.refusedGroups + c.refusedUnverified + c.refusedReplay + c.refusedNotOnline;
        const std::uint64_t dropped = c.droppedNotReport + c.droppedQueueFull + c.droppedForeignResponse;
        out += FormatText("  reports: %" PRIu64 " received, %" PRIu64 " acknowledged, %" PRIu64 " refused, %" PRIu64
                          " dropped unanswered\n",
                      c.reportsReceived, c.reportsAcknowledged, refused, dropped);
        out += FormatText("  decisions: %" PRIu64 " logons, %" PRIu64 " logoffs; lookups: %" PRIu64 " (%" PRIu64
                      " failed)\n",
                      c.logons, c.logoffs, c.lookups, c.lookupFailures);
        out += FormatText("  notifications: %" PRIu64 " sent, %" PRIu64 " confirmed, %" PRIu64 " given up, %" PRIu64
                      " failed to send\n",
                      c.notificationsSent, c.confirmations, c.givenUp, c.notificationFailures);
    }
    return out;
}

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        if (ch == '\\') out += "\\\\";
        else if (ch == '"') out += "\\\"";
        else if (ch == '\n') out += "\\n";
        else out += ch;
    }
    return out;
}

namespace {

struct Family {
    std::string name, type, help;
    std::vector<std::string> samples;
};

class Exposition {
public:
    Family& Get(const std::string& name, const char* type, const std::string& help) {
        for (Family& f : families_)
            if (f.name == name) return f;
        families_.push_back({name, type, help, {}});
        return families_.back();
    }
    // labels: already-formatted `name="value"` pairs.
    void Add(const std::string& name, const char* type, const std::string& help, const std::string& labels,
             double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        Get(name, type, help).samples.push_back(name + "{" + labels + "} " + number);
    }
    void Add(const std::string& name, const char* type, const std::string& help, const std::string& labels,
             std::uint64_t value) {
        Get(name, type, help).samples.push_back(name + "{" + labels + "} " + std::to_string(value));
    }
    std::string Text() const {
        std::string out;
        for (const Family& f : families_) {
            out += "# HELP " + f.name + " " + f.help + "\n";
            out += "# TYPE " + f.name + " " + f.type + "\n";
            for (const std::string& s : f.samples) out += s + "\n";
        }
        return out;
    }

private:
    std::vector<Family> families_;
};

std::string Label(const char* name, std::string_view value) {
    return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string FormatPrometheus(const std::vector<WorkerReading>& readings) {
    Exposition e;
    for (const WorkerReading& r : readings) {
        const std::string worker = Label("worker", WorkerLabel(r));
        const bool up = r.state == WorkerReadState::Ok;
        e.Add("orvane_worker_up", "gauge", "Whether the worker answered its status request (1) or not (0).", worker,
              std::uint64_t{up ? 1u : 0u});
        if (!up) continue;
        const WorkerSnapshot& s = r.snapshot;
        e.Add("orvane_worker_start_time_seconds", "gauge", "When the worker started, in seconds since 1970.", worker,
              static_cast<double>(s.started));
        for (const SnapshotCounterInfo& c : SnapshotCounterTable()) {
            if (c.reason) {
                const bool refused = std::string_view(c.group) == "refused";
                e.Add(std::string("orvane_") + c.group + "_total", "counter",
                      refused ? "Reports and decisions that ended without telling the gateways, by reason."
                              : "Datagrams dropped unanswered before any decision, by reason.",
                      worker + "," + Label("reason", c.reason), s.counters.*c.member);
            } else {
                e.Add(std::string("orvane_") + c.key + "_total", "counter", c.help, worker, s.counters.*c.member);
            }
        }
        std::uint64_t online = 0;
        for (const SnapshotUser& u : s.users) online += u.online ? 1 : 0;
        const char* usersHelp = "Records in the online-user table, by state.";
        e.Add("orvane_users", "gauge", usersHelp, worker + "," + Label("state", "online"), online);
        e.Add("orvane_users", "gauge", usersHelp, worker + "," + Label("state", "logging_off"),
              static_cast<std::uint64_t>(s.users.size() - online));
        for (std::size_t p = 0; p < s.gateways.size(); ++p) {
            const std::string gw = worker + "," + Label("gateway", GatewayName(s, p));
            std::uint64_t confirmed = 0, pending = 0;
            for (const SnapshotUser& u : s.users) {
                if (p >= u.gateways.size()) continue;
                const std::string state = DeliveryText(u.gateways[p]);
                confirmed += state == "confirmed" ? 1 : 0;
                pending += state == "pending" ? 1 : 0;
            }
            e.Add("orvane_gateway_users", "gauge", "Records per gateway by delivery state.",
                  gw + "," + Label("delivery", "confirmed"), confirmed);
            e.Add("orvane_gateway_users", "gauge", "Records per gateway by delivery state.",
                  gw + "," + Label("delivery", "pending"), pending);
            e.Add("orvane_gateway_last_heartbeat_timestamp_seconds", "gauge",
                  "When the last heartbeat went to the gateway, in seconds since 1970 (0: never).", gw,
                  static_cast<double>(s.gateways[p].lastHeartbeat));
            e.Add("orvane_gateway_last_response_timestamp_seconds", "gauge",
                  "When the gateway last answered, in seconds since 1970 (0: never).", gw,
                  static_cast<double>(s.gateways[p].lastResponse));
        }
        for (const SnapshotDirectory& d : s.directories) {
            const std::string dir = worker + "," + Label("server", d.address);
            e.Add("orvane_directory_connected", "gauge", "Whether the directory server is bound (1) or not (0).",
                  dir, std::uint64_t{d.connected ? 1u : 0u});
            e.Add("orvane_directory_failed_reconnects", "gauge",
                  "Failed reconnections to the directory server since it was last bound.", dir, d.failedReconnects);
        }
    }
    return e.Text();
}

}  // namespace orvane::console
