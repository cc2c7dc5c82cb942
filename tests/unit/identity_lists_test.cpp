// The identity lists as orvanectl and the console check and store them.
#include "common/identity_lists.h"

#include <gtest/gtest.h>

#include "common/distinguished_name.h"
#include "common/profile.h"
#include "test_util.h"

namespace orvane {
namespace {

using orvane::testing::ReadFile;
using orvane::testing::TempDir;
using orvane::testing::WriteFile;

TEST(IdentityLists, GroupEntriesAreDnsOrNamesADWouldAccept) {
    std::string why;
    for (const char* good : {"VPN-Users", "  Domain Users ", "CN=VPN-Users,CN=Users,DC=corp,DC=example,DC=com",
                             "cn = Sales\\, East , ou=Groups,dc=corp", "CN=x\\=y,2.5.4.3=z"})
        EXPECT_TRUE(CheckGroupEntry(good, why)) << good << ": " << why;
    const std::pair<const char*, const char*> bad[] = {
        {"", "an empty group"},
        {" \t ", "an empty group"},
        {"VPN|Users", "a group name (sAMAccountName) cannot hold '|'; a distinguished name is written CN=...,DC=..."},
        {"corp\\VPN", "a group name (sAMAccountName) cannot hold '\\'; a distinguished name is written CN=...,DC=..."},
        {"VPN-*", "a group name (sAMAccountName) cannot hold '*'; a distinguished name is written CN=...,DC=..."},
        {"CN=VPN,DC=corp,", "not a distinguished name: part 3 of the DN is empty (two commas, or one at an end)"},
        {"CN=VPN,DC", "not a distinguished name: part 2 of the DN (\"DC\") is not attribute=value"},
        {"=VPN,DC=corp", "not a distinguished name: part 1 of the DN (\"=VPN\") is not attribute=value"},
        {"C N=VPN", "not a distinguished name: part 1 of the DN (\"C N=VPN\") is not attribute=value"},
        {"CN=VPN\\", "not a distinguished name: the DN ends in a lone \\"},
    };
    for (const auto& [text, reason] : bad) {
        why.clear();
        EXPECT_FALSE(CheckGroupEntry(text, why)) << text;
        EXPECT_EQ(why, reason) << text;
    }
    // An escaped comma is part of a value, not a new part.
    EXPECT_EQ(DnsDomainOfDn("CN=a,DC=corp,DC=example"), "corp.example");
}

TEST(IdentityLists, EntriesAreCheckedAsTheWorkerReadsThemAndStoredInTheirWrittenForm) {
    std::string why;
    EXPECT_FALSE(CheckListEntry(IdentityList::Accounts, "svc*x", why));
    EXPECT_EQ(why, "a * is allowed only at the end of the name");
    EXPECT_FALSE(CheckListEntry(IdentityList::Addresses, "include 10.0.0.1/8", why));
    // What config.ini would cut or could not keep is refused, not stored mangled.
    EXPECT_FALSE(CheckListEntry(IdentityList::Groups, std::string(256, 'g'), why));
    EXPECT_EQ(why, "longer than 255 characters");
    EXPECT_TRUE(CheckListEntry(IdentityList::Groups, std::string(255, 'g'), why));
    EXPECT_FALSE(CheckListEntry(IdentityList::Accounts, "ann\nbob", why));
    EXPECT_EQ(StoredListEntry(IdentityList::Addresses, "  EXCLUDE \t 10.99.5.0/24 "), "exclude 10.99.5.0/24");
    EXPECT_EQ(StoredListEntry(IdentityList::Accounts, "  CORP\\svc-* "), "CORP\\svc-*");
}

TEST(IdentityLists, AWriteRenumbersDropsStaleKeysAndKeepsEverythingElse) {
    TempDir dir;
    const std::string path = dir / "config.ini";
    WriteFile(path,
              "; the agent's settings\r\n"
              "[AddressRules]\r\n"
              "; servers first\r\n"
              "Num=3\r\n"
              "rule1=exclude 10.99.1.0/24\r\n"
              "Rule3=exclude 10.99.3.0/24\r\n"
              "rule7=include 0.0.0.0/0\r\n"
              "Rule01=include 10.0.0.0/8\r\n"
              "Ruler=kept\r\n"
              "[Firewall0]\r\n"
              "Ip=10.1.0.1\r\n"
              "Port=6001\r\n");
    std::string why;
    ASSERT_TRUE(WriteIdentityLists(path,
                                   {{{IdentityList::Addresses, -1}, {"exclude 10.99.3.0/24", "include 10.99.0.0/16"}},
                                    {{IdentityList::Groups, 0}, {"VPN-Users"}},
                                    {{IdentityList::Accounts, -1}, {}}},
                                   why))
        << why;
    const std::string text = ReadFile(path);
    EXPECT_EQ(text,
              "; the agent's settings\r\n"
              "[AddressRules]\r\n"
              "; servers first\r\n"
              "Num=2\r\n"
              "rule1=exclude 10.99.3.0/24\r\n"
              "Ruler=kept\r\n"
              "Rule2=include 10.99.0.0/16\r\n"
              "[Firewall0]\r\n"
              "Ip=10.1.0.1\r\n"
              "Port=6001\r\n"
              "GroupNum=1\r\n"
              "Group1=VPN-Users\r\n");

    IdentitySettings lists;
    ASSERT_TRUE(ReadIdentitySettings(path, lists));
    EXPECT_EQ(lists.addressRules, (std::vector<std::string>{"exclude 10.99.3.0/24", "include 10.99.0.0/16"}));
    EXPECT_TRUE(lists.gatewayPresent[0]);
    EXPECT_FALSE(lists.gatewayPresent[1]);
    EXPECT_EQ(lists.gatewayGroups[0], std::vector<std::string>{"VPN-Users"});

    // A gateway that is not there gets no section (the console would take it for a device), and
    // nothing of the write is kept.
    EXPECT_FALSE(WriteIdentityLists(path,
                                    {{{IdentityList::Accounts, -1}, {"svc-*"}}, {{IdentityList::Groups, 1}, {"VPN"}}},
                                    why));
    EXPECT_EQ(why, "there is no gateway Firewall1");
    EXPECT_EQ(ReadFile(path), text);
}

}  // namespace
}  // namespace orvane
