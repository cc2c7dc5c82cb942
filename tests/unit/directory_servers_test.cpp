// Directory-server table, reconnection rule and user lookups, against a directory double.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "common/log.h"
#include "tests/unit/fake_directory.h"
#include "tests/unit/test_util.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/ldap_directory.h"
#include "worker/directory/logon_time.h"

namespace orvane {
namespace {

using testing::FakeAccount;
using testing::FakeClock;
using testing::FakeDirectory;
using testing::FakeServer;
using testing::ScopedClock;
using testing::ScopedDirectoryClient;
using testing::ScopedMemoryLog;

constexpr const char* kBase = "DC=corp,DC=example,DC=com";
// 2024-03-10 12:00:00 UTC and 2024-07-01 12:00:00 UTC as directory FILETIMEs.
constexpr std::int64_t kMarchNoonUtc = 1710072000;
constexpr const char* kMarchNoonFileTime = "133545456000000000";
constexpr std::int64_t kJulyNoonUtc = 1719835200;
constexpr const char* kJulyNoonFileTime = "133643088000000000";

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) : tz_(std::in_place, "TZ", tz) { tzset(); }
    ~ScopedTimeZone() {
        tz_.reset();
        tzset();
    }

private:
    std::optional<testing::ScopedEnv> tz_;
};

ServerEntry Entry(const std::string& ip, const std::string& user = "CORP\\svc", const std::string& password = "pw") {
    return ServerEntry{ip, user, password, ""};
}

FakeAccount Account(const std::string& name, const std::string& dn, const std::string& lastLogon = "0") {
    return FakeAccount{name, dn, true, {lastLogon}};
}

std::string FilterFor(const std::string& escapedName) {
    return "(&(objectCategory=person)(objectClass=user)(sAMAccountName=" + escapedName + "))";
}

// A table connected to the given servers, in order, with the fake directory and a fake clock.
class DirectoryTableTest : public ::testing::Test {
protected:
    DirectoryTableTest() : clock_(1700000000), scopedClock_(clock_), table_(fake_) {}

    void Connect(std::initializer_list<const char*> addresses, int adServerNum = -1) {
        std::vector<ServerEntry> entries;
        for (const char* a : addresses) entries.push_back(Entry(a));
        list_.Load(entries);
        table_.ConnectDirectoryServers(list_, adServerNum < 0 ? static_cast<unsigned>(entries.size())
                                                              : static_cast<unsigned>(adServerNum));
    }

    FakeClock clock_;
    ScopedClock scopedClock_;
    ScopedMemoryLog log_;
    FakeDirectory fake_;
    DirectoryServerList list_;
    DirectoryServerTable table_;
};

// ---------------------------------------------------------------------------------------------
// Texts: AD path rule, bind user, ExtractAdPath.

TEST(DirectoryTexts, AdPathStartsAtFirstOuWithCommaElseAtFirstDc) {
    EXPECT_EQ(AdPathOf("LDAP://h/CN=Ann,OU=Sales,OU=East,DC=corp,DC=com"), "OU=Sales,OU=East,DC=corp,DC=com");
    EXPECT_EQ(AdPathOf("LDAP://h/CN=Ann,CN=Users,DC=corp,DC=com"), "DC=corp,DC=com");
    EXPECT_EQ(AdPathOf("LDAP://10.0.0.5/CN=Ann Lee,OU=Sales,DC=corp,DC=com"), "OU=Sales,DC=corp,DC=com");
    // An "OU=" with no comma after it gives no AD path, even though a "DC=" comes before it.
    EXPECT_EQ(AdPathOf("LDAP://h/CN=x,DC=corp,OU=Last"), "");
    EXPECT_EQ(AdPathOf("LDAP://h/CN=Ann,CN=Users"), "");
    // Case-sensitive: "ou=" is not an OU, so the path starts at "DC=".
    EXPECT_EQ(AdPathOf("LDAP://h/CN=Ann,ou=Sales,DC=corp"), "DC=corp");
    EXPECT_EQ(AdPathOf("LDAP://h/CN=Ann,OU=Sales,dc=corp"), "OU=Sales,dc=corp");
}

TEST(DirectoryTexts, BindUserIsThePartAfterTheFirstBackslash) {
    EXPECT_EQ(BindUserOf("CORP\\ann"), "ann");
    EXPECT_EQ(BindUserOf("ann"), "ann");
    EXPECT_EQ(BindUserOf("a\\b\\c"), "b\\c");
    EXPECT_EQ(BindUserOf("ann@corp.example.com"), "ann@corp.example.com");
}

