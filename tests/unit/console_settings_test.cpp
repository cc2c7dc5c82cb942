#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "console/core/console_core.h"
#include "tests/unit/console_test_support.h"

namespace orvane::console {
namespace {

using testing::ConsoleCoreFixture;

class ConsoleSettingsTest : public ConsoleCoreFixture {
protected:
    void SetUp() override {
        ConsoleCoreFixture::SetUp();
        folder_.SetValue("ClientShareKey", "50AA");
        folder_.SetValue("FirewallShareKey", "50BB");
    }
    // Sets one text field and saves; the message shown, or "" on success.
    std::string SaveWith(Field field, const std::string& text) {
        ConsoleCore& core = Core();
        core.FieldText(field) = text;
        messages_.shown.clear();
        int ok = core.SaveMainSettings();
        EXPECT_EQ(ok == 1, messages_.shown.empty());
        return LastShown();
    }
};

TEST_F(ConsoleSettingsTest, PortEdges) {
    EXPECT_EQ(SaveWith(Field::Port, "1024"), "");
    EXPECT_EQ(folder_.Value("ListenPort"), "1024");
    EXPECT_EQ(SaveWith(Field::Port, "65535"), "");
    EXPECT_EQ(SaveWith(Field::Port, "1023"), T(TextId::Agent_PortInvalid));
    EXPECT_EQ(SaveWith(Field::Port, "65536"), T(TextId::Agent_PortInvalid));
    EXPECT_EQ(SaveWith(Field::Port, ""), T(TextId::Agent_PortEmpty));
    EXPECT_EQ(folder_.Value("ListenPort"), "65535") << "a refused port is not written";
    // The leading number counts, as the C conversion reads it.
    EXPECT_EQ(SaveWith(Field::Port, "7000x"), "");
    EXPECT_EQ(folder_.Value("ListenPort"), "7000x") << "written as entered";
    EXPECT_EQ(SaveWith(Field::Port, "99999999999999"), T(TextId::Agent_PortInvalid));
}

TEST_F(ConsoleSettingsTest, APortInTheUdpTableIsRefusedAndAnUnreadableTableIsNoObstacle) {
    // 6789 = 0x1A85, bound on IPv6 only; the IPv4 row holds 6790.
    udpTable_ += "   5: 0100007F:1A86 00000000:0000 07 00000000:00000000 00:00000000 00000000     0\n"
                 "   9: 00000000000000000000000000000000:1A85 00000000000000000000000000000000:0000 07 0\n";
    EXPECT_EQ(SaveWith(Field::Port, "6789"), T(TextId::Agent_PortBeUsed));
    EXPECT_EQ(SaveWith(Field::Port, "6791"), "");
    // Only the low 16 bits are compared (the value is range-checked before).
    EXPECT_TRUE(UdpPortInUse(6789 + 65536, [&](std::string& t, int&) {
        t = udpTable_;
        return true;
    }));
    EXPECT_FALSE(UdpPortInUse(6789, [](std::string&, int& e) {
        e = 13;
        return false;
    }));
    EXPECT_TRUE(log_.Contains("[ERR]Get size of udptable buffer fail! error:13"));
}

// A socket of this process bound to a free loopback port; returns the port.
int BindLoopback(int type, int& fd) {
    fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST_F(ConsoleSettingsTest, TheSystemTableSeesARealUdpSocketButNotATcpOne) {
    int udp = -1, tcp = -1;
    int udpPort = BindLoopback(SOCK_DGRAM, udp);
    int tcpPort = BindLoopback(SOCK_STREAM, tcp);
    ASSERT_GT(udpPort, 0);
    ASSERT_GT(tcpPort, 0);
    EXPECT_TRUE(UdpPortInUse(udpPort));
    EXPECT_FALSE(UdpPortInUse(tcpPort));
    ::close(udp);
    ::close(tcp);
    EXPECT_FALSE(UdpPortInUse(udpPort));
}

TEST_F(ConsoleSettingsTest, AntiReplayAndQueryIntervalEdges) {
    for (const char* ok : {"0", "5", "86400"}) EXPECT_EQ(SaveWith(Field::AntiReplayTime, ok), "") << ok;
    for (const char* bad : {"4", "86401", "-1"})
        EXPECT_EQ(SaveWith(Field::AntiReplayTime, bad), T(TextId::Agent_AntiTimetInvalid)) << bad;
    EXPECT_EQ(SaveWith(Field::AntiReplayTime, ""), T(TextId::Agent_AntiTimetEmpty));

    folder_.SetValue("ModelType", "1");
    folder_.SetValue("ListenPort", "1");  // not checked in log-query mode
    for (const char* ok : {"5", "300"}) EXPECT_EQ(SaveWith(Field::QueryTime, ok), "") << ok;
    for (const char* bad : {"4", "301"}) EXPECT_EQ(SaveWith(Field::QueryTime, bad), T(TextId::Agent_QueryTimeInvalid));
    EXPECT_EQ(SaveWith(Field::QueryTime, ""), T(TextId::Agent_QueryTimeEmpty));
    EXPECT_EQ(folder_.Value("ListenPort"), "1");
    EXPECT_EQ(folder_.Value("QueryTime"), "300");
}

TEST_F(ConsoleSettingsTest, ARefusalLeavesEarlierValuesWrittenAndTheFieldsAsTyped) {
    folder_.SetValue("ModelType", "1");
    ConsoleCore& core = Core();
    core.Config().mode = 0;
    core.FieldText(Field::Port) = "80";
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(folder_.Value("ModelType"), "0");
    EXPECT_EQ(core.FieldText(Field::Port), "80");
}

TEST_F(ConsoleSettingsTest, DeviceKeyWithAQuestionMarkOrTheMaskIsRefused) {
    ConsoleCore& core = Core();
    core.KeyEditFocused(Field::FirewallKey);
    core.KeyEditLeft(Field::FirewallKey, "ab?cd");
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_FirewallKeyInvalid));
    EXPECT_TRUE(core.Config().firewallKeyChanged) << "the next attempt checks again";

