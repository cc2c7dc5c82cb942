#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "common/config.h"
#include "common/log.h"
#include "common/profile.h"
#include "common/text.h"
#include "tests/unit/test_util.h"

namespace orvane {
namespace {

// A stand-in protection: "P:" + clear text as upper-case hex. Anything else fails to unprotect.
bool g_failProtect = false;

std::string Hex(std::string_view bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int FakeProtect(const std::string& clear, std::string& out) {
    if (clear.empty() || g_failProtect) return -1;
    out = Hex("P:" + clear);
    return 0;
}

void FakeUnprotect(const std::string& text, std::string& field, std::size_t capacity) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (end != pair + 2) return;
        bytes += static_cast<char>(v);
    }
    if (bytes.rfind("P:", 0) != 0) return;
    field = CutToCapacity(bytes.substr(2), capacity);
}

std::string P(const std::string& clear) { return Hex("P:" + clear); }

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        dir_ = tmp_.path();
        path_ = dir_ + "/config.ini";
        previousSink_ = SetLogSink(&log_);
        previousProtection_ = SetProtectionFunctions({&FakeProtect, &FakeUnprotect});
        g_failProtect = false;
    }
    void TearDown() override {
        SetProtectionFunctions(previousProtection_);
        SetLogSink(previousSink_);
    }

    // A complete file; `changes` replaces or (with "-") removes single values, `extra` is appended.
    void WriteConfig(const std::map<std::string, std::string>& changes = {}, const std::string& extra = "") {
        std::map<std::string, std::string> values = {
            {"ModelType", "0"},       {"EncryptType", "1"},   {"EncodeType", "1"},
            {"AdServerNum", "0"},     {"FirewallNum", "0"},   {"LogLevel", "1"},
            {"RetranTimes", "3"},     {"MessageTimeout", "5"}, {"CurLanguageId", "2052"},
            {"ListenPort", "6789"},   {"AntiReplayTime", "600"}, {"QueryTime", "10"},
            {"ClientShareKey", P("client16")}, {"FirewallShareKey", P("device-key")},
        };
        for (const auto& [k, v] : changes) {
            if (v == "-") {
                values.erase(k);
            } else {
                values[k] = v;
            }
        }
        std::string text = "; delivered settings\n";
        for (const auto& [k, v] : values) text += "[" + k + "]\nValue=" + v + "\n\n";
        WriteRaw(text + extra);
    }
    void WriteRaw(const std::string& bytes) { testing::WriteFile(path_, bytes); }
    std::string Read() const { return testing::ReadFile(path_); }
    static std::string Server(unsigned i, const std::string& ip, const std::string& user = "CORP\\admin",
                              const std::string& password = "secret") {
        return "[AdServer" + std::to_string(i) + "]\nIp=" + ip + "\nUserName=" + user + "\nPassword=" + P(password) +
               "\nFilterGroups=\n";
    }
    static std::string Firewall(unsigned i, const std::string& ip, const std::string& port) {
        std::string s = "[Firewall" + std::to_string(i) + "]\nIp=" + ip + "\n";
        if (!port.empty()) s += "Port=" + port + "\n";
        return s;
    }
    WorkerSettings Worker(std::uint16_t modelType = 0, const std::string& serverArgument = "") {
        WorkerSettings s;
        s.configPath = path_;
        s.modelType = modelType;
        s.serverArgument = serverArgument;
        return s;
    }
    static std::string Key(const std::array<std::uint8_t, 32>& k) {
        return std::string(reinterpret_cast<const char*>(k.data()));
    }

    testing::TempDir tmp_;
    std::string dir_, path_;
    MemoryLog log_;
    LogSink* previousSink_ = nullptr;
    ProtectionFunctions previousProtection_{};
};

// ---------------------------------------------------------------------------------------------
// Worker.

