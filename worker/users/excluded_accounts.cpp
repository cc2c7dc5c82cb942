#include "worker/users/excluded_accounts.h"

#include <algorithm>

#include "common/log.h"
#include "common/text.h"
#include "worker/directory/ldap_directory.h"

namespace orvane {
namespace {

ExcludedAccounts& List() {
    static ExcludedAccounts list;
    return list;
}

bool Unknown(std::string_view domain) { return domain.empty() || domain == "-"; }

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SameDomain(std::string_view a, std::string_view b) {
    if (Unknown(a) || Unknown(b) || EqualsNoCase(a, b)) return true;
    // A NetBIOS name against a DNS name: not comparable here.
    return (a.find('.') == std::string_view::npos) != (b.find('.') == std::string_view::npos);
}

}  // namespace

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

const ExcludedAccounts& GetExcludedAccounts() { return List(); }

void ExcludeAgentAccounts(const std::vector<std::string>& accounts) {
    ExcludedAccounts list;
    for (const std::string& a : accounts) list.Add(a);
    if (!list.Empty()) LogInfo("[INF]Logons of the agent's own accounts are not reported: %s", list.Describe().c_str());
    List() = std::move(list);
}

}  // namespace orvane
