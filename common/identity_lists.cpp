#include "common/identity_lists.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/config.h"
#include "common/distinguished_name.h"
#include "common/profile.h"
#include "common/text.h"
#include "platform/udp.h"

namespace orvane {
namespace {

bool Unknown(std::string_view domain) { return domain.empty() || domain == "-"; }

bool SameDomain(std::string_view a, std::string_view b) {
    if (Unknown(a) || Unknown(b) || EqualsNoCase(a, b)) return true;
    // A NetBIOS name against a DNS name: not comparable here.
    return (a.find('.') == std::string_view::npos) != (b.find('.') == std::string_view::npos);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Ignored accounts.

void ExcludedAccounts::Add(std::string_view account) {
    std::string ignored;
    AddChecked(account, ignored);
}

bool ExcludedAccounts::AddChecked(std::string_view account, std::string& why) {
    Account a{TrimSpaces(account), {}, {}};
    std::string_view text(a.text);
    if (text.empty()) {
        why = "an empty name";
        return false;
    }
    if (const std::size_t slash = text.find('\\'); slash != std::string_view::npos) {
        a.domain = text.substr(0, slash);
        a.name = text.substr(slash + 1);
    } else if (const std::size_t at = text.find('@'); at != std::string_view::npos) {
        a.name = text.substr(0, at);
        a.domain = text.substr(at + 1);
    } else {
        a.name = text;
    }
    const std::size_t star = a.name.find('*');
    if (a.name.empty() || a.name == "*") {
        why = "an empty name";
        return false;
    }
    if (star != std::string::npos && star + 1 != a.name.size()) {
        why = "a * is allowed only at the end of the name";
        return false;
    }
    if (a.domain.find('*') != std::string::npos) {
        why = "a * is allowed only at the end of the name";
        return false;
    }
    for (const Account& known : accounts_) {
        if (EqualsNoCase(known.text, text)) return true;
    }
    std::string key = LowerAscii(star == std::string::npos ? a.name : a.name.substr(0, star));
    if (star == std::string::npos) {
        exact_[std::move(key)].push_back(accounts_.size());
    } else {
        longestPrefix_ = std::max(longestPrefix_, key.size());
        prefixes_[std::move(key)].push_back(accounts_.size());
    }
    accounts_.push_back(std::move(a));
    return true;
}

const std::string* ExcludedAccounts::Match(std::string_view name, std::string_view domain) const {
    if (accounts_.empty()) return nullptr;
    // A client report names the domain as dc=corp,dc=example,dc=com.
    std::string dns;
    if (domain.find('=') != std::string_view::npos) domain = dns = DnsDomainOfDn(domain);
    if (const std::size_t at = name.find('@'); at != std::string_view::npos) {
        if (Unknown(domain)) domain = name.substr(at + 1);
        name = name.substr(0, at);
    }
    const std::string lower = LowerAscii(name);
    auto matching = [&](const std::vector<std::size_t>& entries) -> const std::string* {
        for (std::size_t i : entries) {
            if (SameDomain(accounts_[i].domain, domain)) return &accounts_[i].text;
        }
        return nullptr;
    };
    if (auto it = exact_.find(lower); it != exact_.end()) {
        if (const std::string* text = matching(it->second)) return text;
    }
    if (prefixes_.empty()) return nullptr;
    std::string prefix;
    for (std::size_t n = 0; n <= std::min(lower.size(), longestPrefix_); ++n) {
        prefix.assign(lower, 0, n);
        if (auto it = prefixes_.find(prefix); it != prefixes_.end()) {
            if (const std::string* text = matching(it->second)) return text;
        }
    }
    return nullptr;
}

std::string ExcludedAccounts::Describe() const {
    std::string out;
    for (const Account& a : accounts_) {
        if (!out.empty()) out += ", ";
        out += a.text;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Address rules.

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

// ---------------------------------------------------------------------------------------------
// Member groups.

bool CheckGroupEntry(std::string_view text, std::string& why) {
    const std::string trimmed = TrimSpaces(text);
    if (trimmed.empty()) {
        why = "an empty group";
        return false;
    }
    if (trimmed.find('=') != std::string::npos) {
        if (CheckDnSyntax(trimmed, why)) return true;
        why = "not a distinguished name: " + why;
        return false;
    }
    constexpr std::string_view kForbidden = "\"/\\[]:;|=,+*?<>";
    if (const std::size_t bad = trimmed.find_first_of(kForbidden); bad != std::string::npos) {
        why = std::string("a group name (sAMAccountName) cannot hold '") + trimmed[bad] +
              "'; a distinguished name is written CN=...,DC=...";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The lists in config.ini.

std::string ListSection(const IdentityListPlace& place) {
    switch (place.list) {
        case IdentityList::Accounts: return "IgnoredAccounts";
        case IdentityList::Addresses: return "AddressRules";
        case IdentityList::Groups: break;
    }
    return place.gateway < 0 ? "MemberGroups" : "Firewall" + std::to_string(place.gateway);
}

const char* ListEntryKey(IdentityList list) {
    switch (list) {
        case IdentityList::Accounts: return "Account";
        case IdentityList::Addresses: return "Rule";
        case IdentityList::Groups: break;
    }
    return "Group";
}

const char* ListCountKey(const IdentityListPlace& place) {
    return place.list == IdentityList::Groups && place.gateway >= 0 ? "GroupNum" : "Num";
}

std::string ListEntryName(const IdentityListPlace& place, std::size_t number) {
    return ListSection(place) + " " + ListEntryKey(place.list) + std::to_string(number);
}

bool CheckListEntry(IdentityList list, std::string_view text, std::string& why) {
    const std::string trimmed = TrimSpaces(text);
    if (!FitsCapacity(trimmed, kNumberedListEntryCapacity)) {
        why = "longer than " + std::to_string(kNumberedListEntryCapacity - 1) + " characters";
        return false;
    }
    if (trimmed.find_first_of("\r\n") != std::string::npos) {
        why = "a line break cannot be kept in config.ini";
        return false;
    }
    switch (list) {
        case IdentityList::Accounts: {
            ExcludedAccounts probe;
            return probe.AddChecked(trimmed, why);
        }
        case IdentityList::Addresses: {
            AddressRule rule;
            return ParseAddressRule(trimmed, rule, why);
        }
        case IdentityList::Groups: break;
    }
    return CheckGroupEntry(trimmed, why);
}

std::string StoredListEntry(IdentityList list, std::string_view text) {
    AddressRule rule;
    std::string why;
    if (list == IdentityList::Addresses && ParseAddressRule(text, rule, why)) return rule.text;
    return TrimSpaces(text);
}

std::vector<std::string>& IdentitySettings::List(const IdentityListPlace& place) {
    switch (place.list) {
        case IdentityList::Accounts: return accounts;
        case IdentityList::Addresses: return addressRules;
        case IdentityList::Groups: break;
    }
    return place.gateway < 0 ? memberGroups : gatewayGroups.at(static_cast<std::size_t>(place.gateway));
}

const std::vector<std::string>& IdentitySettings::List(const IdentityListPlace& place) const {
    return const_cast<IdentitySettings&>(*this).List(place);
}

bool ReadIdentitySettings(const std::string& configPath, IdentitySettings& out) {
    ProfileFile f;
    if (!f.Load(configPath)) return false;
    out = IdentitySettings{};
    for (IdentityList list : {IdentityList::Accounts, IdentityList::Addresses, IdentityList::Groups}) {
        const IdentityListPlace place{list, -1};
        ReadNumberedList(f, ListSection(place), ListEntryKey(list), out.List(place), ListCountKey(place));
    }
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        const IdentityListPlace place{IdentityList::Groups, static_cast<int>(i)};
        const std::string section = ListSection(place);
        // A gateway is a section with an address, as the console lists them.
        const std::string ip = f.GetString(section, "Ip", "", kNumberedListEntryCapacity);
        if (ip.empty()) continue;
        out.gatewayPresent[i] = true;
        out.gatewayAddress[i] = ip;
        ReadNumberedList(f, section, ListEntryKey(place.list), out.List(place), ListCountKey(place));
    }
    return true;
}

namespace {

// KEY followed by digits only: an entry key of the list, whatever its number.
bool IsEntryKey(std::string_view name, std::string_view key) {
    return name.size() > key.size() && EqualsNoCase(name.substr(0, key.size()), key) &&
           name.find_first_not_of("0123456789", key.size()) == std::string_view::npos;
}

bool StoreList(ProfileFile& f, const IdentityListPlace& place, const std::vector<std::string>& entries,
               std::string& why) {
    const std::string section = ListSection(place);
    const std::string key = ListEntryKey(place.list);
    const char* countKey = ListCountKey(place);
    if (place.gateway >= 0 && f.GetString(section, "Ip", "", kNumberedListEntryCapacity).empty()) {
        why = "there is no gateway " + section;
        return false;
    }
    if (entries.size() > kMaxNumberedListEntries) {
        why = "a list holds at most " + std::to_string(kMaxNumberedListEntries) + " entries";
        return false;
    }
    // An empty list leaves a section that was never there alone.
    if (entries.empty() && !f.Find(section, countKey) && !f.HasSection(section)) return true;
    // Entries in place where their keys were, so comments beside them stay beside them.
    if (!f.Set(section, countKey, std::to_string(entries.size()))) {
        why = "cannot set " + section + " " + countKey;
        return false;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!f.Set(section, key + std::to_string(i + 1), entries[i])) {
            why = ListEntryName(place, i + 1) + " cannot be kept in config.ini as written";
            return false;
        }
    }
    for (const std::string& name : f.KeyNames(section)) {
        if (!IsEntryKey(name, key)) continue;
        const std::size_t number = std::stoul(name.substr(key.size()));
        // Rule01 beside Rule1 is another key that reads as nothing; only the line Set kept stays.
        if (number == 0 || number > entries.size() || !EqualsNoCase(name, key + std::to_string(number)))
            f.RemoveKey(section, name);
    }
    return true;
}

}  // namespace

bool WriteIdentityLists(const std::string& configPath,
                        const std::vector<std::pair<IdentityListPlace, std::vector<std::string>>>& lists,
                        std::string& why) {
    ProfileEdit edit(configPath);
    if (!edit.Open()) {
        why = "cannot open " + configPath + ": " + std::strerror(errno);
        return false;
    }
    for (const auto& [place, entries] : lists) {
        if (!StoreList(edit.File(), place, entries, why)) return false;
    }
    if (!edit.Commit()) {
        why = "cannot write " + configPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

IdentityRules BuildIdentityRules(const std::vector<std::string>& accounts,
                                 const std::vector<std::string>& addressRules, const BadListEntry& bad) {
    IdentityRules rules;
    std::string why;
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const std::string& text = accounts[i];
        if (!text.empty() && !rules.ignored.AddChecked(text, why) && bad) bad(IdentityList::Accounts, i + 1, text, why);
    }
    for (std::size_t i = 0; i < addressRules.size(); ++i) {
        const std::string& text = addressRules[i];
        AddressRule rule;
        if (text.empty()) continue;
        if (ParseAddressRule(text, rule, why)) {
            rule.key = i + 1;
            rules.addresses.Add(std::move(rule));
        } else if (bad) {
            bad(IdentityList::Addresses, i + 1, text, why);
        }
    }
    return rules;
}

}  // namespace orvane
