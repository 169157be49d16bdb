// The pure pieces of the view the scenarios cannot reach: the single-byte GBK characters above
// ASCII, and the stamp's fields padded.
#include <gtest/gtest.h>

#include <string>

#include "view.h"

namespace {

TEST(View, GbkSingleBytesAboveAscii) {
    // 0x80 and 0xFF are characters of their own, never a lead byte held for the next pass.
    unsigned char lead = 0;
    const unsigned char bytes[] = {0x80, 0xFF};
    unsigned char out[sizeof bytes + 1];
    const std::size_t length = gbk_whole_characters(lead, bytes, sizeof bytes, out);
    EXPECT_EQ("\x80\xff", std::string(reinterpret_cast<char*>(out), length));
}

TEST(View, StampFieldsPadded) {
    char out[stamp_size + 1];
    format_stamp(3, 5, 9, 7, out);
    EXPECT_STREQ("[03:05:09.007] ", out);
}

}  // namespace
