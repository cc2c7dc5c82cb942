#include "worker/gateway/notification_sender.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

constexpr unsigned kResponsePauseMs = 50;
constexpr unsigned kRetranIntervalMs = 200;
// How long a receive waits before looking at the stop flag again.
constexpr int kReceivePollMs = 200;

std::atomic<GatewayNotifier*> g_notifier{nullptr};

}  // namespace

GatewayPositions ResolveGatewayPositions(const WorkerSettings& settings) {
    GatewayPositions out;
    out.count = settings.firewallNum <= kGatewayPositions ? settings.firewallNum : 0;
    for (unsigned p = 0; p < out.count; ++p) {
        const DeviceEntry& entry = settings.gateways[p];
        GatewayPosition& gw = out.at[p];
        gw.hasAddress = !entry.ip.empty();
        gw.logAddress = GatewayAddressForLog(entry.ip);
        gw.endpoint.port = static_cast<std::uint16_t>(entry.port & 0xFFFFu);
        std::uint8_t octets[4];
        if (!gw.hasAddress) {
            gw.sendError = EDESTADDRREQ;
        } else if (!ParseIpv4(entry.ip, octets)) {
            gw.sendError = EINVAL;
        } else if (gw.logAddress == 0) {
            // 0.0.0.0 would reach this host on Linux; it names no gateway.
            gw.sendError = EADDRNOTAVAIL;
        } else {
            gw.valid = true;
            gw.endpoint.address = gw.logAddress;
        }
    }
    return out;
}

bool OpenNotifySocket(platform::UdpSocket& socket) {
    int err = 0;
    if (!socket.Open(err)) {
        LogError("[ERR]Create firewall notify socket fail! ErrorCode:%ld", static_cast<long>(err));
        return false;
    }
    return true;
}

void LogEncryptFailure() { LogError("[ERR]Error occurs when execut encrypt function."); }

GatewayNotifier::GatewayNotifier(const WorkerSettings& settings, OnlineUserTable& table)
    : table_(table),
      positions_(ResolveGatewayPositions(settings)),
      key_(settings.deviceKey),
      encryptType_(settings.encryptType),
      encodeType_(settings.encodeType),
      retranTimes_(settings.retranTimes),
      messageTimeout_(settings.messageTimeout),
      recordMaxAge_(settings.onlineRecordMaxAge) {}

int GatewayNotifier::SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position) {
    return SendUserInfo(record, kind, position, platform::GetClock().Now());
}

int GatewayNotifier::SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position,
                                  std::int64_t now) {
    if (position >= kGatewayPositions) return -1;

    // The attempt counts before anything can fail, so a failed send is repeated like a lost one.
    const std::uint32_t sequence = ++sequenceCounter_;
    record.status[position] = kDeliveryAwaiting;
    ++record.sendCount[position];
    record.sendTime[position] = now;
    record.AssignSequence(position, sequence);

    std::uint8_t plain[kGatewayBufferSize] = {};
    const std::size_t length =
        BuildUserNotification(kind == kUserOnline ? kNotifyOnline : kNotifyOffline, sequence, record.Address(),
                              record.UserName(), record.organisation[0], record.organisation[1],
                              record.organisation[2], encodeType_, plain);

    thread_local std::vector<std::uint8_t> datagram;
    switch (SealDatagram(encryptType_, key_, plain, length, datagram)) {
        case SealResult::Sent:
            break;
        case SealResult::EncryptFailed:
            LogEncryptFailure();
            WorkerStatistics::Add(Statistics().notificationFailures);
            return -1;
        case SealResult::NoCipher:
            WorkerStatistics::Add(Statistics().notificationFailures);
            return -1;
    }

    const GatewayPosition& gw = positions_.at[position];
    // Positions without a usable address fail here, harmlessly, like any send error.
    int err = position < positions_.count ? gw.sendError : EDESTADDRREQ;
    if (err == 0 && socket_.SendTo(datagram.data(), datagram.size(), gw.endpoint, err)) {
        WorkerStatistics::Add(Statistics().notificationsSent);
        LogInfo("[INF]Sending user information to the gateway (0x%X).", gw.logAddress);
        return 0;
    }
    WorkerStatistics::Add(Statistics().notificationFailures);
    LogError("[ERR]Send notify to device failed. ErrorCode:%ld.", static_cast<long>(err));
    return -1;
}

