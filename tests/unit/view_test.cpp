// The pure pieces of the view the scenarios cannot reach: a GBK character whose halves come in two
// read passes is shown whole, and the stamp's fields are padded.
#include <gtest/gtest.h>

#include <string>

#include "view.h"

namespace {

// (id, two pieces handed in one after the other, what each call gives)
struct gbk_row {
    const char* id;
    std::string pieces[2];
    std::string shown[2];
};

TEST(View, GbkCharactersWhole) {
    const gbk_row rows[] = {
        {"lead-kept-for-the-next-pass", {"a\xc4", "\xe3z"}, {"a", "\xc4\xe3z"}},
        {"single-bytes-above-ascii", {"\x80", "\xff"}, {"\x80", "\xff"}},
    };
    unsigned char lead = 0;
    for (const gbk_row& row : rows) {
        for (int call = 0; call < 2; ++call) {
            unsigned char out[8];
            const std::string& piece = row.pieces[call];
            const std::size_t length = gbk_whole_characters(
                lead, reinterpret_cast<const unsigned char*>(piece.data()), piece.size(), out);
            EXPECT_EQ(row.shown[call], std::string(reinterpret_cast<char*>(out), length))
                << row.id << ", call " << call;
        }
    }
}

TEST(View, StampFieldsPadded) {
    char out[stamp_size + 1];
    format_stamp(3, 5, 9, 7, out);
    EXPECT_STREQ("[03:05:09.007] ", out);
}

}  // namespace