TEST(DirectoryTexts, ExtractAdPathStoresPathAndUserName) {
    OnlineUserRecord record;
    const std::string path = "LDAP://h/CN=Ann,OU=Sales,DC=corp,DC=com";
    EXPECT_EQ(ExtractAdPath(&record, &path, "ann"), kSOk);
    EXPECT_EQ(record.AdPath(), "OU=Sales,DC=corp,DC=com");
    EXPECT_EQ(record.UserName(), "ann");

    OnlineUserRecord noPath;
    const std::string bad = "LDAP://h/CN=Ann,DC=corp,OU=x";
    EXPECT_EQ(ExtractAdPath(&noPath, &bad, "ann"), kSOk);
    EXPECT_EQ(noPath.AdPath(), "");
    EXPECT_EQ(noPath.UserName(), "ann");

    EXPECT_EQ(ExtractAdPath(nullptr, &path, "ann"), kEFail);
    EXPECT_EQ(ExtractAdPath(&record, nullptr, "ann"), kEFail);
}

// ---------------------------------------------------------------------------------------------
// lastLogon: FILETIME -> UTC calendar fields -> mktime with tm_isdst 0.

TEST(DirectoryLastLogon, UtcFieldsAreReadAsLocalStandardTime) {
    {
        ScopedTimeZone tz("UTC0");
        EXPECT_EQ(FileTimeToLogonTime(133545456000000000), kMarchNoonUtc);
    }
    {
        ScopedTimeZone tz("<+08>-8");
        EXPECT_EQ(FileTimeToLogonTime(133545456000000000), kMarchNoonUtc - 8 * 3600);
    }
    {
        // tm_isdst 0 even in summer: July fields are read as standard time (UTC-5), not UTC-4.
        ScopedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(FileTimeToLogonTime(133643088000000000), kJulyNoonUtc + 5 * 3600);
        // The anti-replay "now" goes through the same conversion, so the two compare.
        EXPECT_EQ(UtcToLogonTime(kJulyNoonUtc), FileTimeToLogonTime(133643088000000000));
    }
}

TEST(DirectoryLastLogon, EverySecondMatchesMktimeAcrossZoneChanges) {
    // Conversions are shared per minute; each second must still read exactly as mktime reads
    // it, also in the minutes around a change of offset and in zones with half-hour offsets.
    auto direct = [](std::int64_t utc) {
        std::time_t t = static_cast<std::time_t>(utc);
        std::tm fields{};
        gmtime_r(&t, &fields);
        fields.tm_isdst = 0;
        return static_cast<std::int64_t>(std::mktime(&fields));
    };
    struct Case {
        const char* tz;
        std::int64_t around;  // a UTC instant whose calendar fields, read as local, meet a change
    };
    const Case cases[] = {
        {"EST5EDT,M3.2.0,M11.1.0", 1710037800},          // 2024-03-10 02:30 read as local: the gap
        {"EST5EDT,M3.2.0,M11.1.0", 1730599200},          // 2024-11-03 02:00: the repeated hour
        {"ACST-9:30ACDT,M10.1.0,M4.1.0/3", 1712458800},  // 2024-04-07 03:00 in Adelaide
        {"<+0545>-5:45", kJulyNoonUtc},
        {"XST5XDT,M3.2.0/2:30,M11.1.0/1:30", 1710037800},  // changes in the middle of an hour
    };
    for (const Case& c : cases) {
        ScopedTimeZone tz(c.tz);
        for (std::int64_t t = c.around - 3700; t <= c.around + 3700; t += 7) {
            ASSERT_EQ(UtcToLogonTime(t), direct(t)) << c.tz << " at " << t;
        }
    }
}

TEST(DirectoryLastLogon, NeverLoggedOnIsZero) {
    ScopedTimeZone tz("<+08>-8");
    EXPECT_EQ(FileTimeToLogonTime(0), 0);
    EXPECT_EQ(FileTimeToLogonTime(-1), 0);
    EXPECT_EQ(FileTimeToLogonTime(116444736000000000), 0);  // 1970-01-01 itself
}

