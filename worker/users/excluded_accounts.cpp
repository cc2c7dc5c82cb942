#include "worker/users/excluded_accounts.h"

#include "common/log.h"

namespace orvane {
namespace {

ExcludedAccounts& List() {
    static ExcludedAccounts list;
    return list;
}

}  // namespace

const ExcludedAccounts& GetExcludedAccounts() { return List(); }

void ExcludeAgentAccounts(const std::vector<std::string>& accounts) {
    ExcludedAccounts list;
    for (const std::string& a : accounts) list.Add(a);
    if (!list.Empty()) LogInfo("[INF]Logons of the agent's own accounts are not reported: %s", list.Describe().c_str());
    List() = std::move(list);
}

}  // namespace orvane
