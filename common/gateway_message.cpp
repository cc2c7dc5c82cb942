#include "common/gateway_message.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "platform/udp.h"

namespace orvane {

const std::uint8_t kGeneralIv[8] = {'K', '7', '%', 'q', '!', 'w', 'R', 't'};

namespace {

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// OpenSSL 3 looks an implicitly named cipher up in its provider store at every init, which
// costs more than the cipher itself on these short texts: fetch each one once, for the life of
// the process (never freed, so no exit-time ordering with OpenSSL's own clean-up).
const EVP_CIPHER* Aes128Cbc() {
    static const EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return c;
}

const EVP_CIPHER* DesEde3Cbc() {
    static const EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
    return c;
}

// One no-padding CBC pass; false when OpenSSL refuses at any step. Each thread keeps its
// context, so a datagram costs no allocation.
bool RunCipher(const EVP_CIPHER* cipher, const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out,
               const std::uint8_t* in, std::size_t length, bool encrypt) {
    thread_local CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !cipher) return false;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1) return false;
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) return false;
    int outLen = 0, finalLen = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &outLen, in, static_cast<int>(length)) != 1) return false;
    if (EVP_CipherFinal_ex(ctx.get(), out + outLen, &finalLen) != 1) return false;
    return static_cast<std::size_t>(outLen) + static_cast<std::size_t>(finalLen) == length;
}

// Random bytes are drawn from OpenSSL a block at a time and handed out per thread: each draw
// costs OpenSSL a fork check (a system call), and a datagram needs only a few bytes.
struct RandomBlock {
    std::uint8_t bytes[512];
    std::size_t used = sizeof bytes;
};
thread_local RandomBlock t_randomBlock;

class SystemRandom final : public RandomSource {
public:
    SystemRandom() {
        // A forked child must not hand out the bytes its parent hands out too.
        pthread_atfork(nullptr, nullptr, [] { t_randomBlock.used = sizeof t_randomBlock.bytes; });
    }
    bool NextByte(std::uint8_t& out) override { return Take(&out, 1); }
    void Fill(std::uint8_t* out, std::size_t count) override {
        if (Take(out, count)) return;
        RandomSource::Fill(out, count);
    }

private:
    static bool Take(std::uint8_t* out, std::size_t count) {
        RandomBlock& b = t_randomBlock;
        if (count > sizeof b.bytes / 2) return count <= INT_MAX && RAND_bytes(out, static_cast<int>(count)) == 1;
        if (sizeof b.bytes - b.used < count) {
            if (RAND_bytes(b.bytes, static_cast<int>(sizeof b.bytes)) != 1) return false;
            b.used = 0;
        }
        std::memcpy(out, b.bytes + b.used, count);
        // Handed-out bytes do not stay behind in memory.
        OPENSSL_cleanse(b.bytes + b.used, count);
        b.used += count;
        return true;
    }
};

SystemRandom g_systemRandom;
std::atomic<RandomSource*> g_randomSource{nullptr};

std::size_t RoundUp(std::size_t n, std::size_t block) { return (n + block - 1) / block * block; }

std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void WriteBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Bytes of the UTF-8 sequence starting with `lead` (1 for a stray byte).
std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead >> 5) == 6) return 2;
    if ((lead >> 4) == 14) return 3;
    if ((lead >> 3) == 30) return 4;
    return 1;
}

// Longest prefix of at most `limit` bytes that ends on a UTF-8 character boundary.
std::size_t Utf8CutPoint(std::string_view s, std::size_t limit) {
    if (s.size() <= limit) return s.size();
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

// Longest prefix of at most `limit` bytes that ends on a GBK character boundary
// (lead bytes 0x81-0xFE start two-byte characters).
std::size_t GbkCutPoint(std::string_view s, std::size_t limit) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = (c >= 0x81 && c <= 0xFE && i + 1 < s.size()) ? 2 : 1;
        if (i + len > limit) break;
        i += len;
    }
    return i;
}

