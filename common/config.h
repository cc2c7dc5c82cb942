#pragma once
// Readers and writers of config.ini for the worker, the service and the console.
// Every setting is a section of its own with the key "Value"; lists live in "AdServer%u" (0-15)
// and "Firewall%u" (0-4). A string read equal to "ERROR" counts as missing; an integer read
// equal to the reader's default (-1, or 255 in the service) counts as missing.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_types.h"
#include "common/profile.h"

namespace orvane {

// ---------------------------------------------------------------------------------------------
// Worker. Each reader uses s.configPath, s.modelType and s.serverArgument.

// [SECTION] Num=N (or countKey=N), then KEY1..KEYN, as an administrator's list is kept: entry N
// at position N - 1, empty when missing (so messages can name its key). At most
// kMaxNumberedListEntries, each cut to kNumberedListEntryCapacity - 1 characters.
inline constexpr std::size_t kMaxNumberedListEntries = 10000;
inline constexpr std::size_t kNumberedListEntryCapacity = 256;
void ReadNumberedList(const ProfileFile& f, std::string_view section, std::string_view key,
                      std::vector<std::string>& out, std::string_view countKey = "Num");

// 1 on success, 0 when a required key is missing (later values are then left unread).
// The worker keeps at most 31 bytes of a clear share key in its 32-byte zero-filled field and
// leaves a key that does not fit empty. The device key is kept as its UTF-8 bytes; the client key
// in the ANSI code page (GBK), which `ansi` receives. False when the worker would refuse the key.
inline constexpr std::size_t kShareKeyMaxBytes = 31;
bool DeviceKeyBytes(std::string_view clear);
bool ClientKeyBytes(std::string_view clear, std::string& ansi);

int ReadWorkerConfig(WorkerSettings& s);
int ReadWorkerConfig(WorkerSettings& s, const ProfileFile& file);
// Called by ReadWorkerConfig: the accepted AdServer sections appended to s.servers, in index
// order, and the complete Firewall sections packed into s.gateways.
void ReadServerEntries(WorkerSettings& s, const ProfileFile& file, unsigned count);
void ReadGatewayEntries(WorkerSettings& s, const ProfileFile& file, unsigned count);
// ListenPort, ClientShareKey and AntiReplayTime, when the client-report receiver starts.
void ReadReceiverConfig(WorkerSettings& s);
void ReadReceiverConfig(WorkerSettings& s, const ProfileFile& file);
// 1 when QueryTime is present, else 0 (the interval then keeps its start value).
int ReadQueryTime(WorkerSettings& s);
int ReadQueryTime(WorkerSettings& s, const ProfileFile& file);
// AllowNtlm: whether a remote DC may be polled with NTLM when Kerberos cannot be used (1, the
// default when absent) or never (0).
bool ReadAllowNtlm(const std::string& configPath);

// ---------------------------------------------------------------------------------------------
// Service.

// 1 or 0 ("[ERR]Read model type failed!" / "[ERR]Read AD server number failed!").
// AdServerNum above 16 gives 1 with an empty address list and serverCount left above 16:
// the service then starts no worker at all.
int ReadServiceConfig(const std::string& configPath, ServiceSettings& s);

// ---------------------------------------------------------------------------------------------
// Console.

// What the key fields show while a stored key is kept.
inline constexpr const char* kKeyMask = "******";

struct ConsoleConfig {
    std::string configPath;

    std::uint32_t mode = 0;          // ModelType: 0 client-report, 1 log-query
    std::string listenPort;          // ListenPort as text
    std::string clientKey;           // typed client share key, or the mask
    std::string clientKeyConfirm;    // its confirmation
    std::string queryTime;           // QueryTime as text
    std::string antiReplayTime;      // AntiReplayTime as text
    std::uint32_t encryptType = 0;   // EncryptType
    std::string firewallKey;         // typed device share key, or the mask
    std::uint32_t encodeType = 0;    // EncodeType: 0 GBK, 1 UTF-8
    bool clientKeyChanged = false;   // ClientShareKey is written at the next save
    bool firewallKeyChanged = false; // FirewallShareKey is written at the next save
    std::uint32_t curLanguageId = 1033;

    std::uint16_t serverCount = 0;  // AdServerNum
    std::uint16_t deviceCount = 0;  // FirewallNum
    // Entries at their section index; the password is the stored protected text, never used.
    std::array<ServerEntry, kMaxServers> servers{};
    std::array<bool, kMaxServers> serverPresent{};
    std::array<DeviceEntry, kMaxGateways> devices{};
    std::array<bool, kMaxGateways> devicePresent{};
};

// 1, or 0 when a required key is missing or a count is above its maximum.
int LoadConsoleConfig(ConsoleConfig& c);
// CurLanguageId: 1033 or 2052; anything else (or nothing) reads as 1033.
std::uint32_t ReadConsoleLanguageId(const std::string& configPath);

// The points of SaveMainSettings where the console checks what was typed before it is written.
enum class SaveStep { ListenPort, ClientShareKey, AntiReplayTime, QueryTime, FirewallShareKey };
// Returns false to end the save (after showing its own message).
using SaveCheck = std::function<bool(SaveStep)>;

// Writes the main settings in their documented order, each write on its own, so a later failure
// leaves earlier values written. ClientShareKey and FirewallShareKey are written (and their
// changed flags cleared) only when the flags are set. 1, or 0 at the first failure.
int SaveMainSettings(ConsoleConfig& c, const SaveCheck& check = {});

// Entry operations: each is one locked replacement of the file, so a reader never sees a count
// without its section and a failed operation leaves the file exactly as it was.
// entry.password is the clear password; it is stored protected.
int AddServerEntry(const std::string& configPath, const ServerEntry& entry, unsigned& index);
int EditServerEntry(const std::string& configPath, const ServerEntry& entry, unsigned index);
int DeleteServerEntry(const std::string& configPath, unsigned index);
int AddDeviceEntry(const std::string& configPath, const DeviceEntry& entry, unsigned& index);
int EditDeviceEntry(const std::string& configPath, const DeviceEntry& entry, unsigned index);
int DeleteDeviceEntry(const std::string& configPath, unsigned index);

// ---------------------------------------------------------------------------------------------
// Tests replace the machine-bound protection through this seam.
struct ProtectionFunctions {
    int (*protect)(const std::string& clearText, std::string& protectedText);
    void (*unprotect)(const std::string& protectedText, std::string& field, std::size_t capacity);
};
// Installs other functions (nullptr members restore ProtectText/UnprotectText); returns the old.
ProtectionFunctions SetProtectionFunctions(ProtectionFunctions f);

}  // namespace orvane
