#include "common/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/protect.h"
#include "common/text.h"

namespace orvane {
namespace {

constexpr const char* kValue = "Value";
constexpr std::string_view kMissing = "ERROR";
constexpr int kWorkerMissing = -1;
constexpr int kServiceMissing = 255;
constexpr std::uint32_t kEnglish = 1033;
constexpr std::uint32_t kSimplifiedChinese = 2052;

// Read sizes (characters with the terminator) of the stored texts.
constexpr std::size_t kEntryReadSize = 260;
constexpr std::size_t kServiceIpReadSize = 8192;
constexpr std::size_t kServiceIpCapacity = 96;
// Protected text: the worker accepts up to 4095 characters (8191 for FirewallShareKey); it is read
// one character longer so an over-long value is recognised instead of being cut into garbage.
constexpr std::size_t kProtectedMax = 4095;
constexpr std::size_t kFirewallKeyProtectedMax = 8191;
constexpr std::size_t kConsoleKeyReadSize = 4096;
// Clear text is received with room to spare, then checked against its real field.
constexpr std::size_t kClearWorkCapacity = 4096;

ProtectionFunctions g_protection{&ProtectText, &UnprotectText};

struct ListKind {
    const char* countSection;
    const char* sectionFormat;
    unsigned maxEntries;
};
constexpr ListKind kServerList{"AdServerNum", "AdServer%u", kMaxServers};
constexpr ListKind kDeviceList{"FirewallNum", "Firewall%u", kMaxGateways};

std::string SectionName(const char* format, unsigned index) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, index);
    return buf;
}

// String read with the default "ERROR"; false when the result counts as missing.
bool ReadText(const ProfileFile& f, std::string_view section, std::string_view key, std::size_t size,
              std::string& out) {
    out = f.GetString(section, key, kMissing, size);
    return out != kMissing;
}

// Integer read; false when the result equals the default, which counts as missing.
bool ReadNumber(const ProfileFile& f, std::string_view section, int def, int& out) {
    out = f.GetInt(section, kValue, def);
    return out != def;
}

}  // namespace

void ReadNumberedList(const ProfileFile& f, std::string_view section, std::string_view key,
                      std::vector<std::string>& out, std::string_view countKey) {
    constexpr int kMaxListEntries = static_cast<int>(kMaxNumberedListEntries);
    constexpr std::size_t kEntrySize = kNumberedListEntryCapacity;
    out.clear();
    const int count = f.GetInt(section, countKey, 0);
    if (count > kMaxListEntries)
        LogError("[ERR]%.*s Num %d is more than %d; the first %d entries are used.", static_cast<int>(section.size()),
                 section.data(), count, kMaxListEntries, kMaxListEntries);
    for (int i = 1; i <= std::min(count, kMaxListEntries); ++i) {
        std::string text;
        if (!ReadText(f, section, std::string(key) + std::to_string(i), kEntrySize, text)) text.clear();
        out.push_back(std::move(text));
    }
}

