#pragma once
// Which logons may become firewall identities, as the administrator sets it: accounts never
// reported (exact, or a name with one trailing *) and ordered include/exclude address rules.
// Both are checked before any directory lookup, in both modes. Empty lists change nothing.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "worker/users/excluded_accounts.h"

namespace orvane {

struct WorkerSettings;

struct AddressRule {
    bool include = false;
    std::uint32_t network = 0;  // host byte order, masked
    std::uint32_t mask = 0;
    std::string text;     // as configured, trimmed
    std::size_t key = 0;  // N of the RuleN it came from
};

// "include CIDR" or "exclude CIDR" (a bare address is a /32). False with the reason when the
// text is not a rule; a network with bits below its prefix length is refused (a typo, often).
bool ParseAddressRule(std::string_view text, AddressRule& rule, std::string& why);

class AddressRules {
public:
    void Add(AddressRule rule);
    bool Empty() const { return rules_.empty(); }
    bool HasInclude() const { return includes_ != 0; }
    const std::vector<AddressRule>& Rules() const { return rules_; }

    struct Verdict {
        bool reported = true;
        std::size_t rule = 0;  // the deciding rule's place in the list, 1 first; 0 when none matched
    };
    // First match decides; an address no rule matches is reported unless the list holds an
    // include rule.
    Verdict Decide(std::uint32_t address) const;
    // In words, what an address that no rule matches gets.
    std::string Consequence() const;

private:
    std::vector<AddressRule> rules_;
    std::size_t includes_ = 0;
};

struct IdentityRules {
    ExcludedAccounts ignored;
    AddressRules addresses;
};

// Builds the rules from the settings' lists. Each bad entry is logged with its reason and left
// out; one line at start says what is in force. Set once before any thread that decides runs.
void SetIdentityRules(const WorkerSettings& settings);
const IdentityRules& GetIdentityRules();

// The check both modes make before a lookup. True when the logon of `user` (in `domain`, as the
// report or event names it) at `address` is not to be reported: counted by reason and logged
// once per user and address ("[INF]User ann at 10.0.5.7 not reported: …").
bool RefusedByIdentityRules(std::string_view user, std::string_view domain, std::string_view address);

}  // namespace orvane
