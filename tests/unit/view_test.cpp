// The stamp's fields padded, which the scenarios see only at some times of day.
#include <gtest/gtest.h>

#include "view.h"

namespace {

TEST(View, StampFieldsPadded) {
    char out[stamp_size + 1];
    format_stamp(3, 5, 9, 7, out);
    EXPECT_STREQ("[03:05:09.007] ", out);
}

}  // namespace