namespace {

void LoadForReading(const std::string& path, ProfileFile& f) {
    bool ok = f.Load(path);
    if (!ok || !f.Exists()) {
        LogError("[ERR]Cannot read config file %s: %s", path.c_str(), std::strerror(ok ? ENOENT : errno));
    }
}

int MissingKey(const char* section) {
    LogError("[ERR]Config value %s is missing!", section);
    return 0;
}

// Protected text of at most `max` characters turned back into clear text; empty when it is
// longer or cannot be unprotected.
std::string ClearFromProtected(const std::string& protectedText, std::size_t max, const char* what) {
    std::string clear;
    if (Utf16Length(protectedText) > max) {
        LogError("[ERR]Protected %s is longer than %zu characters, ignored!", what, max);
        return clear;
    }
    g_protection.unprotect(protectedText, clear, kClearWorkCapacity);
    return clear;
}

template <std::size_t N>
void CopyKey(std::array<std::uint8_t, N>& key, std::string_view bytes) {
    key.fill(0);
    std::memcpy(key.data(), bytes.data(), bytes.size());
}

void SetDeviceKey(WorkerSettings& s, const std::string& protectedText) {
    std::string clear = ClearFromProtected(protectedText, kFirewallKeyProtectedMax, "FirewallShareKey");
    if (!DeviceKeyBytes(clear)) {
        LogError("[ERR]FirewallShareKey does not fit in %zu bytes, the device key stays empty!", kShareKeyMaxBytes);
        return;
    }
    CopyKey(s.deviceKey, clear);
}

void SetClientKey(WorkerSettings& s, const std::string& protectedText) {
    std::string clear = ClearFromProtected(protectedText, kProtectedMax, "ClientShareKey");
    std::string ansi;
    if (!ClientKeyBytes(clear, ansi)) {
        LogError("[ERR]ClientShareKey does not fit in %zu bytes of the ANSI code page, the client key stays empty!",
                 kShareKeyMaxBytes);
        return;
    }
    CopyKey(s.clientKey, ansi);
}

bool ProtectForStore(const std::string& clear, std::string& protectedText) {
    // The console receives protected text into 4096 characters; longer counts as a failure.
    if (g_protection.protect(clear, protectedText) != 0 || Utf16Length(protectedText) > kProtectedMax) {
        LogError("[ERR]Encryption error !");
        return false;
    }
    return true;
}

bool ServerEntryFits(const ServerEntry& e) {
    if (FitsCapacity(e.ip, kIpCapacity) && FitsCapacity(e.userName, kUserNameCapacity) &&
        FitsCapacity(e.password, kPasswordCapacity)) {
        return true;
    }
    LogError("[ERR]Directory server entry %s has a text longer than its field, not written!", e.ip.c_str());
    return false;
}

bool DeviceEntryFits(const DeviceEntry& e) {
    if (FitsCapacity(e.ip, kIpCapacity)) return true;
    LogError("[ERR]Device address %s is longer than %zu characters, not written!", e.ip.c_str(), kIpCapacity - 1);
    return false;
}

bool WriteServerKeys(ProfileFile& f, const std::string& section, const ServerEntry& e) {
    bool ok = f.Set(section, "Ip", e.ip);
    ok = f.Set(section, "UserName", e.userName) && ok;
    std::string protectedText;
    if (ProtectForStore(e.password, protectedText)) {
        ok = f.Set(section, "Password", protectedText) && ok;
    } else {
        ok = false;  // the stored Password stays as it was
    }
    // The console has no field for the group filter and always stores it empty.
    ok = f.Set(section, "FilterGroups", "") && ok;
    return ok;
}

bool WriteDeviceKeys(ProfileFile& f, const std::string& section, const DeviceEntry& e) {
    bool ok = f.Set(section, "Ip", e.ip);
    ok = f.Set(section, "Port", std::to_string(e.port)) && ok;
    return ok;
}

// The add of either list: the count raised and the entry written at the lowest free index, in
// one replacement of the file. Nothing is written when any part fails.
template <typename Entry, typename WriteKeys>
int AddEntry(const std::string& path, const ListKind& kind, const Entry& entry, unsigned& index,
             WriteKeys writeKeys) {
    ProfileEdit edit(path);
    if (!edit.Open()) return 0;
    ProfileFile& f = edit.File();
    int num = f.GetInt(kind.countSection, kValue, kWorkerMissing);
    if (num == kWorkerMissing) return 0;
    // A full list (or a corrupt count) would store a count every reader refuses.
    if (static_cast<unsigned>(num) >= kind.maxEntries) return 0;
    unsigned free = kind.maxEntries;
    std::string section;
    for (unsigned i = 0; i < kind.maxEntries; ++i) {
        section = SectionName(kind.sectionFormat, i);
        if (f.KeyNames(section).empty()) {
            free = i;
            break;
        }
    }
    if (free == kind.maxEntries) return 0;
    bool ok = f.Set(kind.countSection, kValue, std::to_string(static_cast<unsigned>(num) + 1));
    ok = writeKeys(f, section, entry) && ok;
    if (!ok || !edit.Commit()) return 0;
    index = free;
    return 1;
}

template <typename Entry, typename WriteKeys>
int EditEntry(const std::string& path, const ListKind& kind, const Entry& entry, unsigned index,
              WriteKeys writeKeys) {
    if (index >= kind.maxEntries) return 0;
    ProfileEdit edit(path);
    if (!edit.Open()) return 0;
    ProfileFile& f = edit.File();
    std::string section = SectionName(kind.sectionFormat, index);
    // An edit never makes a new entry: that would leave the count behind the sections.
    if (f.KeyNames(section).empty()) return 0;
    bool ok = writeKeys(f, section, entry);
    // What could be written is kept even when a part failed, as separate writes would.
    return edit.Commit() && ok ? 1 : 0;
}

int DeleteEntry(const std::string& path, const ListKind& kind, unsigned index) {
    if (index >= kind.maxEntries) return 0;
    ProfileEdit edit(path);
    if (!edit.Open()) return 0;
    ProfileFile& f = edit.File();
    int num = f.GetInt(kind.countSection, kValue, kWorkerMissing);
    if (num == kWorkerMissing) return 0;
    // Only a section that was there lowers the count, and never below 0.
    if (!f.RemoveSection(SectionName(kind.sectionFormat, index))) return 0;
    unsigned n = static_cast<unsigned>(num);
    f.Set(kind.countSection, kValue, std::to_string(n > 0 ? n - 1 : 0));
    return edit.Commit() ? 1 : 0;
}

}  // namespace

