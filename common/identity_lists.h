#pragma once
// Which logons may become firewall identities, as the administrator sets it in config.ini:
// accounts never reported (exact, or a name with one trailing *), ordered include/exclude address
// rules, and the groups whose members alone are reported. The worker decides with these classes,
// and orvanectl and the console check and explain with the same ones, so the three never differ.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/config_types.h"

namespace orvane {

class ExcludedAccounts {
public:
    // `account` as configured: name, DOMAIN\name or name@dns.domain; the name may end in one *
    // (any name starting so). Empty texts are ignored.
    void Add(std::string_view account);
    // As Add, for a list an administrator wrote: false with the reason for an empty name or a *
    // anywhere but at the end of the name.
    bool AddChecked(std::string_view account, std::string& why);
    // True when the logon of `name` (a bare name or name@domain) in `domain` (NetBIOS or DNS
    // form, or dc=corp,dc=example,dc=com; empty or "-" when unknown) is not to be reported. Names and domains compare ignoring
    // case; a domain missing on either side, or given in the other form (CORP against
    // corp.example.com, which only the directory could relate), does not tell two accounts apart.
    bool Excludes(std::string_view name, std::string_view domain = {}) const {
        return Match(name, domain) != nullptr;
    }
    // The entry (as configured) that excludes the logon, or null.
    const std::string* Match(std::string_view name, std::string_view domain = {}) const;
    bool Empty() const { return accounts_.empty(); }
    std::size_t Size() const { return accounts_.size(); }
    // The accounts as configured, ", " between them.
    std::string Describe() const;

private:
    struct Account {
        std::string text, name, domain;
    };
    std::vector<Account> accounts_;
    // By lowercased name, and by lowercased prefix for names ending in *: a look-up costs a
    // probe per prefix length, not a pass over the list.
    std::unordered_map<std::string, std::vector<std::size_t>> exact_, prefixes_;
    std::size_t longestPrefix_ = 0;
};

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

// A member-group entry: a DN (every part attribute=value) or a sAMAccountName, which AD forbids
// to hold any of "/\[]:;|=,+*?<>. Whether the group exists only the directory can tell.
bool CheckGroupEntry(std::string_view text, std::string& why);

// ---------------------------------------------------------------------------------------------
// The lists in config.ini.

enum class IdentityList { Accounts, Addresses, Groups };

// Where a list lives: [IgnoredAccounts] Num, Account1..; [AddressRules] Num, Rule1..;
// [MemberGroups] Num, Group1..; a gateway's own groups in [Firewall%u] GroupNum, Group1..
struct IdentityListPlace {
    IdentityList list = IdentityList::Accounts;
    int gateway = -1;  // the Firewall section's number for a gateway's groups, else -1
};
std::string ListSection(const IdentityListPlace& place);
const char* ListEntryKey(IdentityList list);  // "Account", "Rule", "Group"
const char* ListCountKey(const IdentityListPlace& place);  // "Num", or "GroupNum" in a Firewall section
// "IgnoredAccounts Account3", "Firewall1 Group2": how messages name an entry (1 first).
std::string ListEntryName(const IdentityListPlace& place, std::size_t number);

// An entry as typed, checked as the worker will read it: false with the reason (an empty name, a
// misplaced *, a bad rule or group, a text config.ini cannot keep).
bool CheckListEntry(IdentityList list, std::string_view text, std::string& why);
// What the list stores for a checked entry: trimmed; an address rule in its written form
// ("include 10.99.0.0/16").
std::string StoredListEntry(IdentityList list, std::string_view text);

struct IdentitySettings {
    std::vector<std::string> accounts, addressRules, memberGroups;
    // By Firewall section number; only sections that hold a gateway.
    std::array<std::vector<std::string>, kMaxGateways> gatewayGroups{};
    std::array<bool, kMaxGateways> gatewayPresent{};
    std::array<std::string, kMaxGateways> gatewayAddress{};

    std::vector<std::string>& List(const IdentityListPlace& place);
    const std::vector<std::string>& List(const IdentityListPlace& place) const;
};
// The lists as the worker reads them (entry N at position N - 1, empty when missing). False
// (errno set) when the file cannot be read.
bool ReadIdentitySettings(const std::string& configPath, IdentitySettings& out);
// Replaces each list given (count and entries renumbered 1..N, stale entry keys removed) in one
// locked replacement of the file; a gateway's groups only in a Firewall section that exists.
// False with the reason, the file left as it was.
bool WriteIdentityLists(const std::string& configPath,
                        const std::vector<std::pair<IdentityListPlace, std::vector<std::string>>>& lists,
                        std::string& why);

// The rules as the worker builds them from the lists: empty entries skipped, a bad one left out
// and handed to `bad` (its place in the list, 1 first, and why).
struct IdentityRules {
    ExcludedAccounts ignored;
    AddressRules addresses;
};
using BadListEntry = std::function<void(IdentityList list, std::size_t number, const std::string& text,
                                        const std::string& why)>;
IdentityRules BuildIdentityRules(const std::vector<std::string>& accounts,
                                 const std::vector<std::string>& addressRules, const BadListEntry& bad);

}  // namespace orvane
