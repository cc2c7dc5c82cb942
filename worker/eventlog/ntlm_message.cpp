#include "worker/eventlog/ntlm_message.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <cstring>
#include <cwctype>
#include <mutex>

#include "common/text.h"

namespace orvane::ntlm {
namespace {

constexpr char kSignature[] = "NTLMSSP";  // with its terminating NUL: 8 bytes
constexpr std::uint32_t kUnicode = 0x00000001, kRequestTarget = 0x00000004, kNtlm = 0x00000200,
                        kAlwaysSign = 0x00008000, kExtendedSessionSecurity = 0x00080000,
                        kTargetInfo = 0x00800000, k128 = 0x20000000, k56 = 0x80000000;
constexpr std::uint32_t kOurFlags =
    kUnicode | kRequestTarget | kNtlm | kAlwaysSign | kExtendedSessionSecurity | kTargetInfo | k128 | k56;
constexpr std::uint16_t kAvEol = 0, kAvFlags = 6, kAvTimestamp = 7, kAvChannelBindings = 10;
constexpr std::uint32_t kAvFlagMicPresent = 0x00000002;
constexpr std::size_t kAuthenticateHeader = 64;
// The header with the Version field and the MIC.
constexpr std::size_t kAuthenticateHeaderWithMic = kMicOffset + 16;

void PutU16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xff);
    s[at + 1] = static_cast<char>(v >> 8);
}
void PutU32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}
std::uint16_t U16(std::string_view s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}
std::uint32_t U32(std::string_view s, std::size_t at) {
    return static_cast<std::uint32_t>(U16(s, at)) | static_cast<std::uint32_t>(U16(s, at + 2)) << 16;
}

// Appends `data` to the payload and points the field at `at` to it.
void AddField(std::string& msg, std::size_t at, std::string_view data) {
    PutU16(msg, at, static_cast<std::uint16_t>(data.size()));
    PutU16(msg, at + 2, static_cast<std::uint16_t>(data.size()));
    PutU32(msg, at + 4, static_cast<std::uint32_t>(msg.size()));
    msg.append(data);
}

// MD4 lives in OpenSSL's legacy provider; a private library context keeps it out of the
// rest of the process.
bool Md4(std::string_view data, unsigned char out[16]) {
    static std::once_flag once;
    static OSSL_LIB_CTX* ctx = nullptr;
    static EVP_MD* md4 = nullptr;
    std::call_once(once, [] {
        ctx = OSSL_LIB_CTX_new();
        if (ctx && OSSL_PROVIDER_load(ctx, "legacy") && OSSL_PROVIDER_load(ctx, "default"))
            md4 = EVP_MD_fetch(ctx, "MD4", nullptr);
    });
    unsigned int n = 0;
    return md4 && EVP_Digest(data.data(), data.size(), out, &n, md4, nullptr) == 1 && n == 16;
}

bool HmacMd5(const unsigned char* key, std::size_t keyLen, std::string_view data, unsigned char out[16]) {
    unsigned int n = 0;
    return HMAC(EVP_md5(), key, static_cast<int>(keyLen), reinterpret_cast<const unsigned char*>(data.data()),
                data.size(), out, &n) != nullptr &&
           n == 16;
}

std::string Utf16Le(std::string_view utf8) { return Utf8ToUtf16LeBytes(utf8); }