ProtectionFunctions SetProtectionFunctions(ProtectionFunctions f) {
    ProtectionFunctions old = g_protection;
    g_protection.protect = f.protect ? f.protect : &ProtectText;
    g_protection.unprotect = f.unprotect ? f.unprotect : &UnprotectText;
    return old;
}

// ---------------------------------------------------------------------------------------------
// Worker.

// A cut key would only fail later at the gateway or the PCs, so a key that does not fit is
// refused whole.
bool DeviceKeyBytes(std::string_view clear) {
    return FitsCapacity(clear, kShareKeyCapacity) && clear.size() <= kShareKeyMaxBytes;
}

bool ClientKeyBytes(std::string_view clear, std::string& ansi) {
    ansi.clear();
    return FitsCapacity(clear, kShareKeyCapacity) && Utf8ToAnsi(clear, ansi) && ansi.size() <= kShareKeyMaxBytes;
}

int ReadWorkerConfig(WorkerSettings& s) {
    ProfileFile f;
    LoadForReading(s.configPath, f);
    return ReadWorkerConfig(s, f);
}

int ReadWorkerConfig(WorkerSettings& s, const ProfileFile& f) {
    s.deviceKey.fill(0);
    s.adServerNum = 0;
    s.firewallNum = 0;
    s.servers.clear();
    s.agentAccounts.clear();
    s.gateways = {};
    ReadNumberedList(f, "IgnoredAccounts", "Account", s.ignoredAccounts);
    ReadNumberedList(f, "AddressRules", "Rule", s.addressRules);
    ReadNumberedList(f, "MemberGroups", "Group", s.memberGroups);
    s.membershipCacheSeconds = kDefaultMembershipCacheSeconds;
    // A day at most: a membership removed in the directory must not be trusted for longer.
    if (int seconds = f.GetInt("MemberGroups", "CacheSeconds", -1); seconds >= 0 && seconds <= 86400)
        s.membershipCacheSeconds = static_cast<std::uint32_t>(seconds);

    int v = 0;
    if (!ReadNumber(f, "ModelType", kWorkerMissing, v)) return MissingKey("ModelType");
    s.modelType = static_cast<std::uint16_t>(v);
    if (!ReadNumber(f, "EncryptType", kWorkerMissing, v)) return MissingKey("EncryptType");
    s.encryptType = static_cast<std::uint16_t>(v);

    std::string text;
    if (ReadText(f, "FirewallShareKey", kValue, kFirewallKeyProtectedMax + 2, text)) SetDeviceKey(s, text);

    if (ReadNumber(f, "AdServerNum", kWorkerMissing, v)) {
        // A log-query worker serves exactly one directory server.
        s.adServerNum = s.modelType == 1 ? 1 : static_cast<std::uint16_t>(v);
        ReadServerEntries(s, f, s.adServerNum);
    }
    if (ReadNumber(f, "FirewallNum", kWorkerMissing, v)) {
        std::uint8_t count = static_cast<std::uint8_t>(v);
        if (count > kMaxGateways) {
            // Every gateway loop runs to FirewallNum - 1; more than five positions do not exist.
            LogError("[ERR]FirewallNum %u is larger than %u, no gateway is used!", count, kMaxGateways);
        } else {
            s.firewallNum = count;
            ReadGatewayEntries(s, f, count);
        }
    }

    if (!ReadNumber(f, "EncodeType", kWorkerMissing, v)) return MissingKey("EncodeType");
    s.encodeType = static_cast<std::uint8_t>(v);
    if (!ReadNumber(f, "LogLevel", kWorkerMissing, v)) return MissingKey("LogLevel");
    s.logLevel = static_cast<std::uint8_t>(v);
    if (!ReadNumber(f, "RetranTimes", kWorkerMissing, v)) return MissingKey("RetranTimes");
    s.retranTimes = static_cast<std::uint8_t>(v);
    if (!ReadNumber(f, "MessageTimeout", kWorkerMissing, v)) return MissingKey("MessageTimeout");
    s.messageTimeout = static_cast<std::uint8_t>(v);
    s.curLanguageId = static_cast<std::uint32_t>(f.GetInt("CurLanguageId", kValue, static_cast<int>(kEnglish)));
    return 1;
}