TEST(DirectoryLastLogon, ValuesAndFailures) {
    ScopedTimeZone tz("UTC0");
    ScopedMemoryLog log;
    std::vector<std::string_view> values;
    DirectoryAccount account;

    OnlineUserRecord record;
    values = {kMarchNoonFileTime, kJulyNoonFileTime};
    account.hasLastLogon = true;
    account.lastLogon = values;
    EXPECT_EQ(GetUserLastLogon(account, record), kSOk);
    EXPECT_EQ(record.lastLogonTime, kJulyNoonUtc) << "a later value overwrites an earlier one";

    // A value that is not a number stops the walk; what was stored before stays.
    values = {kMarchNoonFileTime, "12x", kJulyNoonFileTime};
    account.lastLogon = values;
    record.lastLogonTime = 0;
    EXPECT_EQ(GetUserLastLogon(account, record), kSOk);
    EXPECT_EQ(record.lastLogonTime, kMarchNoonUtc);
    EXPECT_TRUE(log.Contains("[ERR]Fail to Get Element."));

    // No lastLogon at all: logged, the time is left as it was.
    DirectoryAccount none;
    record.lastLogonTime = 77;
    EXPECT_EQ(GetUserLastLogon(none, record), kSOk);
    EXPECT_EQ(record.lastLogonTime, 77);
    EXPECT_TRUE(log.Contains("[ERR]Fail to Get a property entry."));
}

// ---------------------------------------------------------------------------------------------
// ConnectDirectoryServers.

