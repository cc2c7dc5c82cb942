#include "worker/users/identity_rules.h"

#include <mutex>
#include <unordered_set>

#include "common/config_types.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/udp.h"
#include "worker/directory/member_groups.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

IdentityRules& Rules() {
    static IdentityRules rules;
    return rules;
}

// Refusals already logged, by user and address: a PC that logs on every few minutes is named
// once, not every time. Bounded; once full it starts again (the lines may then repeat).
class LoggedOnce {
public:
    bool First(std::string_view user, std::string_view address) {
        std::string key;
        key.reserve(user.size() + address.size() + 1);
        AppendLowerAscii(key, user);
        key.push_back('\0');
        key.append(address);
        std::lock_guard<std::mutex> lock(mutex_);
        if (seen_.size() >= kLimit) seen_.clear();
        return seen_.insert(std::move(key)).second;
    }

private:
    static constexpr std::size_t kLimit = 65536;
    std::mutex mutex_;
    std::unordered_set<std::string> seen_;
};

LoggedOnce& Logged() {
    static LoggedOnce logged;
    return logged;
}

}  // namespace

void SetIdentityRules(const WorkerSettings& settings) {
    IdentityRules rules = BuildIdentityRules(
        settings.ignoredAccounts, settings.addressRules,
        [](IdentityList list, std::size_t number, const std::string& text, const std::string& why) {
            if (list == IdentityList::Accounts)
                LogError("[ERR]IgnoredAccounts Account%zu \"%s\" is left out: %s.", number, text.c_str(), why.c_str());
            else
                LogError("[ERR]AddressRules Rule%zu \"%s\" is left out: %s.", number, text.c_str(), why.c_str());
        });
    if (!rules.ignored.Empty())
        LogInfo("[INF]%zu ignored accounts are never reported: %s", rules.ignored.Size(),
                rules.ignored.Describe().c_str());
    if (!rules.addresses.Empty())
        LogInfo("[INF]%zu address rules, first match decides; %s.", rules.addresses.Rules().size(),
                rules.addresses.Consequence().c_str());
    Rules() = std::move(rules);
}

const IdentityRules& GetIdentityRules() { return Rules(); }

bool RefusedByIdentityRules(std::string_view user, std::string_view domain, std::string_view address) {
    const IdentityRules& rules = Rules();
    if (rules.ignored.Empty() && rules.addresses.Empty()) return false;
    if (const std::string* entry = rules.ignored.Match(user, domain)) {
        WorkerStatistics::Add(Statistics().refusedIgnored);
        if (Logged().First(user, address))
            LogInfo("[INF]User %.*s at %.*s not reported: account ignored (%s)", static_cast<int>(user.size()),
                    user.data(), static_cast<int>(address.size()), address.data(), entry->c_str());
        return true;
    }
    if (rules.addresses.Empty()) return false;
    std::uint32_t numeric = 0;
    if (!platform::ParseIpv4Address(address, numeric)) return false;  // the decision refuses it later
    const AddressRules::Verdict verdict = rules.addresses.Decide(numeric);
    if (verdict.reported) return false;
    WorkerStatistics::Add(Statistics().refusedAddress);
    if (Logged().First(user, address)) {
        if (verdict.rule != 0) {
            const AddressRule& rule = rules.addresses.Rules()[verdict.rule - 1];
            LogInfo("[INF]User %.*s at %.*s not reported: address excluded by rule %zu (%s)",
                    static_cast<int>(user.size()), user.data(), static_cast<int>(address.size()), address.data(),
                    rule.key != 0 ? rule.key : verdict.rule, rule.text.c_str());
        }
        else
            LogInfo("[INF]User %.*s at %.*s not reported: address matches no include rule",
                    static_cast<int>(user.size()), user.data(), static_cast<int>(address.size()), address.data());
    }
    return true;
}

void NotReportedForGroups(std::string_view user, std::string_view address) {
    WorkerStatistics::Add(Statistics().refusedGroups);
    if (Logged().First(user, address))
        LogInfo("[INF]User %.*s at %.*s not reported: not a member of %s", static_cast<int>(user.size()), user.data(),
                static_cast<int>(address.size()), address.data(), GetMemberGroups().GlobalText().c_str());
}

}  // namespace orvane
