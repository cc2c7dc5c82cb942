#pragma once
// Records filled by the configuration readers. Texts are UTF-8; the documented field
// capacities (in UTF-16 units with the terminating zero) are given beside each.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

constexpr std::size_t kIpCapacity = 48;
constexpr std::size_t kUserNameCapacity = 260;
constexpr std::size_t kPasswordCapacity = 393;
// A log-query worker's connection to its DC holds a shorter password than the directory entry.
constexpr std::size_t kLogQueryPasswordCapacity = 128;
constexpr std::size_t kFilterGroupsCapacity = 260;
constexpr std::size_t kShareKeyCapacity = 32;
constexpr unsigned kMaxServers = 16;
constexpr unsigned kMaxGateways = 5;

// One directory server (section "AdServer%u").
struct ServerEntry {
    std::string ip;            // 48
    std::string userName;      // 260
    std::string password;      // 393; clear text in the worker, protected text in the console
    std::string filterGroups;  // 260
};

// One gateway (section "Firewall%u").
struct DeviceEntry {
    std::string ip;       // 48
    std::uint32_t port = 0;
    // The gateway's own member groups ([Firewall%u] GroupNum, Group1..): when any is set, the
    // gateway hears only about users in one of them (heartbeats unchanged).
    std::vector<std::string> groups;
};

// How long a user's group membership, once looked up, is trusted (seconds).
inline constexpr std::uint32_t kDefaultMembershipCacheSeconds = 300;

// A week: longer than any working session that sends no new logon, short enough that records of
// PCs that vanished without a logoff do not pile up for years.
inline constexpr std::uint32_t kDefaultOnlineRecordMaxAgeHours = 168;
inline constexpr std::uint32_t kDefaultQueryResumeSpanMinutes = 30;

// Everything the worker reads at start-up, with the documented widths.
struct WorkerSettings {
    // From the command line.
    std::string serverArgument;  // at most 95 characters; empty in client-report mode
    bool heartbeat = false;
    std::string moduleFolder;
    std::string configPath;

    std::uint16_t modelType = 0;
    std::uint16_t encryptType = 0;
    std::uint16_t adServerNum = 0;
    std::uint8_t firewallNum = 0;
    std::uint8_t encodeType = 0;
    std::uint8_t logLevel = 0;
    std::uint8_t retranTimes = 0;
    std::uint8_t messageTimeout = 0;
    std::uint32_t curLanguageId = 1033;

    std::array<std::uint8_t, 32> deviceKey{};  // UTF-8 device share key, zero-filled
    std::array<std::uint8_t, 32> clientKey{};  // client share key in the ANSI code page, zero-filled

    std::uint16_t listenPort = 0;
    std::uint32_t antiReplayTime = 1800;
    // An online record with no logon for this long (seconds) is forgotten; 0 keeps records until
    // their logoff. Read as hours from "OnlineRecordMaxAge".
    std::uint32_t onlineRecordMaxAge = kDefaultOnlineRecordMaxAgeHours * 3600u;
    std::uint16_t queryTime = 0;
    // Log-query mode: how far back (seconds) the first poll after a restart may resume from the
    // stored last query time; 0 starts from the newest event. Read as minutes from
    // "QueryResumeSpan".
    std::uint32_t queryResumeSpan = kDefaultQueryResumeSpanMinutes * 60u;

    std::vector<ServerEntry> servers;                  // accepted directory servers, in index order
    // The UserName of every AdServer%u section, also of those another worker serves: the
    // accounts the agent binds with.
    std::vector<std::string> agentAccounts;
    // The administrator's identity rules, as written (checked when the worker builds them):
    // [IgnoredAccounts] Account1..AccountNum and [AddressRules] Rule1..RuleNum, entry N at
    // position N - 1 (empty when missing).
    std::vector<std::string> ignoredAccounts;
    std::vector<std::string> addressRules;
    // [MemberGroups] Group1..GroupNum (DNs or sAMAccountNames): when any is set, only members
    // (nested membership included) are reported. CacheSeconds: how long a looked-up
    // membership is trusted.
    std::vector<std::string> memberGroups;
    std::uint32_t membershipCacheSeconds = kDefaultMembershipCacheSeconds;
    std::array<DeviceEntry, kMaxGateways> gateways{};  // packed gateway table
};

// What the service reads.
struct ServiceSettings {
    std::uint16_t modelType = 0;
    std::uint16_t serverCount = 0;
    std::vector<std::string> serverAddresses;
};

}  // namespace orvane