    core.KeyEditFocused(Field::FirewallKey);
    core.KeyEditLeft(Field::FirewallKey, kKeyMask);
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_FirewallKeyEmpty));

    core.KeyEditFocused(Field::FirewallKey);
    core.KeyEditLeft(Field::FirewallKey, "good-key");
    EXPECT_EQ(core.SaveMainSettings(), 1);
    std::string stored;
    testing::FakeProtect("good-key", stored);
    EXPECT_EQ(folder_.Value("FirewallShareKey"), stored);
    EXPECT_FALSE(core.Config().firewallKeyChanged);
}

std::string Zhong(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += "\xE4\xB8\xAD";  // "中": 3 bytes in UTF-8, 2 in GBK
    return s;
}

TEST_F(ConsoleSettingsTest, KeysTheWorkerCouldNotKeepAreRefusedAndANonAsciiClientKeyIsWarnedAbout) {
    ConsoleCore& core = Core();
    auto typeClientKey = [&](const std::string& key) {
        for (Field f : {Field::ClientKey, Field::ClientKeyConfirm}) {
            core.KeyEditFocused(f);
            core.KeyEditLeft(f, key);
        }
    };
    // Within 16 characters but 32 GBK bytes: the worker would run with an empty key.
    typeClientKey(Zhong(16));
    messages_.shown.clear();
    EXPECT_EQ(core.SaveMainSettings(), 0);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_NE(LastShown().find("32 bytes in GBK"), std::string::npos) << LastShown();
    EXPECT_EQ(folder_.Value("ClientShareKey"), "50AA");
    EXPECT_TRUE(core.Config().clientKeyChanged);

    // Within 23 characters but 66 UTF-8 bytes.
    typeClientKey(std::string(16, 'c'));
    core.KeyEditFocused(Field::FirewallKey);
    core.KeyEditLeft(Field::FirewallKey, Zhong(22));
    messages_.shown.clear();
    EXPECT_EQ(core.SaveMainSettings(), 0);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_NE(LastShown().find("66 bytes as UTF-8"), std::string::npos) << LastShown();
    EXPECT_EQ(folder_.Value("FirewallShareKey"), "50BB");

    // 30 GBK bytes fit: saved, with the warning that the PCs derive another AES key from it.
    typeClientKey(Zhong(15));
    core.KeyEditFocused(Field::FirewallKey);
    core.KeyEditLeft(Field::FirewallKey, std::string(23, 'd'));
    messages_.shown.clear();
    EXPECT_EQ(core.SaveMainSettings(), 1);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_NE(LastShown().find("outside ASCII"), std::string::npos) << LastShown();
    std::string stored;
    testing::FakeProtect(Zhong(15), stored);
    EXPECT_EQ(folder_.Value("ClientShareKey"), stored);
}

