// What only these tests pin of the conversions: the end-to-end receive rows pin utf8_to_gbk on
// whole characters and through the receive path's reads. Byte sequences are escapes (letters after
// an escape too): string literals in this build are compiled to GBK.
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

TEST(Textconv, EdgeCases) {
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
