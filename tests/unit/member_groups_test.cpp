// Member groups in the lookups: the global groups inside the user's own search, a non-member
// told from an unknown user, gateway groups looked up once per cache time, groups resolved
// again after a rebind.
#include <gtest/gtest.h>

#include <string>

#include "tests/unit/fake_directory.h"
#include "tests/unit/test_util.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/member_groups.h"

namespace orvane {
namespace {

using testing::FakeAccount;
using testing::FakeClock;
using testing::FakeDirectory;
using testing::FakeServer;
using testing::ScopedClock;
using testing::ScopedMemoryLog;

constexpr const char* kVpn = "CN=VPN-Users,CN=Users,DC=corp,DC=example,DC=com";
constexpr const char* kSales = "CN=Sales-VPN,CN=Users,DC=corp,DC=example,DC=com";
constexpr const char* kAnn = "CN=ann,OU=Sales,DC=corp,DC=example,DC=com";
constexpr const char* kCarl = "CN=carl,CN=Users,DC=corp,DC=example,DC=com";
constexpr const char* kBob = "CN=bob,CN=Users,DC=corp,DC=example,DC=com";

class MemberGroupsTest : public ::testing::Test {
protected:
    MemberGroupsTest() : clock_(1700000000), scoped_(clock_) {
        FakeServer& s = fake_.Add("10.0.0.1");
        s.accounts = {FakeAccount{"ann", kAnn, true, {"0"}}, FakeAccount{"carl", kCarl, true, {"0"}},
                      FakeAccount{"bob", kBob, true, {"0"}}};
        s.groups = {{"VPN-Users", kVpn}, {"Sales-VPN", kSales}};
        // ann through Sales-VPN, flattened as the in-chain rule answers.
        s.members = {{kAnn, kSales}, {kAnn, kVpn}, {kCarl, kVpn}};
        DirectoryError error;
        handle_ = fake_.Open("10.0.0.1", "svc", "pw", error);
    }
    ~MemberGroupsTest() override { GetMemberGroups().Set({}, {}, 0, kDefaultMembershipCacheSeconds); }

    // Global groups, and gateway 1 (of two) with groups of its own.
    void Configure(std::vector<std::string> global, std::vector<std::string> second = {}) {
        std::array<std::vector<std::string>, kMaxGateways> per;
        per[1] = std::move(second);
        GetMemberGroups().Set(global, per, 2, 300);
    }
    FakeServer& Server() { return fake_.At("10.0.0.1"); }
    HResult Lookup(const char* user, OnlineUserRecord& r, Membership m = Membership::Checked) {
        return SearchUserOnServer(handle_.get(), user, "dc=corp", r, 0, nullptr, m);
    }

