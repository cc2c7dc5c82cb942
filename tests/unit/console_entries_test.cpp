#include <gtest/gtest.h>

#include "console/core/console_core.h"
#include "tests/unit/console_test_support.h"

namespace orvane::console {
namespace {

using testing::ConsoleCoreFixture;

Ipv4Fields Ip(const char* dotted) {
    Ipv4Fields f;
    EXPECT_TRUE(ParseIpv4Fields(dotted, f)) << dotted;
    return f;
}

class ConsoleEntriesTest : public ConsoleCoreFixture {};

TEST_F(ConsoleEntriesTest, SixteenServersThenADeleteFreesTheLowestSection) {
    folder_.AddServers(16);
    ConsoleCore& core = Core();
    EXPECT_FALSE(core.BeginAddServer());
    EXPECT_EQ(LastShown(), T(TextId::Agent_ADServerNumOver));
    unsigned slot = 99;
    EXPECT_EQ(core.AddServer({"10.9.9.9", "CORP\\x", "pw", ""}, slot), AddResult::Full);

    ASSERT_EQ(core.DeleteServer(5), EntryCommand::Done);
    EXPECT_EQ(messages_.asked.back(), T(TextId::Agent_DelADServer) + "|" +
                                          FormatWithArgument(T(TextId::Agent_AskDelADServer), "10.0.0.6"));
    EXPECT_FALSE(folder_.HasSection("AdServer5"));
    EXPECT_EQ(folder_.Value("AdServerNum"), "15");
    ASSERT_TRUE(core.BeginAddServer());
    ASSERT_EQ(core.AddServer({"10.9.9.9", "CORP\\x", "pw", ""}, slot), AddResult::Added);
    EXPECT_EQ(slot, 5u);
    EXPECT_EQ(folder_.Value("AdServer5", "Ip"), "10.9.9.9");
    EXPECT_EQ(folder_.Value("AdServerNum"), "16");
    EXPECT_EQ(core.Config().serverCount, 16u);
    EXPECT_TRUE(core.ServerPresent(5));
}

TEST_F(ConsoleEntriesTest, DeletingAServerInTheMiddleLeavesAGapTheNextAddFills) {
    folder_.AddServers(4);
    ConsoleCore& core = Core();
    ASSERT_EQ(core.DeleteServer(2), EntryCommand::Done);
    EXPECT_TRUE(folder_.HasSection("AdServer0") && folder_.HasSection("AdServer1") && folder_.HasSection("AdServer3"));
    EXPECT_FALSE(folder_.HasSection("AdServer2"));
    EXPECT_EQ(folder_.Value("AdServerNum"), "3");
    unsigned slot = 0;
    ASSERT_EQ(core.AddServer({"10.0.0.3", "CORP\\y", "pw2", ""}, slot), AddResult::Added);
    EXPECT_EQ(slot, 2u);
    std::string stored;
    testing::FakeProtect("pw2", stored);
    EXPECT_EQ(folder_.Value("AdServer2", "Password"), stored);
    EXPECT_EQ(folder_.Value("AdServer2", "FilterGroups"), "");
}

TEST_F(ConsoleEntriesTest, ADeleteAnsweredNoOrWithoutSelectionChangesNothing) {
    folder_.AddServers(2);
    ConsoleCore& core = Core();
    messages_.answer = false;
    EXPECT_EQ(core.DeleteServer(1), EntryCommand::Cancelled);
    EXPECT_TRUE(folder_.HasSection("AdServer1"));
    EXPECT_EQ(core.DeleteServer(ConsoleCore::kNoSlot), EntryCommand::NoSelection);
    EXPECT_EQ(LastShown(), T(TextId::Agent_NoAdServerItem));
    EXPECT_EQ(core.DeleteServer(7), EntryCommand::NoSelection) << "a free slot is no entry";
    EXPECT_EQ(folder_.Value("AdServerNum"), "2");
    EXPECT_EQ(core.DeleteDevice(0), EntryCommand::Refused) << "no device at all: nothing to do";
}

TEST_F(ConsoleEntriesTest, EditRewritesTheSectionWithAnEmptyGroupFilter) {
    folder_.AddServers(2);
    ConsoleCore& core = Core();
    ASSERT_EQ(core.EditServer(1, {"10.5.5.5", "CORP\\new", "pw3", ""}), EntryCommand::Done);
    EXPECT_EQ(folder_.Value("AdServer1", "Ip"), "10.5.5.5");
    EXPECT_EQ(folder_.Value("AdServer1", "UserName"), "CORP\\new");
    EXPECT_EQ(folder_.Value("AdServer1", "FilterGroups"), "");
    EXPECT_EQ(folder_.Value("AdServerNum"), "2");
    EXPECT_EQ(core.Config().servers[1].ip, "10.5.5.5");
    EXPECT_EQ(core.EditServer(16, {"10.5.5.5", "u", "p", ""}), EntryCommand::Refused);
    EXPECT_EQ(core.EditServer(ConsoleCore::kNoSlot, {"10.5.5.5", "u", "p", ""}), EntryCommand::NoSelection);
}

TEST_F(ConsoleEntriesTest, FiveDevicesAndTheirAddDeleteEdit) {
    folder_.AddDevices(5);
    ConsoleCore& core = Core();
    EXPECT_FALSE(core.BeginAddDevice());
    EXPECT_EQ(LastShown(), T(TextId::Agent_FirewallNumOver));
    ASSERT_EQ(core.DeleteDevice(0), EntryCommand::Done);
    EXPECT_EQ(messages_.asked.back(),
              T(TextId::Agent_DelFirewall) + "|" + FormatWithArgument(T(TextId::Agent_AskDelFirewall), "10.1.0.1"));
    unsigned slot = 9;
    ASSERT_EQ(core.AddDevice({"10.2.0.1", 7000}, slot), AddResult::Added);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(folder_.Value("Firewall0", "Port"), "7000");
    EXPECT_EQ(folder_.Value("FirewallNum"), "5");
    ASSERT_EQ(core.EditDevice(4, {"10.2.0.4", 8001}), EntryCommand::Done);
    EXPECT_EQ(folder_.Value("Firewall4", "Ip"), "10.2.0.4");
    EXPECT_EQ(core.EditDevice(5, {"10.2.0.4", 8001}), EntryCommand::Refused);
    EXPECT_EQ(core.EditDevice(ConsoleCore::kNoSlot, {"10.2.0.4", 8001}), EntryCommand::NoSelection);
    EXPECT_EQ(LastShown(), T(TextId::Agent_NoFirewallItem));
}

TEST_F(ConsoleEntriesTest, AnAddThatCannotBeWrittenShowsItsMessageAndAddsNothing) {
    folder_.Remove("AdServerNum");
    folder_.Remove("FirewallNum");
    ConsoleCore core(folder_.path(), texts_, service_, messages_);  // not loaded: counts 0
    unsigned slot = 0;
    EXPECT_EQ(core.AddServer({"10.0.0.1", "u", "p", ""}, slot), AddResult::SaveFailed);
    EXPECT_EQ(LastShown(), T(TextId::Agent_ADServerSaveFail));
    EXPECT_EQ(core.AddDevice({"10.0.0.1", 6000}, slot), AddResult::SaveFailed);
    EXPECT_EQ(LastShown(), T(TextId::Agent_FirewallSaveFail));
    EXPECT_FALSE(folder_.HasSection("AdServer0"));
    EXPECT_EQ(core.Config().serverCount, 0u);
}

TEST(ConsoleDialogTest, ServerDialogChecksInOrder) {
    ServerEntry e;
    ServerDialogInput in{Ip("10.0.0"), "CORP\\a", "pw", "pw"};
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_IpEmpty);
    in.ip = Ip("10..0.1");
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_IpEmpty);
    for (const char* bad : {"0.0.0.0", "255.255.255.255"}) {
        in.ip = Ip(bad);
        EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_IpInvalid) << bad;
    }
    in.ip = Ip("0.0.0.1");
    in.account.clear();
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_AccoutEmpty);
    in.account = "CORP\\a";
    in.password.clear();
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_PasswordEmpty) << "an edit needs the password again";
    in.password = "pw";
    in.confirm.clear();
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_ConfirmEmpty);
    in.confirm = "PW";
    EXPECT_EQ(CheckServerDialog(in, e), TextId::Server_CheckPW);
    in.confirm = "pw";
    in.ip = Ip("255.255.255.0");
    EXPECT_EQ(CheckServerDialog(in, e), std::nullopt);
    EXPECT_EQ(e.ip, "255.255.255.0");
    EXPECT_EQ(e.filterGroups, "");

    Ipv4Fields f;
    EXPECT_FALSE(ParseIpv4Fields("256.1.1.1", f));
    EXPECT_FALSE(ParseIpv4Fields("1.2.3.4.5", f));
    EXPECT_FALSE(ParseIpv4Fields("a.b.c.d", f));
    EXPECT_TRUE(ParseIpv4Fields("010.1.1.1", f));
    EXPECT_EQ(Ipv4Text(f), "10.1.1.1");
}

