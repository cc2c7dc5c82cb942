#include "worker/users/identity_rules.h"

#include <mutex>
#include <unordered_set>

#include "common/config_types.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/udp.h"
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
        for (char c : user) key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
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

bool ParseAddressRule(std::string_view text, AddressRule& rule, std::string& why) {
    const std::string trimmed = TrimSpaces(text);
    std::string_view t(trimmed);
    const std::size_t space = t.find_first_of(" \t");
    const std::string_view verb = t.substr(0, space);
    if (EqualsNoCase(verb, "include")) {
        rule.include = true;
    } else if (EqualsNoCase(verb, "exclude")) {
        rule.include = false;
    } else {
        why = "a rule starts with include or exclude";
        return false;
    }
    std::string_view cidr = space == std::string_view::npos ? std::string_view() : t.substr(space);
    while (!cidr.empty() && (cidr.front() == ' ' || cidr.front() == '\t')) cidr.remove_prefix(1);
    if (cidr.empty()) {
        why = "no address after " + std::string(verb);
        return false;
    }
    unsigned prefix = 32;
    std::string_view address = cidr;
    if (const std::size_t slash = cidr.find('/'); slash != std::string_view::npos) {
        address = cidr.substr(0, slash);
        const std::string_view bits = cidr.substr(slash + 1);
        if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string_view::npos ||
            (prefix = static_cast<unsigned>(std::stoul(std::string(bits)))) > 32) {
            why = "the prefix length after / must be 0 to 32";
            return false;
        }
    }
    std::uint32_t network = 0;
    if (!platform::ParseIpv4Address(address, network)) {
        why = "\"" + std::string(address) + "\" is not an IPv4 address";
        return false;
    }
    const std::uint32_t mask = prefix == 0 ? 0u : ~0u << (32 - prefix);
    if ((network & ~mask) != 0) {
        why = "the address has bits set below its /" + std::to_string(prefix) + " (the network is " +
              platform::FormatIpv4Address(network & mask) + "/" + std::to_string(prefix) + ")";
        return false;
    }
    rule.network = network;
    rule.mask = mask;
    rule.text = std::string(rule.include ? "include " : "exclude ") + std::string(cidr);
    return true;
}

void AddressRules::Add(AddressRule rule) {
    if (rule.include) ++includes_;
    rules_.push_back(std::move(rule));
}

AddressRules::Verdict AddressRules::Decide(std::uint32_t address) const {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if ((address & rules_[i].mask) == rules_[i].network) return Verdict{rules_[i].include, i + 1};
    }
    return Verdict{includes_ == 0, 0};
}

std::string AddressRules::Consequence() const {
    if (rules_.empty()) return "every address is reported";
    return includes_ == 0 ? "an address no rule matches is reported"
                          : "an address no rule matches is NOT reported (the list holds an include rule)";
}

void SetIdentityRules(const WorkerSettings& settings) {
    IdentityRules rules;
    std::string why;
    for (std::size_t i = 0; i < settings.ignoredAccounts.size(); ++i) {
        const std::string& text = settings.ignoredAccounts[i];
        if (!text.empty() && !rules.ignored.AddChecked(text, why))
            LogError("[ERR]IgnoredAccounts Account%zu \"%s\" is left out: %s.", i + 1, text.c_str(), why.c_str());
    }
    for (std::size_t i = 0; i < settings.addressRules.size(); ++i) {
        const std::string& text = settings.addressRules[i];
        AddressRule rule;
        if (text.empty()) continue;
        if (ParseAddressRule(text, rule, why)) {
            rule.key = i + 1;
            rules.addresses.Add(std::move(rule));
        } else {
            LogError("[ERR]AddressRules Rule%zu \"%s\" is left out: %s.", i + 1, text.c_str(), why.c_str());
        }
    }
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

}  // namespace orvane