void GatewayNotifier::NotifyAllGateways(OnlineUserRecord& record) {
    for (unsigned p = 0; p < positions_.count; ++p) {
        record.sendCount[p] = 0;
        record.givenUpMask = static_cast<std::uint8_t>(record.givenUpMask & ~(1u << p));
        if (record.withheldMask & (1u << p)) {
            record.status[p] = kDeliveryNone;
            continue;
        }
        SendUserInfo(record, record.state, p);
    }
}

void GatewayNotifier::HandleResponse(const std::uint8_t* data, std::size_t length, std::uint32_t source) {
    bool gateway = false;
    bool parsed = false;
    std::uint32_t sequence = 0;
    std::string text;
    for (unsigned p = 0; p < positions_.count && !gateway; ++p) {
        const GatewayPosition& gw = positions_.at[p];
        if (!gw.valid || gw.endpoint.address != source) continue;
        gateway = true;
        // Every matching position sees the same bytes: decrypt once.
        parsed = ParseGatewayResponse(data, length, encryptType_, key_, sequence, text);
    }
    if (!gateway) {
        WorkerStatistics::Add(Statistics().droppedForeignResponse);
        ORVANE_LOG_LIMITED(foreignLines_, LogError,
                           "[ERR]Dropped a datagram on the gateway socket from 0x%X, which is no configured gateway.",
                           source);
        return;
    }
    if (!parsed) {
        // Anyone can send from a gateway's address: what the key does not open is counted, not believed.
        WorkerStatistics::Add(Statistics().droppedForeignResponse);
        ORVANE_LOG_LIMITED(undecryptedLines_, LogInfo, "[INF]Receive gateway (0x%X) response message.", source);
        return;
    }
    LogInfo("[INF]Receive gateway (0x%X) response message.", source);
    const std::int64_t now = platform::GetClock().Now();
    for (unsigned p = 0; p < positions_.count; ++p) {
        const GatewayPosition& gw = positions_.at[p];
        if (!gw.valid || gw.endpoint.address != source) continue;
        Statistics().ResponseSeen(p, now);
        const bool online = text == "login OK";
        if (online || text == "logout OK") {
            if (!Confirm(sequence)) {
                // A late answer to a repeated datagram, or a recorded one sent again.
                ORVANE_LOG_LIMITED(staleLines_, LogInfo,
                                   "[INF]The gateway (0x%X) answered a notification that is no longer awaited.",
                                   source);
                continue;
            }
            if (online) {
                LogInfo("[INF]The gateway (0x%X) confirms that the user is online successfully.", source);
            } else {
                LogInfo("[INF]The gateway (0x%X) confirms that the user is offline successfully.", source);
            }
        } else {
            LogInfo("[INF]Unknown response from gateway (0x%X).", source);
        }
    }
}

void GatewayNotifier::DropOversized(std::uint32_t source) {
    WorkerStatistics::Add(Statistics().droppedForeignResponse);
    ORVANE_LOG_LIMITED(foreignLines_, LogError,
                       "[ERR]Dropped a datagram of %zu bytes or more on the gateway socket from 0x%X.",
                       kMaxResponseLength, source);
}

bool GatewayNotifier::Confirm(std::uint32_t sequence) {
    // Two positions with one address see the same answer; it confirms one notification.
    bool newlyConfirmed = false;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(table_.Mutex());
        found = table_.ConfirmSequence(sequence, positions_.count, &newlyConfirmed);
    }
    if (newlyConfirmed) WorkerStatistics::Add(Statistics().confirmations);
    return found;
}

void GatewayNotifier::CountGivenUp(OnlineUserRecord& record, unsigned position) {
    // Counted when the last allowed send has gone out unconfirmed: an offline record is removed
    // in that very pass, so waiting for its answer would never count it.
    const auto bit = static_cast<std::uint8_t>(1u << position);
    if (record.status[position] != kDeliveryAwaiting || record.sendCount[position] <= retranTimes_ ||
        (record.givenUpMask & bit))
        return;
    record.givenUpMask = static_cast<std::uint8_t>(record.givenUpMask | bit);
    WorkerStatistics::Add(Statistics().givenUp);
}