TEST_F(DirectoryTableTest, SlotsFollowListOrderAndBindWithTheUserPart) {
    fake_.Add("10.0.0.1");
    fake_.Add("10.0.0.2");
    fake_.Add("10.0.0.3");
    Connect({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    ASSERT_EQ(table_.SlotCount(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        const std::string address = "10.0.0." + std::to_string(i + 1);
        EXPECT_EQ(table_.Slot(i).address, address);
        EXPECT_EQ(table_.Slot(i).bindUser, "svc");
        EXPECT_TRUE(table_.Slot(i).searchHandle);
        EXPECT_EQ(fake_.At(address).bindUsers, std::vector<std::string>{"svc"});
        EXPECT_EQ(fake_.At(address).passwords, std::vector<std::string>{"pw"});
        EXPECT_TRUE(log_.Contains("[INF]Open AD (" + address + ") success in initialization!"));
    }
    EXPECT_EQ(list_.Size(), 0u);
}

TEST_F(DirectoryTableTest, TakesAtMostAdServerNumEntriesAndStopsWhenTheListIsEmpty) {
    fake_.Add("10.0.0.1");
    fake_.Add("10.0.0.2");
    Connect({"10.0.0.1", "10.0.0.2", "10.0.0.3"}, 2);
    EXPECT_EQ(table_.SlotCount(), 2u);
    EXPECT_EQ(list_.Size(), 1u) << "the third entry is not taken";

    DirectoryServerTable other(fake_);
    DirectoryServerList shortList;
    shortList.Load({Entry("10.0.0.1")});
    other.ConnectDirectoryServers(shortList, 5);
    EXPECT_EQ(other.SlotCount(), 1u);
}

TEST_F(DirectoryTableTest, NeverMoreThanSixteenSlots) {
    std::vector<ServerEntry> entries;
    for (int i = 1; i <= 18; ++i) {
        entries.push_back(Entry("10.0.1." + std::to_string(i)));
        fake_.Add(entries.back().ip);
    }
    list_.Load(entries);
    table_.ConnectDirectoryServers(list_, 18);
    EXPECT_EQ(table_.SlotCount(), 16u);
    EXPECT_EQ(table_.Slot(15).address, "10.0.1.16");
    EXPECT_EQ(fake_.At("10.0.1.17").opens, 0);
}

TEST_F(DirectoryTableTest, ReconnectingTheTableStartsFromZero) {
    fake_.Add("10.0.0.1");
    Connect({"10.0.0.1"});
    ASSERT_TRUE(table_.Slot(0).searchHandle);
    table_.ConnectDirectoryServers(list_, 1);  // the list is used up
    EXPECT_EQ(table_.SlotCount(), 0u);
    EXPECT_FALSE(table_.Slot(0).searchHandle);
    EXPECT_EQ(table_.Slot(0).address, "");
}

struct StageMessages {
    BindStage stage;
    const char* initialization;
    const char* reconnection;
};

class DirectoryBindFailureTest : public DirectoryTableTest, public ::testing::WithParamInterface<StageMessages> {};

TEST_P(DirectoryBindFailureTest, EachStageHasItsInitializationAndReconnectionMessage) {
    const StageMessages& p = GetParam();
    fake_.Add("10.0.0.5").bindFailure = DirectoryError{p.stage, EACCES};
    Connect({"10.0.0.5"});
    const std::string text = FormatSystemError(EACCES);
    char expected[512];
    std::snprintf(expected, sizeof expected, p.initialization, "10.0.0.5", text.c_str());
    EXPECT_TRUE(log_.Contains(expected)) << log_.Text();
    EXPECT_FALSE(table_.Slot(0).searchHandle);
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 0);

    log_.log().Clear();
    EXPECT_EQ(table_.ReconnectDirectoryServer(0), -1);
    std::snprintf(expected, sizeof expected, p.reconnection, "10.0.0.5", text.c_str());
    EXPECT_TRUE(log_.Contains(expected)) << log_.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Stages, DirectoryBindFailureTest,
    ::testing::Values(
        StageMessages{BindStage::RootDse, "[ERR]Connect ad fail in initialization %s: %s", "[ERR]Fail to connect ad (%s). %s"},
        StageMessages{BindStage::NamingContext, "[ERR]get defaultname fail in initialization %s: %s",
                      "[ERR]Fail to get domain name (%s). %s"},
        StageMessages{BindStage::BindDomain, "[ERR]Bind domain fail in initialization%s: %s",
                      "[ERR]fail to bind Domain %s: %s"},
        StageMessages{BindStage::NoHandle, "[ERR]Init AD (%s) handle failed in initialization",
                      "[ERR]handle is null %s"}));

// ---------------------------------------------------------------------------------------------
// NeedReconnect, ReconnectDirectoryServer, RecordReconnectResult.

TEST_F(DirectoryTableTest, ABoundSlotNeverNeedsReconnecting) {
    fake_.Add("10.0.0.1");
    Connect({"10.0.0.1"});
    log_.log().Clear();
    EXPECT_FALSE(table_.NeedReconnect(0));
    EXPECT_EQ(table_.ReconnectDirectoryServer(0), 0);
    EXPECT_EQ(fake_.At("10.0.0.1").opens, 1) << "a bound slot is not opened again";
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(DirectoryTableTest, ReconnectIntervalIsMoreThan180Seconds) {
    Connect({"10.0.0.9"});  // down
    EXPECT_TRUE(table_.NeedReconnect(0));
    EXPECT_TRUE(log_.Contains("[INF]The count of reconnect is 0, it needs to reconnect AD(10.0.0.9)!"));

    const std::int64_t failedAt = clock_.Now();
    table_.RecordReconnectResult(table_.ReconnectDirectoryServer(0), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Reconnect AD fail (10.0.0.9)!"));
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 1);
    EXPECT_EQ(table_.Slot(0).lastFailedReconnect, failedAt);

    log_.log().Clear();
    clock_.Set(failedAt + 180);
    EXPECT_FALSE(table_.NeedReconnect(0)) << "exactly 180 seconds is still too early";
    EXPECT_EQ(log_.Text(), "");
    clock_.Set(failedAt + 181);
    EXPECT_TRUE(table_.NeedReconnect(0));
    EXPECT_TRUE(log_.Contains("[INF]The reconnection interval is over 180s, it needs to reconnect AD(10.0.0.9)!"));

    log_.log().Clear();
    clock_.Set(failedAt - 1);
    EXPECT_TRUE(table_.NeedReconnect(0)) << "a clock set back must not lock the slot out";
    EXPECT_TRUE(log_.Contains("[INF]The time is invalid, it needs to reconnect AD(10.0.0.9)!"));
}

TEST_F(DirectoryTableTest, RecordReconnectResultCountsFailuresAndResetsOnSuccess) {
    Connect({"10.0.0.9"});
    table_.RecordReconnectResult(-1, 0);
    clock_.Advance(200);
    table_.RecordReconnectResult(-1, 0);
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 2);
    EXPECT_EQ(table_.Slot(0).lastFailedReconnect, clock_.Now());
    table_.RecordReconnectResult(0, 0);
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 0);
    EXPECT_EQ(table_.Slot(0).lastFailedReconnect, 0);
    EXPECT_TRUE(log_.Contains("[INF]Reconnect AD success (10.0.0.9)!"));
}

TEST_F(DirectoryTableTest, FailedSlotIsSkippedUntilTheIntervalHasPassedThenRebinds) {
    // Binding failed at start-up; the first lookup at 10:00:00 tries again and fails.
    fake_.Add("10.0.0.2").accounts = {Account("ann", std::string("CN=ann,OU=Sales,") + kBase)};
    Connect({"10.0.0.9", "10.0.0.2"});
    const std::int64_t tenOClock = 1700000000;
    clock_.Set(tenOClock);
    OnlineUserRecord r1;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r1), kSOk);
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 1);

    // 10:03:00 is exactly 180 s later: not tried.
    fake_.Add("10.0.0.9");  // the server is back
    clock_.Set(tenOClock + 180);
    OnlineUserRecord r2;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r2), kSOk);
    EXPECT_EQ(fake_.At("10.0.0.9").opens, 0);

    // The first lookup after it rebinds the slot.
    log_.log().Clear();
    clock_.Set(tenOClock + 181);
    OnlineUserRecord r3;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r3), kSOk);
    EXPECT_EQ(fake_.At("10.0.0.9").opens, 1);
    EXPECT_TRUE(table_.Slot(0).searchHandle);
    EXPECT_EQ(table_.Slot(0).failedReconnectCount, 0);
    EXPECT_TRUE(log_.Contains("[INF]ip 10.0.0.9 path LDAP://10.0.0.9/DC=corp,DC=example,DC=com: Open AD Success!"));
    EXPECT_TRUE(log_.Contains("[INF]Reconnect AD success (10.0.0.9)!"));
}

