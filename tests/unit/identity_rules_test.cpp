#include "worker/users/identity_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config_types.h"
#include "platform/udp.h"
#include "test_util.h"
#include "worker/reports/client_report_receiver.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

std::uint32_t Ip(const char* dotted) {
    std::uint32_t v = 0;
    EXPECT_TRUE(platform::ParseIpv4Address(dotted, v)) << dotted;
    return v;
}

AddressRules RulesOf(std::initializer_list<const char*> texts) {
    AddressRules rules;
    for (const char* t : texts) {
        AddressRule r;
        std::string why;
        EXPECT_TRUE(ParseAddressRule(t, r, why)) << t << ": " << why;
        rules.Add(r);
    }
    return rules;
}

TEST(AddressRules, RulesParseInBothCasesAndEveryFaultIsNamed) {
    AddressRule r;
    std::string why;
    ASSERT_TRUE(ParseAddressRule("  Include   10.99.0.0/16 ", r, why));
    EXPECT_TRUE(r.include);
    EXPECT_EQ(r.text, "include 10.99.0.0/16");
    ASSERT_TRUE(ParseAddressRule("exclude 10.99.5.7", r, why));
    EXPECT_FALSE(r.include);
    EXPECT_EQ(r.mask, 0xffffffffu) << "a bare address is one host";
    ASSERT_TRUE(ParseAddressRule("exclude 0.0.0.0/0", r, why));
    EXPECT_EQ(r.mask, 0u);

    const std::pair<const char*, const char*> bad[] = {
        {"10.99.0.0/16", "a rule starts with include or exclude"},
        {"allow 10.99.0.0/16", "a rule starts with include or exclude"},
        {"include", "no address after include"},
        {"include 10.99.0.0/33", "the prefix length after / must be 0 to 32"},
        {"include 10.99.0.0/", "the prefix length after / must be 0 to 32"},
        {"include 10.99.0.0/1x", "the prefix length after / must be 0 to 32"},
        {"include 10.99.300.0/24", "\"10.99.300.0\" is not an IPv4 address"},
        {"exclude 10.99.5.1/24", "the address has bits set below its /24 (the network is 10.99.5.0/24)"},
    };
    for (const auto& [text, reason] : bad) {
        why.clear();
        EXPECT_FALSE(ParseAddressRule(text, r, why)) << text;
        EXPECT_EQ(why, reason) << text;
    }
}

TEST(AddressRules, TheFirstMatchDecidesAndAnIncludeRuleRefusesEverythingElse) {
    // Exclusions first: the usual order.
    AddressRules rules = RulesOf({"exclude 10.99.5.0/24", "include 10.99.0.0/16"});
    auto v = rules.Decide(Ip("10.99.5.7"));
    EXPECT_FALSE(v.reported);
    EXPECT_EQ(v.rule, 1u);
    v = rules.Decide(Ip("10.99.6.7"));
    EXPECT_TRUE(v.reported);
    EXPECT_EQ(v.rule, 2u);
    // Outside every rule: the include rule makes that a refusal.
    v = rules.Decide(Ip("192.168.1.5"));
    EXPECT_FALSE(v.reported);
    EXPECT_EQ(v.rule, 0u);
    EXPECT_EQ(rules.Consequence(), "an address no rule matches is NOT reported (the list holds an include rule)");
    // The edges of a network.
    EXPECT_TRUE(rules.Decide(Ip("10.99.255.255")).reported);
    EXPECT_EQ(rules.Decide(Ip("10.99.5.255")).rule, 1u);
    EXPECT_EQ(rules.Decide(Ip("10.99.4.255")).rule, 2u);
    EXPECT_FALSE(rules.Decide(Ip("10.100.0.0")).reported);

    // The other order: the include rule comes first and wins.
    rules = RulesOf({"include 10.99.0.0/16", "exclude 10.99.5.0/24"});
    v = rules.Decide(Ip("10.99.5.7"));
    EXPECT_TRUE(v.reported);
    EXPECT_EQ(v.rule, 1u);

    // Exclusions alone: whatever they do not name is reported.
    rules = RulesOf({"exclude 10.99.0.1", "exclude 172.16.0.0/12"});
    EXPECT_TRUE(rules.Decide(Ip("10.99.0.2")).reported);
    EXPECT_FALSE(rules.Decide(Ip("10.99.0.1")).reported);
    EXPECT_FALSE(rules.Decide(Ip("172.31.255.1")).reported);
    EXPECT_TRUE(rules.Decide(Ip("172.32.0.1")).reported);
    EXPECT_EQ(rules.Consequence(), "an address no rule matches is reported");
    EXPECT_TRUE(AddressRules().Decide(Ip("10.0.0.1")).reported);
}