TEST_F(ConsoleSettingsTest, AKeyEditFocusedAndLeftEmptyKeepsTheMaskAndWritesNothing) {
    folder_.SetValue("ClientShareKey", "50AA");
    folder_.SetValue("FirewallShareKey", "50BB");
    ConsoleCore& core = Core();
    core.KeyEditFocused(Field::FirewallKey);
    EXPECT_EQ(core.FieldText(Field::FirewallKey), "") << "focus empties the mask";
    core.KeyEditLeft(Field::FirewallKey, "");
    EXPECT_EQ(core.FieldText(Field::FirewallKey), kKeyMask);
    EXPECT_FALSE(core.Config().firewallKeyChanged);
    EXPECT_EQ(core.SaveMainSettings(), 1);
    EXPECT_EQ(folder_.Value("FirewallShareKey"), "50BB");
    EXPECT_EQ(folder_.Value("ClientShareKey"), "50AA");
}

TEST_F(ConsoleSettingsTest, TypingOnlyTheConfirmationIsAMismatch) {
    folder_.SetValue("ClientShareKey", "50AA");
    folder_.SetValue("FirewallShareKey", "50BB");
    ConsoleCore& core = Core();
    core.KeyEditFocused(Field::ClientKeyConfirm);
    core.KeyEditLeft(Field::ClientKeyConfirm, "newkey");
    EXPECT_TRUE(core.Config().clientKeyChanged);
    EXPECT_EQ(core.FieldText(Field::ClientKey), kKeyMask);
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_CheckClientKey));
    EXPECT_EQ(folder_.Value("ClientShareKey"), "50AA");

    core.KeyEditFocused(Field::ClientKey);
    core.KeyEditLeft(Field::ClientKey, "newkey");
    EXPECT_EQ(core.SaveMainSettings(), 1);
    std::string stored;
    testing::FakeProtect("newkey", stored);
    EXPECT_EQ(folder_.Value("ClientShareKey"), stored);
}

TEST_F(ConsoleSettingsTest, WithoutStoredKeysTheFirstSaveDemandsThemInOrder) {
    // As delivered: neither key.
    folder_.Remove("ClientShareKey");
    folder_.Remove("FirewallShareKey");
    ConsoleCore& core = Core();
    EXPECT_EQ(core.FieldText(Field::ClientKey), "");
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_ClientKeyEmpty));
    core.FieldText(Field::ClientKey) = "k";
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_ClientConfirmKeyEmpty));
    core.FieldText(Field::ClientKeyConfirm) = "k";
    EXPECT_EQ(core.SaveMainSettings(), 0);
    EXPECT_EQ(LastShown(), T(TextId::Agent_FirewallKeyEmpty));
    EXPECT_NE(folder_.Value("ClientShareKey"), "<missing>") << "the client key passed and was written";
}

TEST_F(ConsoleSettingsTest, AMissingRequiredKeyFailsTheLoadWithItsLine) {
    folder_.Remove("RetranTimes");
    ConsoleCore core(folder_.path(), texts_, service_, messages_);
    EXPECT_FALSE(core.Load());
    EXPECT_TRUE(log_.Contains("[ERR] Read config file failed! exit process!"));
    folder_.AddServers(1);
    folder_.SetValue("RetranTimes", "3");
    folder_.SetValue("AdServerNum", "17");
    EXPECT_FALSE(core.Load());
    EXPECT_TRUE(log_.Contains("[ERR]AdServer number greater than max number"));
}