// GBK with "?" for each character that has no GBK form (rare: converted one by one).
bool ToGbkReplacing(std::string_view utf8, std::string& out) {
    if (Utf8ToAnsi(utf8, out)) return true;
    out.clear();
    std::string one;
    for (std::size_t i = 0; i < utf8.size() && out.size() <= kGatewayTextLimit;) {
        std::size_t len = std::min(Utf8SequenceLength(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        if (Utf8ToAnsi(utf8.substr(i, len), one)) {
            out += one;
        } else {
            out += '?';
        }
        i += len;
    }
    return false;
}

// Wire text back to UTF-8; bytes that do not decode become U+FFFD so the result is valid UTF-8.
std::string WireTextToUtf8(std::string_view wire, int encodeType) {
    if (encodeType == 0) {
        std::string out;
        if (AnsiToUtf8(wire, out)) return out;
        out.clear();
        for (unsigned char c : wire) {
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                out += "\xEF\xBF\xBD";
            }
        }
        return out;
    }
    return Utf16ToUtf8(Utf8ToUtf16(wire));
}

// Writes a converted text and its zero at `buffer + offset`; returns the new offset.
std::size_t PutText(std::uint8_t* buffer, std::size_t offset, std::string_view utf8, int encodeType,
                    std::string& scratch) {
    EncodeGatewayText(utf8, encodeType, scratch);
    std::memcpy(buffer + offset, scratch.data(), scratch.size());
    buffer[offset + scratch.size()] = 0;
    return offset + scratch.size() + 1;
}

// Decrypts a datagram for an EncryptType into `plain` (capacity `capacity`); the length of the
// decrypted data, or 0 when the datagram fails a length check or the cipher.
std::size_t OpenDatagram(const std::uint8_t* data, std::size_t length, int encryptType, const KeyField& key,
                         std::uint8_t* plain, std::size_t capacity) {
    if (encryptType == kEncryptEnhanced) {
        if (length < kEnhancedHeaderSize) return 0;
        std::size_t cipherLength = (std::size_t{data[2]} << 8) | data[3];
        if (cipherLength > length - kEnhancedHeaderSize) return 0;
        // OpenSSL without padding decrypts whole blocks only.
        if (cipherLength == 0 || cipherLength % 16 != 0 || cipherLength > capacity) return 0;
        if (DecryptEnhanced(data + kEnhancedHeaderSize, cipherLength, key.data(), data + 20, plain) != 0) return 0;
        return cipherLength;
    }
    if (length == 0 || length % 8 != 0 || length > capacity) return 0;
    if (CryptGeneral(key.data(), kGeneralIv, plain, data, length, false) != 0) return 0;
    return length;
}

// A zero-terminated text at `offset` of the first `n` bytes (bytes past `n` count as zero).
std::string_view TextAt(const std::uint8_t* p, std::size_t n, std::size_t offset) {
    if (offset >= n) return {};
    const auto* begin = reinterpret_cast<const char*>(p + offset);
    const void* zero = std::memchr(begin, 0, n - offset);
    std::size_t len = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - begin) : n - offset;
    return {begin, len};
}

}  // namespace

bool FillKeyField(std::string_view utf8Key, KeyField& field) {
    field.fill(0);
    std::size_t n = std::min(utf8Key.size(), field.size() - 1);
    std::memcpy(field.data(), utf8Key.data(), n);
    return n == utf8Key.size();
}

KeyField MakeKeyField(std::string_view utf8Key) {
    KeyField field{};
    FillKeyField(utf8Key, field);
    return field;
}

int CryptGeneral(const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out, const std::uint8_t* in,
                 std::size_t length, bool encrypt) {
    if (!key || !iv || !out || !in || length == 0 || length % 8 != 0 || length > INT_MAX) return -2;
    return RunCipher(DesEde3Cbc(), key, iv, out, in, length, encrypt) ? 0 : -1;
}

void EncryptEnhanced(const std::uint8_t* plain, std::size_t paddedLength, const std::uint8_t* key,
                     std::uint8_t* envelope) {
    if (!envelope) return;
    std::uint8_t iv[16];
    FillRandomBytes(iv, 15);
    iv[15] = 0;
    envelope[1] = 1;
    std::memcpy(envelope + 20, iv, sizeof iv);
    envelope[2] = 0;
    envelope[3] = 0;
    // The length field is 16 bits; anything that does not fit is refused like a key failure.
    if (!plain || !key || paddedLength == 0 || paddedLength % 16 != 0 || paddedLength > 0xFFFF) return;
    if (!RunCipher(Aes128Cbc(), key, iv, envelope + kEnhancedHeaderSize, plain, paddedLength, true)) {
        std::memset(envelope + kEnhancedHeaderSize, 0, paddedLength);
        return;
    }
    envelope[2] = static_cast<std::uint8_t>(paddedLength >> 8);
    envelope[3] = static_cast<std::uint8_t>(paddedLength);
}

