#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "test_util.h"
#include "worker/eventlog/samba_audit_source.h"
#include "worker/eventlog/wql.h"

namespace orvane {
namespace {

using testing::Numbered;
using testing::ScopedMemoryLog;
using testing::TempDir;
using testing::WriteFile;

constexpr char kPollFilter[] =
    "(EventCode='4768' OR EventCode='4769' OR EventCode='4770' OR EventCode='4624')";

std::string PollQuery(const std::string& after = {}) {
    if (after.empty()) return std::string("SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND ") + kPollFilter;
    return "SELECT * FROM Win32_NTLogEvent where TimeGenerated>'" + after + "' and LogFile='Security' AND " +
           kPollFilter;
}

// One audit line as Samba 4.17 writes it (fields trimmed to those the mapping reads, plus
// some it must ignore).
std::string AuditLine(const std::string& stamp, const std::string& account, const std::string& remote,
                      const std::string& status = "NT_STATUS_OK", int eventId = 4624) {
    const std::string addr = remote == "null" ? "null" : "\"" + remote + "\"";
    return "  {\"timestamp\": \"" + stamp + "\", \"type\": \"Authentication\", \"Authentication\": {\"version\": "
           "{\"major\": 1, \"minor\": 2}, \"eventId\": " + std::to_string(eventId) +
           ", \"logonId\": \"92283fb0a2af54dd\", \"logonType\": 3, \"status\": \"" + status +
           "\", \"localAddress\": null, \"remoteAddress\": " + addr +
           ", \"serviceDescription\": \"Kerberos KDC\", \"authDescription\": \"ENC-TS Pre-authentication\", "
           "\"clientDomain\": null, \"clientAccount\": \"" + account + "@CORP.EXAMPLE.COM\", \"workstation\": null, "
           "\"becameAccount\": \"" + account + "\", \"becameDomain\": \"CORP\", \"becameSid\": \"S-1-5-21-1-2-3-1102\", "
           "\"passwordType\": \"aes256-cts-hmac-sha1-96\", \"duration\": 46553}}\n";
}

// 2026-12-07T09:00:SS.uuuuuu+0000 for second s and microsecond u.
std::string Stamp(int s, int us = 0) {
    char b[64];
    std::snprintf(b, sizeof b, "2026-12-07T09:%02d:%02d.%06d+0000", s / 60, s % 60, us);
    return b;
}

std::string Cim(int s, int us = 0) {
    char b[64];
    std::snprintf(b, sizeof b, "2026120709%02d%02d.%06d+000", s / 60, s % 60, us);
    return b;
}

struct Result {
    std::string time, user, address;
};

// The user and the address where the poller reads them for the event's id.
Result ResultOf(const EventObject& o) {
    const auto* s = o.GetStrings("InsertionStrings");
    const std::int64_t id = *o.GetInteger("EventIdentifier");
    const std::size_t user = id == 4624 ? 5 : 0, address = id == 4624 ? 18 : id == 4768 ? 9 : 6;
    if (!s || s->size() <= std::max(user, address)) return {*o.GetString("TimeGenerated"), "", ""};
    return {*o.GetString("TimeGenerated"), (*s)[user], (*s)[address]};
}

std::vector<Result> Query(SambaAuditServices& services, const std::string& query) {
    std::unique_ptr<EventEnumerator> e;
    EXPECT_EQ(services.ExecQuery(query, e), kSOk);
    std::vector<Result> out;
    EventObject o;
    while (e && e->Next(o)) {
        out.push_back(ResultOf(o));
    }
    return out;
}

void Append(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_TRUE(f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

TEST(Wql, ParsesThePollerQueriesAndReturnsOnlyLaterTimes) {
    auto q = wql::Parse(PollQuery("20261207090005.000000+000"));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->className, "Win32_NTLogEvent");
    EXPECT_TRUE(q->properties.empty());
    EventObject e;
    e.Set("LogFile", std::string("Security"));
    e.Set("EventCode", std::int64_t{4624});
    e.Set("TimeGenerated", std::string("20261207090005.000000+000"));
    EXPECT_FALSE(wql::Matches(q->where.get(), e)) << "an equal time is not later";
    e.Set("TimeGenerated", std::string("20261207090005.000001+000"));
    EXPECT_TRUE(wql::Matches(q->where.get(), e));
    e.Set("EventCode", std::int64_t{4625});
    EXPECT_FALSE(wql::Matches(q->where.get(), e));
    e.Set("EventCode", std::int64_t{4768});
    e.Set("LogFile", std::string("System"));
    EXPECT_FALSE(wql::Matches(q->where.get(), e));

    EXPECT_EQ(wql::LowerBound(q->where.get(), "timegenerated"), "20261207090005.000000+000");
    auto first = wql::Parse(PollQuery());
    ASSERT_TRUE(first);
    EXPECT_FALSE(wql::LowerBound(first->where.get(), "TimeGenerated"));

    auto caption = wql::Parse("SELECT Caption FROM Win32_OperatingSystem");
    ASSERT_TRUE(caption);
    EXPECT_EQ(caption->properties, std::vector<std::string>{"Caption"});
    EXPECT_EQ(caption->where, nullptr);
}

TEST(Wql, RefusesMalformedQueriesAndKeepsOrUnderAnd) {
    std::string why;
    EXPECT_FALSE(wql::Parse("SELECT * Win32_NTLogEvent", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(wql::Parse("SELECT * FROM Win32_NTLogEvent where LogFile='Security", &why));
    EXPECT_FALSE(wql::Parse("SELECT * FROM Win32_NTLogEvent where (EventCode='1'", &why));
    EXPECT_FALSE(wql::Parse("SELECT * FROM Win32_NTLogEvent where EventCode", &why));
    // An OR outside parentheses binds looser than AND: no lower bound can be taken from it.
    auto q = wql::Parse("SELECT * FROM C where TimeGenerated>'2' and EventCode='1' OR EventCode='2'");
    ASSERT_TRUE(q);
    EXPECT_FALSE(wql::LowerBound(q->where.get(), "TimeGenerated"));
    EventObject e;
    e.Set("EventCode", std::int64_t{2});
    e.Set("TimeGenerated", std::string("1"));
    EXPECT_TRUE(wql::Matches(q->where.get(), e));
    auto n = wql::Parse("SELECT * FROM C where NOT EventCode='2'");
    ASSERT_TRUE(n);
    EXPECT_FALSE(wql::Matches(n->where.get(), e));
}

TEST(AuditMapping, KerberosLogonBecomesA4768WithWindowsLayout) {
    AuditLineMapper m;
    EventObject o;
    std::string time;
    ASSERT_TRUE(m.Map(AuditLine("2026-12-07T09:06:16.359165+0000", "ann", "ipv4:10.99.0.7:39804"), o, time));
    EXPECT_EQ(time, "20261207090616.359165+000");
    EXPECT_EQ(*o.GetString("TimeGenerated"), time);
    EXPECT_EQ(*o.GetString("LogFile"), "Security");
    EXPECT_EQ(*o.GetInteger("EventCode"), 4768);
    EXPECT_EQ(*o.GetInteger("eventidentifier"), 4768);
    const auto& s = *o.GetStrings("InsertionStrings");
    ASSERT_EQ(s.size(), 10u);
    EXPECT_EQ(s[0], "ann");
    EXPECT_EQ(s[1], "CORP");
    EXPECT_EQ(s[2], "S-1-5-21-1-2-3-1102");
    EXPECT_EQ(s[9], "10.99.0.7");

    ASSERT_TRUE(m.Map(AuditLine(Stamp(1), "ann", "ipv6:::1:1234"), o, time));
    EXPECT_EQ((*o.GetStrings("InsertionStrings"))[9], "::1");
    ASSERT_TRUE(m.Map(AuditLine(Stamp(1), "ann", "null"), o, time));
    EXPECT_EQ((*o.GetStrings("InsertionStrings"))[9], "-");
}

// Lines the fixture DC wrote (kinit, LDAP simple binds over StartTLS as name@dns.domain and as
// DOMAIN\name, an NTLM SASL bind), then two NETLOGON SamLogon lines of a member server, in
// the format Samba documents for them.
TEST(AuditMapping, EachSambaLineBecomesTheEventAWindowsDcWritesForIt) {
    const std::string text = testing::ReadFile(ORVANE_SOURCE_DIR "/tests/fixtures/samba/auth-audit-samples.jsonl");
    struct Expected {
        std::int64_t id;
        std::string user, address, logonType;
    } expected[] = {
        {4768, "ann", "10.99.0.1", ""},          // Kerberos AS request
        {4624, "svc-orvane", "10.99.0.1", "8"},  // LDAP simple bind: a clear-text network logon at the DC
        {4624, "svc-orvane", "10.99.0.1", "8"},
        {4624, "ann", "10.99.0.1", "3"},         // LDAP bind with NTLMSSP
        {4776, "bob", "", ""},                   // the file server checks bob's NTLM answer with the DC
        {4776, "bob", "", ""},
    };
    AuditLineMapper m;
    EventObject o;
    std::string time;
    std::size_t n = 0, start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++n) {
        ASSERT_LT(n, std::size(expected));
        const Expected& want = expected[n];
        ASSERT_TRUE(m.Map(std::string_view(text).substr(start, end - start), o, time)) << n;
        EXPECT_EQ(*o.GetInteger("EventCode"), want.id) << n;
        const auto& s = *o.GetStrings("InsertionStrings");
        if (want.id == 4776) {
            ASSERT_EQ(s.size(), 4u);
            EXPECT_EQ(s[1], want.user);
            EXPECT_EQ(s[2], "PC07");
            continue;
        }
        const Result r = ResultOf(o);
        EXPECT_EQ(r.user, want.user) << n;
        EXPECT_EQ(r.address, want.address) << n;
        if (want.id == 4624) {
            EXPECT_EQ(s[8], want.logonType) << n;
        }
    }
    EXPECT_EQ(n, std::size(expected));

    // What the poller asks for: the SamLogon lines stay out, bob is never seen at the file server.
    TempDir dir;
    const std::string file = dir / "auth.json";
    WriteFile(file, "");
    SambaAuditServices services(file);
    ASSERT_TRUE(Query(services, PollQuery()).empty());
    Append(file, text);
    std::vector<std::string> seen;
    for (const Result& r : Query(services, PollQuery("20261208000000.000000+000"))) seen.push_back(r.user + "@" + r.address);
    EXPECT_EQ(seen, (std::vector<std::string>{"ann@10.99.0.1", "svc-orvane@10.99.0.1", "svc-orvane@10.99.0.1",
                                              "ann@10.99.0.1"}));
}

TEST(AuditMapping, OnlySuccessfulAuthenticationsOfKnownEventsAreEvents) {
    AuditLineMapper m;
    EventObject o;
    std::string time;
    EXPECT_FALSE(m.Map(AuditLine(Stamp(1), "ann", "ipv4:10.0.0.7:1", "NT_STATUS_WRONG_PASSWORD", 4625), o, time));
    EXPECT_EQ(time, Cim(1)) << "the time of a line that is no event is still known";
    EXPECT_FALSE(m.Map(AuditLine(Stamp(1), "ann", "ipv4:10.0.0.7:1", "NT_STATUS_ACCOUNT_DISABLED"), o, time));
    EXPECT_FALSE(m.Map(AuditLine(Stamp(1), "ann", "ipv4:10.0.0.7:1", "NT_STATUS_OK", 4999), o, time));
    EXPECT_FALSE(m.Map("[2026/12/07 09:00:00.000000,  1] ../../source4/smbd/server.c:620(binary_smbd_main)", o, time));
    EXPECT_TRUE(time.empty());
    EXPECT_FALSE(m.Map("  {\"timestamp\": \"2026-12-07T09:00:00.000000+0000\", \"type\": \"Authorization\"}", o, time));
    EXPECT_FALSE(m.Map("  {\"timestamp\": \"garbage\", \"type\": \"Authentication\"", o, time));
    EXPECT_FALSE(m.Map("", o, time));
}

// Found by fuzzing (samba_audit): a line cut inside its fields left simdjson's iterator without
// its parser, and the next field read went through a null pointer (UBSan).
TEST(AuditMapping, EveryCutOfALineIsReadSafelyAndIsNoEventBeforeItsAccount) {
    AuditLineMapper m;
    EventObject o;
    std::string time;
    const std::string whole = AuditLine(Stamp(1), "ann", "ipv4:10.0.0.7:1");
    const std::size_t account = whole.find("\"becameAccount\": \"ann\"") + 21;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        // An exact-size copy: a read past its end shows under the sanitizers.
        const std::string line = whole.substr(0, cut);
        const bool mapped = m.Map(line, o, time);
        if (cut < account) {
            EXPECT_FALSE(mapped) << cut;
        }
    }
    // Garbage inside a field the mapping reads late, and a value of another type.
    std::string garbled = whole;
    garbled.replace(garbled.find("\"CORP\""), 6, "\"CO\x01\\q");
    EXPECT_FALSE(m.Map(garbled, o, time));
    std::string typed = whole;
    typed.replace(typed.find("\"CORP\""), 6, "[1, {\"x\": 2}]");
    ASSERT_TRUE(m.Map(typed, o, time));
    EXPECT_EQ((*o.GetStrings("InsertionStrings"))[1], "-") << "a domain that is not a string is left out";
    ASSERT_TRUE(m.Map(whole, o, time));
    EXPECT_EQ((*o.GetStrings("InsertionStrings"))[0], "ann");
}

TEST(AuditMapping, TimesBecomeUtcCimDateTimesKeepingMicroseconds) {
    std::string out;
    ASSERT_TRUE(IsoToCimDateTime("2026-12-07T09:06:16.359165+0000", out));
    EXPECT_EQ(out, "20261207090616.359165+000");
    ASSERT_TRUE(IsoToCimDateTime("2027-01-01T00:30:00.000001+0100", out));
    EXPECT_EQ(out, "20261231233000.000001+000");
    ASSERT_TRUE(IsoToCimDateTime("2024-02-28T22:00:00.5-05:00", out));
    EXPECT_EQ(out, "20240229030000.500000+000");
    ASSERT_TRUE(IsoToCimDateTime("2026-12-07T09:06:16Z", out));
    EXPECT_EQ(out, "20261207090616.000000+000");
    // Times in UTC are rearranged without the calendar; the same instant written with any
    // other offset, and the days and seconds a month or minute may not have, take the
    // calendar's way: both must agree.
    const struct {
        const char* utc;
        const char* shifted;
        const char* cim;
    } same[] = {
        {"2026-02-28T23:59:59.999999Z", "2026-03-01T00:59:59.999999+01:00", "20260228235959.999999+000"},
        {"2024-02-29T12:00:00.1+0000", "2024-02-29T07:00:00.1-0500", "20240229120000.100000+000"},
        {"2026-12-31T23:00:00.1234567Z", "2027-01-01T01:00:00.1234567+0200", "20261231230000.123456+000"},
        {"0001-01-01T00:00:00Z", "0001-01-01T01:00:00+01:00", "00010101000000.000000+000"},
    };
    for (const auto& t : same) {
        ASSERT_TRUE(IsoToCimDateTime(t.utc, out)) << t.utc;
        EXPECT_EQ(out, t.cim) << t.utc;
        ASSERT_TRUE(IsoToCimDateTime(t.shifted, out)) << t.shifted;
        EXPECT_EQ(out, t.cim) << t.shifted;
    }
    // A day the month does not have and a leap second carry over, even in UTC.
    ASSERT_TRUE(IsoToCimDateTime("2026-02-30T10:00:00Z", out));
    EXPECT_EQ(out, "20260302100000.000000+000");
    ASSERT_TRUE(IsoToCimDateTime("2026-12-31T23:59:60Z", out));
    EXPECT_EQ(out, "20270101000000.000000+000");
    EXPECT_FALSE(IsoToCimDateTime("2026-13-07T09:06:16.1+0000", out));
    EXPECT_FALSE(IsoToCimDateTime("2026-12-07T09:06:16.1+0000x", out));
    EXPECT_FALSE(IsoToCimDateTime("2026-12-07", out));
}

TEST(AuditConfig, FindsTheAuditFileInSmbConf) {
    TempDir dir;
    const std::string conf = dir / "smb.conf";
    std::string path, why;
    EXPECT_FALSE(FindSambaAuditLog(conf, path, why));
    EXPECT_NE(why.find("cannot read"), std::string::npos);

    WriteFile(conf, "[global]\n\tlog level = 1 auth_json_audit:3@/var/log/samba/auth.json\n\tlog file = /x.log\n");
    ASSERT_TRUE(FindSambaAuditLog(conf, path, why)) << why;
    EXPECT_EQ(path, "/var/log/samba/auth.json");

    WriteFile(conf, "[global]\n  Debug Level = 2, auth_json_audit:5 winbind:3@/w.log\n  log file = /var/log/samba/all.log\n");
    ASSERT_TRUE(FindSambaAuditLog(conf, path, why)) << why;
    EXPECT_EQ(path, "/var/log/samba/all.log") << "without a file of its own the class writes to the log file";

    WriteFile(conf, "[global]\n\tlog level = 1 auth_json_audit:2@/a.json\n");
    EXPECT_FALSE(FindSambaAuditLog(conf, path, why)) << "level 2 does not log successful logons";
    EXPECT_NE(why.find("auth_json_audit:3@"), std::string::npos) << why;
    WriteFile(conf, "[global]\n\tlog level = 3\n[share]\n\tlog level = 1 auth_json_audit:3@/a.json\n");
    EXPECT_FALSE(FindSambaAuditLog(conf, path, why));
}

class AuditLogTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir / "auth.json";
    ScopedMemoryLog log;
};

TEST_F(AuditLogTest, FirstQueryWalksBackFromTheEndLaterOnesReadOnlyWhatIsNew) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += AuditLine(Stamp(i % 3000, i), Numbered("u", i % 50), "ipv4:10.0.0.7:1");
    WriteFile(file, text);
    SambaAuditServices services(file);
    // Like WMI: newest first; the poller takes only the first object of the first query.
    {
        std::unique_ptr<EventEnumerator> e;
        ASSERT_EQ(services.ExecQuery(PollQuery(), e), kSOk);
        EventObject o;
        ASSERT_TRUE(e->Next(o));
        EXPECT_EQ(*o.GetString("TimeGenerated"), Cim(1999, 1999));
        ASSERT_TRUE(e->Next(o));
        EXPECT_EQ(*o.GetString("TimeGenerated"), Cim(1998, 1998));
    }
    EXPECT_EQ(services.Log().BytesParsed(), 0u) << "the existing file is not read forward";
    EXPECT_TRUE(Query(services, PollQuery(Cim(1999, 1999))).empty());