void GatewayNotifier::RetranPass(std::int64_t now) {
    std::lock_guard<std::mutex> lock(table_.Mutex());
    OnlineUserRecord* record = table_.First();
    while (record) {
        bool finished = true;
        for (unsigned p = 0; p < positions_.count; ++p) {
            if (record->withheldMask & (1u << p)) continue;
            if (record->status[p] == kDeliveryAwaiting && record->sendCount[p] <= retranTimes_) {
                std::int64_t elapsed = 0;
                // A clock set back (negative age) or an absurd time never qualifies.
                if (!__builtin_sub_overflow(now, record->sendTime[p], &elapsed) && elapsed >= 0 &&
                    elapsed >= messageTimeout_) {
                    SendUserInfo(*record, record->state, p, now);
                }
            }
            CountGivenUp(*record, p);
            if (record->status[p] != kDeliveryConfirmed && record->sendCount[p] <= retranTimes_) finished = false;
        }
        std::int64_t age = 0;
        if (record->state == kUserOnline && recordMaxAge_ != 0 && record->stateSince > 0 &&
            !__builtin_sub_overflow(now, record->stateSince, &age) && age >= recordMaxAge_) {
            // Bounds the table by the users active within the maximum age, not by every user ever seen.
            LogInfo("[INF]User (%s) from %s has had no logon for %lld hours; record removed until the next logon.",
                    record->UserName().c_str(), record->Address().c_str(), static_cast<long long>(age / 3600));
            WorkerStatistics::Add(Statistics().recordsExpired);
            record = table_.Remove(*record);
        } else if (record->state == kUserOffline && finished) {
            // Administrators (and tests) can see when a user's logoff is complete.
            LogInfo("[INF]User (%s) from %s is offline on every gateway; record removed.", record->UserName().c_str(),
                    record->Address().c_str());
            record = table_.Remove(*record);
        } else {
            record = table_.Next(*record);
        }
    }
}

void SetGatewayNotifier(GatewayNotifier* notifier) { g_notifier.store(notifier, std::memory_order_release); }

GatewayNotifier* GetGatewayNotifier() { return g_notifier.load(std::memory_order_acquire); }

int SendUserInfo(OnlineUserRecord& record, std::uint8_t kind, unsigned position) {
    GatewayNotifier* n = GetGatewayNotifier();
    return n ? n->SendUserInfo(record, kind, position) : -1;
}

void NotifyAllGateways(OnlineUserRecord& record) {
    if (GatewayNotifier* n = GetGatewayNotifier()) n->NotifyAllGateways(record);
}

void RecvResponseThread(GatewayNotifier& notifier, const std::atomic<bool>& stop) {
    std::uint8_t buffer[kMaxResponseLength];
    while (!stop.load(std::memory_order_relaxed)) {
        std::memset(buffer, 0, sizeof buffer);
        std::size_t length = 0;
        platform::Ipv4Endpoint from;
        int err = 0;
        platform::ReceiveStatus r =
            notifier.Socket().ReceiveFrom(buffer, sizeof buffer, length, from, kReceivePollMs, err);
        if (r == platform::ReceiveStatus::TimedOut) continue;
        if (r == platform::ReceiveStatus::Failed) {
            SleepUnlessStopped(kResponsePauseMs, stop);
            continue;
        }
        // No pause for an oversized datagram: anyone can send them, and a pause for each would
        // let a few a second hold off every confirmation.
        if (length >= kMaxResponseLength) {
            notifier.DropOversized(from.address);
            continue;
        }
        notifier.HandleResponse(buffer, length, from.address);
    }
}

void RetranThread(GatewayNotifier& notifier, const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_relaxed)) {
        notifier.RetranPass(platform::GetClock().Now());
        SleepUnlessStopped(kRetranIntervalMs, stop);
    }
}

bool StartRecvResponseThread(GatewayNotifier& notifier, StoppableThread& thread) {
    int err = 0;
    if (thread.Start([&notifier](const std::atomic<bool>& stop) { RecvResponseThread(notifier, stop); }, err)) {
        return true;
    }
    errno = err;
    return false;
}

bool StartRetranThread(GatewayNotifier& notifier, StoppableThread& thread) {
    int err = 0;
    if (thread.Start([&notifier](const std::atomic<bool>& stop) { RetranThread(notifier, stop); }, err)) {
        return true;
    }
    errno = err;
    return false;
}

}  // namespace orvane
