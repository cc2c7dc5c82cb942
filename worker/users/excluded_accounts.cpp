#include "worker/users/excluded_accounts.h"

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

bool SameDomain(std::string_view a, std::string_view b) {
    if (Unknown(a) || Unknown(b) || EqualsNoCase(a, b)) return true;
    // A NetBIOS name against a DNS name: not comparable here.
    return (a.find('.') == std::string_view::npos) != (b.find('.') == std::string_view::npos);
}

}  // namespace

void ExcludedAccounts::Add(std::string_view account) {
    Account a{TrimSpaces(account), {}, {}};
    std::string_view text(a.text);
    if (text.empty()) return;
    for (const Account& known : accounts_) {
        if (EqualsNoCase(known.text, text)) return;
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
    if (a.name.empty()) return;
    accounts_.push_back(std::move(a));
}

bool ExcludedAccounts::Excludes(std::string_view name, std::string_view domain) const {
    // A client report names the domain as dc=corp,dc=example,dc=com.
    std::string dns;
    if (domain.find('=') != std::string_view::npos) domain = dns = DnsDomainOfDn(domain);
    if (const std::size_t at = name.find('@'); at != std::string_view::npos) {
        if (Unknown(domain)) domain = name.substr(at + 1);
        name = name.substr(0, at);
    }
    for (const Account& a : accounts_) {
        if (EqualsNoCase(a.name, name) && SameDomain(a.domain, domain)) return true;
    }
    return false;
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
