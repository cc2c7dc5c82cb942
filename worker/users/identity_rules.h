#pragma once
// Which logons may become firewall identities, as the administrator sets it: accounts never
// reported (exact, or a name with one trailing *) and ordered include/exclude address rules.
// Both are checked before any directory lookup, in both modes. Empty lists change nothing.
#include <string_view>

#include "common/identity_lists.h"
#include "worker/users/excluded_accounts.h"

namespace orvane {

struct WorkerSettings;

// Builds the rules from the settings' lists. Each bad entry is logged with its reason and left
// out; one line at start says what is in force. Set once before any thread that decides runs.
void SetIdentityRules(const WorkerSettings& settings);
const IdentityRules& GetIdentityRules();

// The check both modes make before a lookup. True when the logon of `user` (in `domain`, as the
// report or event names it) at `address` is not to be reported: counted by reason and logged
// once per user and address ("[INF]User ann at 10.0.5.7 not reported: …").
bool RefusedByIdentityRules(std::string_view user, std::string_view domain, std::string_view address);

// A user the directory knows, in none of the member groups: counted, logged once per user and
// address.
void NotReportedForGroups(std::string_view user, std::string_view address);

}  // namespace orvane
