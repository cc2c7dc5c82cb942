#pragma once
// Member groups: when the administrator lists any, only their members are reported (nested
// membership included), and a gateway with groups of its own hears only about theirs.
//
// Groups are configured by DN or sAMAccountName and resolved to the server's DNs on each bound
// handle, once per bind. The global groups go into the user's own search as
// (|(memberOf:1.2.840.113556.1.4.1941:=DN)...), so a member costs no extra round trip; a user
// the search then misses is looked up once more without them, to tell "not a member" from
// "unknown". Gateway groups are one search for the groups that hold the user in their chain,
// remembered per user DN for CacheSeconds.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/config_types.h"
#include "worker/directory/directory_client.h"

namespace orvane {

// A lookup's result for a user the server knows who is in none of the member groups.
// (ERROR_MEMBER_NOT_IN_GROUP; no errno maps onto it.)
constexpr HResult kENotInGroups = static_cast<HResult>(0x80070529u);

// The DNs the configured groups have on one server.
struct ResolvedGroups {
    std::uint64_t bindCount = 0;
    // "(|(memberOf:1.2.840.113556.1.4.1941:=DN)...)"; empty when no global group resolved.
    std::string globalClause;
    // "(|(distinguishedName=DN)...)" over the gateway groups; empty when none resolved.
    std::string gatewayClause;
    // Lowercased DN of a gateway group → the positions that named it.
    std::unordered_map<std::string, std::uint8_t> positionsByDn;
};

class MemberGroups {
public:
    void Set(const std::vector<std::string>& global,
             const std::array<std::vector<std::string>, kMaxGateways>& perGateway, unsigned gatewayCount,
             std::uint32_t cacheSeconds);
    bool Any() const { return hasGlobal_ || gatewayMask_ != 0; }
    bool HasGlobal() const { return hasGlobal_; }
    // Positions that have groups of their own.
    std::uint8_t GatewayMask() const { return gatewayMask_; }
    // The global groups as configured, ", " between them (for messages).
    const std::string& GlobalText() const { return globalText_; }

    // The groups' DNs on `handle`, resolved when the handle was bound since the last time.
    // 0, or the errno-style code of a search that failed (nothing is kept then).
    int Resolve(DirectorySearch& handle);

    // The positions with groups of their own that hold none of `userDn`'s groups (looked up,
    // or remembered for CacheSeconds). 0 or a failed search's code.
    int WithheldPositions(DirectorySearch& handle, std::string_view userDn, std::uint8_t& withheld);

    // Forgets remembered memberships (tests).
    void ClearCache();

private:
    struct Name {
        std::string text;
        bool global = false;
        std::uint8_t positions = 0;
    };
    struct Remembered {
        std::int64_t expires = 0;
        std::uint8_t withheld = 0;
    };
    std::vector<Name> names_;
    bool hasGlobal_ = false;
    std::uint8_t gatewayMask_ = 0;
    std::string globalText_;
    std::int64_t cacheSeconds_ = kDefaultMembershipCacheSeconds;
    std::unordered_map<std::string, Remembered> cache_;
};

// The value of an LDAP filter assertion, escaped (RFC 4515): *, (, ), \ and NUL as \hh.
void AppendFilterValue(std::string& filter, std::string_view value);

// The worker's groups, set once at start-up before any lookup; lookups of one process run on
// one thread at a time (the decision thread, or the poller of log-query mode).
MemberGroups& GetMemberGroups();
void SetMemberGroups(const WorkerSettings& settings);

}  // namespace orvane
