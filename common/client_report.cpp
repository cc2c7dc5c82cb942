#include "common/client_report.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "common/text.h"

namespace orvane {
namespace {

constexpr std::size_t RoundUp16(std::size_t n) { return (n + 15) / 16 * 16; }

// Same rules as the text helpers' decoder: shortest forms only, no surrogates, at most U+10FFFF.
bool IsValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        char32_t v = len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < len; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            v = (v << 6) | (b & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// True for a text as ComposeReportText writes it, the magic already checked: no control
// character (C0, DEL or C1), the kind one byte, exactly three separators, no empty field.
bool IsAsWritten(std::string_view text) {
    if (text.size() < kReportMagicLength + 2 || text[kReportMagicLength] == '|' ||
        text[kReportMagicLength + 1] != '|') {
        return false;
    }
    std::size_t separators = 0;
    char previous = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return false;
        // U+0080-U+009F are C2 80-C2 9F in UTF-8 (the text is valid UTF-8 here).
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) return false;
        if (c == '|') {
            if (previous == '|') return false;
            ++separators;
        }
        previous = static_cast<char>(c);
    }
    return separators == 3 && previous != '|';
}

// The worker's decryption context, one per thread, keyed once per client key: setting the key
// costs more than decrypting a report, and from report to report only the IV changes.
class ReportDecryptor {
public:
    bool Start(const KeyField& key, const std::uint8_t* iv) {
        if (!ctx_ || !Cipher()) return false;
        if (keyed_ && std::memcmp(aesKey_, key.data(), sizeof aesKey_) == 0) {
            return EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, nullptr, iv, 0) == 1;
        }
        keyed_ = EVP_CipherInit_ex(ctx_.get(), Cipher(), nullptr, key.data(), iv, 0) == 1 &&
                 EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) == 1;
        if (keyed_) std::memcpy(aesKey_, key.data(), sizeof aesKey_);
        return keyed_;
    }
    // CBC goes on from the previous call's last block.
    bool Run(const std::uint8_t* in, std::size_t length, std::uint8_t* out) {
        int written = 0;
        return length == 0 || (EVP_CipherUpdate(ctx_.get(), out, &written, in, static_cast<int>(length)) == 1 &&
                               static_cast<std::size_t>(written) == length);
    }
    ~ReportDecryptor() { OPENSSL_cleanse(aesKey_, sizeof aesKey_); }

private:
    static const EVP_CIPHER* Cipher() {
        static const EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
        return c;
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx_{EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free};
    std::uint8_t aesKey_[16] = {};
    bool keyed_ = false;
};
thread_local ReportDecryptor t_decryptor;

}  // namespace

bool IsReportShaped(const std::uint8_t* datagram, std::size_t length) {
    if (!datagram || length < kMinReportDatagram || length > kMaxReportDatagram) return false;
    const std::size_t body = length - kEnhancedHeaderSize;
    return body % 16 == 0 && ((std::size_t{datagram[2]} << 8) | datagram[3]) == body;
}

bool DomainFromDistinguishedName(std::string_view distinguishedName, std::string& domain) {
    std::string lower(distinguishedName);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::size_t at = lower.find("dc=");
    if (at == std::string::npos) return false;
    domain.assign(lower, at, std::string::npos);
    return true;
}

std::size_t ComposeReportText(ReportKind kind, std::string_view user, std::string_view domain,
                              std::string_view computer, std::uint8_t* buffer, std::size_t capacity) {
    if (!buffer || capacity == 0) return 0;
    std::memset(buffer, 0, capacity);
    // A separator or a zero inside a field would move or end the fields the worker reads.
    for (std::string_view field : {user, domain, computer}) {
        if (field.find_first_of(std::string_view("|\0", 2)) != std::string_view::npos) return 0;
    }
    // magic, kind, three separators, the fields, the terminating zero
    std::size_t length = kReportMagicLength + 1 + 3 + user.size() + domain.size() + computer.size() + 1;
    if (length > capacity) return 0;
    std::uint8_t* p = buffer;
    auto put = [&p](std::string_view s) {
        std::memcpy(p, s.data(), s.size());
        p += s.size();
    };
    put({kReportMagic, kReportMagicLength});
    *p++ = static_cast<std::uint8_t>(kind == ReportKind::Logon ? '0' : '1');
    *p++ = '|';
    put(user);
    *p++ = '|';
    put(domain);
    *p++ = '|';
    put(computer);
    return length;
}