TEST(ConsoleDialogTest, DeviceDialogPortRange) {
    DeviceEntry e;
    DeviceDialogInput in{Ip("10.0.0.1"), ""};
    EXPECT_EQ(CheckDeviceDialog(in, e), TextId::Firewall_PortEmpty);
    for (const char* bad : {"1024", "50001", "0"}) {
        in.port = bad;
        EXPECT_EQ(CheckDeviceDialog(in, e), TextId::Firewall_PortInvalid) << bad;
    }
    for (const char* ok : {"1025", "50000"}) {
        in.port = ok;
        EXPECT_EQ(CheckDeviceDialog(in, e), std::nullopt) << ok;
    }
    EXPECT_EQ(e.port, 50000u);
    in.ip = Ip("255.255.255.255");
    EXPECT_EQ(CheckDeviceDialog(in, e), TextId::Firewall_IpInvalid);
    in.ip = Ip("10.0.0.");
    EXPECT_EQ(CheckDeviceDialog(in, e), TextId::Firewall_IpEmpty);
    EXPECT_EQ(DeviceDialogPort(nullptr), "8000");
    DeviceEntry noPort{"10.0.0.1", 0};
    EXPECT_EQ(DeviceDialogPort(&noPort), "0");
}

}  // namespace
}  // namespace orvane::console
