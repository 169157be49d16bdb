// The receive decoder: received bytes cut into UTF-8 characters and shown as GBK on standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link.h"
#include "textconv.h"

namespace {

// Feeds each chunk as one read and returns what the decoder showed.
std::string shown_for(const std::vector<std::string>& reads, receive_decoder& decoder) {
    testing::internal::CaptureStdout();
    for (const std::string& chunk : reads) {
        receive_decoder_feed(decoder, reinterpret_cast<const unsigned char*>(chunk.data()),
                             chunk.size());
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ReceiveDecoder, ShowsWholeCharactersAsGbk) {
    code_tables_init();
    const struct {
        const char* name;
        std::vector<std::string> reads;
        std::string shown;
    } cases[] = {
        {"ASCII at once", {"A"}, "A"},
        {"character split over reads", {"\xE4", "\xBD\xA0"}, "\xC4\xE3"},
        {"one byte at a time", {"\xE4", "\xB8", "\xAD", "b"}, "\xD6\xD0" "b"},
        {"lone continuation byte shows nothing", {"\xBF", "A"}, "A"},
        {"4-byte character shows nothing", {"\xF0\x9F\x98\x80", "A"}, "A"},
        {"letter swallowed as continuation", {"\xE4\x41", "\x42", "C"}, "C"},
        {"ASCII after a 3-byte lead still decoded", {"\xE4\x78\x40"}, "\xD2\xBB"},
        {"overlong lead skipped, rest converted", {"\xC0\x41"}, "A"},
        {"5-byte lead group", {"\xF8\x80\x80\x80\x41"}, "A"},
        {"6-byte lead group", {"\xFC\x80\x80\x80\xC3\xA9"}, "\xA8\xA6"},
        {"0xFE and 0xFF are one-byte characters", {"\xFE\xFF" "A"}, "A"},
        {"NUL shows nothing", {std::string(1, '\0') + "A"}, "A"},
        {"no GBK code vanishes", {"\xE2\x82\xAC" "A"}, "A"},
    };
    for (const auto& c : cases) {
        receive_decoder decoder;
        EXPECT_EQ(shown_for(c.reads, decoder), c.shown) << c.name;
        EXPECT_EQ(decoder.pending, 0) << c.name;
    }
}

TEST(ReceiveDecoder, KeepsAPartialCharacterBetweenCalls) {
    code_tables_init();
    receive_decoder decoder;
    EXPECT_EQ(shown_for({"\xE4\xBD"}, decoder), "");
    EXPECT_EQ(decoder.pending, 1);
    EXPECT_EQ(shown_for({"\xA0"}, decoder), "\xC4\xE3");
}

}  // namespace
