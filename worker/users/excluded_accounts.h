#pragma once
// Accounts whose logons are never reported to the gateways. The agent's own directory accounts
// are among them: every lookup binds with one, and the DC logs that bind as a logon of the
// account at the agent's address.
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class ExcludedAccounts {
public:
    // `account` as configured: name, DOMAIN\name or name@dns.domain. Empty texts are ignored.
    void Add(std::string_view account);
    // True when the logon of `name` (a bare name or name@domain) in `domain` (NetBIOS or DNS
    // form, or dc=corp,dc=example,dc=com; empty or "-" when unknown) is not to be reported. Names and domains compare ignoring
    // case; a domain missing on either side, or given in the other form (CORP against
    // corp.example.com, which only the directory could relate), does not tell two accounts apart.
    bool Excludes(std::string_view name, std::string_view domain = {}) const;
    bool Empty() const { return accounts_.empty(); }
    // The accounts as configured, ", " between them.
    std::string Describe() const;

private:
    struct Account {
        std::string text, name, domain;
    };
    std::vector<Account> accounts_;
};

// The worker's list, set once at start-up before any thread that reports logons runs.
const ExcludedAccounts& GetExcludedAccounts();
// Excludes the agent's own accounts (every AdServer%u UserName) and logs once which they are.
void ExcludeAgentAccounts(const std::vector<std::string>& accounts);

}  // namespace orvane