TEST(IgnoredAccounts, AWildcardEndsTheNameAndEveryFormMatchesTheSameAccount) {
    ExcludedAccounts list;
    std::string why;
    ASSERT_TRUE(list.AddChecked("svc-*", why));
    ASSERT_TRUE(list.AddChecked("CORP\\scan*", why));
    ASSERT_TRUE(list.AddChecked("backup@corp.example.com", why));
    EXPECT_EQ(*list.Match("svc-backup", "CORP"), "svc-*");
    EXPECT_TRUE(list.Excludes("SVC-Backup", "dc=corp,dc=example,dc=com"));
    EXPECT_TRUE(list.Excludes("svc-", "CORP")) << "the * may stand for nothing";
    EXPECT_TRUE(list.Excludes("svc-x@lab.example.com")) << "no domain in the entry: any domain";
    EXPECT_FALSE(list.Excludes("svc", "CORP"));
    EXPECT_FALSE(list.Excludes("xsvc-a", "CORP")) << "a prefix, not a substring";
    EXPECT_EQ(*list.Match("Scanner01", "corp.example.com"), "CORP\\scan*");
    EXPECT_FALSE(list.Excludes("scanner01", "LAB"));
    EXPECT_EQ(*list.Match("BACKUP", "CORP"), "backup@corp.example.com");
    EXPECT_FALSE(list.Excludes("backup", "lab.example.com"));
    EXPECT_FALSE(list.Excludes("backup2", "CORP"));

    const std::pair<const char*, const char*> bad[] = {
        {"", "an empty name"},     {"  ", "an empty name"},
        {"*", "an empty name"},    {"CORP\\", "an empty name"},
        {"s*c", "a * is allowed only at the end of the name"},
        {"svc-**", "a * is allowed only at the end of the name"},
        {"CO*\\svc", "a * is allowed only at the end of the name"},
        {"svc*@corp.example.com*", "a * is allowed only at the end of the name"},
    };
    for (const auto& [text, reason] : bad) {
        why.clear();
        EXPECT_FALSE(list.AddChecked(text, why)) << text;
        EXPECT_EQ(why, reason) << text;
    }
    EXPECT_EQ(list.Size(), 3u);
}

// The addresses the decisions were asked about, logons and logoffs alike.
struct Addresses final : ReportHandler {
    std::vector<std::string> seen;
    int UserLogon(std::string_view a, std::string_view, std::string_view, std::string_view) override {
        seen.emplace_back(a);
        return 0;
    }
    int UserLogoff(std::string_view a, std::string_view, std::string_view, std::string_view) override {
        seen.emplace_back(a);
        return 0;
    }
};

struct RulesGuard {
    ~RulesGuard() { SetIdentityRules(WorkerSettings{}); }
};

TEST(IdentityRules, ALogonTheRulesRefuseIsCountedLoggedOnceAndNeverLookedUpWhileLogoffsPass) {
    testing::ScopedMemoryLog log;
    RulesGuard guard;
    WorkerSettings s;
    s.ignoredAccounts = {"svc-*", "bad*name"};
    s.addressRules = {"exclude 10.99.5.0/24", "include 10.99.0.0/16", "include nowhere"};
    SetIdentityRules(s);
    EXPECT_NE(log.Text().find("[ERR]IgnoredAccounts Account2 \"bad*name\" is left out: a * is allowed only at the end "
                              "of the name."),
              std::string::npos)
        << log.Text();
    EXPECT_NE(log.Text().find("[ERR]AddressRules Rule3 \"include nowhere\" is left out: \"nowhere\" is not an IPv4 "
                              "address."),
              std::string::npos)
        << log.Text();
    EXPECT_NE(log.Text().find("[INF]2 address rules, first match decides; an address no rule matches is NOT "
                              "reported (the list holds an include rule)."),
              std::string::npos)
        << log.Text();

    WorkerStatistics& st = Statistics();
    const std::uint64_t ignored = st.refusedIgnored.load(), excluded = st.refusedAddress.load();
    Addresses h;
    const char* logon = "DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|PC01";
    EXPECT_EQ(DispatchClientReport("10.99.5.7", logon, h), 0);
    EXPECT_EQ(DispatchClientReport("10.99.6.7", logon, h), 1);
    EXPECT_EQ(DispatchClientReport("10.98.0.1", logon, h), 0);
    EXPECT_EQ(DispatchClientReport("10.98.0.1", logon, h), 0);
    EXPECT_EQ(DispatchClientReport("10.99.6.7", "DEDOVEROZ0|svc-backup|dc=corp,dc=example,dc=com|PC01", h), 0);
    // A logoff is never held back: a user announced before the rules changed must go offline.
    EXPECT_EQ(DispatchClientReport("10.98.0.1", "DEDOVEROZ1|ann|dc=corp,dc=example,dc=com|PC01", h), 1);
    EXPECT_EQ(h.seen, (std::vector<std::string>{"10.99.6.7", "10.98.0.1"}));
    EXPECT_EQ(st.refusedAddress.load(), excluded + 3);
    EXPECT_EQ(st.refusedIgnored.load(), ignored + 1);
    const std::string text = log.Text();
    const std::string line = "[INF]User ann at 10.98.0.1 not reported: address matches no include rule\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << "logged once per user and address";
    EXPECT_NE(text.find("[INF]User ann at 10.99.5.7 not reported: address excluded by rule 1 (exclude 10.99.5.0/24)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[INF]User svc-backup at 10.99.6.7 not reported: account ignored (svc-*)"), std::string::npos)
        << text;
}

}  // namespace
}  // namespace orvane
