// What only these tests pin of the conversions and normalisers: the end-to-end receive rows pin
// utf8_to_gbk on whole characters, the fuzz targets the room each conversion takes and how the two
// agree. Byte sequences are escapes (letters after an escape too): string literals in this build
// are compiled to GBK.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "textconv.h"

using namespace std::string_view_literals;

using Converter = int (*)(const unsigned char*, std::size_t, unsigned char*, std::size_t*);
static auto* bytes(const char* text) {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(text));
}

static std::string convert(Converter converter, std::string_view in) {
    std::string out(in.size() * 2 + 1, '\0');
    std::size_t length = 0;
    EXPECT_EQ(converter(bytes(in.data()), in.size(), bytes(out.data()), &length), 0);
    return out.substr(0, length);
}

// The text normalised in place, up to its terminating NUL: the last NUL before the bytes of the
// input that the shorter output left behind (which hold none).
static std::string normalized(void (*normalizer)(unsigned char*, unsigned), unsigned flags,
                              std::string_view in) {
    std::string text(in);
    normalizer(bytes(text.data()), flags);
    return text.substr(0, text.find_last_of('\0'));
}

TEST(Textconv, EdgeCases) {
    const unsigned all = CONV_LOWER | CONV_UPPER | CONV_HALFWIDTH | CONV_SIMPLIFIED;
    const std::pair<std::string, std::string_view> rows[] = {
        // ASCII after a 2-byte lead is its continuation, a 4-byte lead takes four bytes, a NUL
        // passes, and an incomplete character at the end stops the conversion.
        {convert(utf8_to_gbk, "\xC2\x41\xF0\x41\x42\x43\x44\0b\xE4\xBD"sv), "D\0b"sv},
        // Were D1 read with the NUL after it, U+0440 would show.
        {convert(utf8_to_gbk, "A\xD1"sv), "A"sv},
        // A private-use code, trails 80 and 40, an unmapped pair, any byte after a lead is its
        // trail (41 and NUL), a last lead is dropped.
        {convert(gbk_to_utf8, "\xFE\x7F\x81\x80\x81\x40\x80\x41\xC4\x41\xC4\0b\xC4"sv),
         "\xEE\xA1\x84\xE4\xBA\x90\xE4\xB8\x82\xE8\x85\x81\x62"sv},
        // Lower wins over upper; U+FF21 U+FF22 U+FF01 U+FF5F fold (folded letters are cased),
        // U+FF60 stays; U+3001 becomes a space, U+3000 stays; U+4E82 to U+4E71, but never in the
        // GB2312 area (U+5F8C); 2- and 4-byte characters pass; overlong 3-byte forms are decoded
        // (E0 81 81 is 'A', E0 80 80 a NUL); a lead without its continuations stays.
        {normalized(utf8_normalize, all,
                    "AbC-z\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\x81\xEF\xBD\x9F\xEF\xBD\xA0\xE3\x80\x81"
                    "\xE3\x80\x80\xE4\xBA\x82\xE5\xBE\x8C\xC3\x89\xF0\x9F\x98\x80\xE0\x81\x81x"
                    "\xE0\x80\x80Y\xE4\x41\x42\x80\x43\xE4\xBD"),
         "abc-zab!\x7F\xEF\xBD\xA0 \xE3\x80\x80\xE4\xB9\xB1\xE5\xBE\x8C\xC3\x89\xF0\x9F\x98\x80"
         "ax\0y\xE4\x61\x62\x80\x63\xE4\xBD"sv},
        {normalized(utf8_normalize, CONV_UPPER | CONV_SIMPLIFIED, "aB\xEF\xBC\xA1"),
         "AB\xEF\xBC\xA1"},
        // Folded by bytes: A1 A1 to a space, A3 C1 to 'a', A3 A4 to '$', A3 FE to '~'; row A1's
        // full-width forms stay; 81 79 to C2 D2 but E1 E1 (GB2312 area) stays; 41 as a trail is
        // not cased; a lone lead at the end stays.
        {normalized(gbk_normalize, all,
                    "aB\xA1\xA1\xA3\xC1\xA3\xA4\xA3\xFE\xA1\xE7\xA1\xAB\x81\x79\xE1\xE1\xC4\x41"
                    "\xA3\xA3\xC1"),
         "ab a$~\xA1\xE7\xA1\xAB\xC2\xD2\xE1\xE1\xC4\x41#\xC1"},
    };
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        EXPECT_EQ(rows[row].first, rows[row].second) << row;
    }
}

// Every two-byte code, mapped or not: the 21,874 mapped ones come out, and go there and back.
TEST(Textconv, EveryGbkCodeComesBack) {
    std::string gbk;
    for (unsigned code = 0x8000; code <= 0xFFFF; ++code) {
        gbk += {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    }
    const std::string utf8 = convert(gbk_to_utf8, gbk);
    EXPECT_EQ(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }),
              21874);
    EXPECT_EQ(convert(gbk_to_utf8, convert(utf8_to_gbk, utf8)), utf8);
}
