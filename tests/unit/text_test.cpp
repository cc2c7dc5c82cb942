#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace orvane {
namespace {

TEST(Text, CapacityCountsUtf16UnitsAndNeverSplitsACharacter) {
    EXPECT_EQ(Utf16Length("abc"), 3u);
    EXPECT_EQ(Utf16Length("\xE4\xB8\xAD"), 1u);          // one BMP character, three bytes
    EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);      // outside the BMP: a surrogate pair
    EXPECT_TRUE(FitsCapacity("abc", 4));
    EXPECT_FALSE(FitsCapacity("abcd", 4));
    EXPECT_EQ(CutToCapacity("abcdef", 4), "abc");
    // A pair that would straddle the limit is left out whole.
    EXPECT_EQ(CutToCapacity("ab\xF0\x9F\x98\x80", 4), "ab");
    EXPECT_EQ(CutToCapacity("ab\xF0\x9F\x98\x80", 5), "ab\xF0\x9F\x98\x80");
    EXPECT_EQ(CutToCapacity("x", 0), "");
}

TEST(Text, Utf16RoundTripAndLittleEndianBytes) {
    std::string s = "a\xC3\xA9\xF0\x9F\x98\x80";
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
    std::string le = Utf8ToUtf16LeBytes("A\xC3\xA9");
    ASSERT_EQ(le.size(), 4u);
    EXPECT_EQ(le, std::string("A\0\xE9\0", 4));
    EXPECT_EQ(Utf16LeBytesToUtf8(le + std::string("\0\0zz", 4)), "A\xC3\xA9");
    // Appending keeps what is there, on the ASCII path and on the general one alike.
    std::string out("\xFF\xFE", 2);
    AppendUtf8AsUtf16LeBytes("Hi\r\n", out);
    AppendUtf8AsUtf16LeBytes("\xE4\xB8\xAD!", out);
    EXPECT_EQ(out, std::string("\xFF\xFEH\0i\0\r\0\n\0\x2D\x4E!\0", 14));
}

TEST(Text, GbkConversion) {
    std::string gbk;
    ASSERT_TRUE(Utf8ToAnsi("\xE4\xB8\xAD", gbk));  // U+4E2D
    EXPECT_EQ(gbk, "\xD6\xD0");
    std::string back;
    ASSERT_TRUE(AnsiToUtf8(gbk, back));
    EXPECT_EQ(back, "\xE4\xB8\xAD");
    EXPECT_FALSE(Utf8ToAnsi("\xF0\x9F\x98\x80", gbk));  // no GBK form
}

TEST(Text, SameBytesFindsADifferenceAtEveryPositionOfEveryLength) {
    // Lengths around the eight-byte steps, a difference at each position, and the bytes past
    // `n` never looked at.
    for (std::size_t n = 0; n <= 20; ++n) {
        const std::string a(n, 'x');
        std::string b = a + "yz";
        EXPECT_TRUE(SameBytes(a.data(), b.data(), n)) << n;
        for (std::size_t at = 0; at < n; ++at) {
            b[at] = 'w';
            EXPECT_FALSE(SameBytes(a.data(), b.data(), n)) << n << " " << at;
            b[at] = 'x';
        }
    }
}

TEST(Text, EqualsNoCaseFoldsAsciiLettersOnly) {
    EXPECT_TRUE(EqualsNoCase("lastLogon", "LASTLOGON"));
    EXPECT_TRUE(EqualsNoCase("", ""));
    EXPECT_FALSE(EqualsNoCase("DC", "DCX"));
    EXPECT_FALSE(EqualsNoCase("[", "{"));  // 0x5B and 0x7B differ by the case bit but are not letters
    EXPECT_FALSE(EqualsNoCase("\xC9", "\xE9"));  // Latin-1 E-acute cases: no locale decides here
    EXPECT_TRUE(EqualsNoCase("\xE4\xB8\xAD" "a", "\xE4\xB8\xAD" "A"));
}

}  // namespace
}  // namespace orvane