// ---------------------------------------------------------------------------------------------
// VerifyUser and SearchUserOnServer.

TEST_F(DirectoryTableTest, LowerSlotVouchesAndGivesItsLastLogon) {
    ScopedTimeZone tz("UTC0");
    fake_.Add("10.0.0.1").accounts = {Account("ann", std::string("CN=ann,OU=Sales,") + kBase, kMarchNoonFileTime)};
    fake_.Add("10.0.0.2").accounts = {Account("ann", std::string("CN=ann,CN=Users,") + kBase, kJulyNoonFileTime)};
    Connect({"10.0.0.1", "10.0.0.2"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kSOk);
    EXPECT_EQ(record.AdPath(), std::string("OU=Sales,") + kBase);
    EXPECT_EQ(record.lastLogonTime, kMarchNoonUtc);
    EXPECT_EQ(fake_.At("10.0.0.2").searches, 0);
    EXPECT_EQ(fake_.At("10.0.0.1").filters, std::vector<std::string>{FilterFor("ann")});
    EXPECT_EQ(fake_.At("10.0.0.1").withLastLogon, std::vector<bool>{true});
}

TEST_F(DirectoryTableTest, ServersAreAskedInOrderUntilOneKnowsTheUser) {
    fake_.Add("10.0.0.1").accounts = {Account("ann", std::string("CN=ann,") + kBase)};
    fake_.Add("10.0.0.2").accounts = {Account("bob", std::string("CN=bob,CN=Users,") + kBase)};
    Connect({"10.0.0.1", "10.0.0.2"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("bob", "dc=corp", record), kSOk);
    EXPECT_EQ(record.AdPath(), kBase);
    EXPECT_EQ(record.lastLogonTime, 0) << "never logged on";
    EXPECT_TRUE(log_.Contains("[ERR]Fail to execute the search,adserv count = 0."));
    EXPECT_FALSE(log_.Contains("[ERR]Fail to execute the search,adserv count = 1."));

    log_.log().Clear();
    OnlineUserRecord nobody;
    EXPECT_EQ(table_.VerifyUser("carl", "dc=corp", nobody), kEFail);
    EXPECT_EQ(log_.Text(),
              "[ERR]Fail to execute the search,adserv count = 0.\n"
              "[ERR]Fail to execute the search,adserv count = 1.\n");
}

TEST_F(DirectoryTableTest, ReportedDomainIsComparedAsAPrefixFromTheFirstDc) {
    fake_.Add("10.0.0.1").accounts = {Account("ann", std::string("CN=ann,OU=Sales,") + kBase)};
    Connect({"10.0.0.1"});
    auto verify = [&](const char* domain) {
        OnlineUserRecord record;
        return table_.VerifyUser("ann", domain, record);
    };
    EXPECT_EQ(verify("dc=corp,dc=example,dc=com"), kSOk);
    EXPECT_EQ(verify("dc=corp"), kSOk);
    EXPECT_EQ(verify("DC=CORP,Dc=Example"), kSOk);
    EXPECT_EQ(verify(""), kSOk);
    EXPECT_EQ(verify("corp.example.com"), kEFail);
    EXPECT_EQ(verify("dc=corp,dc=example,dc=com,dc=x"), kEFail) << "longer than the path";
    EXPECT_EQ(verify("dc=other"), kEFail);
}

TEST_F(DirectoryTableTest, RowsOfOtherDomainsAndUnreadableRowsAreSkipped) {
    fake_.Add("10.0.0.1").accounts = {
        Account("ann", ""),                                   // DN unreadable
        Account("ann", "CN=ann,OU=Sales,DC=other,DC=org"),    // another domain
        Account("ann", "CN=ann,CN=Users"),                    // no DC= at all
        Account("ann", std::string("CN=ann,OU=Sales,") + kBase),
    };
    Connect({"10.0.0.1"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kSOk);
    EXPECT_EQ(record.AdPath(), std::string("OU=Sales,") + kBase);
    EXPECT_TRUE(log_.Contains("[ERR]Fail to get the data for this column,adserv count = 0."));
}

TEST_F(DirectoryTableTest, PathsThatDoNotFitTheirFieldAreRefusedNotCut) {
    std::string deep = "CN=ann";
    while (deep.size() < 260) deep += ",OU=Department";
    deep += std::string(",") + kBase;
    fake_.Add("10.0.0.1").accounts = {Account("ann", deep)};
    Connect({"10.0.0.1"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kEFail);
    EXPECT_EQ(record.AdPath(), "");
    EXPECT_TRUE(log_.Contains("[ERR]Fail to get the data for this column,adserv count = 0."));
}

TEST_F(DirectoryTableTest, FilterCharactersInTheUserNameCannotWidenTheSearch) {
    fake_.Add("10.0.0.1").accounts = {Account("ann", std::string("CN=ann,") + kBase)};
    Connect({"10.0.0.1"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("a*", "dc=corp", record), kEFail);
    EXPECT_EQ(table_.VerifyUser("x)(cn=*", "dc=corp", record), kEFail);
    EXPECT_EQ(table_.VerifyUser("a\\b", "dc=corp", record), kEFail);
    const auto& filters = fake_.At("10.0.0.1").filters;
    ASSERT_EQ(filters.size(), 3u);
    EXPECT_EQ(filters[0], FilterFor("a\\2a"));
    EXPECT_EQ(filters[1], FilterFor("x\\29\\28cn=\\2a"));
    EXPECT_EQ(filters[2], FilterFor("a\\5cb"));
}

TEST_F(DirectoryTableTest, FilterLongerThan259CharactersIsNotSent) {
    fake_.Add("10.0.0.1");
    Connect({"10.0.0.1"});
    const std::size_t room = 259 - FilterFor("").size();
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser(std::string(room, 'u'), "dc=corp", record), kEFail);
    EXPECT_EQ(fake_.At("10.0.0.1").searches, 1) << "a filter of exactly 259 characters is sent";
    EXPECT_EQ(table_.VerifyUser(std::string(room + 1, 'u'), "dc=corp", record), kEFail);
    EXPECT_EQ(fake_.At("10.0.0.1").searches, 1);
    EXPECT_TRUE(log_.Contains("[ERR]Fail to execute the search,adserv count = 0."));
}

TEST_F(DirectoryTableTest, UnavailableServerEndsItsSearchButKeepsItsHandle) {
    fake_.Add("10.0.0.1").searchFailure = EHOSTDOWN;
    fake_.Add("10.0.0.2").accounts = {Account("ann", std::string("CN=ann,") + kBase)};
    Connect({"10.0.0.1", "10.0.0.2"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kSOk);
    EXPECT_TRUE(log_.Contains("[ERR]Fail to execute the search,adserv count = 0."));
    EXPECT_TRUE(table_.Slot(0).searchHandle);
    OnlineUserRecord again;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", again), kSOk);
    EXPECT_EQ(fake_.At("10.0.0.1").opens, 1) << "a failed search never rebinds the slot";
    EXPECT_EQ(fake_.At("10.0.0.1").searches, 2);
}

// "Not found" is an answer; a server that is down, hung or lost its connection is not: such a
// lookup says so (kEDirectoryUnreachable), so the report can wait for the directory.
TEST_F(DirectoryTableTest, LookupsTellAnUnreachableDirectoryFromAnAnswer) {
    fake_.Add("10.0.0.1").searchFailure = EHOSTDOWN;
    fake_.Add("10.0.0.2").bindFailure = DirectoryError{BindStage::BindDomain, EACCES};
    Connect({"10.0.0.1", "10.0.0.2", "10.0.0.3"});  // 10.0.0.3 is down from the start
    OnlineUserRecord r;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kEDirectoryUnreachable);
    EXPECT_TRUE(table_.Slot(0).unreachable);
    EXPECT_FALSE(table_.Slot(1).unreachable) << "refused credentials are an answer";
    EXPECT_TRUE(table_.Slot(2).unreachable);

    // Timed out counts as unreachable too; a search that ran (nobody found) is an answer, but
    // the down slot 2, waiting for its next reconnection, still keeps the lookup open.
    fake_.At("10.0.0.1").searchFailure = ETIMEDOUT;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kEDirectoryUnreachable);
    fake_.At("10.0.0.1").searchFailure = 0;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kEDirectoryUnreachable);
    EXPECT_FALSE(table_.Slot(0).unreachable);

    // Every server answered: a plain failure.
    fake_.Add("10.0.0.3");
    clock_.Advance(181);
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kEFail);
    EXPECT_FALSE(table_.Slot(2).unreachable);
    // A protocol failure is an answer as well.
    fake_.At("10.0.0.1").searchFailure = EPROTO;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kEFail);
    // Once found, it is found whatever the others do.
    fake_.At("10.0.0.3").accounts = {Account("ann", std::string("CN=ann,") + kBase)};
    fake_.At("10.0.0.1").searchFailure = EHOSTDOWN;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", r), kSOk);
}

