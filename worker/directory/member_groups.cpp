#include "worker/directory/member_groups.h"

#include <memory>
#include <mutex>

#include "common/identity_lists.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"

namespace orvane {
namespace {

constexpr std::string_view kInChain = "1.2.840.113556.1.4.1941";
// Enough for every user active within any sane cache time; past it the oldest half goes.
constexpr std::size_t kCacheLimit = 65536;

class FirstDn final : public AccountVisitor {
public:
    bool Visit(const DirectoryAccount& account) override {
        if (account.dn.empty()) return true;
        dn.assign(account.dn);
        return false;
    }
    std::string dn;
};

class AllDns final : public AccountVisitor {
public:
    bool Visit(const DirectoryAccount& account) override {
        if (!account.dn.empty()) dns.emplace_back(account.dn);
        return true;
    }
    std::vector<std::string> dns;
};

std::mutex& CacheMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

void AppendFilterValue(std::string& filter, std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            const unsigned char u = static_cast<unsigned char>(c);
            filter.push_back('\\');
            filter.push_back(kHex[u >> 4]);
            filter.push_back(kHex[u & 0xF]);
        } else {
            filter.push_back(c);
        }
    }
}

void MemberGroups::Set(const std::vector<std::string>& global,
                       const std::array<std::vector<std::string>, kMaxGateways>& perGateway, unsigned gatewayCount,
                       std::uint32_t cacheSeconds) {
    names_.clear();
    hasGlobal_ = false;
    gatewayMask_ = 0;
    globalText_.clear();
    cacheSeconds_ = cacheSeconds;
    ClearCache();
    // A badly written entry is left out, yet its list still restricts: a typo must never let
    // everyone through.
    auto add = [this](const std::string& raw, bool isGlobal, std::uint8_t positions) {
        const std::string text = TrimSpaces(raw);
        std::string why;
        if (!CheckGroupEntry(text, why)) {
            LogError("[ERR]Member group \"%s\" is left out: %s.", text.c_str(), why.c_str());
            return;
        }
        for (Name& n : names_) {
            if (EqualsNoCase(n.text, text)) {
                n.global = n.global || isGlobal;
                n.positions = static_cast<std::uint8_t>(n.positions | positions);
                return;
            }
        }
        names_.push_back(Name{text, isGlobal, positions});
    };
    for (const std::string& g : global) {
        if (TrimSpaces(g).empty()) continue;
        add(g, true, 0);
        hasGlobal_ = true;
        if (!globalText_.empty()) globalText_ += ", ";
        globalText_ += TrimSpaces(g);
    }
    for (unsigned p = 0; p < gatewayCount && p < kMaxGateways; ++p) {
        for (const std::string& g : perGateway[p]) {
            if (TrimSpaces(g).empty()) continue;
            add(g, false, static_cast<std::uint8_t>(1u << p));
            gatewayMask_ = static_cast<std::uint8_t>(gatewayMask_ | (1u << p));
        }
    }
}

int MemberGroups::Resolve(DirectorySearch& handle) {
    if (!Any()) return 0;
    if (handle.groups && handle.groups->bindCount == handle.BindCount()) return 0;
    auto resolved = std::make_shared<ResolvedGroups>();
    resolved->bindCount = handle.BindCount();
    std::string filter;
    for (const Name& name : names_) {
        filter.assign("(&(objectClass=group)(");
        // A name with '=' is a DN; anything else a group's sAMAccountName.
        filter.append(name.text.find('=') != std::string::npos ? "distinguishedName=" : "sAMAccountName=");
        AppendFilterValue(filter, name.text);
        filter.append("))");
        FirstDn visitor;
        if (const int rc = handle.FindAccounts(filter, false, visitor); rc != 0 && visitor.dn.empty()) {
            LogError("[ERR]Cannot look up member group \"%s\" at %s: %s", name.text.c_str(), handle.Server().c_str(),
                     FormatSystemError(rc).c_str());
            return rc;
        }
        if (visitor.dn.empty()) {
            LogError("[ERR]Member group \"%s\" does not exist at %s; it is left out.", name.text.c_str(),
                     handle.Server().c_str());
            continue;
        }
        if (name.text != visitor.dn)
            LogInfo("[INF]Member group %s is %s at %s.", name.text.c_str(), visitor.dn.c_str(),
                    handle.Server().c_str());
        if (name.global) {
            resolved->globalClause.append("(memberOf:").append(kInChain).append(":=");
            AppendFilterValue(resolved->globalClause, visitor.dn);
            resolved->globalClause.push_back(')');
        }
        if (name.positions != 0) {
            std::uint8_t& positions = resolved->positionsByDn[LowerAscii(visitor.dn)];
            if (positions == 0) {
                resolved->gatewayClause.append("(distinguishedName=");
                AppendFilterValue(resolved->gatewayClause, visitor.dn);
                resolved->gatewayClause.push_back(')');
            }
            positions = static_cast<std::uint8_t>(positions | name.positions);
        }
    }
    if (!resolved->globalClause.empty()) resolved->globalClause = "(|" + resolved->globalClause + ")";
    if (!resolved->gatewayClause.empty()) resolved->gatewayClause = "(|" + resolved->gatewayClause + ")";
    if (hasGlobal_ && resolved->globalClause.empty())
        LogError("[ERR]No member group exists at %s: no user found there is reported.", handle.Server().c_str());
    handle.groups = std::move(resolved);
    return 0;
}

