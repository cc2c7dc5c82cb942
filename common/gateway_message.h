#pragma once
// The datagrams exchanged with the gateways (user notifications, heartbeats, responses) and
// their two ciphers: general (Triple DES EDE CBC, fixed IV, no envelope) and enhanced
// (AES-128-CBC behind a 36-byte header carrying a fresh IV). The enhanced envelope is also
// the envelope of enhanced client reports, under the client share key.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// A share key as the ciphers take it: UTF-8 bytes from the front, zero-filled. General
// encryption uses bytes 0-23 as three DES keys, enhanced encryption bytes 0-15 as the AES key.
using KeyField = std::array<std::uint8_t, 32>;

constexpr std::size_t kGatewayBufferSize = 2048;   // plaintext buffers, zero-filled by the caller
constexpr std::size_t kEnhancedHeaderSize = 36;
constexpr std::size_t kMaxResponseLength = 256;    // responses of this length or more are never decrypted
constexpr std::size_t kGatewayTextLimit = 259;     // bytes of one converted text, without its zero
constexpr std::size_t kHeartbeatLength = 26;
constexpr std::size_t kHeartbeatVersionLimit = 11;

constexpr int kEncryptGeneral = 0;
constexpr int kEncryptEnhanced = 1;

constexpr std::uint8_t kNotifyOnline = 0;
constexpr std::uint8_t kNotifyOffline = 1;
constexpr std::uint8_t kHeartbeatType = 5;

// Fills the field from a UTF-8 key text, zero-filled. The field keeps a terminating zero, so
// at most 31 bytes are taken; false when the text was longer (the first 31 bytes are kept,
// which holds every byte either cipher uses).
bool FillKeyField(std::string_view utf8Key, KeyField& field);
KeyField MakeKeyField(std::string_view utf8Key);

// The general cipher's initialisation vector: the ASCII bytes of "K7%q!wRt", both directions.
extern const std::uint8_t kGeneralIv[8];

// Triple DES (three keys, EDE) in CBC mode over `length` bytes, no padding. `key` points at a
// key field (24 bytes used). 0 on success, -2 when an argument is missing or the length is 0
// or not a multiple of 8, -1 when the cipher fails.
int CryptGeneral(const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out, const std::uint8_t* in,
                 std::size_t length, bool encrypt);

// Encrypts `paddedLength` bytes (a multiple of 16) under key bytes 0-15 into `envelope`
// (36 + paddedLength bytes): byte 1 := 1, bytes 2-3 := length big-endian, bytes 20-35 := a new
// IV (bytes 0-14 random, byte 15 zero), ciphertext from byte 36. Bytes 0 and 4-19 are left as
// the caller set them (the caller zero-fills them and sets byte 0 to 1). When the cipher
// cannot run (key set-up or a bad length), bytes 2-3 say 0 and no ciphertext is written.
void EncryptEnhanced(const std::uint8_t* plain, std::size_t paddedLength, const std::uint8_t* key,
                     std::uint8_t* envelope);

// AES-128-CBC decryption with key bytes 0-15, no padding. 0 on success, -2 when an argument is
// missing or the length is 0 or not a multiple of 16, -1 when the cipher fails.
int DecryptEnhanced(const std::uint8_t* cipher, std::size_t length, const std::uint8_t* key, const std::uint8_t* iv,
                    std::uint8_t* plainOut);

// Where the enhanced IVs come from: the system's secure generator unless a test installed
// another source.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // One byte; false when the generator could not make it.
    virtual bool NextByte(std::uint8_t& out) = 0;
    // `count` bytes; a byte that cannot be made is 0xFF.
    virtual void Fill(std::uint8_t* out, std::size_t count);
};

// Installs the process's random source (nullptr restores the system generator) and returns
// the previous one (nullptr when it was the system generator). Not for use while threads send.
RandomSource* SetRandomSource(RandomSource* source);
// `count` bytes from the installed source; a byte that cannot be made is 0xFF.
void FillRandomBytes(std::uint8_t* out, std::size_t count);

// Converts a text for the wire: EncodeType 0 gives GBK (the "ANSI code page"), any other value
// UTF-8. At most 259 bytes, cut on a character boundary. A character without a GBK form becomes
// "?". False when the text was cut or a character replaced (`out` holds what is sent anyway).
bool EncodeGatewayText(std::string_view utf8, int encodeType, std::string& out);

