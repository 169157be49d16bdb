// The pure pieces of the view the scenarios cannot reach: the stamp's fields padded, stamps before
// empty lines and the line state of unstamped text. (GBK bytes shown as they come are the receive
// decoder fuzz target's.)
#include <gtest/gtest.h>

#include <string>

#include "view.h"

namespace {

TEST(View, StampFieldsPadded) {
    char out[stamp_size + 1];
    format_stamp(3, 5, 9, 7, out);
    EXPECT_STREQ("[03:05:09.007] ", out);
}

TEST(View, StampLines) {
    // (at line start before, bytes, stamped, output with "S" for the stamp, at line start after)
    struct row {
        bool start;
        const char* bytes;
        bool stamped;
        const char* out;
        bool end;
    };
    const row rows[] = {
        {false, "a\n\n\nb", true, "a\nS\nS\nSb", false},  // an empty line is a line too
        {false, "ab\n", false, "ab\n", true},             // unstamped, the line state still moves
    };
    const char stamp[stamp_size + 1] = "S______________";
    for (std::size_t index = 0; index < std::size(rows); ++index) {
        const row& r = rows[index];
        SCOPED_TRACE(testing::Message() << "row " << index);
        bool at_line_start = r.start;
        const std::string bytes = r.bytes;
        unsigned char out[64];
        const std::size_t length =
            stamp_lines(at_line_start, reinterpret_cast<const unsigned char*>(bytes.data()),
                        bytes.size(), r.stamped ? stamp : nullptr, out);
        std::string expected;
        for (const char c : std::string(r.out)) {
            expected += c == 'S' ? std::string(stamp) : std::string(1, c);
        }
        EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(out), length));
        EXPECT_EQ(r.end, at_line_start);
    }
}

}  // namespace