std::string UpperUtf16Le(std::string_view utf8) {
    std::u16string u = Utf8ToUtf16(utf8);
    for (char16_t& c : u) c = static_cast<char16_t>(std::towupper(c));
    std::string out;
    out.reserve(u.size() * 2);
    for (char16_t c : u) {
        out.push_back(static_cast<char>(c & 0xff));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

// The server's own timestamp from the AV pairs, when it sent one.
bool FindTimestamp(std::string_view info, std::string& stamp) {
    std::size_t at = 0;
    while (at + 4 <= info.size()) {
        const std::uint16_t id = U16(info, at), len = U16(info, at + 2);
        if (id == kAvEol || at + 4 + len > info.size()) return false;
        if (id == kAvTimestamp && len == 8) {
            stamp.assign(info.substr(at + 4, 8));
            return true;
        }
        at += 4u + len;
    }
    return false;
}

// The server's AV pairs as the response carries them: with MsvAvFlags saying that a MIC
// follows when `mic`, and MsvAvChannelBindings when `bindings`, ended by MsvAvEOL again.
bool ResponsePairs(std::string_view info, bool mic, const std::array<unsigned char, 16>* bindings, std::string& out) {
    out.clear();
    bool flagged = false;
    std::size_t at = 0;
    while (at + 4 <= info.size()) {
        const std::uint16_t id = U16(info, at), len = U16(info, at + 2);
        if (at + 4 + len > info.size()) return false;
        if (id == kAvEol) break;
        // A server never sends bindings; ours replace any such pair.
        if (id == kAvChannelBindings && bindings) {
            at += 4u + len;
            continue;
        }
        const std::size_t start = out.size();
        out.append(info.substr(at, 4u + len));
        if (mic && id == kAvFlags && len == 4) {
            PutU32(out, start + 4, U32(info, at + 4) | kAvFlagMicPresent);
            flagged = true;
        }
        at += 4u + len;
    }
    if (mic && !flagged) {
        out.append("\x06\0\x04\0\0\0\0\0", 8);
        PutU32(out, out.size() - 4, kAvFlagMicPresent);
    }
    if (bindings) {
        out.append("\x0a\0\x10\0", 4);
        out.append(reinterpret_cast<const char*>(bindings->data()), bindings->size());
    }
    out.append(4, '\0');
    return true;
}

}  // namespace

std::string NegotiateMessage() {
    std::string m(32, '\0');
    std::memcpy(m.data(), kSignature, 8);
    PutU32(m, 8, 1);
    PutU32(m, 12, kOurFlags);
    return m;
}

bool ParseChallenge(std::string_view m, Challenge& out, std::string& error) {
    if (m.size() < 48 || std::memcmp(m.data(), kSignature, 8) != 0 || U32(m, 8) != 2) {
        error = "not an NTLM challenge message";
        return false;
    }
    out.flags = U32(m, 20);
    std::memcpy(out.serverChallenge.data(), m.data() + 24, 8);
    const std::size_t len = U16(m, 40), offset = U32(m, 44);
    if (offset > m.size() || len > m.size() - offset) {
        error = "the NTLM challenge's target information lies outside the message";
        return false;
    }
    out.targetInfo.assign(m.substr(offset, len));
    out.raw.assign(m);
    if (!(out.flags & kUnicode)) {
        error = "the server does not offer Unicode NTLM";
        return false;
    }
    return true;
}

bool NtOwfV2(std::string_view user, std::string_view domain, std::string_view password,
             std::array<unsigned char, 16>& out) {
    unsigned char ntHash[16];
    if (!Md4(Utf16Le(password), ntHash)) return false;
    return HmacMd5(ntHash, sizeof ntHash, UpperUtf16Le(user) + Utf16Le(domain), out.data());
}

bool AuthenticateMessage(const Challenge& c, std::string_view user, std::string_view domain,
                         std::string_view password, const std::array<unsigned char, 8>& clientChallenge,
                         std::uint64_t fileTime, std::string& out, std::string& error,
                         const std::array<unsigned char, 16>* channelBindings) {
    std::array<unsigned char, 16> key{};
    if (!NtOwfV2(user, domain, password, key)) {
        error = "MD4 is not available (OpenSSL's legacy provider is missing)";
        return false;
    }
    std::string stamp;
    const bool serverStamp = FindTimestamp(c.targetInfo, stamp);
    if (!serverStamp) {
        stamp.assign(8, '\0');
        for (int i = 0; i < 8; ++i) stamp[static_cast<std::size_t>(i)] = static_cast<char>((fileTime >> (8 * i)) & 0xff);
    }
    // A server that sends its time expects the MIC (and then no LMv2 response).
    std::string info;
    if (!serverStamp && !channelBindings) {
        info = c.targetInfo;
    } else if (!ResponsePairs(c.targetInfo, serverStamp, channelBindings, info)) {
        error = "the NTLM challenge's target information is malformed";
        return false;
    }
    const std::string_view server(reinterpret_cast<const char*>(c.serverChallenge.data()), 8);
    const std::string_view client(reinterpret_cast<const char*>(clientChallenge.data()), 8);
    std::string temp("\x01\x01\0\0\0\0\0\0", 8);
    temp += stamp;
    temp += client;
    temp.append(4, '\0');
    temp += info;
    temp.append(4, '\0');
    unsigned char proof[16];
    if (!HmacMd5(key.data(), key.size(), std::string(server) + temp, proof)) {
        error = "HMAC-MD5 failed";
        return false;
    }
    const std::string nt = std::string(reinterpret_cast<const char*>(proof), 16) + temp;
    // With a server timestamp the LMv2 response is left zero, as the protocol asks.
    std::string lm(24, '\0');
    if (!serverStamp) {
        unsigned char lmProof[16];
        if (!HmacMd5(key.data(), key.size(), std::string(server) + std::string(client), lmProof)) {
            error = "HMAC-MD5 failed";
            return false;
        }
        lm.assign(reinterpret_cast<const char*>(lmProof), 16);
        lm += client;
    }
    std::string m(serverStamp ? kAuthenticateHeaderWithMic : kAuthenticateHeader, '\0');
    std::memcpy(m.data(), kSignature, 8);
    PutU32(m, 8, 3);
    AddField(m, 12, lm);
    AddField(m, 20, nt);
    AddField(m, 28, Utf16Le(domain));
    AddField(m, 36, Utf16Le(user));
    AddField(m, 44, {});
    AddField(m, 52, {});
    PutU32(m, 60, (c.flags & kOurFlags) | kUnicode);
    if (m.size() > 0xffff) {
        error = "the NTLM answer is too large";
        return false;
    }
    if (serverStamp) {
        // Without key exchange the exported session key is the session base key.
        unsigned char sessionKey[16], mic[16];
        if (!HmacMd5(key.data(), key.size(), std::string_view(reinterpret_cast<const char*>(proof), 16), sessionKey) ||
            !HmacMd5(sessionKey, sizeof sessionKey, NegotiateMessage() + c.raw + m, mic)) {
            error = "HMAC-MD5 failed";
            return false;
        }
        std::memcpy(m.data() + kMicOffset, mic, sizeof mic);
    }
    out = std::move(m);
    return true;
}

std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool FromBase64(std::string_view text, std::string& out) {
    if (text.size() % 4 != 0 || text.size() > (1u << 20)) return false;
    out.assign(text.size() / 4 * 3 + 1, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    std::size_t size = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts the padding as data.
    if (!text.empty() && text.back() == '=') --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --size;
    out.resize(size);
    return true;
}

}  // namespace orvane::ntlm
