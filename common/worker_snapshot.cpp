#include "common/worker_snapshot.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/local_socket.h"

namespace orvane {
namespace {

using nlohmann::json;

constexpr const char kSocketPrefix[] = "Orvane-";
constexpr const char kSocketSuffix[] = ".sock";
// "." would make a hidden file with a double dot; the client-report worker gets a name of its own.
constexpr const char kClientReportName[] = "client-report";

}  // namespace

const std::vector<SnapshotCounterInfo>& SnapshotCounterTable() {
    using C = SnapshotCounters;
    static const std::vector<SnapshotCounterInfo> table = {
        {"reports_received", nullptr, "Logon and logoff reports received from the client PCs.", &C::reportsReceived},
        {"reports_acknowledged", nullptr, "Reports acknowledged to the client PCs.", &C::reportsAcknowledged},
        {"refused.undecryptable", "undecryptable", "", &C::refusedUndecryptable},
        {"refused.malformed", "malformed", "", &C::refusedMalformed},
        {"refused.computer_account", "computer_account", "", &C::refusedComputer},
        {"refused.excluded_account", "excluded_account", "", &C::refusedExcluded},
        {"refused.ignored_account", "ignored_account", "", &C::refusedIgnored},
        {"refused.address_excluded", "address_excluded", "", &C::refusedAddress},
        {"refused.not_in_groups", "not_in_groups", "", &C::refusedGroups},
        {"refused.unverified", "unverified", "", &C::refusedUnverified},
        {"refused.replay", "replay", "", &C::refusedReplay},
        {"refused.not_online", "not_online", "", &C::refusedNotOnline},
        {"logons", nullptr, "Logons decided: the user was verified and the gateways notified.", &C::logons},
        {"logoffs", nullptr, "Logoffs decided: the gateways were told the user is offline.", &C::logoffs},
        {"directory_lookups", nullptr, "User look-ups in the directory.", &C::lookups},
        {"directory_lookup_failures", nullptr, "Directory look-ups that found no vouching server.",
         &C::lookupFailures},
        {"directory_searches_sent_ahead", nullptr,
         "Directory searches sent ahead of the look-ups that read them (the lookup pipeline).",
         &C::searchesSentAhead},
        {"directory_searches_unread", nullptr,
         "Searches sent ahead that no look-up read: decided without one, or the connection was lost.",
         &C::searchesUnread},
        {"notifications_sent", nullptr, "Notifications sent to the gateways, repetitions included.",
         &C::notificationsSent},
        {"notification_failures", nullptr, "Notifications that could not be sent.", &C::notificationFailures},
        {"confirmations", nullptr, "Notifications the gateways confirmed.", &C::confirmations},
        {"given_up", nullptr, "Notifications given up after every repetition went unconfirmed.", &C::givenUp},
        {"heartbeats_sent", nullptr, "Heartbeats sent to the gateways.", &C::heartbeatsSent},
        {"dropped.not_a_report", "not_a_report", "", &C::droppedNotReport, "dropped"},
        {"dropped.queue_full", "queue_full", "", &C::droppedQueueFull, "dropped"},
        {"dropped.foreign_response", "foreign_response", "", &C::droppedForeignResponse, "dropped"},
        {"records_expired", nullptr, "Online records removed at their maximum age without a refresh.",
         &C::recordsExpired},
        {"log_lines_suppressed", nullptr, "Repeated log lines counted instead of written.", &C::logLinesSuppressed},
    };
    return table;
}

std::string SnapshotToJson(const WorkerSnapshot& s) {
    json j;
    j["version"] = s.version;
    j["server"] = s.server;
    j["mode"] = s.mode;
    j["pid"] = s.pid;
    j["started"] = s.started;
    j["now"] = s.now;
    json users = json::array();
    for (const SnapshotUser& u : s.users) {
        json gws = json::array();
        for (const SnapshotDelivery& d : u.gateways)
            gws.push_back({{"sent", d.sent}, {"confirmed", d.confirmed}, {"sends_left", d.sendsLeft}});
        users.push_back({{"user", u.user},
                         {"domain", u.domain},
                         {"address", u.address},
                         {"computer", u.computer},
                         {"ad_path", u.adPath},
                         {"state", u.online ? "online" : "offline"},
                         {"since", u.since},
                         {"gateways", std::move(gws)}});
    }
    j["users"] = std::move(users);
    json gateways = json::array();
    for (const SnapshotGateway& g : s.gateways)
        gateways.push_back({{"address", g.address},
                            {"port", g.port},
                            {"last_heartbeat", g.lastHeartbeat},
                            {"last_response", g.lastResponse}});
    j["gateways"] = std::move(gateways);
    json dirs = json::array();
    for (const SnapshotDirectory& d : s.directories)
        dirs.push_back(
            {{"address", d.address}, {"connected", d.connected}, {"failed_reconnects", d.failedReconnects}});
    j["directories"] = std::move(dirs);
    json counters = json::object();
    for (const SnapshotCounterInfo& c : SnapshotCounterTable()) {
        if (c.reason) {
            counters[c.group][c.reason] = s.counters.*c.member;
        } else {
            counters[c.key] = s.counters.*c.member;
        }
    }
    j["counters"] = std::move(counters);
    // Invalid UTF-8 (a user name from a misconfigured PC) is replaced, never a reason to fail.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool SnapshotFromJson(const std::string& text, WorkerSnapshot& out, std::string& error) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        error = "not JSON";
        return false;
    }
    try {
        out = WorkerSnapshot{};
        out.version = j.at("version").get<int>();
        if (out.version != kSnapshotVersion) {
            error = "snapshot version " + std::to_string(out.version) + ", this program reads version " +
                    std::to_string(kSnapshotVersion);
            return false;
        }
        out.server = j.at("server").get<std::string>();
        out.mode = j.at("mode").get<std::string>();
        out.pid = j.at("pid").get<long>();
        out.started = j.at("started").get<std::int64_t>();
        out.now = j.at("now").get<std::int64_t>();
        for (const json& u : j.at("users")) {
            SnapshotUser user;
            user.user = u.at("user").get<std::string>();
            user.domain = u.at("domain").get<std::string>();
            user.address = u.at("address").get<std::string>();
            user.computer = u.at("computer").get<std::string>();
            user.adPath = u.at("ad_path").get<std::string>();
            user.online = u.at("state").get<std::string>() == "online";
            user.since = u.at("since").get<std::int64_t>();
            for (const json& d : u.at("gateways"))
                user.gateways.push_back({d.at("sent").get<bool>(), d.at("confirmed").get<bool>(),
                                         d.at("sends_left").get<unsigned>()});
            out.users.push_back(std::move(user));
        }
        for (const json& g : j.at("gateways"))
            out.gateways.push_back({g.at("address").get<std::string>(), g.at("port").get<unsigned>(),
                                    g.at("last_heartbeat").get<std::int64_t>(),
                                    g.at("last_response").get<std::int64_t>()});
        for (const json& d : j.at("directories"))
            out.directories.push_back({d.at("address").get<std::string>(), d.at("connected").get<bool>(),
                                       d.at("failed_reconnects").get<std::uint64_t>()});
        const json& counters = j.at("counters");
        for (const SnapshotCounterInfo& c : SnapshotCounterTable()) {
            // A counter a newer worker dropped reads as 0 rather than refusing the whole snapshot.
            const json* v = c.reason ? (counters.contains(c.group) && counters[c.group].contains(c.reason)
                                            ? &counters[c.group][c.reason]
                                            : nullptr)
                                     : (counters.contains(c.key) ? &counters[c.key] : nullptr);
            if (v) out.counters.*c.member = v->get<std::uint64_t>();
        }
    } catch (const json::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::string StatusSocketFolder(const std::string& programFolder) { return programFolder + "/run"; }

std::string StatusSocketPath(const std::string& programFolder, const std::string& serverArgument) {
    const std::string name = serverArgument.empty() || serverArgument == "." ? kClientReportName : serverArgument;
    return StatusSocketFolder(programFolder) + "/" + kSocketPrefix + name + kSocketSuffix;
}

bool ServerOfStatusSocket(const std::string& fileName, std::string& serverArgument) {
    const std::string prefix = kSocketPrefix, suffix = kSocketSuffix;
    if (fileName.size() <= prefix.size() + suffix.size() || fileName.compare(0, prefix.size(), prefix) != 0 ||
        fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    serverArgument = fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size());
    if (serverArgument == kClientReportName) serverArgument = ".";
    return true;
}

std::vector<std::string> RemoveStaleStatusSockets(const std::string& programFolder) {
    std::vector<std::string> removed;
    std::error_code ec;
    std::filesystem::directory_iterator it(StatusSocketFolder(programFolder), ec);
    if (ec) return removed;
    for (const auto& entry : it) {
        std::string server;
        const std::string path = entry.path().string();
        if (!ServerOfStatusSocket(entry.path().filename().string(), server) || !platform::IsAbandonedLocalSocket(path))
            continue;
        if (std::filesystem::remove(entry.path(), ec)) removed.push_back(path);
    }
    std::sort(removed.begin(), removed.end());
    return removed;
}

}  // namespace orvane