TEST_F(ConfigTest, WorkerReadsEveryValueWithItsWidth) {
    WriteConfig({{"EncryptType", "65537"}, {"LogLevel", "258"}, {"AdServerNum", "2"}, {"FirewallNum", "1"}},
                Server(0, "10.0.0.5") + Server(1, "10.0.0.6", "CORP\\other", "pw2") + Firewall(0, "10.1.0.1", "6001"));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.modelType, 0);
    EXPECT_EQ(s.encryptType, 1);  // 16 bits
    EXPECT_EQ(s.logLevel, 2);     // 8 bits
    EXPECT_EQ(s.encodeType, 1);
    EXPECT_EQ(s.retranTimes, 3);
    EXPECT_EQ(s.messageTimeout, 5);
    EXPECT_EQ(s.curLanguageId, 2052u);
    EXPECT_EQ(Key(s.deviceKey), "device-key");
    ASSERT_EQ(s.servers.size(), 2u);
    EXPECT_EQ(s.servers[1].ip, "10.0.0.6");
    EXPECT_EQ(s.servers[1].userName, "CORP\\other");
    EXPECT_EQ(s.servers[1].password, "pw2");
    EXPECT_EQ(s.servers[1].filterGroups, "");
    EXPECT_EQ(s.firewallNum, 1);
    EXPECT_EQ(s.gateways[0].ip, "10.1.0.1");
    EXPECT_EQ(s.gateways[0].port, 6001u);
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ConfigTest, StoredErrorCountsAsMissingButLowerCaseErrorIsAValue) {
    WriteConfig({{"AdServerNum", "3"}, {"FirewallShareKey", "ERROR"}},
                Server(0, "10.0.0.5", "ERROR") + Server(1, "10.0.0.6", "error") + Server(2, "ERROR"));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers[0].userName, "error");
    EXPECT_EQ(Key(s.deviceKey), "");

    ServiceSettings svc;
    ASSERT_EQ(ReadServiceConfig(path_, svc), 1);
    EXPECT_EQ(svc.serverAddresses, (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
}

TEST_F(ConfigTest, AMissingRequiredKeyStopsTheWorkerRead) {
    WriteConfig({{"EncryptType", "-"}, {"LogLevel", "7"}});
    WorkerSettings s = Worker();
    s.logLevel = 99;
    EXPECT_EQ(ReadWorkerConfig(s), 0);
    EXPECT_EQ(s.logLevel, 99);  // later values unread
    EXPECT_TRUE(log_.Contains("[ERR]Config value EncryptType is missing!"));

    WriteConfig({{"RetranTimes", "-1"}});  // -1 is the missing marker itself
    s = Worker();
    EXPECT_EQ(ReadWorkerConfig(s), 0);

    // Optional keys may be missing.
    WriteConfig({{"AdServerNum", "-"}, {"FirewallNum", "-"}, {"FirewallShareKey", "-"}, {"CurLanguageId", "-"}});
    s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_TRUE(s.servers.empty());
    EXPECT_EQ(s.firewallNum, 0);
    EXPECT_EQ(s.curLanguageId, 1033u);

    // No file at all reads as nothing present.
    std::filesystem::remove(path_);
    s = Worker();
    EXPECT_EQ(ReadWorkerConfig(s), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Cannot read config file " + path_ + ": No such file or directory"));
}

TEST_F(ConfigTest, NamesMatchWithoutRegardToCaseAndTheFirstDuplicateWins) {
    WriteRaw("[modeltype]\nvalue=0\n[ENCRYPTTYPE]\nVALUE=1\n[EncodeType]\nValue=0\nValue=1\n"
             "[LogLevel]\nValue=1\n[RetranTimes]\nValue=2\n[MessageTimeout]\nValue=3\n"
             "[firewallnum]\nvalue=1\n[FIREWALL0]\nIP=10.1.0.1\nport=6001\n[Firewall0]\nIp=10.9.9.9\nPort=9\n");
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.encryptType, 1);
    EXPECT_EQ(s.encodeType, 0);
    EXPECT_EQ(s.gateways[0].ip, "10.1.0.1");
    EXPECT_EQ(s.gateways[0].port, 6001u);
    EXPECT_EQ(s.gateways[1].ip, "");
}

TEST_F(ConfigTest, GapsAreScannedInIndexOrderAndTheNextAddFillsTheLowest) {
    WriteConfig({{"AdServerNum", "2"}}, Server(0, "10.0.0.5") + Server(2, "10.0.0.7"));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ASSERT_EQ(s.servers.size(), 2u);
    EXPECT_EQ(s.servers[0].ip, "10.0.0.5");
    EXPECT_EQ(s.servers[1].ip, "10.0.0.7");

    ServiceSettings svc;
    ASSERT_EQ(ReadServiceConfig(path_, svc), 1);
    EXPECT_EQ(svc.serverCount, 2);
    EXPECT_EQ(svc.serverAddresses, (std::vector<std::string>{"10.0.0.5", "10.0.0.7"}));

    unsigned index = 99;
    ServerEntry added{"10.0.0.6", "CORP\\admin", "pw", "ignored"};
    ASSERT_EQ(AddServerEntry(path_, added, index), 1);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(ReadProfileInt(path_, "AdServerNum", "Value", -1), 3);
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Password", "ERROR", 4096), P("pw"));
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "FilterGroups", "ERROR", 260), "");
    s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ASSERT_EQ(s.servers.size(), 3u);
    EXPECT_EQ(s.servers[1].ip, "10.0.0.6");
    EXPECT_EQ(s.servers[1].password, "pw");
}

TEST_F(ConfigTest, AGatewayWithoutPortIsOverwrittenByTheNextCompleteOne) {
    WriteConfig({{"FirewallNum", "3"}},
                Firewall(0, "10.1.0.1", "6001") + Firewall(1, "10.1.0.2", "") + Firewall(2, "10.1.0.3", "6003") +
                    Firewall(4, "10.1.0.5", ""));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.firewallNum, 3);
    EXPECT_EQ(s.gateways[0].ip, "10.1.0.1");
    EXPECT_EQ(s.gateways[1].ip, "10.1.0.3");
    EXPECT_EQ(s.gateways[1].port, 6003u);
    // A trailing incomplete section keeps its address at the next position, with port 0.
    EXPECT_EQ(s.gateways[2].ip, "10.1.0.5");
    EXPECT_EQ(s.gateways[2].port, 0u);
    EXPECT_EQ(s.gateways[3].ip, "");
}

