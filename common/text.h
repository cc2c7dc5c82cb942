#pragma once
// Text is UTF-8 inside the programs. Documented field capacities count UTF-16 code units
// including the terminating zero; these helpers check and cut to them, and convert at the edges.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace orvane {

// UTF-16 code units the UTF-8 text would occupy (invalid bytes count one unit each).
std::size_t Utf16Length(std::string_view utf8);

// True when the text plus its terminating zero fits a field of `capacity` units.
inline bool FitsCapacity(std::string_view utf8, std::size_t capacity) {
    return capacity > 0 && Utf16Length(utf8) < capacity;
}

// The longest prefix that fits a field of `capacity` units, never splitting a character.
std::string CutToCapacity(std::string_view utf8, std::size_t capacity);

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// UTF-16LE bytes without terminator (log files, protected clear text).
std::string Utf8ToUtf16LeBytes(std::string_view utf8);
// The same, appended to `out`; ASCII text is widened without an intermediate copy.
void AppendUtf8AsUtf16LeBytes(std::string_view utf8, std::string& out);
// Decodes UTF-16LE bytes (an odd trailing byte is ignored) and stops at a zero unit.
std::string Utf16LeBytesToUtf8(std::string_view bytes);
// A UTF-16LE text file as UTF-8 that Utf8ToUtf16LeFileBytes turns back into the same bytes:
// zero units stay zero bytes, an unpaired surrogate keeps its own three-byte form (never valid
// UTF-8, so no text a program writes holds one), and an odd last byte is left in `odd`.
std::string Utf16LeFileBytesToUtf8(std::string_view bytes, std::string& odd);
std::string Utf8ToUtf16LeFileBytes(std::string_view utf8);

// The system ANSI code page of the Windows design: GBK here. False when a character has no
// GBK form (the output then holds what converted before it).
bool Utf8ToAnsi(std::string_view utf8, std::string& out);
bool AnsiToUtf8(std::string_view ansi, std::string& out);

// Equality of `n` bytes, inline and eight at a time: for short names compared in hot loops,
// where a call into the C library costs more than the compare itself.
inline bool SameBytes(const char* a, const char* b, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// ASCII case-insensitive equality (section and key names, user names).
bool EqualsNoCase(std::string_view a, std::string_view b);

std::string TrimSpaces(std::string_view s);

// Appends `s` with ASCII letters lowercased (keys of names compared ignoring case).
void AppendLowerAscii(std::string& out, std::string_view s);
std::string LowerAscii(std::string_view s);

// printf into a std::string of any length (the log's lines, the status texts).
std::string FormatTextV(const char* format, va_list args);
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orvane
