#pragma once
// The client report: one UDP datagram from the logon reporter to the worker saying that a user
// logged on to or off from a PC, and the worker's acknowledgement. The datagram is the enhanced
// envelope of the gateway messages (byte 0 left 0) around the report text
//   "DEDOVEROZ" kind "|" user "|" domain "|" computer, a zero byte, zero padding to 16,
// encrypted with AES-128-CBC under the client share key. The reporter takes the key's UTF-8
// bytes, the worker its GBK bytes; both keep at most 31 bytes in a 32-byte zero-filled field.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/gateway_message.h"

namespace orvane {

inline constexpr char kReportMagic[] = "DEDOVEROZ";
inline constexpr std::size_t kReportMagicLength = 9;
// The acknowledgement is the magic alone: nine ASCII bytes, no terminating zero.
inline constexpr const char* kReportAck = kReportMagic;
inline constexpr std::size_t kReportAckLength = kReportMagicLength;

// The reporter builds texts of at most 1024 bytes including the terminating zero.
inline constexpr std::size_t kReportTextCapacity = 1024;
// Largest datagram the worker accepts; its receive buffer is one byte longer so that a longer
// datagram shows as such.
inline constexpr std::size_t kMaxReportDatagram = 1059;
inline constexpr std::size_t kReportReceiveBuffer = 1060;
// Largest datagram the reporter can build (36 + 1024).
inline constexpr std::size_t kMaxBuiltReportDatagram = kEnhancedHeaderSize + kReportTextCapacity;
// The worker decrypts into a zeroed buffer of this many bytes.
inline constexpr std::size_t kReportPlainBuffer = 2048;
// Fields are kept in 260-character fields downstream (user names, domains, computer names).
inline constexpr std::size_t kReportFieldLimit = 259;

enum class ReportKind : char { Logon = '0', Logoff = '1' };

// The domain of a distinguished name: the letters A-Z made lower case, then the text from the
// first "dc=" to the end ("CN=Ann Lee,OU=Sales,DC=Corp,DC=Example,DC=Com" gives
// "dc=corp,dc=example,dc=com"). False when there is no "dc=".
bool DomainFromDistinguishedName(std::string_view distinguishedName, std::string& domain);

// Writes the report text and its terminating zero into `buffer` (`capacity` bytes), zero-fills
// the rest of the buffer, and returns the text length including the zero; 0 when it does not
// fit (the text is never cut: a cut report would name another user or computer) or when a field
// holds a "|" or a zero byte, which would shift or end the fields the worker reads.
std::size_t ComposeReportText(ReportKind kind, std::string_view user, std::string_view domain,
                              std::string_view computer, std::uint8_t* buffer, std::size_t capacity);

// Encrypts a composed text into `datagram` (at least 36 + L bytes, L = textLength rounded up to
// 16): the enhanced envelope with byte 0 = 0. `text` must hold L bytes (the composing buffer,
// zero-filled behind the text). Returns 36 + L, or 0 when the cipher did not run.
std::size_t SealClientReport(const std::uint8_t* text, std::size_t textLength, const KeyField& key,
                             std::uint8_t* datagram);

// Compose and seal in one step (the reporter and the report tool). False when the text does not
// fit 1024 bytes or the cipher did not run; `datagram` is then empty.
bool BuildClientReport(ReportKind kind, std::string_view user, std::string_view domain, std::string_view computer,
                       const KeyField& key, std::vector<std::uint8_t>& datagram);

// Shortest datagram a reporter sends: the header and one block.
inline constexpr std::size_t kMinReportDatagram = kEnhancedHeaderSize + 16;

// True when a received datagram has the shape of a report: 52 to 1059 bytes, the body after the
// header a whole number of blocks, and the header's length field (bytes 2-3) naming exactly that
// body. Only such datagrams are acknowledged: anything else (an acknowledgement among them)
// could come from a peer that answers in turn.
bool IsReportShaped(const std::uint8_t* datagram, std::size_t length);

enum class ReportOpenResult {
    Opened,     // `text` holds the report text, exactly as a reporter writes it
    Unknown,    // decrypted, but the text does not begin with the magic (a wrong key gives this)
    Malformed,  // shorter than the header, or its length is not a multiple of 16 or runs past the
                // datagram: nothing was decrypted
    NotAsWritten,  // begins with the magic but is not what a reporter writes: the zero outside the
                   // last block, bytes after it, bad UTF-8, a control character, or not four
                   // non-empty fields (what a changed ciphertext or IV byte gives)
};

// Decrypts a received datagram of `length` bytes with the client key. `plain` is a buffer of
// 2048 bytes (zeroed here); the text is the plain bytes up to the first zero. Opened only for a
// text exactly as ComposeReportText writes it: valid UTF-8 without control characters, "DEDOVEROZ"
// and one kind character, then three non-empty fields separated by "|", its zero in the last
// 16-byte block and only zeros after it. Never reads past `length` bytes of `datagram`.
ReportOpenResult OpenClientReport(const std::uint8_t* datagram, std::size_t length, const KeyField& key,
                                  std::uint8_t* plain, std::string& text);

// The fields of a report text, split at "|" with empty fields skipped. Views into the text.
struct ReportFields {
    std::size_t count = 0;   // non-empty fields found
    char kind = 0;           // last byte of field 1 (0 when there is none)
    std::string_view user;   // field 2, empty when missing
    std::string_view domain; // field 3
    std::string_view computer;  // field 4
};

enum class ReportSplitResult {
    Split,
    TooManyFields,  // more than four fields: refused rather than guessing which field is which
    FieldTooLong,   // a field longer than 259 characters: refused, a cut name would be another name
};

ReportSplitResult SplitReportText(std::string_view text, ReportFields& fields);

// True when a received datagram is an acknowledgement: its first nine bytes are "DEDOVEROZ".
bool IsReportAcknowledgement(const std::uint8_t* data, std::size_t length);

}  // namespace orvane
