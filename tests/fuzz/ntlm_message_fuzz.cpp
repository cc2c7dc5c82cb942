// The NTLM challenge a WS-Management peer sends in its "Negotiate <base64>" header: the
// base64 text decoded, the CHALLENGE_MESSAGE parsed, and the AUTHENTICATE_MESSAGE built from it
// (which walks the peer's target information). The first input byte picks whether the rest is
// the header's base64 text or the decoded message itself.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "worker/eventlog/ntlm_message.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool base64 = data[0] & 1;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string raw;
    if (base64) {
        if (!ntlm::FromBase64(rest, raw)) return 0;
        // The bytes decoded must survive our own encoding unchanged (the length fix-up for padding).
        std::string again;
        ORVANE_FUZZ_CHECK(ntlm::FromBase64(ntlm::Base64(raw), again) && again == raw);
    } else {
        raw.assign(rest);
    }
    ntlm::Challenge challenge;
    std::string error;
    if (!ntlm::ParseChallenge(raw, challenge, error)) {
        ORVANE_FUZZ_CHECK(!error.empty());
        return 0;
    }
    ORVANE_FUZZ_CHECK(challenge.targetInfo.size() <= raw.size());
    const std::array<unsigned char, 8> clientChallenge{1, 2, 3, 4, 5, 6, 7, 8};
    std::string out;
    if (ntlm::AuthenticateMessage(challenge, "Administrator", "CORP", "Passw0rd!", clientChallenge,
                                  133000000000000000ull, out, error)) {
        ORVANE_FUZZ_CHECK(out.size() >= 64);
    } else {
        ORVANE_FUZZ_CHECK(!error.empty());
    }
    return 0;
}