TEST_F(ConfigTest, CountsAboveTheirLimitsLoadNothing) {
    std::string entries = Server(0, "10.0.0.5") + Firewall(0, "10.1.0.1", "6001");
    WriteConfig({{"AdServerNum", "17"}, {"FirewallNum", "6"}}, entries);
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_TRUE(s.servers.empty());
    EXPECT_EQ(s.firewallNum, 0);
    EXPECT_EQ(s.gateways[0].ip, "");
    EXPECT_TRUE(log_.Contains("[ERR]FirewallNum 6 is larger than 5, no gateway is used!"));

    // The counts are truncated to their widths first: 261 is 5 in 8 bits, 65537 is 1 in 16.
    WriteConfig({{"AdServerNum", "65537"}, {"FirewallNum", "261"}}, entries);
    s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.adServerNum, 1);
    EXPECT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.firewallNum, 5);

    ServiceSettings svc;
    WriteConfig({{"AdServerNum", "17"}}, entries);
    log_.Clear();
    ASSERT_EQ(ReadServiceConfig(path_, svc), 1);
    EXPECT_EQ(svc.serverCount, 17);
    EXPECT_TRUE(svc.serverAddresses.empty());
    EXPECT_TRUE(log_.Contains("[ERR]AD server number larger than 16!"));

    ConsoleConfig c;
    c.configPath = path_;
    EXPECT_EQ(LoadConsoleConfig(c), 0);
    EXPECT_TRUE(log_.Contains("[ERR]AdServer number greater than max number"));
    WriteConfig({{"FirewallNum", "6"}}, entries);
    EXPECT_EQ(LoadConsoleConfig(c), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Firewall number greater than max number"));
}

TEST_F(ConfigTest, ALogQueryWorkerTakesOnlyTheSectionsOfItsServer) {
    WriteConfig({{"ModelType", "1"}, {"AdServerNum", "4"}},
                Server(0, "10.0.0.50") + Server(1, "10.0.0.5", "CORP\\a") + Server(2, "10.0.0.6") +
                    Server(3, "10.0.0.5", "CORP\\b"));
    WorkerSettings s = Worker(1, "10.0.0.5");
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.adServerNum, 1);
    ASSERT_EQ(s.servers.size(), 2u);
    EXPECT_EQ(s.servers[0].userName, "CORP\\a");
    EXPECT_EQ(s.servers[1].userName, "CORP\\b");
    // The accounts the agent binds with are those of every section, other workers' too.
    EXPECT_EQ(s.agentAccounts,
              (std::vector<std::string>{"CORP\\admin", "CORP\\a", "CORP\\admin", "CORP\\b"}));
}

TEST_F(ConfigTest, IncompleteOrUnreadableServerSections) {
    WriteConfig({{"AdServerNum", "4"}},
                "[AdServer0]\nIp=10.0.0.5\nUserName=u\nPassword=" + P("pw") + "\n" +  // no FilterGroups
                    "[AdServer1]\nIp=10.0.0.6\nUserName=u\nFilterGroups=x\n" +        // no Password
                    "[AdServer2]\nIp=10.0.0.7\nUserName=u\nPassword=NOTPROTECTED\nFilterGroups=\n" +
                    "[AdServer3]\nIp=10.0.0.8\nPassword=" + P("pw") + "\nFilterGroups=\n");  // no UserName
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    // A password that cannot be turned back leaves the entry with an empty password.
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers[0].ip, "10.0.0.7");
    EXPECT_EQ(s.servers[0].password, "");
}

TEST_F(ConfigTest, TextsLongerThanTheirFieldsAreRefusedWhole) {
    std::string longIp(48, '1');
    std::string longUser(260, 'u');
    WriteConfig({{"AdServerNum", "4"}, {"FirewallNum", "2"}},
                Server(0, longIp) + Server(1, "10.0.0.6", longUser) + Server(2, "10.0.0.7", "u", std::string(393, 'p')) +
                    Server(3, "10.0.0.8", std::string(259, 'u'), std::string(392, 'p')) + Firewall(0, longIp, "6001") +
                    Firewall(1, "10.1.0.2", "6002"));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers[0].ip, "10.0.0.8");
    EXPECT_EQ(s.servers[0].password.size(), 392u);
    EXPECT_EQ(s.gateways[0].ip, "10.1.0.2");
    EXPECT_TRUE(log_.Contains("[ERR]AdServer0: Ip is longer than 47 characters, entry ignored!"));
    EXPECT_TRUE(log_.Contains("[ERR]AdServer1: UserName is longer than 259 characters, entry ignored!"));
    EXPECT_TRUE(log_.Contains("[ERR]AdServer2: Password is longer than 392 characters, entry ignored!"));
    EXPECT_TRUE(log_.Contains("[ERR]Firewall0: Ip is longer than 47 characters, entry ignored!"));

    ServiceSettings svc;
    WriteConfig({{"AdServerNum", "2"}}, Server(0, std::string(96, '9')) + Server(1, std::string(95, '9')));
    ASSERT_EQ(ReadServiceConfig(path_, svc), 1);
    ASSERT_EQ(svc.serverAddresses.size(), 1u);
    EXPECT_EQ(svc.serverAddresses[0].size(), 95u);
}