int DecryptEnhanced(const std::uint8_t* cipher, std::size_t length, const std::uint8_t* key, const std::uint8_t* iv,
                    std::uint8_t* plainOut) {
    if (!cipher || !key || !iv || !plainOut || length == 0 || length % 16 != 0 || length > INT_MAX) return -2;
    return RunCipher(Aes128Cbc(), key, iv, plainOut, cipher, length, false) ? 0 : -1;
}

void RandomSource::Fill(std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!NextByte(out[i])) out[i] = 0xFF;
    }
}

RandomSource* SetRandomSource(RandomSource* source) { return g_randomSource.exchange(source); }

void FillRandomBytes(std::uint8_t* out, std::size_t count) {
    RandomSource* source = g_randomSource.load();
    (source ? *source : static_cast<RandomSource&>(g_systemRandom)).Fill(out, count);
}

bool EncodeGatewayText(std::string_view utf8, int encodeType, std::string& out) {
    bool whole;
    std::size_t cut;
    if (encodeType == 0) {
        whole = ToGbkReplacing(utf8, out);
        cut = GbkCutPoint(out, kGatewayTextLimit);
    } else {
        out.assign(utf8);
        whole = true;
        cut = Utf8CutPoint(out, kGatewayTextLimit);
    }
    if (cut < out.size()) {
        out.resize(cut);
        whole = false;
    }
    return whole;
}

bool ParseIpv4(std::string_view dotted, std::uint8_t (&octets)[4]) {
    // No leading zeros: the system's resolver reads them as octal, so they are refused.
    for (std::size_t i = 0; i + 1 < dotted.size(); ++i) {
        if (dotted[i] == '0' && (i == 0 || dotted[i - 1] == '.') && dotted[i + 1] >= '0' && dotted[i + 1] <= '9') {
            return false;
        }
    }
    std::uint32_t hostOrder = 0;
    if (!platform::ParseIpv4Address(dotted, hostOrder)) return false;
    WriteBe32(octets, hostOrder);
    return true;
}

std::size_t BuildUserNotification(std::uint8_t kind, std::uint32_t sequence, std::string_view userAddress,
                                  std::string_view userName, std::string_view adPath, std::string_view org2,
                                  std::string_view org3, int encodeType, std::uint8_t* buffer) {
    buffer[0] = kind;
    buffer[1] = 1;
    buffer[2] = 0;
    buffer[3] = 0;
    WriteBe32(buffer + 4, sequence);
    std::uint8_t octets[4] = {0, 0, 0, 0};
    if (!ParseIpv4(userAddress, octets)) std::memset(octets, 0, sizeof octets);
    std::memcpy(buffer + 8, octets, 4);
    std::string scratch;
    scratch.reserve(kGatewayTextLimit + 1);
    std::size_t offset = PutText(buffer, 12, userName, encodeType, scratch);
    if (kind == kNotifyOnline) {
        for (std::string_view extra : {adPath, org2, org3}) {
            if (!extra.empty()) offset = PutText(buffer, offset, extra, encodeType, scratch);
        }
    }
    return offset;
}

std::size_t BuildHeartbeat(std::string_view versionText, const std::uint8_t* mac, std::uint8_t* buffer) {
    std::memset(buffer, 0, kHeartbeatLength);
    buffer[0] = kHeartbeatType;
    std::string version;
    EncodeGatewayText(versionText, 0, version);
    if (version.size() > kHeartbeatVersionLimit) {
        std::size_t dot = version.rfind('.', kHeartbeatVersionLimit);
        std::size_t cut = (dot != std::string::npos && dot > 0) ? dot : GbkCutPoint(version, kHeartbeatVersionLimit);
        version.resize(cut);
    }
    std::memcpy(buffer + 4, version.data(), version.size());
    if (mac) std::memcpy(buffer + 20, mac, 6);
    return kHeartbeatLength;
}