TEST_F(DirectoryTableTest, AccountWithoutLastLogonStillPasses) {
    FakeAccount ann = Account("ann", std::string("CN=ann,") + kBase);
    ann.hasLastLogon = false;
    fake_.Add("10.0.0.1").accounts = {ann};
    Connect({"10.0.0.1"});
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kSOk);
    EXPECT_EQ(record.lastLogonTime, 0);
    EXPECT_TRUE(log_.Contains("[ERR]Fail to Get a property entry."));
}

TEST_F(DirectoryTableTest, SlotsWithoutAnEntryAreNeverTried) {
    fake_.Add("10.0.0.1");
    Connect({"10.0.0.1"}, 3);
    EXPECT_EQ(table_.SlotCount(), 1u);
    OnlineUserRecord record;
    EXPECT_EQ(table_.VerifyUser("ann", "dc=corp", record), kEFail);
    EXPECT_FALSE(log_.Contains("reconnect AD()"));
    EXPECT_FALSE(log_.Contains("adserv count = 1."));
}

TEST(DirectorySearchUser, MissingHandleOrUserIsAnInvalidArgument) {
    ScopedMemoryLog log;
    FakeDirectory fake;
    fake.Add("10.0.0.1");
    DirectoryError error;
    auto handle = fake.Open("10.0.0.1", "svc", "pw", error);
    OnlineUserRecord record;
    EXPECT_EQ(SearchUserOnServer(nullptr, "ann", "dc=corp", record, 3), kEInvalidArg);
    EXPECT_EQ(SearchUserOnServer(handle.get(), "", "dc=corp", record, 4), kEInvalidArg);
    EXPECT_EQ(log.Text(),
              "[ERR]Fail to Find user begin,adserv count = 3.\n"
              "[ERR]Fail to Find user begin,adserv count = 4.\n");
    EXPECT_EQ(fake.At("10.0.0.1").searches, 0);
}