void ReadServerEntries(WorkerSettings& s, const ProfileFile& f, unsigned count) {
    if (count > kMaxServers) return;
    const bool logQuery = s.modelType == 1;
    // Every index is scanned: sections need not be contiguous.
    for (unsigned i = 0; i < kMaxServers; ++i) {
        std::string section = SectionName("AdServer%u", i);
        ServerEntry e;
        std::string text;
        if (!ReadText(f, section, "Ip", kEntryReadSize, text)) continue;
        if (std::string account; ReadText(f, section, "UserName", kUserNameCapacity + 1, account))
            s.agentAccounts.push_back(std::move(account));
        if (logQuery && text != s.serverArgument) continue;
        // A cut address or account would reach the wrong server or user: such entries are refused.
        if (!FitsCapacity(text, kIpCapacity)) {
            LogError("[ERR]%s: Ip is longer than %zu characters, entry ignored!", section.c_str(), kIpCapacity - 1);
            continue;
        }
        e.ip = std::move(text);
        if (!ReadText(f, section, "UserName", kUserNameCapacity + 1, text)) continue;
        if (!FitsCapacity(text, kUserNameCapacity)) {
            LogError("[ERR]%s: UserName is longer than %zu characters, entry ignored!", section.c_str(),
                     kUserNameCapacity - 1);
            continue;
        }
        e.userName = std::move(text);
        if (!ReadText(f, section, "Password", kProtectedMax + 2, text)) continue;
        std::string clear = ClearFromProtected(text, kProtectedMax, "Password");
        if (!FitsCapacity(clear, kPasswordCapacity)) {
            LogError("[ERR]%s: Password is longer than %zu characters, entry ignored!", section.c_str(),
                     kPasswordCapacity - 1);
            continue;
        }
        e.password = std::move(clear);
        if (!ReadText(f, section, "FilterGroups", kEntryReadSize, text)) continue;
        // Present but not used: the group filter stays empty.
        e.filterGroups.clear();
        s.servers.push_back(std::move(e));
    }
}