TEST(ConsoleFieldTest, InputMasksAndLayout) {
    EXPECT_EQ(CheckFieldInput(Field::Port, "6789"), InputCheck::Ok);
    EXPECT_EQ(CheckFieldInput(Field::Port, ""), InputCheck::Ok);
    for (const char* bad : {"-1", "12a", " 5", "+5"})
        EXPECT_EQ(CheckFieldInput(Field::AntiReplayTime, bad), InputCheck::NotDigits) << bad;
    EXPECT_EQ(CheckFieldInput(Field::QueryTime, "1.5"), InputCheck::NotDigits);
    EXPECT_EQ(CheckFieldInput(Field::ClientKey, std::string(16, 'k')), InputCheck::Ok);
    EXPECT_EQ(CheckFieldInput(Field::ClientKeyConfirm, std::string(17, 'k')), InputCheck::TooLong);
    EXPECT_EQ(CheckFieldInput(Field::FirewallKey, std::string(23, 'k')), InputCheck::Ok);
    EXPECT_EQ(CheckFieldInput(Field::FirewallKey, std::string(24, 'k')), InputCheck::TooLong);
    // Limits count UTF-16 units: 8 characters outside the BMP are 16 units.
    std::string emoji;
    for (int i = 0; i < 9; ++i) emoji += "\xF0\x9F\x98\x80";
    EXPECT_EQ(CheckFieldInput(Field::ClientKey, emoji), InputCheck::TooLong);

    EXPECT_TRUE(FieldShownInMode(Field::Port, 0));
    EXPECT_FALSE(FieldShownInMode(Field::Port, 1));
    EXPECT_TRUE(FieldShownInMode(Field::QueryTime, 1));
    EXPECT_FALSE(FieldShownInMode(Field::AntiReplayTime, 1));
    EXPECT_TRUE(FieldShownInMode(Field::FirewallKey, 1));
    EXPECT_EQ(ModeGroupCaption(1), TextId::Agent_QueryServerLog);
    EXPECT_EQ(ModeGroupCaption(0), TextId::Agent_RecvPCInfo);
}

TEST(ConsoleFieldTest, WhatTheServiceStateEnables) {
    ControlEnabling stopped = EnablingFor(kServiceStopped);
    EXPECT_TRUE(stopped.settings && stopped.startService);
    EXPECT_FALSE(stopped.stopService);
    for (std::uint32_t s : {kServiceStartPending, kServiceStopPending, kServiceRunning, kServicePaused}) {
        ControlEnabling e = EnablingFor(s);
        EXPECT_FALSE(e.settings || e.startService) << s;
        EXPECT_TRUE(e.stopService) << s;
    }
    EXPECT_FALSE(TrayMenuFor(kServiceStopped).stopService);
    EXPECT_TRUE(TrayMenuFor(kServiceStopped).startService);
    EXPECT_FALSE(TrayMenuFor(kServiceRunning).startService);
    EXPECT_TRUE(TrayMenuFor(kServiceStopPending).startService && TrayMenuFor(kServiceStopPending).stopService);
    auto menu = TrayMenuItems(kServiceRunning);
    EXPECT_EQ(menu[2].command, kCmdStartService);
    EXPECT_FALSE(menu[2].enabled);
    EXPECT_TRUE(menu[3].enabled);
    EXPECT_EQ(menu[1].command, 0u);
    EXPECT_FALSE(menu[4].text.has_value());
    EXPECT_EQ(menu[7].text, TextId::Agent_ExitMenu);
    EXPECT_FALSE(TrayMenuItems(kServiceStopped)[3].enabled);
    EXPECT_EQ(RootNodeText(kServiceRunning), TextId::Agent_Running);
    EXPECT_EQ(RootNodeText(kServiceStartPending), TextId::Agent_Stopped);
}

}  // namespace
}  // namespace orvane::console