    const std::string added = AuditLine(Stamp(2001), "bob", "ipv4:10.0.0.8:1") +
                              AuditLine(Stamp(2000, 5), "ann", "ipv4:10.0.0.9:1") +
                              AuditLine(Stamp(2001), "eve", "ipv4:10.0.0.1:1", "NT_STATUS_WRONG_PASSWORD", 4625);
    Append(file, added);
    auto r = Query(services, PollQuery(Cim(1999, 1999)));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].user, "bob");  // newest first even when written out of order
    EXPECT_EQ(r[1].user, "ann");
    EXPECT_EQ(r[1].address, "10.0.0.9");
    EXPECT_EQ(services.Log().BytesParsed(), added.size());
    // An equal time is not returned again.
    EXPECT_TRUE(Query(services, PollQuery(Cim(2001))).empty());
}

TEST_F(AuditLogTest, AnEarlierBoundReachesBackBeforeTheReadPosition) {
    WriteFile(file, AuditLine(Stamp(1), "a", "ipv4:10.0.0.1:1") + AuditLine(Stamp(2), "b", "ipv4:10.0.0.2:1") +
                        AuditLine(Stamp(3), "c", "ipv4:10.0.0.3:1"));
    SambaAuditServices services(file);
    ASSERT_EQ(Query(services, PollQuery()).size(), 3u);
    Append(file, AuditLine(Stamp(4), "d", "ipv4:10.0.0.4:1"));
    auto r = Query(services, PollQuery(Cim(1)));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].user, "d");
    EXPECT_EQ(r[1].user, "c");
    EXPECT_EQ(r[2].user, "b");
}