std::size_t BuildGatewayResponse(std::uint32_t sequence, std::string_view text, std::uint8_t* buffer) {
    WriteBe32(buffer, sequence);
    // Padded to 16 behind the enhanced header it must still stay under 256 bytes.
    std::size_t n = std::min<std::size_t>(text.size(), 203);
    std::memcpy(buffer + 4, text.data(), n);
    buffer[4 + n] = 0;
    return 4 + n + 1;
}

SealResult SealDatagram(int encryptType, const KeyField& key, std::uint8_t* plain, std::size_t length,
                        std::vector<std::uint8_t>& datagram) {
    if (encryptType != kEncryptGeneral && encryptType != kEncryptEnhanced) return SealResult::NoCipher;
    std::size_t padded = RoundUp(length, encryptType == kEncryptGeneral ? 8 : 16);
    if (!plain || length == 0 || padded > kGatewayBufferSize) return SealResult::EncryptFailed;
    std::memset(plain + length, 0, padded - length);
    if (encryptType == kEncryptGeneral) {
        datagram.resize(padded);
        if (CryptGeneral(key.data(), kGeneralIv, datagram.data(), plain, padded, true) != 0) {
            datagram.clear();
            return SealResult::EncryptFailed;
        }
        return SealResult::Sent;
    }
    datagram.resize(kEnhancedHeaderSize + padded);
    std::memset(datagram.data(), 0, kEnhancedHeaderSize);
    EncryptEnhanced(plain, padded, key.data(), datagram.data());
    // A zero length means the cipher did not run: a header without ciphertext must not go out.
    if (datagram[2] == 0 && datagram[3] == 0) {
        datagram.clear();
        return SealResult::EncryptFailed;
    }
    datagram[0] = 1;
    return SealResult::Sent;
}

bool ParseGatewayResponse(const std::uint8_t* data, std::size_t length, int encryptType, const KeyField& key,
                          std::uint32_t& sequence, std::string& text) {
    if (!data || length >= kMaxResponseLength) return false;
    std::uint8_t plain[kMaxResponseLength] = {};
    std::size_t n = OpenDatagram(data, length, encryptType == kEncryptEnhanced ? kEncryptEnhanced : kEncryptGeneral,
                                 key, plain, sizeof plain);
    if (n == 0) return false;
    sequence = ReadBe32(plain);
    text.assign(TextAt(plain, n, 4));
    return true;
}

std::uint32_t GatewayAddressForLog(std::string_view dottedIp) {
    std::uint8_t o[4];
    if (!ParseIpv4(dottedIp, o)) return 0;
    return ReadBe32(o);
}

DecodedGatewayMessage DecodeGatewayDatagram(const std::uint8_t* data, std::size_t length, int encryptType,
                                            int encodeType, const KeyField& key) {
    DecodedGatewayMessage m;
    if (!data || (encryptType != kEncryptGeneral && encryptType != kEncryptEnhanced)) return m;
    std::vector<std::uint8_t> plain(std::max<std::size_t>(length, 1));
    std::size_t n = OpenDatagram(data, length, encryptType, key, plain.data(), plain.size());
    if (n == 0) return m;
    const std::uint8_t* p = plain.data();
    if (p[0] == kHeartbeatType) {
        if (n < kHeartbeatLength || p[1] != 0 || p[2] != 0 || p[3] != 0) return m;
        m.version = WireTextToUtf8(TextAt(p, 16, 4), 0);
        std::memcpy(m.mac.data(), p + 20, 6);
        m.type = GatewayMessageType::Heartbeat;
        return m;
    }
    if ((p[0] != kNotifyOnline && p[0] != kNotifyOffline) || p[1] != 1 || p[2] != 0 || p[3] != 0 || n < 13) return m;
    m.sequence = ReadBe32(p + 4);
    std::memcpy(m.address.data(), p + 8, 4);
    std::string_view user = TextAt(p, n, 12);
    m.user = WireTextToUtf8(user, encodeType);
    if (p[0] == kNotifyOnline) {
        std::size_t offset = 12 + user.size() + 1;
        for (std::string* field : {&m.adPath, &m.org2, &m.org3}) {
            std::string_view t = TextAt(p, n, offset);
            if (t.empty()) break;
            *field = WireTextToUtf8(t, encodeType);
            offset += t.size() + 1;
        }
    }
    m.type = p[0] == kNotifyOnline ? GatewayMessageType::Online : GatewayMessageType::Offline;
    return m;
}

}  // namespace orvane
