#pragma once
// User notifications to the gateways: the gateway positions, the gateway socket and the
// message sequence counter; one send (SendUserInfo), a send to every gateway
// (NotifyAllGateways), the matching of the gateways' responses (RecvResponseThread) and the
// repetition of unconfirmed notifications (RetranThread).
#include <array>
#include <atomic>
#include <cstdint>

#include "common/config_types.h"
#include "common/gateway_message.h"
#include "common/log_repeat.h"
#include "platform/udp.h"
#include "worker/gateway/stoppable_thread.h"
#include "worker/users/online_users.h"

namespace orvane {

// One gateway position, resolved once from the gateway table so no send parses text.
struct GatewayPosition {
    bool hasAddress = false;  // the position's address text is not empty
    bool valid = false;       // ... and is a usable dotted IPv4 destination
    int sendError = 0;        // the error a send to an unusable position reports
    platform::Ipv4Endpoint endpoint;
    std::uint32_t logAddress = 0;  // the "0x%X" form of the address
};

// Positions 0 to FirewallNum - 1. More than five would run past the gateway table and the
// records' five delivery slots, so FirewallNum above 5 gives no position at all (the
// configuration reader loads no gateway then either).
struct GatewayPositions {
    unsigned count = 0;
    std::array<GatewayPosition, kGatewayPositions> at{};
};

GatewayPositions ResolveGatewayPositions(const WorkerSettings& settings);

// Creates an unbound IPv4 UDP socket (no SO_REUSEADDR: the gateways' answers come to it, and no
// other program may share its port), logging a failure; on failure the socket is left closed.
bool OpenNotifySocket(platform::UdpSocket& socket);

// The line logged when a datagram cannot be encrypted (notifications and heartbeats).
void LogEncryptFailure();

class GatewayNotifier {
public:
    // Copies what it needs from the settings; `table` is the online-user table whose lock
    // guards the records, the sequence counter and confirmations.
    GatewayNotifier(const WorkerSettings& settings, OnlineUserTable& table);

    // Creates the gateway socket (start-up); false after logging the failure.
    bool OpenSocket() { return OpenNotifySocket(socket_); }
    platform::UdpSocket& Socket() { return socket_; }

    const GatewayPositions& Positions() const { return positions_; }
    unsigned PositionCount() const { return positions_.count; }
    OnlineUserTable& Table() { return table_; }

    // Sends one notification about `record` to the gateway at `position`: kind 1 online, any
    // other value offline. The attempt is recorded (status, send count, time, a new sequence
    // number) before anything can fail. 0 sent, -1 not sent. Calls must not overlap: in
    // client-report mode the caller holds the user-table lock.
    int SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position);
    int SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position, std::int64_t now);

    // For every position: send count := 0, then SendUserInfo with the record's state.
    void NotifyAllGateways(OnlineUserRecord& record);

    // One received response of `length` (< 256) bytes from the IPv4 address `source` (host
    // order). Only a gateway's address is considered: anything else is counted and dropped. A
    // response that decrypts gets the receipt line, then once for each position with that
    // address the confirmation under the user-table lock. What anyone can send (a stranger's
    // datagram, one that does not decrypt, a number that confirms nothing) is logged through
    // limiters, so a flood cannot fill the log.
    void HandleResponse(const std::uint8_t* data, std::size_t length, std::uint32_t source);
    // A datagram too long to be a response: counted and dropped.
    void DropOversized(std::uint32_t source);

    // One retransmission pass at `now` (seconds since 1970), holding the user-table lock:
    // repeats what is due, removes finished offline records, and forgets online records whose
    // last logon is older than the maximum record age (their gateways keep them until their own
    // time-out; the next logon brings them back).
    void RetranPass(std::int64_t now);

    // The last sequence number used (tests, diagnostics); read under the user-table lock.
    std::uint32_t LastSequence() const { return sequenceCounter_; }

private:
    // Confirms the position that sent `sequence` (takes the user-table lock) and counts it;
    // false when the number confirms nothing.
    bool Confirm(std::uint32_t sequence);
    // Counts a position once when its sends have run out unconfirmed.
    void CountGivenUp(OnlineUserRecord& record, unsigned position);

    OnlineUserTable& table_;
    GatewayPositions positions_;
    KeyField key_{};
    int encryptType_ = 0;
    int encodeType_ = 0;
    unsigned retranTimes_ = 0;
    std::int64_t messageTimeout_ = 0;
    std::int64_t recordMaxAge_ = 0;
    platform::UdpSocket socket_;
    LogRepeatLimiter foreignLines_;
    LogRepeatLimiter undecryptedLines_;
    LogRepeatLimiter staleLines_;
    std::uint32_t sequenceCounter_ = 0;  // guarded by the user-table lock
};

// The process's notifier, installed by start-up; the free functions below use it.
void SetGatewayNotifier(GatewayNotifier* notifier);
GatewayNotifier* GetGatewayNotifier();
// -1 / nothing when no notifier is installed.
int SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position);
void NotifyAllGateways(OnlineUserRecord& record);

// The thread bodies: they loop until `stop` is raised (never, in the worker).
void RecvResponseThread(GatewayNotifier& notifier, const std::atomic<bool>& stop);
void RetranThread(GatewayNotifier& notifier, const std::atomic<bool>& stop);

// Start the threads; false with errno set when the thread cannot be created.
bool StartRecvResponseThread(GatewayNotifier& notifier, StoppableThread& thread);
bool StartRetranThread(GatewayNotifier& notifier, StoppableThread& thread);

}  // namespace orvane
