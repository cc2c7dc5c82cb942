#pragma once
// Accounts whose logons are never reported to the gateways. The agent's own directory accounts
// are among them: every lookup binds with one, and the DC logs that bind as a logon of the
// account at the agent's address.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// The worker's list, set once at start-up before any thread that reports logons runs.
const ExcludedAccounts& GetExcludedAccounts();
// Excludes the agent's own accounts (every AdServer%u UserName) and logs once which they are.
void ExcludeAgentAccounts(const std::vector<std::string>& accounts);

}  // namespace orvane