TEST_F(ConfigTest, ShareKeysMustFitTheir31Bytes) {
    const std::string han = "\xE4\xB8\xAD";  // one character: 3 bytes in UTF-8, 2 in GBK
    auto deviceKeyOf = [&](const std::string& clear) {
        WriteConfig({{"FirewallShareKey", P(clear)}});
        WorkerSettings s = Worker();
        EXPECT_EQ(ReadWorkerConfig(s), 1);
        return Key(s.deviceKey);
    };
    EXPECT_EQ(deviceKeyOf(std::string(31, 'k')), std::string(31, 'k'));
    EXPECT_EQ(deviceKeyOf(std::string(32, 'k')), "");
    std::string tenHan;
    for (int i = 0; i < 10; ++i) tenHan += han;
    EXPECT_EQ(deviceKeyOf(tenHan), tenHan);      // 30 bytes
    EXPECT_EQ(deviceKeyOf(tenHan + "ab"), "");   // 32 bytes: refused, never cut inside a character
    EXPECT_TRUE(log_.Contains("[ERR]FirewallShareKey does not fit in 31 bytes, the device key stays empty!"));

    auto clientKeyOf = [&](const std::string& clear) {
        WriteConfig({{"ClientShareKey", P(clear)}});
        WorkerSettings s = Worker();
        ReadReceiverConfig(s);
        return Key(s.clientKey);
    };
    std::string fifteenHan;
    for (int i = 0; i < 15; ++i) fifteenHan += han;
    std::string gbk;
    ASSERT_TRUE(Utf8ToAnsi(fifteenHan, gbk));
    EXPECT_EQ(clientKeyOf(fifteenHan), gbk);  // 30 bytes of GBK
    EXPECT_EQ(clientKeyOf(fifteenHan + han), "");
    EXPECT_EQ(clientKeyOf("\xF0\x9F\x98\x80"), "");  // no GBK form
    EXPECT_EQ(clientKeyOf("client16"), "client16");
}

TEST_F(ConfigTest, OverLongSecretsAreRefusedWithoutTheirValueInTheLog) {
    const std::string secret = testing::DistinctSecret(400);
    WriteConfig({{"AdServerNum", "1"}, {"FirewallShareKey", P(secret.substr(0, 200))},
                 {"ClientShareKey", P(secret.substr(100, 200))}},
                Server(0, "10.0.0.5", "CORP\\admin", secret));
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ReadReceiverConfig(s);
    EXPECT_TRUE(s.servers.empty());
    EXPECT_EQ(Key(s.deviceKey), "");
    EXPECT_EQ(Key(s.clientKey), "");
    EXPECT_TRUE(log_.Contains("[ERR]AdServer0: Password is longer than 392 characters, entry ignored!"));
    EXPECT_TRUE(log_.Contains("[ERR]FirewallShareKey does not fit in 31 bytes, the device key stays empty!"));
    EXPECT_TRUE(log_.Contains(
        "[ERR]ClientShareKey does not fit in 31 bytes of the ANSI code page, the client key stays empty!"));
    EXPECT_FALSE(testing::HoldsPieceOf(log_.Text(), secret)) << log_.Text();
}

TEST_F(ConfigTest, WithoutListenPortTheReceiverReadsNothingMore) {
    WriteConfig({{"ListenPort", "-"}, {"AntiReplayTime", "30"}});
    WorkerSettings s = Worker();
    ReadReceiverConfig(s);
    EXPECT_EQ(s.listenPort, 0);
    EXPECT_EQ(Key(s.clientKey), "");
    EXPECT_EQ(s.antiReplayTime, 1800u);

    WriteConfig({{"ListenPort", "70000"}, {"AntiReplayTime", "0"}});
    ReadReceiverConfig(s);
    EXPECT_EQ(s.listenPort, 70000 & 0xFFFF);
    EXPECT_EQ(Key(s.clientKey), "client16");
    EXPECT_EQ(s.antiReplayTime, 0u);

    WriteConfig({{"AntiReplayTime", "-"}, {"ClientShareKey", "-"}});
    ReadReceiverConfig(s);
    EXPECT_EQ(Key(s.clientKey), "");
    EXPECT_EQ(s.antiReplayTime, 1800u);
}