    FakeClock clock_;
    ScopedClock scoped_;
    FakeDirectory fake_;
    std::unique_ptr<DirectorySearch> handle_;
};

TEST_F(MemberGroupsTest, AMemberCostsOneSearchAndANonMemberIsToldFromAnUnknownUser) {
    ScopedMemoryLog log;
    Configure({"VPN-Users", "No-Such-Group"});
    OnlineUserRecord ann;
    ASSERT_EQ(Lookup("ann", ann), kSOk);
    EXPECT_EQ(ann.AdPath(), "OU=Sales,DC=corp,DC=example,DC=com");
    // Two resolutions (one per group), then the user's search with the nested-membership clause.
    ASSERT_EQ(Server().filters.size(), 3u);
    EXPECT_EQ(Server().filters[0], "(&(objectClass=group)(sAMAccountName=VPN-Users))");
    EXPECT_EQ(Server().filters[2],
              std::string("(&(objectCategory=person)(objectClass=user)(sAMAccountName=ann)"
                          "(|(memberOf:1.2.840.113556.1.4.1941:=") +
                  kVpn + ")))");
    EXPECT_NE(log.Text().find("[ERR]Member group \"No-Such-Group\" does not exist at 10.0.0.1; it is left out."),
              std::string::npos)
        << log.Text();

    OnlineUserRecord bob, nobody;
    EXPECT_EQ(Lookup("bob", bob), kENotInGroups);
    EXPECT_EQ(Server().filters.size(), 5u);  // the grouped search, then the plain one
    EXPECT_EQ(Lookup("nobody", nobody), kEFail);
    // A logoff is never refused for groups.
    OnlineUserRecord bobLeaving;
    EXPECT_EQ(Lookup("bob", bobLeaving, Membership::GatewaysOnly), kSOk);
}

TEST_F(MemberGroupsTest, AListOfOnlyBadlyWrittenGroupsStillRestrictsEveryone) {
    ScopedMemoryLog log;
    Configure({"VPN*Users"}, {"CN=,DC=corp"});
    EXPECT_TRUE(GetMemberGroups().HasGlobal());
    EXPECT_NE(log.Text().find("[ERR]Member group \"VPN*Users\" is left out:"), std::string::npos) << log.Text();
    OnlineUserRecord ann, leaving;
    EXPECT_EQ(Lookup("ann", ann), kENotInGroups);
    EXPECT_NE(log.Text().find("[ERR]No member group exists at 10.0.0.1"), std::string::npos) << log.Text();
    // The gateway whose only group is unusable hears of nobody, not of everybody.
    ASSERT_EQ(Lookup("ann", leaving, Membership::GatewaysOnly), kSOk);
    EXPECT_EQ(leaving.withheldMask, 1u << 1);
}

TEST_F(MemberGroupsTest, AGatewayWithGroupsOfItsOwnIsWithheldForNonMembersAndTheAnswerIsRemembered) {
    Configure({}, {kSales});
    OnlineUserRecord ann, carl;
    ASSERT_EQ(Lookup("ann", ann), kSOk);
    EXPECT_EQ(ann.withheldMask, 0);
    ASSERT_EQ(Lookup("carl", carl), kSOk);
    EXPECT_EQ(carl.withheldMask, 1u << 1);
    const std::size_t searches = Server().filters.size();
    EXPECT_EQ(Server().filters.back(),
              std::string("(&(objectClass=group)(member:1.2.840.113556.1.4.1941:=") + kCarl +
                  ")(|(distinguishedName=" + kSales + ")))");

    // Within the cache time only the user's own search goes out; after it, the groups again.
    OnlineUserRecord again;
    ASSERT_EQ(Lookup("carl", again), kSOk);
    EXPECT_EQ(again.withheldMask, 1u << 1);
    EXPECT_EQ(Server().filters.size(), searches + 1);
    Server().members.push_back({kCarl, kSales});
    clock_.Advance(301);
    ASSERT_EQ(Lookup("carl", again), kSOk);
    EXPECT_EQ(again.withheldMask, 0);
    EXPECT_EQ(Server().filters.size(), searches + 3);
}

TEST_F(MemberGroupsTest, GroupsAreResolvedAgainAfterARebindAndAFailedResolutionIsAFailedLookup) {
    Configure({"VPN-Users"});
    OnlineUserRecord r;
    ASSERT_EQ(Lookup("carl", r), kSOk);
    const std::size_t first = Server().filters.size();
    ASSERT_EQ(Lookup("carl", r), kSOk);
    EXPECT_EQ(Server().filters.size(), first + 1);  // resolved once per bind
    Server().binds = 2;
    const auto groups = Server().groups;
    Server().groups.clear();
    Server().searchFailure = 112;  // EHOSTDOWN: the DC went away while resolving
    int error = 0;
    EXPECT_LT(SearchUserOnServer(handle_.get(), "carl", "dc=corp", r, 0, &error), 0);
    EXPECT_EQ(error, 112);
    EXPECT_TRUE(IsUnreachableError(error));
    Server().searchFailure = 0;
    Server().groups = groups;
    ASSERT_EQ(Lookup("carl", r), kSOk);
    // The failed resolution, then a new one and the user's search.
    ASSERT_EQ(Server().filters.size(), first + 4);
    EXPECT_EQ(Server().filters[first + 2], "(&(objectClass=group)(sAMAccountName=VPN-Users))");
}

// A gateway-group read that fails fails the lookup with its reason logged, in both modes (the
// log-query line alone would say "User non-exist").
TEST_F(MemberGroupsTest, AFailedGatewayGroupReadFailsTheLookupWithItsReasonInBothModes) {
    ScopedMemoryLog log;
    Configure({}, {kSales});
    Server().searchFailure = 112;  // EHOSTDOWN after the entries: the user is found, the groups are not
    OnlineUserRecord r;
    EXPECT_LT(Lookup("carl", r), 0);
    EXPECT_EQ(FindUserInDirectory(handle_.get(), "ann", r), HResultFromSystemError(112));
    EXPECT_EQ(log.Count("[ERR]Cannot read the gateway groups of user carl at 10.0.0.1:"), 1u) << log.Text();
    EXPECT_EQ(log.Count("[ERR]Cannot read the gateway groups of user ann at 10.0.0.1:"), 1u) << log.Text();
}

// What is sent ahead must be exactly the lookup's first search, or no lookup ever reads it: with
// and without the groups, for logons and logoffs, on the first server that has a handle.
TEST_F(MemberGroupsTest, TheSearchSentAheadIsTheLookupsOwnFirstSearch) {
    DirectoryServerList list;
    list.Load({ServerEntry{"10.0.0.9", "CORP\\svc", "pw", ""}, ServerEntry{"10.0.0.1", "CORP\\svc", "pw", ""}});
    DirectoryServerTable table(fake_);
    table.ConnectDirectoryServers(list, 2);  // 10.0.0.9 is down
    auto sentAheadIsFirstSearch = [&](const char* user, Membership m) {
        const std::size_t sent = Server().prefetched.size(), asked = Server().filters.size();
        table.Prefetch(user, m);
        OnlineUserRecord r;
        table.VerifyUser(user, "dc=corp", r, m);
        if (Server().prefetched.size() != sent + 1) return ::testing::AssertionFailure() << "nothing sent ahead";
        std::size_t first = asked;  // the group resolutions come first
        while (first < Server().filters.size() &&
               Server().filters[first].find("(objectClass=group)") != std::string::npos)
            ++first;
        if (first == Server().filters.size()) return ::testing::AssertionFailure() << "no user search";
        if (Server().prefetched.back() != std::make_pair(Server().filters[first], bool(Server().withLastLogon[first])))
            return ::testing::AssertionFailure() << Server().prefetched.back().first << " against " << Server().filters[first];
        return ::testing::AssertionSuccess();
    };
    EXPECT_TRUE(sentAheadIsFirstSearch("ann", Membership::Checked));

    Configure({"VPN-Users"}, {"Sales-VPN"});
    // Before the groups are resolved on this bind the first search cannot be told: none is sent.
    table.Prefetch("ann", Membership::Checked);
    EXPECT_EQ(Server().prefetched.size(), 1u);
    OnlineUserRecord resolving;
    ASSERT_EQ(table.VerifyUser("ann", "dc=corp", resolving), kSOk);
    EXPECT_TRUE(sentAheadIsFirstSearch("carl", Membership::Checked));
    EXPECT_NE(Server().prefetched.back().first.find("memberOf:1.2.840.113556.1.4.1941:="), std::string::npos);
    EXPECT_TRUE(sentAheadIsFirstSearch("bob", Membership::Checked));  // a non-member: two searches
    EXPECT_TRUE(sentAheadIsFirstSearch("ann", Membership::GatewaysOnly));
    EXPECT_EQ(Server().prefetched.back().first.find("memberOf"), std::string::npos);

    // Log-query lookups: no last logon (the groups resolved on this handle first).
    OnlineUserRecord r;
    ASSERT_EQ(FindUserInDirectory(handle_.get(), "ann", r), kSOk);
    const std::size_t asked = Server().filters.size();
    PrefetchUserInDirectory(handle_.get(), "carl");
    ASSERT_EQ(FindUserInDirectory(handle_.get(), "carl", r), kSOk);
    ASSERT_GT(Server().filters.size(), asked);
    EXPECT_EQ(Server().prefetched.back(), std::make_pair(Server().filters[asked], false));
}

}  // namespace
}  // namespace orvane
