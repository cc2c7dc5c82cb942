#include "common/text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>

namespace orvane {
namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length and the code point (U+FFFD when
// the bytes are not valid, consuming one byte).
std::size_t DecodeOne(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        cp = 0xFFFD;
        return 1;
    }
    char32_t v = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        cp = 0xFFFD;
        return 1;
    }
    cp = v;
    return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool Iconv(const char* to, const char* from, std::string_view in, std::string& out) {
    out.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string buf(in.size() * 4 + 16, '\0');
    char* inp = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outp = buf.data();
    std::size_t outLeft = buf.size();
    std::size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    iconv_close(cd);
    out.assign(buf.data(), buf.size() - outLeft);
    return r != static_cast<std::size_t>(-1) && inLeft == 0;
}

}  // namespace

std::size_t Utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp;
        i += DecodeOne(utf8, i, cp);
        units += cp >= 0x10000 ? 2 : 1;
    }
    return units;
}

std::string CutToCapacity(std::string_view utf8, std::size_t capacity) {
    if (capacity == 0) return {};
    std::size_t units = 0, i = 0;
    while (i < utf8.size()) {
        char32_t cp;
        std::size_t len = DecodeOne(utf8, i, cp);
        std::size_t u = cp >= 0x10000 ? 2 : 1;
        if (units + u > capacity - 1) break;
        units += u;
        i += len;
    }
    return std::string(utf8.substr(0, i));
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp;
        i += DecodeOne(utf8, i, cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string Utf8ToUtf16LeBytes(std::string_view utf8) {
    std::string out;
    AppendUtf8AsUtf16LeBytes(utf8, out);
    return out;
}

void AppendUtf8AsUtf16LeBytes(std::string_view utf8, std::string& out) {
    const bool ascii =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::size_t at = out.size();
    if (ascii) {
        out.resize(at + utf8.size() * 2);
        char* p = out.data() + at;
        for (char c : utf8) {
            *p++ = c;
            *p++ = '\0';
        }
        return;
    }
    std::u16string u = Utf8ToUtf16(utf8);
    out.resize(at + u.size() * 2);
    for (std::size_t i = 0; i < u.size(); ++i) {
        out[at + 2 * i] = static_cast<char>(u[i] & 0xFF);
        out[at + 2 * i + 1] = static_cast<char>(u[i] >> 8);
    }
}

std::string Utf16LeBytesToUtf8(std::string_view bytes) {
    std::u16string u;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8));
        if (c == 0) break;
        u += c;
    }
    return Utf16ToUtf8(u);
}

std::string Utf16LeFileBytesToUtf8(std::string_view bytes, std::string& odd) {
    odd.assign(bytes.substr(bytes.size() - bytes.size() % 2));
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unit = [&bytes](std::size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    };
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);  // a lone surrogate gets its generic three-byte form
    }
    return out;
}

std::string Utf8ToUtf16LeFileBytes(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto byte = [&utf8](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
    std::size_t start = 0;
    for (std::size_t i = 0; i + 2 < utf8.size();) {
        // ED A0..BF 80..BF: a surrogate kept by Utf16LeFileBytesToUtf8.
        if (byte(i) == 0xED && (byte(i + 1) & 0xE0) == 0xA0 && (byte(i + 2) & 0xC0) == 0x80) {
            AppendUtf8AsUtf16LeBytes(utf8.substr(start, i - start), out);
            const unsigned u = 0xD000u | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    AppendUtf8AsUtf16LeBytes(utf8.substr(start), out);
    return out;
}

bool Utf8ToAnsi(std::string_view utf8, std::string& out) { return Iconv("GBK", "UTF-8", utf8, out); }

bool AnsiToUtf8(std::string_view ansi, std::string& out) { return Iconv("UTF-8", "GBK", ansi, out); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        // ASCII only, whatever the locale: bytes of multibyte characters compare exactly.
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string TrimSpaces(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

void AppendLowerAscii(std::string& out, std::string_view s) {
    for (char c : s) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
}

std::string LowerAscii(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    AppendLowerAscii(out, s);
    return out;
}

std::string FormatTextV(const char* format, va_list args) {
    char stackBuf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof stackBuf) return std::string(stackBuf, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatTextV(format, args);
    va_end(args);
    return out;
}

}  // namespace orvane