TEST_F(ConfigTest, QueryResumeSpanIsReadInMinutesWithQueryTimeAndAnAbsurdValueKeepsTheDefault) {
    WorkerSettings s = Worker();
    ReadQueryTime(s);
    EXPECT_EQ(s.queryResumeSpan, 30u * 60u);
    for (auto [text, seconds] : {std::pair{"0", 0u}, {"120", 7200u}, {"10081", 1800u}, {"-1", 1800u}}) {
        WriteConfig({{"QueryResumeSpan", text}});
        ReadQueryTime(s);
        EXPECT_EQ(s.queryResumeSpan, seconds) << text;
    }
}

TEST_F(ConfigTest, OnlineRecordMaxAgeIsReadInHoursAndAnAbsurdValueKeepsTheDefault) {
    WorkerSettings s = Worker();
    ReadReceiverConfig(s);
    EXPECT_EQ(s.onlineRecordMaxAge, 168u * 3600u);
    WriteConfig({{"OnlineRecordMaxAge", "24"}});
    ReadReceiverConfig(s);
    EXPECT_EQ(s.onlineRecordMaxAge, 86400u);
    WriteConfig({{"OnlineRecordMaxAge", "0"}});
    ReadReceiverConfig(s);
    EXPECT_EQ(s.onlineRecordMaxAge, 0u);
    // More than ten years would overflow the seconds; a negative number is no age.
    for (const char* absurd : {"87601", "-5"}) {
        WriteConfig({{"OnlineRecordMaxAge", absurd}});
        ReadReceiverConfig(s);
        EXPECT_EQ(s.onlineRecordMaxAge, 168u * 3600u) << absurd;
    }
}

TEST_F(ConfigTest, TheIdentityRuleListsAreReadInOrderKeepingTheirNumbersUpToTheirCount) {
    WriteConfig();
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_TRUE(s.ignoredAccounts.empty());
    EXPECT_TRUE(s.addressRules.empty());
    WriteConfig({}, "[IgnoredAccounts]\nNum=3\nAccount1=svc-*\nAccount3=CORP\\scanner\nAccount4=beyond the count\n"
                    "[AddressRules]\nNum=2\nRule2=include 10.0.0.0/8\nRule1=exclude 10.0.5.0/24\n");
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    // Entry N stays at position N - 1, so messages name the key it came from.
    EXPECT_EQ(s.ignoredAccounts, (std::vector<std::string>{"svc-*", "", "CORP\\scanner"}));
    EXPECT_EQ(s.addressRules, (std::vector<std::string>{"exclude 10.0.5.0/24", "include 10.0.0.0/8"}));
}

TEST_F(ConfigTest, QueryTimeIsOptional) {
    WriteConfig({{"QueryTime", "-"}});
    WorkerSettings s = Worker(1);
    EXPECT_EQ(ReadQueryTime(s), 0);
    EXPECT_EQ(s.queryTime, 0);
    WriteConfig({{"QueryTime", "65541"}});
    EXPECT_EQ(ReadQueryTime(s), 1);
    EXPECT_EQ(s.queryTime, 5);
}

// ---------------------------------------------------------------------------------------------
// Service.