std::size_t SealClientReport(const std::uint8_t* text, std::size_t textLength, const KeyField& key,
                             std::uint8_t* datagram) {
    if (!text || !datagram || textLength == 0 || textLength > kReportTextCapacity) return 0;
    std::size_t padded = RoundUp16(textLength);
    std::memset(datagram, 0, kEnhancedHeaderSize);
    EncryptEnhanced(text, padded, key.data(), datagram);
    // Byte 0 stays 0: this is what tells a client report from a gateway message.
    if (datagram[2] == 0 && datagram[3] == 0) return 0;
    return kEnhancedHeaderSize + padded;
}

bool BuildClientReport(ReportKind kind, std::string_view user, std::string_view domain, std::string_view computer,
                       const KeyField& key, std::vector<std::uint8_t>& datagram) {
    std::uint8_t text[kReportTextCapacity];
    datagram.clear();
    std::size_t n = ComposeReportText(kind, user, domain, computer, text, sizeof text);
    if (n == 0) return false;
    datagram.resize(kEnhancedHeaderSize + RoundUp16(n));
    std::size_t sealed = SealClientReport(text, n, key, datagram.data());
    if (sealed == 0) {
        datagram.clear();
        return false;
    }
    return true;
}

ReportOpenResult OpenClientReport(const std::uint8_t* datagram, std::size_t length, const KeyField& key,
                                  std::uint8_t* plain, std::string& text) {
    text.clear();
    std::memset(plain, 0, kReportPlainBuffer);
    if (!datagram || length < kEnhancedHeaderSize) return ReportOpenResult::Malformed;
    std::size_t bodyLength = (std::size_t{datagram[2]} << 8) | datagram[3];
    // The header is only believed as far as the datagram goes.
    if (bodyLength % 16 != 0 || bodyLength > length - kEnhancedHeaderSize || bodyLength > kReportPlainBuffer) {
        return ReportOpenResult::Malformed;
    }
    // The magic lies in the first block: a datagram under another key (or none) is known as
    // unknown after one block. A failed decryption leaves the buffer zeroed, an empty text.
    const std::uint8_t* body = datagram + kEnhancedHeaderSize;
    if (bodyLength == 0 || !t_decryptor.Start(key, datagram + 20) || !t_decryptor.Run(body, 16, plain) ||
        std::memcmp(plain, kReportMagic, kReportMagicLength) != 0) {
        std::memset(plain, 0, 16);
        return ReportOpenResult::Unknown;
    }
    if (!t_decryptor.Run(body + 16, bodyLength - 16, plain + 16)) {
        std::memset(plain, 0, bodyLength);
        return ReportOpenResult::Unknown;
    }
    const auto* begin = reinterpret_cast<const char*>(plain);
    const void* zero = std::memchr(begin, 0, bodyLength);
    const std::size_t textLength =
        zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - begin) : bodyLength;
    std::string_view raw(begin, textLength);
    // A changed ciphertext bit garbles a whole block, a changed IV bit one byte of the first:
    // only a text a reporter could have written is believed.
    if (!zero || textLength + 16 < bodyLength || !IsValidUtf8(raw) || !IsAsWritten(raw)) {
        return ReportOpenResult::NotAsWritten;
    }
    for (std::size_t i = textLength + 1; i < bodyLength; ++i) {
        if (plain[i] != 0) return ReportOpenResult::NotAsWritten;
    }
    text.assign(raw);
    return ReportOpenResult::Opened;
}

ReportSplitResult SplitReportText(std::string_view text, ReportFields& fields) {
    fields = ReportFields{};
    std::string_view found[4];
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t bar = text.find('|', pos);
        std::size_t end = bar == std::string_view::npos ? text.size() : bar;
        if (end > pos) {
            std::string_view field = text.substr(pos, end - pos);
            if (fields.count == 4) return ReportSplitResult::TooManyFields;
            if (!FitsCapacity(field, kReportFieldLimit + 1)) return ReportSplitResult::FieldTooLong;
            found[fields.count++] = field;
        }
        if (bar == std::string_view::npos) break;
        pos = bar + 1;
    }
    // The kind is the last character of field 1. Comparing its last byte is the same for the
    // kinds that mean something: the last byte of a longer UTF-8 character is never a digit.
    if (fields.count > 0) fields.kind = found[0].back();
    fields.user = found[1];
    fields.domain = found[2];
    fields.computer = found[3];
    return ReportSplitResult::Split;
}

bool IsReportAcknowledgement(const std::uint8_t* data, std::size_t length) {
    return data && length >= kReportAckLength && std::memcmp(data, kReportAck, kReportAckLength) == 0;
}

}  // namespace orvane