int MemberGroups::WithheldPositions(DirectorySearch& handle, std::string_view userDn, std::uint8_t& withheld) {
    withheld = 0;
    if (gatewayMask_ == 0) return 0;
    const std::int64_t now = platform::GetClock().Now();
    std::string key = LowerAscii(userDn);
    {
        std::lock_guard<std::mutex> lock(CacheMutex());
        if (auto it = cache_.find(key); it != cache_.end() && now < it->second.expires && now >= it->second.expires - cacheSeconds_) {
            withheld = it->second.withheld;
            return 0;
        }
    }
    if (const int rc = Resolve(handle); rc != 0) return rc;
    const ResolvedGroups& groups = *handle.groups;
    std::uint8_t member = 0;
    if (!groups.gatewayClause.empty()) {
        std::string filter = "(&(objectClass=group)(member:";
        filter.append(kInChain).append(":=");
        AppendFilterValue(filter, userDn);
        filter.append(")").append(groups.gatewayClause).append(")");
        AllDns visitor;
        if (const int rc = handle.FindAccounts(filter, false, visitor); rc != 0) return rc;
        for (const std::string& dn : visitor.dns) {
            if (auto it = groups.positionsByDn.find(LowerAscii(dn)); it != groups.positionsByDn.end())
                member = static_cast<std::uint8_t>(member | it->second);
        }
    }
    withheld = static_cast<std::uint8_t>(gatewayMask_ & ~member);
    if (cacheSeconds_ > 0) {
        std::lock_guard<std::mutex> lock(CacheMutex());
        if (cache_.size() >= kCacheLimit) {
            for (auto it = cache_.begin(); it != cache_.end();) it = it->second.expires <= now ? cache_.erase(it) : std::next(it);
            if (cache_.size() >= kCacheLimit) cache_.clear();
        }
        cache_[std::move(key)] = Remembered{now + cacheSeconds_, withheld};
    }
    return 0;
}

void MemberGroups::ClearCache() {
    std::lock_guard<std::mutex> lock(CacheMutex());
    cache_.clear();
}

MemberGroups& GetMemberGroups() {
    static MemberGroups groups;
    return groups;
}

void SetMemberGroups(const WorkerSettings& settings) {
    std::array<std::vector<std::string>, kMaxGateways> perGateway;
    for (unsigned p = 0; p < kMaxGateways; ++p) perGateway[p] = settings.gateways[p].groups;
    MemberGroups& groups = GetMemberGroups();
    groups.Set(settings.memberGroups, perGateway, settings.firewallNum, settings.membershipCacheSeconds);
    if (groups.HasGlobal())
        LogInfo("[INF]Only members of these groups (nested membership included) are reported: %s",
                groups.GlobalText().c_str());
    for (unsigned p = 0; p < settings.firewallNum && p < kMaxGateways; ++p) {
        std::string text;
        for (const std::string& g : perGateway[p]) {
            if (TrimSpaces(g).empty()) continue;
            if (!text.empty()) text += ", ";
            text += TrimSpaces(g);
        }
        if (!text.empty())
            LogInfo("[INF]Gateway %s hears only about members of: %s", settings.gateways[p].ip.c_str(), text.c_str());
    }
    if (groups.GatewayMask() != 0)
        LogInfo("[INF]Group memberships are remembered for %u seconds.", settings.membershipCacheSeconds);
}

}  // namespace orvane
