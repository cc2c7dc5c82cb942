#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "worker/users/excluded_accounts.h"

namespace orvane {
namespace {

TEST(ExcludedAccounts, EveryConfiguredFormMatchesTheEventsOfItsAccountOnly) {
    ExcludedAccounts list;
    list.Add("CORP\\svc-orvane");
    list.Add("reader@corp.example.com");
    list.Add("  lookup ");
    list.Add("");
    list.Add("corp\\SVC-ORVANE");  // the same account again
    EXPECT_EQ(list.Describe(), "CORP\\svc-orvane, reader@corp.example.com, lookup");

    // As the DC logs them: NetBIOS domain in a 4624, the realm in a 4768, a UPN as the name.
    EXPECT_TRUE(list.Excludes("svc-orvane", "CORP"));
    EXPECT_TRUE(list.Excludes("SVC-Orvane", "corp"));
    EXPECT_TRUE(list.Excludes("svc-orvane", "CORP.EXAMPLE.COM"));
    EXPECT_TRUE(list.Excludes("svc-orvane@CORP.EXAMPLE.COM"));
    EXPECT_TRUE(list.Excludes("svc-orvane", "-"));
    EXPECT_TRUE(list.Excludes("svc-orvane", "dc=corp,dc=example,dc=com")) << "a client report's domain";
    EXPECT_TRUE(list.Excludes("Reader", "CORP.EXAMPLE.COM"));
    EXPECT_TRUE(list.Excludes("reader", "CORP"));
    EXPECT_TRUE(list.Excludes("LOOKUP", "ANY"));

    // Another account, or the same name in a domain that is told apart.
    EXPECT_FALSE(list.Excludes("svc-orvane2", "CORP"));
    EXPECT_FALSE(list.Excludes("svc", "CORP"));
    EXPECT_FALSE(list.Excludes("ann", "CORP"));
    EXPECT_FALSE(list.Excludes("svc-orvane", "LAB"));
    EXPECT_FALSE(list.Excludes("reader@lab.example.com"));
    EXPECT_FALSE(list.Excludes("reader", "lab.example.com"));
    EXPECT_FALSE(list.Excludes("reader", "dc=lab,dc=example,dc=com"));
    EXPECT_FALSE(ExcludedAccounts().Excludes("svc-orvane", "CORP"));
}

TEST(ExcludedAccounts, TheAgentsAccountsAreNamedOnceAtStart) {
    testing::ScopedMemoryLog log;
    ExcludeAgentAccounts({"CORP\\svc-orvane", "CORP\\svc-orvane", "reader@corp.example.com"});
    EXPECT_TRUE(GetExcludedAccounts().Excludes("svc-orvane", "CORP"));
    EXPECT_EQ(log.Text(),
              "[INF]Logons of the agent's own accounts are not reported: CORP\\svc-orvane, reader@corp.example.com\n");
    ExcludeAgentAccounts({});
    EXPECT_FALSE(GetExcludedAccounts().Excludes("svc-orvane", "CORP"));
    EXPECT_EQ(log.Text(),
              "[INF]Logons of the agent's own accounts are not reported: CORP\\svc-orvane, reader@corp.example.com\n")
        << "nothing is said when no account is configured";
}

}  // namespace
}  // namespace orvane