TEST_F(ConfigTest, TheServiceReads255AsMissing) {
    WriteConfig({{"ModelType", "255"}});
    ServiceSettings svc;
    EXPECT_EQ(ReadServiceConfig(path_, svc), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Read model type failed!"));
    WriteConfig({{"AdServerNum", "255"}});
    EXPECT_EQ(ReadServiceConfig(path_, svc), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Read AD server number failed!"));
    // -1 is an ordinary value for the service.
    WriteConfig({{"ModelType", "-1"}});
    ASSERT_EQ(ReadServiceConfig(path_, svc), 1);
    EXPECT_EQ(svc.modelType, 0xFFFF);
}

// ---------------------------------------------------------------------------------------------
// Console.

TEST_F(ConfigTest, TheConsoleLoadsEntriesAtTheirSectionIndex) {
    WriteConfig({{"AdServerNum", "2"}, {"FirewallNum", "2"}, {"ListenPort", "abc"}},
                Server(0, "10.0.0.5") + "[AdServer3]\nIp=10.0.0.8\nPassword=x\n" + Firewall(1, "10.1.0.2", "") +
                    Firewall(3, "10.1.0.4", "6004"));
    ConsoleConfig c;
    c.configPath = path_;
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    EXPECT_EQ(c.mode, 0u);
    EXPECT_EQ(c.listenPort, "0");
    EXPECT_EQ(c.antiReplayTime, "600");
    EXPECT_EQ(c.queryTime, "10");
    EXPECT_EQ(c.clientKey, kKeyMask);
    EXPECT_EQ(c.clientKeyConfirm, kKeyMask);
    EXPECT_EQ(c.firewallKey, kKeyMask);
    EXPECT_FALSE(c.clientKeyChanged);
    EXPECT_FALSE(c.firewallKeyChanged);
    EXPECT_EQ(c.curLanguageId, 2052u);
    EXPECT_EQ(c.serverCount, 2);
    EXPECT_TRUE(c.serverPresent[0]);
    EXPECT_EQ(c.servers[0].password, P("secret"));
    EXPECT_TRUE(c.serverPresent[3]);
    // Password is read only after UserName was present.
    EXPECT_EQ(c.servers[3].userName, "");
    EXPECT_EQ(c.servers[3].password, "");
    EXPECT_FALSE(c.serverPresent[1]);
    EXPECT_TRUE(c.devicePresent[1]);
    EXPECT_EQ(c.devices[1].port, 0u);
    EXPECT_EQ(c.devices[3].port, 6004u);

    // A count of 0 reads no entry at all.
    WriteConfig({}, Server(0, "10.0.0.5"));
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    EXPECT_FALSE(c.serverPresent[0]);
}

TEST_F(ConfigTest, TheConsoleDemandsNewKeysWhenNoneIsStored) {
    WriteConfig({{"ClientShareKey", "-"}, {"FirewallShareKey", "ERROR"}, {"CurLanguageId", "1234"}});
    ConsoleConfig c;
    c.configPath = path_;
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    EXPECT_EQ(c.clientKey, "");
    EXPECT_EQ(c.clientKeyConfirm, "");
    EXPECT_TRUE(c.clientKeyChanged);
    EXPECT_EQ(c.firewallKey, "");
    EXPECT_TRUE(c.firewallKeyChanged);
    EXPECT_EQ(c.curLanguageId, 1033u);
    EXPECT_EQ(ReadConsoleLanguageId(path_), 1033u);

    for (const char* required : {"ModelType", "ListenPort", "QueryTime", "AntiReplayTime", "EncryptType",
                                 "AdServerNum", "FirewallNum", "EncodeType", "LogLevel", "RetranTimes",
                                 "MessageTimeout"}) {
        WriteConfig({{required, "-"}});
        EXPECT_EQ(LoadConsoleConfig(c), 0) << required;
    }
}

TEST_F(ConfigTest, ASaveInLogQueryModeLeavesTheClientReportKeys) {
    WriteConfig();
    const std::string before = Read();
    ConsoleConfig c;
    c.configPath = path_;
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    c.mode = 1;
    c.queryTime = "30";
    c.listenPort = "7000";
    c.antiReplayTime = "5";
    c.clientKey = c.clientKeyConfirm = "newclient";
    c.clientKeyChanged = true;
    ASSERT_EQ(SaveMainSettings(c), 1);
    EXPECT_TRUE(c.clientKeyChanged);  // not written, so still pending
    EXPECT_EQ(ReadProfileInt(path_, "ModelType", "Value", -1), 1);
    EXPECT_EQ(ReadProfileInt(path_, "QueryTime", "Value", -1), 30);
    EXPECT_EQ(ReadProfileInt(path_, "ListenPort", "Value", -1), 6789);
    EXPECT_EQ(ReadProfileInt(path_, "AntiReplayTime", "Value", -1), 600);
    EXPECT_EQ(ReadProfileString(path_, "ClientShareKey", "Value", "ERROR", 4096), P("client16"));
    // Nothing else in the file moved.
    std::string after = Read();
    after.replace(after.find("[ModelType]\nValue=1"), 19, "[ModelType]\nValue=0");
    after.replace(after.find("[QueryTime]\nValue=30"), 20, "[QueryTime]\nValue=10");
    EXPECT_EQ(after, before);

    // Client-report mode writes its keys and leaves QueryTime; the device key only when changed.
    c.mode = 0;
    c.queryTime = "99";
    c.firewallKey = "newdevice";
    c.firewallKeyChanged = true;
    c.encodeType = 0;
    ASSERT_EQ(SaveMainSettings(c), 1);
    EXPECT_FALSE(c.clientKeyChanged);
    EXPECT_FALSE(c.firewallKeyChanged);
    EXPECT_EQ(ReadProfileInt(path_, "QueryTime", "Value", -1), 30);
    EXPECT_EQ(ReadProfileString(path_, "ListenPort", "Value", "ERROR", 64), "7000");
    EXPECT_EQ(ReadProfileString(path_, "AntiReplayTime", "Value", "ERROR", 64), "5");
    EXPECT_EQ(ReadProfileString(path_, "ClientShareKey", "Value", "ERROR", 4096), P("newclient"));
    EXPECT_EQ(ReadProfileString(path_, "FirewallShareKey", "Value", "ERROR", 4096), P("newdevice"));
    EXPECT_EQ(ReadProfileInt(path_, "EncodeType", "Value", -1), 0);
}

TEST_F(ConfigTest, ASaveStopsAtTheFirstRefusalWithEarlierValuesWritten) {
    WriteConfig({{"ModelType", "1"}});
    ConsoleConfig c;
    c.configPath = path_;
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    c.mode = 0;
    c.listenPort = "7000";
    std::vector<SaveStep> asked;
    auto refuseAntiReplay = [&](SaveStep step) {
        asked.push_back(step);
        return step != SaveStep::AntiReplayTime;
    };
    EXPECT_EQ(SaveMainSettings(c, refuseAntiReplay), 0);
    EXPECT_EQ(asked, (std::vector<SaveStep>{SaveStep::ListenPort, SaveStep::AntiReplayTime}));
    EXPECT_EQ(ReadProfileInt(path_, "ModelType", "Value", -1), 0);
    EXPECT_EQ(ReadProfileInt(path_, "ListenPort", "Value", -1), 7000);

    // A protection that fails ends the save with its message; the key stays pending.
    c.firewallKey = "newdevice";
    c.firewallKeyChanged = true;
    c.encodeType = 0;
    g_failProtect = true;
    EXPECT_EQ(SaveMainSettings(c), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Encryption error !"));
    EXPECT_TRUE(c.firewallKeyChanged);
    EXPECT_EQ(ReadProfileString(path_, "FirewallShareKey", "Value", "ERROR", 4096), P("device-key"));
    EXPECT_EQ(ReadProfileInt(path_, "EncodeType", "Value", -1), 1);

    // A typed text that would break the file is a failed write.
    g_failProtect = false;
    c.listenPort = "7000\n[ModelType]";
    EXPECT_EQ(SaveMainSettings(c), 0);
    EXPECT_EQ(ReadProfileInt(path_, "ListenPort", "Value", -1), 7000);
}

TEST_F(ConfigTest, AFailedServerAddLeavesTheFileAsItWas) {
    WriteConfig({{"AdServerNum", "1"}}, Server(0, "10.0.0.5"));
    const std::string before = Read();
    unsigned index = 77;
    g_failProtect = true;
    EXPECT_EQ(AddServerEntry(path_, {"10.0.0.6", "CORP\\admin", "pw", ""}, index), 0);
    EXPECT_TRUE(log_.Contains("[ERR]Encryption error !"));
    EXPECT_EQ(Read(), before);
    EXPECT_EQ(index, 77u);
    g_failProtect = false;

    // No count, a full list, or a text that does not fit: nothing is written either.
    EXPECT_EQ(AddServerEntry(path_, {std::string(48, '1'), "u", "pw", ""}, index), 0);
    EXPECT_EQ(AddServerEntry(path_, {"10.0.0.6", "u\nIp=evil", "pw", ""}, index), 0);
    EXPECT_EQ(Read(), before);
    WriteConfig({{"AdServerNum", "-"}});
    const std::string noCount = Read();
    EXPECT_EQ(AddServerEntry(path_, {"10.0.0.6", "u", "pw", ""}, index), 0);
    EXPECT_EQ(Read(), noCount);
    std::string full;
    for (unsigned i = 0; i < 16; ++i) full += Server(i, "10.0.0." + std::to_string(i));
    WriteConfig({{"AdServerNum", "16"}}, full);
    const std::string fullBefore = Read();
    EXPECT_EQ(AddServerEntry(path_, {"10.0.0.99", "u", "pw", ""}, index), 0);
    EXPECT_EQ(Read(), fullBefore);
    // Sections that all hold keys, with a count that claims room, also refuse.
    WriteConfig({{"AdServerNum", "3"}}, full);
    EXPECT_EQ(AddServerEntry(path_, {"10.0.0.99", "u", "pw", ""}, index), 0);
    EXPECT_EQ(ReadProfileInt(path_, "AdServerNum", "Value", -1), 3);
}

TEST_F(ConfigTest, DeletingAndEditingServerEntries) {
    WriteConfig({{"AdServerNum", "4"}},
                Server(0, "10.0.0.5") + Server(1, "10.0.0.6") + "; keep this comment\n" + Server(2, "10.0.0.7") +
                    Server(3, "10.0.0.8"));
    ASSERT_EQ(DeleteServerEntry(path_, 2), 1);
    EXPECT_EQ(ReadProfileInt(path_, "AdServerNum", "Value", -1), 3);
    EXPECT_TRUE(ReadProfileKeyNames(path_, "AdServer2").empty());
    EXPECT_NE(Read().find("; keep this comment\n"), std::string::npos);
    EXPECT_EQ(ReadProfileString(path_, "AdServer3", "Ip", "ERROR", 64), "10.0.0.8");

    // Deleting what is not there leaves the count alone.
    EXPECT_EQ(DeleteServerEntry(path_, 2), 0);
    EXPECT_EQ(DeleteServerEntry(path_, 16), 0);
    EXPECT_EQ(ReadProfileInt(path_, "AdServerNum", "Value", -1), 3);

    unsigned index = 0;
    ASSERT_EQ(AddServerEntry(path_, {"10.0.0.9", "u", "pw", ""}, index), 1);
    EXPECT_EQ(index, 2u);

    // An edit rewrites the four keys; FilterGroups becomes empty; a failed protection keeps
    // the stored password.
    ASSERT_TRUE(WriteProfileString(path_, "AdServer1", "FilterGroups", "Domain Admins"));
    ASSERT_EQ(EditServerEntry(path_, {"10.0.1.6", "CORP\\new", "newpw", "x"}, 1), 1);
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Ip", "ERROR", 64), "10.0.1.6");
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Password", "ERROR", 4096), P("newpw"));
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "FilterGroups", "ERROR", 64), "");
    g_failProtect = true;
    EXPECT_EQ(EditServerEntry(path_, {"10.0.2.6", "CORP\\newer", "other", ""}, 1), 0);
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Ip", "ERROR", 64), "10.0.2.6");
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Password", "ERROR", 4096), P("newpw"));
    g_failProtect = false;
    // An edit never creates an entry.
    EXPECT_EQ(EditServerEntry(path_, {"10.0.0.1", "u", "pw", ""}, 5), 0);
    EXPECT_TRUE(ReadProfileKeyNames(path_, "AdServer5").empty());
    EXPECT_EQ(ReadProfileInt(path_, "AdServerNum", "Value", -1), 4);

    // With the count missing, a delete leaves the file alone.
    WriteConfig({{"AdServerNum", "-"}}, Server(0, "10.0.0.5"));
    const std::string before = Read();
    EXPECT_EQ(DeleteServerEntry(path_, 0), 0);
    EXPECT_EQ(Read(), before);
}

TEST_F(ConfigTest, DeviceEntriesFollowTheSameRules) {
    WriteConfig({{"FirewallNum", "2"}}, Firewall(0, "10.1.0.1", "6001") + Firewall(2, "10.1.0.3", "6003"));
    unsigned index = 9;
    ASSERT_EQ(AddDeviceEntry(path_, {"10.1.0.2", 50000}, index), 1);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(ReadProfileInt(path_, "FirewallNum", "Value", -1), 3);
    EXPECT_EQ(ReadProfileString(path_, "Firewall1", "Port", "ERROR", 64), "50000");
    ASSERT_EQ(EditDeviceEntry(path_, {"10.1.0.9", 70000}, 1), 1);
    EXPECT_EQ(ReadProfileString(path_, "Firewall1", "Port", "ERROR", 64), "70000");
    EXPECT_EQ(EditDeviceEntry(path_, {"10.1.0.9", 1}, 5), 0);
    ASSERT_EQ(DeleteDeviceEntry(path_, 0), 1);
    EXPECT_EQ(ReadProfileInt(path_, "FirewallNum", "Value", -1), 2);
    ASSERT_EQ(AddDeviceEntry(path_, {"10.1.0.1", 6001}, index), 1);
    EXPECT_EQ(index, 0u);
    ASSERT_EQ(AddDeviceEntry(path_, {"10.1.0.4", 6004}, index), 1);
    ASSERT_EQ(AddDeviceEntry(path_, {"10.1.0.5", 6005}, index), 1);
    EXPECT_EQ(index, 4u);
    const std::string full = Read();
    EXPECT_EQ(AddDeviceEntry(path_, {"10.1.0.6", 6006}, index), 0);
    EXPECT_EQ(Read(), full);

    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    EXPECT_EQ(s.firewallNum, 5);
    EXPECT_EQ(s.gateways[1].ip, "10.1.0.9");
    EXPECT_EQ(s.gateways[4].port, 6005u);
}


TEST_F(ConfigTest, StoredSecretsRoundTripThroughTheMachineProtection) {
    // The real protection, with a machine key of this test's own.
    testing::ScopedEnv keyEnvironment("ORVANE_MACHINE_KEY", dir_ + "/machine.key");
    SetProtectionFunctions({nullptr, nullptr});

    WriteConfig({{"ClientShareKey", "-"}, {"FirewallShareKey", "-"}});
    ConsoleConfig c;
    c.configPath = path_;
    ASSERT_EQ(LoadConsoleConfig(c), 1);
    const std::string han = "\xE4\xB8\xAD";
    c.clientKey = c.clientKeyConfirm = "client" + han;
    c.firewallKey = "device" + han + "key";
    ASSERT_EQ(SaveMainSettings(c), 1);
    unsigned index = 9;
    ASSERT_EQ(AddServerEntry(path_, {"10.0.0.5", "CORP\\admin", "pa" + han + "ss", ""}, index), 1);

    std::string stored = ReadProfileString(path_, "AdServer0", "Password", "ERROR", 4096);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    WorkerSettings s = Worker();
    ASSERT_EQ(ReadWorkerConfig(s), 1);
    ReadReceiverConfig(s);
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers[0].password, "pa" + han + "ss");
    EXPECT_EQ(Key(s.deviceKey), "device" + han + "key");
    std::string gbk;
    ASSERT_TRUE(Utf8ToAnsi("client" + han, gbk));
    EXPECT_EQ(Key(s.clientKey), gbk);
}

}  // namespace
}  // namespace orvane
