#pragma once
// Accounts whose logons are never reported to the gateways. The agent's own directory accounts
// are among them: every lookup binds with one, and the DC logs that bind as a logon of the
// account at the agent's address.
#include <string>
#include <vector>

#include "common/identity_lists.h"

namespace orvane {

// The worker's list, set once at start-up before any thread that reports logons runs.
const ExcludedAccounts& GetExcludedAccounts();
// Excludes the agent's own accounts (every AdServer%u UserName) and logs once which they are.
void ExcludeAgentAccounts(const std::vector<std::string>& accounts);

}  // namespace orvane