// Builds a user notification plaintext in `buffer` (2048 bytes, zero-filled by the caller) and
// returns its length before padding. `kind` 0 = online, 1 = offline. The address text is read
// as strict dotted decimal; one that does not parse is sent as 0.0.0.0. Online notifications
// carry the AD path and the two organisation texts, each only when not empty; offline ones end
// with the user name.
std::size_t BuildUserNotification(std::uint8_t kind, std::uint32_t sequence, std::string_view userAddress,
                                  std::string_view userName, std::string_view adPath, std::string_view org2,
                                  std::string_view org3, int encodeType, std::uint8_t* buffer);

// Builds the 26-byte heartbeat plaintext in `buffer` (zero-filled by the caller, at least 32
// bytes): type 5, the version text (GBK, at most 11 bytes; a longer one keeps its leading whole
// dot-separated parts so no wrong number is ever shown), the MAC (zeros when `mac` is null).
std::size_t BuildHeartbeat(std::string_view versionText, const std::uint8_t* mac, std::uint8_t* buffer);

// Builds a gateway response plaintext (sequence big-endian, the text, a zero byte) in `buffer`
// (zero-filled, at least 256 bytes); the text is cut to 203 bytes so the sealed response stays
// under 256 bytes with either cipher. Returns its length.
std::size_t BuildGatewayResponse(std::uint32_t sequence, std::string_view text, std::uint8_t* buffer);

enum class SealResult { Sent, EncryptFailed, NoCipher };

// Turns a plaintext into the datagram for an EncryptType. `plain` is a 2048-byte buffer; the
// padding bytes after `length` are zeroed here. EncryptType 0: padded to 8, Triple DES, the
// datagram is the ciphertext. 1: padded to 16, the 36-byte header with byte 0 = 1, then the
// ciphertext. Other values: NoCipher. EncryptFailed when the cipher refuses or fails, or when
// the length is 0 or the padded length exceeds the buffer; nothing must then be sent.
// `datagram` is resized (its capacity is reused across calls).
SealResult SealDatagram(int encryptType, const KeyField& key, std::uint8_t* plain, std::size_t length,
                        std::vector<std::uint8_t>& datagram);

// Decrypts a response as the sender does: shorter than 256 bytes; EncryptType 1: header length
// no larger than the datagram length minus 36 and a non-zero multiple of 16, decrypted with the
// IV at offset 20; any other value: general, the whole datagram, a non-zero multiple of 8.
// On success gives the sequence number (bytes 0-3, big-endian) and the text up to its first
// zero byte (bytes beyond the decrypted data count as zero). False: ignore the datagram.
bool ParseGatewayResponse(const std::uint8_t* data, std::size_t length, int encryptType, const KeyField& key,
                          std::uint32_t& sequence, std::string& text);

// The "0x%X" form of a gateway address in log texts: the dotted address as one number in host
// byte order, first octet most significant (192.168.1.1 -> 0xC0A80101); 0 when it does not parse.
std::uint32_t GatewayAddressForLog(std::string_view dottedIp);

// Parses strict dotted-decimal IPv4 into network byte order bytes; false when it does not parse.
bool ParseIpv4(std::string_view dotted, std::uint8_t (&octets)[4]);

// What a gateway makes of a datagram (the gateway emulator and tests).
enum class GatewayMessageType { Online, Offline, Heartbeat, Undecodable };

struct DecodedGatewayMessage {
    GatewayMessageType type = GatewayMessageType::Undecodable;
    std::uint32_t sequence = 0;
    std::array<std::uint8_t, 4> address{};  // as on the wire, first octet first
    std::string user, adPath, org2, org3;   // UTF-8, converted from the EncodeType's encoding
    std::string version;                    // heartbeats
    std::array<std::uint8_t, 6> mac{};      // heartbeats
};

// Decrypts a notification or heartbeat for an EncryptType (0 general, 1 enhanced; other values
// cannot be decoded) and parses it. Undecodable when a length check or the cipher fails, or the
// plaintext is neither a notification nor a heartbeat.
DecodedGatewayMessage DecodeGatewayDatagram(const std::uint8_t* data, std::size_t length, int encryptType,
                                            int encodeType, const KeyField& key);

}  // namespace orvane
