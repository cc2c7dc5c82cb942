#pragma once
// The three NTLM messages (NTLMv2) the remote event source authenticates with. WinRM offers
// only the Negotiate scheme, which carries the raw NTLM tokens built here.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::ntlm {

struct Challenge {
    std::uint32_t flags = 0;
    std::array<unsigned char, 8> serverChallenge{};
    std::string targetInfo;  // the AV pairs, sent back inside the response
    std::string raw;         // the whole message, which the MIC covers
};

// The NEGOTIATE_MESSAGE (binary).
std::string NegotiateMessage();
// Reads a CHALLENGE_MESSAGE, never past its end; false with the reason when it is not one.
bool ParseChallenge(std::string_view message, Challenge& out, std::string& error);
// The AUTHENTICATE_MESSAGE answering `challenge` with an NTLMv2 response. `fileTime` (100 ns
// since 1601) is used when the server sent no timestamp of its own. With a server timestamp the
// message carries a MIC over the three messages (NegotiateMessage(), `challenge.raw`, itself),
// announced by MsvAvFlags in the response. `channelBindings` (the MD5 of the TLS channel's
// bindings) goes into the response as MsvAvChannelBindings when given.
bool AuthenticateMessage(const Challenge& challenge, std::string_view user, std::string_view domain,
                         std::string_view password, const std::array<unsigned char, 8>& clientChallenge,
                         std::uint64_t fileTime, std::string& out, std::string& error,
                         const std::array<unsigned char, 16>* channelBindings = nullptr);

// Where the MIC lies in an AUTHENTICATE_MESSAGE that has one.
constexpr std::size_t kMicOffset = 72;

// NTOWFv2 and the NT proof of a response (exposed for tests with known vectors).
bool NtOwfV2(std::string_view user, std::string_view domain, std::string_view password,
             std::array<unsigned char, 16>& out);

std::string Base64(std::string_view bytes);
bool FromBase64(std::string_view text, std::string& out);

}  // namespace orvane::ntlm
