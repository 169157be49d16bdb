// Conversions between UTF-8 and GBK and the in-place normalisers. Byte sequences are escapes
// (letters after an escape too): string literals in this build are compiled to GBK.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "textconv.h"

using namespace std::string_view_literals;

namespace {

using Converter = int (*)(const unsigned char*, std::size_t, unsigned char*, std::size_t*);
const std::string kGuard(8, '\xA5');

// Converts into exactly the room the converter promises (utf8_to_gbk len + 1, gbk_to_utf8 one and
// a half times len rounded up, plus one) followed by guard bytes; checks result, NUL and guard.
std::string convert(Converter converter, std::string_view in) {
    code_tables_init();
    const std::size_t room = converter == utf8_to_gbk ? in.size() + 1 : (in.size() * 3 + 1) / 2 + 1;
    std::string out = std::string(room, '\x5A') + kGuard;
    std::size_t out_len = 0;
    EXPECT_EQ(converter(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                        reinterpret_cast<unsigned char*>(out.data()), &out_len),
              0);
    EXPECT_TRUE(out_len < room && out[out_len] == '\0') << out_len;
    EXPECT_EQ(out.substr(room), kGuard) << "written past the room";
    return out.substr(0, out_len);
}

// Normalises a NUL-terminated copy followed by guard bytes; returns it with its first NUL.
std::string normalized(void (*normalizer)(unsigned char*, unsigned), std::string_view in,
                       unsigned flags) {
    code_tables_init();
    std::string text = std::string(in) + '\0' + kGuard;
    normalizer(reinterpret_cast<unsigned char*>(text.data()), flags);
    EXPECT_EQ(text.substr(in.size() + 1), kGuard) << "written past the terminator";
    return text.substr(0, in.size() + 1);
}

TEST(Convert, ExamplesAndEdgeCases) {
    const struct {
        Converter converter;
        std::string_view in, out;
    } rows[] = {
        {utf8_to_gbk, "a\xE4\xBD\xA0\x62\xC2\xB7\r\n\xEE\xA1\x84"sv,
         "a\xC4\xE3\x62\xA1\xA4\r\n\xFE\x7F"sv},
        {utf8_to_gbk, "a\0b"sv, "a\0b"sv},
        // No GBK code, and 4-byte characters, vanish.
        {utf8_to_gbk, "\xE2\x82\xAC\xF0\x9F\x98\x80!"sv, "!"sv},
        // An incomplete character at the end stops the conversion.
        {utf8_to_gbk, "A\xE4\xBD"sv, "A"sv},
        {utf8_to_gbk, "A\xDF"sv, "A"sv},
        {utf8_to_gbk, "\xE4\x41"sv, ""sv},
        // Overlong leads and stray continuations are skipped.
        {utf8_to_gbk, "\xC0\x80\x80\xBF\x41\xC1"sv, "A"sv},
        // A 4-byte lead skips four bytes, or stops near the end.
        {utf8_to_gbk, "\xF0\x41\x42\x43\x44"sv, "D"sv},
        {utf8_to_gbk, "A\xF0\x42"sv, "A"sv},
        // ASCII after a lead is taken as its continuation: E4 78 40 is U+4E00.
        {utf8_to_gbk, "\xE4\x78\x40"sv, "\xD2\xBB"sv},
        {utf8_to_gbk, "\xC2\x41\xE4\xBD\xA0"sv, "\xC4\xE3"sv},
        {gbk_to_utf8, "x\xC4\xE3y\xA1\xA4\xFE\x7F\r\n"sv,
         "x\xE4\xBD\xA0y\xC2\xB7\xEE\xA1\x84\r\n"sv},
        {gbk_to_utf8, "\x81\x80\x81\x40"sv, "\xE4\xBA\x90\xE4\xB8\x82"sv},  // trails 80 and 40
        // Unmapped pairs give nothing; any byte after a lead is its trail; a last lead is dropped.
        {gbk_to_utf8, "\x80\x41"sv, ""sv},
        {gbk_to_utf8, "\xC4\x41\x62"sv, "\xE8\x85\x81\x62"sv},
        {gbk_to_utf8, "\xC4\0b"sv, "b"sv},
        {gbk_to_utf8, "ab\xC4"sv, "ab"sv},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(convert(row.converter, row.in), row.out) << &row - rows;
    }
    for (Converter converter : {utf8_to_gbk, gbk_to_utf8}) {
        unsigned char src[1] = {'A'}, dst[2] = {0xA5, 0xA5};
        std::size_t out_len = 77;
        EXPECT_EQ(converter(src, 0, dst, &out_len), -1);
        EXPECT_EQ(converter(nullptr, 1, dst, &out_len), -1);
        EXPECT_EQ(converter(src, 1, nullptr, &out_len), -1);
        EXPECT_EQ(out_len + dst[0] + dst[1], 77u + 0xA5 + 0xA5) << "nothing written";
    }
}

TEST(Normalize, Examples) {
    const unsigned all = CONV_LOWER | CONV_UPPER | CONV_HALFWIDTH | CONV_SIMPLIFIED;
    const struct {
        void (*normalizer)(unsigned char*, unsigned);
        std::string_view in;
        unsigned flags;
        std::string_view out;
    } rows[] = {
        {utf8_normalize, "\xEF\xBC\xA1\xEF\xBC\xA2"sv, CONV_HALFWIDTH | CONV_LOWER, "ab"sv},
        {utf8_normalize, "\xEF\xBC\x81\xEF\xBD\x9F\xEF\xBD\xA0"sv, CONV_HALFWIDTH,
         "!\x7F\xEF\xBD\xA0"sv},
        {utf8_normalize, "\xEF\xBC\xA1"sv, all & ~CONV_HALFWIDTH, "\xEF\xBC\xA1"sv},
        // U+3001 becomes a space, U+3000 stays.
        {utf8_normalize, "\xE3\x80\x81\xE3\x80\x80"sv, CONV_HALFWIDTH, " \xE3\x80\x80"sv},
        // U+4E82 to U+4E71, but not without the flag, and never in the GB2312 area (U+5F8C).
        {utf8_normalize, "\xE4\xBA\x82\xE5\xBE\x8C"sv, CONV_SIMPLIFIED,
         "\xE4\xB9\xB1\xE5\xBE\x8C"sv},
        {utf8_normalize, "\xE4\xBA\x82"sv, all & ~CONV_SIMPLIFIED, "\xE4\xBA\x82"sv},
        {utf8_normalize, "AbC-z"sv, CONV_LOWER | CONV_UPPER, "abc-z"sv},
        {utf8_normalize, "AbC-z"sv, CONV_UPPER, "ABC-Z"sv},
        {utf8_normalize, "\xC3\x89\xF0\x9F\x98\x80"sv, all, "\xC3\x89\xF0\x9F\x98\x80"sv},
        // Overlong 3-byte forms are decoded: E0 81 81 is 'A', E0 80 80 writes a NUL.
        {utf8_normalize, "\xE0\x81\x81"sv, CONV_LOWER, "a"sv},
        {utf8_normalize, "x\xE0\x80\x80Y"sv, CONV_LOWER, "x\0y"sv},
        {utf8_normalize, "A\xE4\xBD"sv, all, "a\xE4\xBD"sv},
        {utf8_normalize, "\xE4\x41\x42\x80\x43\xC3"sv, CONV_LOWER, "\xE4\x61\x62\x80\x63\xC3"sv},
        {gbk_normalize, "\xA1\xA1\xA3\xC1"sv, CONV_HALFWIDTH | CONV_LOWER, " a"sv},
        {gbk_normalize, "\xA3\xC1"sv, CONV_LOWER | CONV_SIMPLIFIED, "\xA3\xC1"sv},
        // Folded by bytes: A3 A4 to '$', A3 FE to '~'; row A1's full-width forms stay.
        {gbk_normalize, "\xA3\xA4\xA3\xFE\xA1\xE7\xA1\xAB"sv, CONV_HALFWIDTH,
         "$~\xA1\xE7\xA1\xAB"sv},
        {gbk_normalize, "\xA3\xA3\xC1"sv, CONV_HALFWIDTH, "#\xC1"sv},
        {gbk_normalize, "\xA1\xA1\xA1"sv, CONV_HALFWIDTH, " \xA1"sv},
        {gbk_normalize, "\x81\x79\xE1\xE1"sv, CONV_SIMPLIFIED, "\xC2\xD2\xE1\xE1"sv},
        {gbk_normalize, "\x81\x79"sv, all & ~CONV_SIMPLIFIED, "\x81\x79"sv},
        {gbk_normalize, "aB\xC4\x41\xC4"sv, CONV_LOWER | CONV_UPPER, "ab\xC4\x41\xC4"sv},
    };
    for (const auto& row : rows) {
        const std::string out = normalized(row.normalizer, row.in, row.flags);
        EXPECT_EQ(out.substr(0, row.out.size() + 1), std::string(row.out) + '\0') << &row - rows;
    }
}

// Every two-byte code, mapped or not: the 21,874 mapped ones come out, and go there and back.
TEST(Convert, EveryGbkCodeComesBack) {
    std::string gbk;
    for (unsigned code = 0x8000; code <= 0xFFFF; ++code) {
        gbk += {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    }
    const std::string utf8 = convert(gbk_to_utf8, gbk);
    EXPECT_EQ(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }),
              21874);
    EXPECT_EQ(convert(gbk_to_utf8, convert(utf8_to_gbk, utf8)), utf8);
}

}  // namespace
