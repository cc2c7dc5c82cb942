#include "tools/gwemu/emulator.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tools/gwemu/json_line.h"

namespace orvane::gwemu {

volatile std::sig_atomic_t g_stopRequested = 0;

namespace {

using platform::FormatIpv4Address;

constexpr int kSliceMs = 200;           // how quickly a stop request is noticed
constexpr std::size_t kMaxDatagram = 65536;

std::string MacText(const std::array<std::uint8_t, 6>& mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

const char* TypeName(GatewayMessageType t) {
    switch (t) {
        case GatewayMessageType::Online: return "online";
        case GatewayMessageType::Offline: return "offline";
        case GatewayMessageType::Heartbeat: return "heartbeat";
        case GatewayMessageType::Undecodable: break;
    }
    return "undecodable";
}

class Emulator {
public:
    Emulator(const Options& options, const KeyField& key, std::FILE* out) : o_(options), key_(key), out_(out) {
        response_.resize(kGatewayBufferSize);
    }

    int Run() {
        int err = 0;
        if (!socket_.Open(err) || !socket_.Bind(o_.listen, err)) {
            std::fprintf(stderr, "orvane-gwemu: cannot listen on %s:%u: %s\n",
                         FormatIpv4Address(o_.listen.address).c_str(), o_.listen.port, std::strerror(err));
            return 1;
        }
        platform::Ipv4Endpoint bound = o_.listen;
        if (!socket_.LocalEndpoint(bound, err)) bound = o_.listen;
        std::fprintf(stderr, "listening on %s:%u\n", FormatIpv4Address(bound.address).c_str(), bound.port);

        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::seconds(o_.timeoutSeconds);
        std::vector<std::uint8_t> buffer(kMaxDatagram);
        std::uint64_t received = 0;
        while (!g_stopRequested && (o_.count == 0 || received < o_.count)) {
            int slice = kSliceMs;
            if (o_.timeoutSeconds > 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) break;
                if (left < slice) slice = static_cast<int>(left);
            }
            std::size_t length = 0;
            platform::Ipv4Endpoint from;
            switch (socket_.ReceiveFrom(buffer.data(), buffer.size(), length, from, slice, err)) {
                case platform::ReceiveStatus::TimedOut:
                    continue;
                case platform::ReceiveStatus::Failed:
                    std::fprintf(stderr, "orvane-gwemu: receive failed: %s\n", std::strerror(err));
                    return 1;
                case platform::ReceiveStatus::Received:
                    break;
            }
            ++received;
            if (!Handle(buffer.data(), length, from)) return 1;
        }
        return 0;
    }

private:
    // Decodes, answers and reports one datagram; false when the output cannot be written.
    bool Handle(const std::uint8_t* data, std::size_t length, const platform::Ipv4Endpoint& from) {
        DecodedGatewayMessage m = DecodeGatewayDatagram(data, length, o_.encryptType, o_.encodeType, key_);
        JsonLine line;
        line.AddText("type", TypeName(m.type));
        bool notification = m.type == GatewayMessageType::Online || m.type == GatewayMessageType::Offline;
        if (notification) {
            std::uint32_t address = (std::uint32_t{m.address[0]} << 24) | (std::uint32_t{m.address[1]} << 16) |
                                    (std::uint32_t{m.address[2]} << 8) | m.address[3];
            line.AddNumber("sequence", m.sequence)
                .AddText("address", FormatIpv4Address(address))
                .AddText("user", m.user);
            if (m.type == GatewayMessageType::Online) {
                line.AddText("ad_path", m.adPath).AddText("org2", m.org2).AddText("org3", m.org3);
            }
        } else if (m.type == GatewayMessageType::Heartbeat) {
            line.AddText("version", m.version).AddText("mac", MacText(m.mac));
        }
        line.AddText("from", FormatIpv4Address(from.address)).AddNumber("port", from.port).AddNumber("length", length);
        if (notification) line.AddBool("answered", Answer(m, from));

        std::string text = line.Finish();
        if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
            std::fprintf(stderr, "orvane-gwemu: cannot write the output: %s\n", std::strerror(errno));
            return false;
        }
        return true;
    }

    bool Answer(const DecodedGatewayMessage& m, const platform::Ipv4Endpoint& to) {
        ++notifications_;
        bool wanted = o_.answer == AnswerMode::Always ||
                      (o_.answer == AnswerMode::Every && notifications_ % o_.answerEvery == 0);
        if (!wanted) return false;
        std::memset(response_.data(), 0, response_.size());
        std::size_t n = BuildGatewayResponse(
            m.sequence, m.type == GatewayMessageType::Online ? "login OK" : "logout OK", response_.data());
        if (SealDatagram(o_.encryptType, key_, response_.data(), n, datagram_) != SealResult::Sent) {
            std::fprintf(stderr, "orvane-gwemu: cannot encrypt the answer\n");
            return false;
        }
        int err = 0;
        if (!socket_.SendTo(datagram_.data(), datagram_.size(), to, err)) {
            std::fprintf(stderr, "orvane-gwemu: cannot answer %s:%u: %s\n", FormatIpv4Address(to.address).c_str(),
                         to.port, std::strerror(err));
            return false;
        }
        return true;
    }

    const Options& o_;
    const KeyField& key_;
    std::FILE* out_;
    platform::UdpSocket socket_;
    std::uint64_t notifications_ = 0;
    std::vector<std::uint8_t> response_;
    std::vector<std::uint8_t> datagram_;
};

}  // namespace

int RunEmulator(const Options& options, const KeyField& key, std::FILE* out) {
    Emulator emulator(options, key, out);
    return emulator.Run();
}

}  // namespace orvane::gwemu