// ---------------------------------------------------------------------------------------------
// Log-query mode: GetSearchHandleOfAD and FindUserInDirectory.

TEST(DirectoryLogQuery, SearchHandleBindsWithTheWholeUserName) {
    ScopedMemoryLog log;
    FakeDirectory fake;
    ScopedDirectoryClient scoped(fake);
    fake.Add("10.0.0.5");
    std::unique_ptr<DirectorySearch> handle;
    GetSearchHandleOfAD("CORP\\svc", handle, "10.0.0.5", "secret");
    ASSERT_TRUE(handle);
    EXPECT_EQ(fake.At("10.0.0.5").bindUsers, std::vector<std::string>{"CORP\\svc"});
    EXPECT_EQ(fake.At("10.0.0.5").passwords, std::vector<std::string>{"secret"});
    EXPECT_EQ(log.Text(), "[INF]10.0.0.5: Open AD Success!\n");
}

TEST(DirectoryLogQuery, FailedBindLogsTheErrorAndLeavesNoHandle) {
    ScopedMemoryLog log;
    FakeDirectory fake;
    ScopedDirectoryClient scoped(fake);
    fake.Add("10.0.0.5");
    std::unique_ptr<DirectorySearch> handle;
    GetSearchHandleOfAD("svc", handle, "10.0.0.5", "pw");
    ASSERT_TRUE(handle);

    fake.At("10.0.0.5").bindFailure = DirectoryError{BindStage::BindDomain, EACCES};
    GetSearchHandleOfAD("svc", handle, "10.0.0.5", "pw");
    EXPECT_FALSE(handle) << "the old handle is released first";
    EXPECT_TRUE(log.Contains("[ERR]10.0.0.5: " + FormatSystemError(EACCES)));

    fake.At("10.0.0.5").throwOnOpen = true;
    GetSearchHandleOfAD("svc", handle, "10.0.0.5", "pw");
    EXPECT_FALSE(handle);
    EXPECT_TRUE(log.Contains("[ERR]GetSearchHandleOfAD exception"));
}