TEST_F(AuditLogTest, AnUnfinishedLineWaitsForItsEnd) {
    const std::string line = AuditLine(Stamp(5), "ann", "ipv4:10.0.0.7:1");
    WriteFile(file, AuditLine(Stamp(1), "x", "ipv4:10.0.0.1:1") + line.substr(0, 40));
    SambaAuditServices services(file);
    auto first = Query(services, PollQuery());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].user, "x");
    EXPECT_TRUE(Query(services, PollQuery(Cim(1))).empty());
    Append(file, line.substr(40, 30));
    EXPECT_TRUE(Query(services, PollQuery(Cim(1))).empty());
    Append(file, line.substr(70));
    auto r = Query(services, PollQuery(Cim(1)));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].user, "ann");
}

TEST_F(AuditLogTest, RotationAndTruncationAreFollowed) {
    WriteFile(file, AuditLine(Stamp(1), "a", "ipv4:10.0.0.1:1"));
    SambaAuditServices services(file);
    ASSERT_EQ(Query(services, PollQuery()).size(), 1u);
    // The old file gets one more line after our last read, then is renamed; a new one starts.
    Append(file, AuditLine(Stamp(2), "b", "ipv4:10.0.0.2:1"));
    ASSERT_EQ(std::rename(file.c_str(), (file + ".old").c_str()), 0);
    EXPECT_TRUE(Query(services, PollQuery(Cim(2))).empty()) << "no new file yet: nothing, no failure";
    WriteFile(file, AuditLine(Stamp(3), "c", "ipv4:10.0.0.3:1"));
    auto r = Query(services, PollQuery(Cim(2)));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].user, "c");

    Append(file, AuditLine(Stamp(4), "d", "ipv4:10.0.0.4:1"));
    ASSERT_EQ(std::rename(file.c_str(), (file + ".1").c_str()), 0);
    WriteFile(file, AuditLine(Stamp(5), "e", "ipv4:10.0.0.5:1"));
    r = Query(services, PollQuery(Cim(3)));
    ASSERT_EQ(r.size(), 2u) << "the rest of the rotated file and the new one";
    EXPECT_EQ(r[0].user, "e");
    EXPECT_EQ(r[1].user, "d");

    // Truncated and rewritten in place, to the same length and then longer.
    WriteFile(file, AuditLine(Stamp(6), "f", "ipv4:10.0.0.6:1"));
    r = Query(services, PollQuery(Cim(5)));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].user, "f");
    WriteFile(file, AuditLine(Stamp(7), "g", "ipv4:10.0.0.7:1") + AuditLine(Stamp(8), "h", "ipv4:10.0.0.8:1"));
    r = Query(services, PollQuery(Cim(6)));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].user, "h");
}

