// The console of the Linux build: GBK text converted for a UTF-8 terminal. Plain literals are GBK
// bytes (the build's execution character set); u8 literals give the UTF-8 a terminal must receive.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console_encoding.h"
#include "platform.h"
#include "textconv.h"

namespace {

std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

TEST(ConsoleEncoding, ConvertsGbkWritesToUtf8CarryingSplitCharacters) {
    code_tables_init();
    const struct {
        std::vector<std::string> writes;
        std::string shown;
    } cases[] = {
        {{"你好, world\r\n"}, utf8(u8"你好, world\r\n")},
        {{"\xC4", "\xE3\xBA\xC3"}, utf8(u8"你好")},
        {{"\xB4", "\xAE", "\xBF", "\xDA"}, utf8(u8"串口")},
        {{"\xC4", "\xC4\xE3"}, utf8(u8"哪")},  // a lead byte is also a trail byte
        {{"a\xC4"}, "a"},                      // a lead at the end waits for the next write
        {{"\x1b]0;t\x07\t\x01"}, "\x1b]0;t\x07\t\x01"},
        {{"\xA1\x40!"}, utf8(u8"\uFFFD!")},   // a pair with no character
        {{"\x81\n"}, utf8(u8"\uFFFD\n")},     // a lead before a byte that cannot trail
        {{"\x80\xFF!"}, utf8(u8"€\uFFFD!")},  // code page 936's euro sign; 0xFF has none
    };
    for (const auto& c : cases) {
        gbk_stream stream;
        std::string shown;
        for (const std::string& piece : c.writes) {
            std::vector<unsigned char> out(gbk_stream_max_output(piece.size()));
            std::size_t length =
                gbk_stream_to_utf8(&stream, reinterpret_cast<const unsigned char*>(piece.data()),
                                   piece.size(), out.data());
            ASSERT_LE(length, out.size());
            shown.append(reinterpret_cast<char*>(out.data()), length);
        }
        EXPECT_EQ(shown, c.shown) << "case " << (&c - cases);
    }
}

}  // namespace