TEST(DirectoryLogQuery, FindUserFillsAdPathAndUserNameWithoutDomainTest) {
    FakeDirectory fake;
    fake.Add("10.0.0.5").accounts = {Account("Ann", "CN=Ann Lee,OU=Sales,DC=other,DC=org")};
    DirectoryError error;
    auto handle = fake.Open("10.0.0.5", "svc", "pw", error);
    OnlineUserRecord record;
    EXPECT_EQ(FindUserInDirectory(handle.get(), "ann", record), kSOk);
    EXPECT_EQ(record.AdPath(), "OU=Sales,DC=other,DC=org");
    EXPECT_EQ(record.UserName(), "ann");
    EXPECT_EQ(record.lastLogonTime, 0);
    EXPECT_EQ(fake.At("10.0.0.5").withLastLogon, std::vector<bool>{false});
}

TEST(DirectoryLogQuery, FindUserResults) {
    FakeDirectory fake;
    FakeServer& server = fake.Add("10.0.0.5");
    DirectoryError error;
    auto handle = fake.Open("10.0.0.5", "svc", "pw", error);
    OnlineUserRecord record;
    EXPECT_EQ(FindUserInDirectory(nullptr, "ann", record), kEInvalidArg);
    EXPECT_EQ(FindUserInDirectory(handle.get(), "", record), kEInvalidArg);
    EXPECT_EQ(FindUserInDirectory(handle.get(), "ann", record), kEFail) << "no row";

    // The search fails before any row: its own result comes back.
    server.searchFailure = EHOSTDOWN;
    EXPECT_EQ(FindUserInDirectory(handle.get(), "ann", record), HResultFromSystemError(EHOSTDOWN));
    // A row that does not fit, then the failure: the walk's noted E_FAIL.
    server.accounts = {Account("ann", "")};
    EXPECT_EQ(FindUserInDirectory(handle.get(), "ann", record), kEFail);
    EXPECT_EQ(record.UserName(), "");
}

// ---------------------------------------------------------------------------------------------
// The process-wide directory state of the worker.

TEST(DirectoryWorkerState, LoadConnectAndVerifyThroughTheProcessTable) {
    ScopedMemoryLog log;
    FakeDirectory fake;
    ScopedDirectoryClient scoped(fake);
    fake.Add("10.0.0.1").accounts = {Account("ann", std::string("CN=ann,OU=Sales,") + kBase)};
    WorkerSettings settings;
    settings.adServerNum = 1;
    settings.servers = {Entry("10.0.0.1", "CORP\\svc"), Entry("10.0.0.2")};
    LoadDirectoryServers(settings);
    ConnectDirectoryServers();
    OnlineUserRecord record;
    EXPECT_EQ(VerifyUser("ann", "dc=corp", record), kSOk);
    EXPECT_EQ(record.AdPath(), std::string("OU=Sales,") + kBase);
    EXPECT_EQ(fake.At("10.0.0.1").bindUsers, std::vector<std::string>{"svc"});
    // The entry ConnectDirectoryServers did not take is still there for whoever takes it.
    ServerEntry left;
    EXPECT_TRUE(TakeDirectoryServer(left));
    EXPECT_EQ(left.ip, "10.0.0.2");
    EXPECT_FALSE(TakeDirectoryServer(left));
    // Release the fake's handles before the fake goes away.
    DirectoryServerList empty;
    GetDirectoryServerTable().ConnectDirectoryServers(empty, 0);
}

TEST(DirectoryWorkerState, ScopedWorkerDirectoryServesVerifyUser) {
    ScopedMemoryLog log;
    FakeDirectory fake;
    fake.Add("10.0.0.2").accounts = {Account("bob", std::string("CN=bob,CN=Users,") + kBase)};
    {
        testing::ScopedWorkerDirectory directory(fake, {Entry("10.0.0.1"), Entry("10.0.0.2")});
        OnlineUserRecord record;
        EXPECT_EQ(VerifyUser("bob", "dc=corp", record), kSOk);
        EXPECT_EQ(record.AdPath(), kBase);
    }
    EXPECT_EQ(GetDirectoryServerTable().SlotCount(), 0u);
    EXPECT_NE(dynamic_cast<LdapDirectoryClient*>(&GetDirectoryClient()), nullptr) << "libldap is back";
    OnlineUserRecord after;
    EXPECT_EQ(VerifyUser("bob", "dc=corp", after), kEFail) << "nothing is left connected";
}

}  // namespace
}  // namespace orvane
