#include "worker/gateway/heartbeat.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/file_version_text.h"
#include "common/gateway_message.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/netif.h"
#include "platform/process.h"
#include "platform/udp.h"
#include "worker/gateway/notification_sender.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

constexpr char kDefaultVersion[] = "3.1.8.1";
constexpr unsigned kNoGatewayPauseMs = 500;
constexpr unsigned kFailurePauseMs = 1000;
constexpr unsigned kCycleMs = 5000;
constexpr std::size_t kVersionCapacity = 64;

}  // namespace

std::string HeartbeatVersionText(const WorkerSettings& settings, const HeartbeatOptions& options) {
    std::string version;
    bool ok = false;
    if (options.readVersion) {
        ok = options.readVersion(version);
    } else {
        const std::string path = platform::JoinPath(settings.moduleFolder, "Orvane");
        ok = GetFileVersionText(path.c_str(), &version, kVersionCapacity) == 1;
    }
    return ok && !version.empty() ? version : std::string(kDefaultVersion);
}

void HeartBeatThread(const WorkerSettings& settings, const HeartbeatOptions& options,
                     const std::atomic<bool>& stop) {
    const std::string version = HeartbeatVersionText(settings, options);
    const GatewayPositions positions = ResolveGatewayPositions(settings);
    const KeyField key = settings.deviceKey;
    const int encryptType = settings.encryptType;

    platform::UdpSocket socket;
    if (!OpenNotifySocket(socket)) return;

    std::array<std::uint8_t, 6> mac{};
    std::uint8_t plain[kGatewayBufferSize] = {};
    std::vector<std::uint8_t> datagram;

    while (!stop.load(std::memory_order_relaxed)) {
        // A failed look-up keeps the address found last (zeros until one is found).
        platform::FirstEthernetMac(mac, options.adapterRoot);

        if (positions.count == 0) {
            SleepUnlessStopped(kNoGatewayPauseMs, stop);
            continue;
        }

        std::memset(plain, 0, sizeof plain);
        const std::size_t length = BuildHeartbeat(version, mac.data(), plain);

        for (unsigned p = 0; p < positions.count && !stop.load(std::memory_order_relaxed); ++p) {
            const GatewayPosition& gw = positions.at[p];
            if (!gw.hasAddress) continue;
            if (encryptType != kEncryptGeneral && encryptType != kEncryptEnhanced) continue;

            SealResult sealed = SealDatagram(encryptType, key, plain, length, datagram);
            if (sealed == SealResult::NoCipher) continue;
            if (sealed == SealResult::EncryptFailed) {
                LogEncryptFailure();
                SleepUnlessStopped(kFailurePauseMs, stop);
                continue;
            }
            int err = gw.sendError;
            if (err == 0 && socket.SendTo(datagram.data(), datagram.size(), gw.endpoint, err)) {
                WorkerStatistics::Add(Statistics().heartbeatsSent);
                Statistics().HeartbeatSent(p, platform::GetClock().Now());
                continue;
            }
            if (encryptType == kEncryptEnhanced) {
                LogError("[ERR]Send heartbeat to device failed.ErrorCode:%ld.", static_cast<long>(err));
            } else {
                LogError("[ERR]Send notify to device failed.ErrorCode:%ld.", static_cast<long>(err));
            }
            SleepUnlessStopped(kFailurePauseMs, stop);
        }

        SleepUnlessStopped(kCycleMs, stop);
    }
    std::memset(plain, 0, sizeof plain);
}

bool StartHeartBeatThread(const WorkerSettings& settings, HeartbeatOptions options, StoppableThread& thread) {
    int err = 0;
    bool started = thread.Start(
        [settings, options = std::move(options)](const std::atomic<bool>& stop) {
            HeartBeatThread(settings, options, stop);
        },
        err);
    if (!started) errno = err;
    return started;
}

}  // namespace orvane