TEST_F(AuditLogTest, AnswersTheCaptionAndRefusesOtherClasses) {
    WriteFile(file, "");
    SambaAuditServices services(file);
    std::unique_ptr<EventEnumerator> e;
    ASSERT_EQ(services.ExecQuery("SELECT Caption FROM Win32_OperatingSystem", e), kSOk);
    EventObject o;
    ASSERT_TRUE(e->Next(o));
    ASSERT_TRUE(o.GetString("Caption"));
    EXPECT_NE(o.GetString("Caption")->find("Samba"), std::string::npos);
    EXPECT_FALSE(e->Next(o));
    EXPECT_EQ(services.ExecQuery("SELECT * FROM Win32_Process", e), kWbemEInvalidClass);
    EXPECT_EQ(services.ExecQuery("SELECT FROM", e), kWbemEInvalidQuery);
    EXPECT_TRUE(Query(services, PollQuery()).empty()) << "an empty log has no events";
}

TEST_F(AuditLogTest, TheLocatorServesOnlyThisMachineWithoutCredentials) {
    const std::string conf = dir / "smb.conf";
    WriteFile(conf, "[global]\n\tlog level = 1 auth_json_audit:3@" + file + "\n");
    testing::ScopedEnv env("ORVANE_SMB_CONF", conf);
    SambaAuditLocator locator;
    std::unique_ptr<EventServices> s;
    EXPECT_EQ(locator.ConnectServer("\\\\10.0.0.1\\root\\cimv2", "admin", "pw", "ntlmdomain:CORP", s), kENotImpl);
    EXPECT_EQ(locator.ConnectServer("root\\cimv2", "admin", "pw", "", s), kWbemELocalCredentials);
    EXPECT_EQ(locator.ConnectServer("root\\default", "", "", "", s), kWbemEInvalidNamespace);
    EXPECT_EQ(locator.ConnectServer("root\\cimv2", "", "", "", s), kSOk);
    ASSERT_TRUE(s);
    WriteFile(conf, "[global]\n\tlog level = 1\n");
    EXPECT_EQ(locator.ConnectServer("root\\cimv2", "", "", "", s), kWbemEFailed);
    EXPECT_NE(log.Text().find("[ERR]No Samba audit log: " + conf + " does not log successful logons"), std::string::npos)
        << log.Text();
}

}  // namespace
}  // namespace orvane