void ReadGatewayEntries(WorkerSettings& s, const ProfileFile& f, unsigned count) {
    if (count > kMaxGateways) return;
    std::size_t p = 0;
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        std::string section = SectionName("Firewall%u", i);
        std::string ip;
        if (!ReadText(f, section, "Ip", kEntryReadSize, ip)) continue;
        if (!FitsCapacity(ip, kIpCapacity)) {
            LogError("[ERR]%s: Ip is longer than %zu characters, entry ignored!", section.c_str(), kIpCapacity - 1);
            continue;
        }
        // An Ip without a Port stays at position p until the next complete section replaces it.
        s.gateways[p].ip = std::move(ip);
        int port = f.GetInt(section, "Port", kWorkerMissing);
        if (port != kWorkerMissing) {
            s.gateways[p].port = static_cast<std::uint32_t>(port);
            ReadNumberedList(f, section, "Group", s.gateways[p].groups, "GroupNum");
            ++p;
        }
    }
}

void ReadReceiverConfig(WorkerSettings& s) {
    ProfileFile f;
    LoadForReading(s.configPath, f);
    ReadReceiverConfig(s, f);
}

void ReadReceiverConfig(WorkerSettings& s, const ProfileFile& f) {
    s.listenPort = 0;
    s.clientKey.fill(0);
    s.antiReplayTime = 1800;
    int v = 0;
    // Without a port there is nothing to receive: the key and the window are not read either.
    if (!ReadNumber(f, "ListenPort", kWorkerMissing, v)) return;
    s.listenPort = static_cast<std::uint16_t>(v);
    std::string text;
    if (ReadText(f, "ClientShareKey", kValue, kProtectedMax + 2, text)) SetClientKey(s, text);
    if (ReadNumber(f, "AntiReplayTime", kWorkerMissing, v)) s.antiReplayTime = static_cast<std::uint32_t>(v);
    s.onlineRecordMaxAge = kDefaultOnlineRecordMaxAgeHours * 3600u;
    // Hours, at most ten years; a negative or absurd value keeps the default rather than
    // keeping records for ever by accident.
    if (ReadNumber(f, "OnlineRecordMaxAge", kWorkerMissing, v) && v >= 0 && v <= 87600)
        s.onlineRecordMaxAge = static_cast<std::uint32_t>(v) * 3600u;
}

int ReadQueryTime(WorkerSettings& s) {
    ProfileFile f;
    LoadForReading(s.configPath, f);
    return ReadQueryTime(s, f);
}

int ReadQueryTime(WorkerSettings& s, const ProfileFile& f) {
    int v = 0;
    s.queryResumeSpan = kDefaultQueryResumeSpanMinutes * 60u;
    // Minutes, at most a week: an absurd value keeps the default.
    if (ReadNumber(f, "QueryResumeSpan", kWorkerMissing, v) && v >= 0 && v <= 10080)
        s.queryResumeSpan = static_cast<std::uint32_t>(v) * 60u;
    if (!ReadNumber(f, "QueryTime", kWorkerMissing, v)) return 0;
    s.queryTime = static_cast<std::uint16_t>(v);
    return 1;
}

bool ReadAllowNtlm(const std::string& configPath) {
    ProfileFile f;
    LoadForReading(configPath, f);
    return f.GetInt("AllowNtlm", kValue, 1) != 0;
}

// ---------------------------------------------------------------------------------------------
// Service.

