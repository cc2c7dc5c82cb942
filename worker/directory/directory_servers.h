#pragma once
// The worker's directory servers and user lookups.
//
// Client-report mode keeps a table of up to 16 bound search handles, one per configured server,
// rebinds servers whose binding failed (at most every 180 seconds each) and verifies each
// reported user on the servers in order (VerifyUser). Log-query mode opens one handle to its
// own server (GetSearchHandleOfAD) and looks logged-on users up there (FindUserInDirectory).
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_types.h"
#include "worker/directory/directory_client.h"
#include "worker/users/online_users.h"

namespace orvane {

// The directory-server list: server entries in section order, each taken off exactly once
// (by ConnectDirectoryServers, or by the query-log thread), under the directory lock.
class DirectoryServerList {
public:
    void Load(const std::vector<ServerEntry>& servers);
    // Takes the next entry; false when the list is empty.
    bool Take(ServerEntry& entry);
    std::size_t Size();

private:
    std::mutex lock_;  // the directory lock
    std::deque<ServerEntry> entries_;
};

// The bind user of client-report mode: the part of a UserName after its first backslash, the
// whole UserName when it has none.
std::string_view BindUserOf(std::string_view userName);

// The AD path of an ADsPath: from the first "OU=" (when a comma follows it) or, with no "OU="
// at all, from the first "DC="; empty when there is none. Both searches are case-sensitive.
std::string_view AdPathOf(std::string_view adsPath);

// Stores the AD path of adsPath as the record's AD path and userName as its user name.
// kEFail when adsPath is missing (null) or memory runs out, else 0.
HResult ExtractAdPath(OnlineUserRecord* record, const std::string* adsPath, std::string_view userName);

// Reads the account's lastLogon into the record's last logon time (the last value wins);
// failures are logged and leave the time as it was. Returns 0.
HResult GetUserLastLogon(const DirectoryAccount& account, OnlineUserRecord& record);

// One directory-server table slot.
struct DirectoryServerSlot {
    std::string address;   // 48
    std::string bindUser;  // 260
    std::string password;  // 393
    std::unique_ptr<DirectorySearch> searchHandle;
    std::uint16_t failedReconnectCount = 0;
    std::int64_t lastFailedReconnect = 0;  // seconds since 1970 (the clock's Now())
    // The server's last bind or search failed because it could not be reached (down, hung, the
    // connection lost): its answer about a user is not known yet.
    bool unreachable = false;
};

// Which member groups a lookup applies: all (a logon), only the gateways' own (a logoff: who is
// told the user left; never refused for groups), or none.
enum class Membership { Checked, GatewaysOnly, Ignored };

// Failures (errno-style codes of the directory client) that say the server could not be reached
// or did not answer in time, as opposed to an answer.
bool IsUnreachableError(int code);

class DirectoryServerTable {
public:
    static constexpr unsigned kSlots = kMaxServers;
    // Seconds a slot whose reconnection failed waits before it is tried again (exclusive).
    static constexpr std::int64_t kReconnectInterval = 180;

    // Uses the process-wide client (GetDirectoryClient) unless one is given.
    DirectoryServerTable() = default;
    explicit DirectoryServerTable(DirectoryClient& client) : client_(&client) {}

    // Empties the table, then fills slot i with the i-th entry taken off the list, for i below
    // adServerNum (at most 16) while the list has entries, and binds each server.
    void ConnectDirectoryServers(DirectoryServerList& list, unsigned adServerNum);

    bool NeedReconnect(unsigned slot);
    // 0 when the slot has (or now got) a search handle, -1 when binding failed.
    int ReconnectDirectoryServer(unsigned slot);
    void RecordReconnectResult(int result, unsigned slot);

    // 0 when a server vouches for the user (record gets the AD path and last logon time),
    // kEDirectoryUnreachable when none did and a server could not be reached, kEFail
    // otherwise. Servers are asked in slot order.
    // kENotInGroups when the first server that knows the user finds her in none of the member
    // groups. The record's withheldMask gets the gateways that must not hear of her.
    HResult VerifyUser(std::string_view userName, std::string_view domain, OnlineUserRecord& record,
                       Membership membership = Membership::Checked);

    // Sends the first search of a later VerifyUser of `userName` ahead of it, on the server it
    // will ask first (DirectorySearch::Prefetch); never binds. A lookup that is never made
    // costs the server one answer.
    void Prefetch(std::string_view userName, Membership membership = Membership::Checked);

    // Slots in use: those that got an entry.
    unsigned SlotCount() const { return count_; }
    const DirectoryServerSlot& Slot(unsigned i) const { return slots_[i]; }

private:
    DirectoryClient& Client() { return client_ ? *client_ : GetDirectoryClient(); }

    DirectoryClient* client_ = nullptr;
    std::array<DirectoryServerSlot, kSlots> slots_;
    std::string prefetchFilter_;
    unsigned count_ = 0;
};

// One user search on one server (slot numbers only appear in messages). 0 found (the record
// has its AD path and last logon time), kEFail, or kEInvalidArg without handle or user name.
// searchError, when given, gets the search's own result (0 when the server answered).
HResult SearchUserOnServer(DirectorySearch* searchHandle, std::string_view userName, std::string_view domain,
                           OnlineUserRecord& record, int slot, int* searchError = nullptr,
                           Membership membership = Membership::Checked);

// Log-query mode: (re)binds `address` with the whole UserName and password. The handle is
// released first; it is set on success and stays empty on failure.
void GetSearchHandleOfAD(const std::string& userName, std::unique_ptr<DirectorySearch>& handle,
                         const std::string& address, const std::string& password);

// Log-query mode: looks userName up (no domain test, no last logon); on success the record
// has the AD path and the user name. 0, kEInvalidArg, kEFail, kENotInGroups, or the failed
// search's result.
HResult FindUserInDirectory(DirectorySearch* searchHandle, std::string_view userName, OnlineUserRecord& record);

// Log-query mode: sends the first search of a later FindUserInDirectory of userName ahead of it.
void PrefetchUserInDirectory(DirectorySearch* searchHandle, std::string_view userName);

// The worker's directory state. LoadDirectoryServers is called once at start-up, after the
// configuration has been read; ConnectDirectoryServers and VerifyUser then work on the
// process's table (client-report mode), TakeDirectoryServer serves the query-log thread.
void LoadDirectoryServers(const WorkerSettings& settings);
bool TakeDirectoryServer(ServerEntry& entry);
void ConnectDirectoryServers();
HResult VerifyUser(std::string_view userName, std::string_view domain, OnlineUserRecord& record);
HResult VerifyLogoffUser(std::string_view userName, std::string_view domain, OnlineUserRecord& record);
// The first search of a later VerifyUser (VerifyLogoffUser when logoff) of userName, sent ahead.
void PrefetchUser(std::string_view userName, bool logoff);
DirectoryServerTable& GetDirectoryServerTable();

}  // namespace orvane
