// What comes back from a gateway's UDP port: the response parser for both ciphers, and the
// gateway emulator's decoder of the worker's datagrams. The first byte picks the cipher and
// whether the rest is a datagram as received or a plaintext sealed here first under the share
// key (which reaches the text handling behind the cipher).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/gateway_message.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/test_util.h"

using namespace orvane;

namespace {
const KeyField kKey = MakeKeyField("firewall-share-key");
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static testing::CountingRandom random;
    static RandomSource* const installed = (SetRandomSource(&random), &random);
    (void)installed;
    if (size == 0 || size > kGatewayBufferSize) return -1;
    const int encryptType = data[0] & 1 ? kEncryptEnhanced : kEncryptGeneral;
    const int encodeType = (data[0] >> 2) & 1;
    const bool seal = data[0] & 2;
    ++data;
    --size;

    std::vector<std::uint8_t> datagram;
    if (seal) {
        std::array<std::uint8_t, kGatewayBufferSize> plain{};
        if (size == 0 || size > kGatewayBufferSize - 16) return -1;
        std::memcpy(plain.data(), data, size);
        if (SealDatagram(encryptType, kKey, plain.data(), size, datagram) != SealResult::Sent) return 0;
    } else {
        datagram.assign(data, data + size);
    }

    std::uint32_t sequence = 0;
    std::string text;
    if (ParseGatewayResponse(datagram.data(), datagram.size(), encryptType, kKey, sequence, text)) {
        ORVANE_FUZZ_CHECK(datagram.size() < kMaxResponseLength);
        ORVANE_FUZZ_CHECK(text.size() < datagram.size());
        ORVANE_FUZZ_CHECK(text.find('\0') == std::string::npos);
    }
    const DecodedGatewayMessage m = DecodeGatewayDatagram(datagram.data(), datagram.size(), encryptType, encodeType, kKey);
    if (m.type != GatewayMessageType::Undecodable) {
        ORVANE_FUZZ_CHECK(m.user.size() + m.adPath.size() + m.org2.size() + m.org3.size() <= 4 * kGatewayBufferSize);
    }
    return 0;
}