int ReadServiceConfig(const std::string& configPath, ServiceSettings& s) {
    ProfileFile f;
    LoadForReading(configPath, f);
    s.serverAddresses.clear();
    int v = 0;
    if (!ReadNumber(f, "ModelType", kServiceMissing, v)) {
        LogError("[ERR]Read model type failed!");
        return 0;
    }
    s.modelType = static_cast<std::uint16_t>(v);
    if (!ReadNumber(f, "AdServerNum", kServiceMissing, v)) {
        LogError("[ERR]Read AD server number failed!");
        return 0;
    }
    s.serverCount = static_cast<std::uint16_t>(v);
    if (s.serverCount > kMaxServers) {
        LogError("[ERR]AD server number larger than 16!");
        return 1;
    }
    for (unsigned i = 0; i < kMaxServers; ++i) {
        std::string section = SectionName("AdServer%u", i);
        std::string ip;
        if (!ReadText(f, section, "Ip", kServiceIpReadSize, ip)) continue;
        // The address becomes a worker's command line; a cut one would name another host.
        if (!FitsCapacity(ip, kServiceIpCapacity)) {
            LogError("[ERR]%s: Ip is longer than %zu characters, no worker for it!", section.c_str(),
                     kServiceIpCapacity - 1);
            continue;
        }
        s.serverAddresses.push_back(std::move(ip));
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Console.

namespace {

std::uint32_t LanguageId(const ProfileFile& f) {
    int v = f.GetInt("CurLanguageId", kValue, static_cast<int>(kEnglish));
    return static_cast<std::uint32_t>(v) == kSimplifiedChinese ? kSimplifiedChinese : kEnglish;
}

// A stored key is never shown: the fields hold the mask, or stay empty and demand a new key.
void LoadKeyState(const ProfileFile& f, const char* section, std::string& key, std::string* confirm,
                  bool& changed) {
    std::string text;
    bool present = ReadText(f, section, kValue, kConsoleKeyReadSize, text);
    key = present ? kKeyMask : "";
    if (confirm) *confirm = key;
    changed = !present;
}

void LoadServerEntries(const ProfileFile& f, ConsoleConfig& c) {
    for (unsigned i = 0; i < kMaxServers; ++i) {
        std::string section = SectionName("AdServer%u", i);
        ServerEntry& e = c.servers[i];
        std::string text;
        if (!ReadText(f, section, "Ip", kEntryReadSize, text)) continue;
        // Shown (and deletable) even when too long; only the shown text is shortened.
        e.ip = CutToCapacity(text, kIpCapacity);
        c.serverPresent[i] = !e.ip.empty();
        if (!ReadText(f, section, "UserName", kEntryReadSize, e.userName)) {
            e.userName.clear();
            continue;
        }
        if (!ReadText(f, section, "Password", kEntryReadSize, e.password)) {
            e.password.clear();
            continue;
        }
        if (!ReadText(f, section, "FilterGroups", kEntryReadSize, e.filterGroups)) e.filterGroups.clear();
    }
}

void LoadDeviceEntries(const ProfileFile& f, ConsoleConfig& c) {
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        std::string section = SectionName("Firewall%u", i);
        DeviceEntry& e = c.devices[i];
        std::string text;
        if (!ReadText(f, section, "Ip", kEntryReadSize, text)) continue;
        e.ip = CutToCapacity(text, kIpCapacity);
        c.devicePresent[i] = !e.ip.empty();
        int port = f.GetInt(section, "Port", kWorkerMissing);
        e.port = port == kWorkerMissing ? 0 : static_cast<std::uint32_t>(port);
    }
}

}  // namespace

int LoadConsoleConfig(ConsoleConfig& c) {
    ProfileFile f;
    LoadForReading(c.configPath, f);
    c.servers = {};
    c.serverPresent = {};
    c.devices = {};
    c.devicePresent = {};
    c.serverCount = 0;
    c.deviceCount = 0;

    int v = 0;
    if (!ReadNumber(f, "ModelType", kWorkerMissing, v)) return 0;
    c.mode = static_cast<std::uint32_t>(v);
    if (!ReadNumber(f, "ListenPort", kWorkerMissing, v)) return 0;
    c.listenPort = std::to_string(v);
    LoadKeyState(f, "ClientShareKey", c.clientKey, &c.clientKeyConfirm, c.clientKeyChanged);
    if (!ReadNumber(f, "QueryTime", kWorkerMissing, v)) return 0;
    c.queryTime = std::to_string(v);
    if (!ReadNumber(f, "AntiReplayTime", kWorkerMissing, v)) return 0;
    c.antiReplayTime = std::to_string(v);
    if (!ReadNumber(f, "EncryptType", kWorkerMissing, v)) return 0;
    c.encryptType = static_cast<std::uint32_t>(v);
    LoadKeyState(f, "FirewallShareKey", c.firewallKey, nullptr, c.firewallKeyChanged);

    if (!ReadNumber(f, "AdServerNum", kWorkerMissing, v)) return 0;
    c.serverCount = static_cast<std::uint16_t>(v);
    if (c.serverCount != 0) {
        if (c.serverCount > kMaxServers) {
            LogError("[ERR]AdServer number greater than max number");
            return 0;
        }
        LoadServerEntries(f, c);
    }
    if (!ReadNumber(f, "FirewallNum", kWorkerMissing, v)) return 0;
    c.deviceCount = static_cast<std::uint16_t>(v);
    if (c.deviceCount != 0) {
        if (c.deviceCount > kMaxGateways) {
            LogError("[ERR]Firewall number greater than max number");
            return 0;
        }
        LoadDeviceEntries(f, c);
    }

    if (!ReadNumber(f, "EncodeType", kWorkerMissing, v)) return 0;
    c.encodeType = static_cast<std::uint32_t>(v);
    for (const char* section : {"LogLevel", "RetranTimes", "MessageTimeout"}) {
        if (!ReadNumber(f, section, kWorkerMissing, v)) return 0;
    }
    c.curLanguageId = LanguageId(f);
    return 1;
}

std::uint32_t ReadConsoleLanguageId(const std::string& configPath) {
    ProfileFile f;
    f.Load(configPath);
    return LanguageId(f);
}

int SaveMainSettings(ConsoleConfig& c, const SaveCheck& check) {
    auto write = [&](const char* section, const std::string& value) {
        return WriteProfileString(c.configPath, section, kValue, value.c_str());
    };
    auto passes = [&](SaveStep step) { return !check || check(step); };

    if (!write("ModelType", std::to_string(c.mode))) return 0;
    if (c.mode == 0) {
        if (!passes(SaveStep::ListenPort) || !write("ListenPort", c.listenPort)) return 0;
        if (c.clientKeyChanged) {
            if (!passes(SaveStep::ClientShareKey)) return 0;
            std::string protectedText;
            if (!ProtectForStore(c.clientKey, protectedText)) return 0;
            if (!write("ClientShareKey", protectedText)) return 0;
            c.clientKeyChanged = false;
        }
        if (!passes(SaveStep::AntiReplayTime) || !write("AntiReplayTime", c.antiReplayTime)) return 0;
    } else {
        if (!passes(SaveStep::QueryTime) || !write("QueryTime", c.queryTime)) return 0;
    }
    if (!write("EncryptType", std::to_string(c.encryptType))) return 0;
    if (c.firewallKeyChanged) {
        if (!passes(SaveStep::FirewallShareKey)) return 0;
        std::string protectedText;
        if (!ProtectForStore(c.firewallKey, protectedText)) return 0;
        if (!write("FirewallShareKey", protectedText)) return 0;
        c.firewallKeyChanged = false;
    }
    return write("EncodeType", std::to_string(c.encodeType)) ? 1 : 0;
}

int AddServerEntry(const std::string& configPath, const ServerEntry& entry, unsigned& index) {
    if (!ServerEntryFits(entry)) return 0;
    return AddEntry(configPath, kServerList, entry, index, &WriteServerKeys);
}

int EditServerEntry(const std::string& configPath, const ServerEntry& entry, unsigned index) {
    if (!ServerEntryFits(entry)) return 0;
    return EditEntry(configPath, kServerList, entry, index, &WriteServerKeys);
}

int DeleteServerEntry(const std::string& configPath, unsigned index) {
    return DeleteEntry(configPath, kServerList, index);
}

int AddDeviceEntry(const std::string& configPath, const DeviceEntry& entry, unsigned& index) {
    if (!DeviceEntryFits(entry)) return 0;
    return AddEntry(configPath, kDeviceList, entry, index, &WriteDeviceKeys);
}

int EditDeviceEntry(const std::string& configPath, const DeviceEntry& entry, unsigned index) {
    if (!DeviceEntryFits(entry)) return 0;
    return EditEntry(configPath, kDeviceList, entry, index, &WriteDeviceKeys);
}

int DeleteDeviceEntry(const std::string& configPath, unsigned index) {
    return DeleteEntry(configPath, kDeviceList, index);
}

}  // namespace orvane
