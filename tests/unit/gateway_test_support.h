#pragma once
// Test doubles for the gateway threads: a clock that tests move by hand, fake gateways on
// 127.0.0.1 sockets, and helpers that wait for datagrams with a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/config_types.h"
#include "common/gateway_message.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/udp.h"

namespace orvane::testing {

constexpr std::uint32_t kLoopback = 0x7F000001;

// Virtual time. Sleeping advances it; a gated clock also stops a sleeper once it passes the
// limit the test set, so a thread runs exactly as far as the test lets it.
class ManualClock final : public platform::Clock {
public:
    explicit ManualClock(std::int64_t startSeconds, bool gated = false) : start_(startSeconds), gated_(gated) {}

    std::int64_t Now() override {
        std::lock_guard<std::mutex> l(m_);
        return start_ + ms_ / 1000;
    }
    bool LocalNow(platform::LocalTime& out) override { return platform::ToLocalTime(Now(), out); }
    void SleepMs(unsigned ms) override {
        std::unique_lock<std::mutex> l(m_);
        ms_ += ms;
        if (!gated_) {
            l.unlock();
            std::this_thread::yield();
            return;
        }
        if (ms_ > limit_ && !released_) {
            ++blocks_;
            cv_.notify_all();
            cv_.wait(l, [&] { return released_ || ms_ <= limit_; });
        }
    }

    // Tests that drive passes themselves move the time directly.
    void SetSeconds(std::int64_t seconds) {
        std::lock_guard<std::mutex> l(m_);
        ms_ = (seconds - start_) * 1000;
    }
    std::int64_t VirtualMs() {
        std::lock_guard<std::mutex> l(m_);
        return ms_;
    }
    // Lets sleepers run `ms` further.
    void Advance(std::int64_t ms) {
        std::lock_guard<std::mutex> l(m_);
        limit_ += ms;
        cv_.notify_all();
    }
    std::uint64_t Blocks() {
        std::lock_guard<std::mutex> l(m_);
        return blocks_;
    }
    // Waits until a sleeper has stopped at the gate more than `previous` times.
    bool WaitForBlock(std::uint64_t previous, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, deadline, [&] { return blocks_ > previous; });
    }
    void Release() {
        std::lock_guard<std::mutex> l(m_);
        released_ = true;
        cv_.notify_all();
    }

    // Releases the clock when a test leaves its scope early, so threads can be joined.
    struct ReleaseOnExit {
        ManualClock& clock;
        ~ReleaseOnExit() { clock.Release(); }
    };

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::int64_t start_;
    bool gated_;
    std::int64_t ms_ = 0;
    std::int64_t limit_ = 0;
    std::uint64_t blocks_ = 0;
    bool released_ = false;
};

// Installs a clock and a memory log for the scope of a test.
class ScopedTestEnvironment {
public:
    explicit ScopedTestEnvironment(platform::Clock* clock) : previousSink_(SetLogSink(&log_)) {
        platform::SetClock(clock);
    }
    ~ScopedTestEnvironment() {
        platform::SetClock(nullptr);
        SetLogSink(previousSink_);
    }
    MemoryLog& Log() { return log_; }
    std::size_t Count(const std::string& line) const {
        std::string text = log_.Text();
        std::string needle = line + "\n";
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) {
            if (at == 0 || text[at - 1] == '\n') ++n;
        }
        return n;
    }

private:
    MemoryLog log_;
    LogSink* previousSink_;
};

struct Datagram {
    std::vector<std::uint8_t> bytes;
    platform::Ipv4Endpoint from;
};

inline const std::string kSentinel = "ORVANE-TEST-SENTINEL";

// A UDP peer on a loopback address.
class FakeGateway {
public:
    explicit FakeGateway(std::uint32_t address = kLoopback) {
        int err = 0;
        EXPECT_TRUE(socket_.Open(err)) << err;
        EXPECT_TRUE(socket_.Bind({address, 0}, err)) << err;
        EXPECT_TRUE(socket_.LocalEndpoint(endpoint_, err)) << err;
    }
    std::uint16_t Port() const { return endpoint_.port; }
    platform::Ipv4Endpoint Endpoint() const { return endpoint_; }
    platform::UdpSocket& Socket() { return socket_; }

    std::optional<Datagram> Receive(int timeoutMs = 5000) {
        Datagram d;
        d.bytes.resize(4096);
        std::size_t n = 0;
        int err = 0;
        if (socket_.ReceiveFrom(d.bytes.data(), d.bytes.size(), n, d.from, timeoutMs, err) !=
            platform::ReceiveStatus::Received) {
            return std::nullopt;
        }
        d.bytes.resize(n);
        return d;
    }

    // Everything that arrived before a marker sent now: on loopback a datagram is queued
    // before its send returns, so this sees every earlier send without waiting on a timer.
    std::vector<Datagram> DrainAll() {
        platform::UdpSocket marker;
        int err = 0;
        EXPECT_TRUE(marker.Open(err));
        EXPECT_TRUE(marker.SendTo(kSentinel.data(), kSentinel.size(), endpoint_, err));
        std::vector<Datagram> out;
        for (;;) {
            auto d = Receive(5000);
            if (!d) {
                ADD_FAILURE() << "marker datagram never arrived";
                return out;
            }
            if (std::string(d->bytes.begin(), d->bytes.end()) == kSentinel) return out;
            out.push_back(std::move(*d));
        }
    }

    void Send(const std::vector<std::uint8_t>& bytes, const platform::Ipv4Endpoint& to) {
        int err = 0;
        EXPECT_TRUE(socket_.SendTo(bytes.data(), bytes.size(), to, err)) << err;
    }

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint endpoint_;
};

inline KeyField TestKey() { return MakeKeyField("gw-share-key-0123456789"); }

inline WorkerSettings MakeSettings(int encryptType, unsigned retranTimes, unsigned messageTimeout,
                                   const std::vector<std::pair<std::string, std::uint16_t>>& gateways) {
    WorkerSettings s;
    s.encryptType = static_cast<std::uint16_t>(encryptType);
    s.encodeType = 1;
    s.retranTimes = static_cast<std::uint8_t>(retranTimes);
    s.messageTimeout = static_cast<std::uint8_t>(messageTimeout);
    s.firewallNum = static_cast<std::uint8_t>(gateways.size());
    s.deviceKey = TestKey();
    for (std::size_t i = 0; i < gateways.size() && i < kMaxGateways; ++i) {
        s.gateways[i].ip = gateways[i].first;
        s.gateways[i].port = gateways[i].second;
    }
    return s;
}

// A gateway's answer, encrypted as the worker expects it.
inline std::vector<std::uint8_t> SealedResponse(std::uint32_t sequence, const std::string& text, int encryptType,
                                                const KeyField& key = TestKey()) {
    std::uint8_t plain[kGatewayBufferSize] = {};
    std::size_t n = BuildGatewayResponse(sequence, text, plain);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(SealDatagram(encryptType, key, plain, n, out), SealResult::Sent);
    return out;
}

inline DecodedGatewayMessage Decode(const Datagram& d, int encryptType, const KeyField& key = TestKey()) {
    return DecodeGatewayDatagram(d.bytes.data(), d.bytes.size(), encryptType, 1, key);
}

// Polls `condition` until it holds or the deadline passes.
template <class F>
bool WaitFor(F condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace orvane::testing
