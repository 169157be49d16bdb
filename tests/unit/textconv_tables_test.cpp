// The packed GBK mapping and the direct tables built from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "gbk_packed_data.h"
#include "textconv.h"

namespace {

struct Triple {
    std::uint16_t first, last, point;
};

Triple triple_at(int n) {
    return {code_ranges[3 * n], code_ranges[3 * n + 1], code_ranges[3 * n + 2]};
}

// Code point of a GBK code, or 0 when unmapped or outside the two-byte range.
code_point point_of(int code) {
    return code >= 0x8000 && code <= 0xFFFF ? gbk_to_unicode[code - 0x8000] : 0;
}

class CodeTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() { code_tables_init(); }
};

TEST_F(CodeTables, PackedArraysHaveTheirFigures) {
    ASSERT_EQ(code_ranges_len, 7797);
    ASSERT_EQ(code_pairs_len, 15512);
    const int runs = code_ranges_len / 3;
    int shortest = 0xFFFF, longest = 0, run_codes = 0;
    for (int n = 0; n < runs; ++n) {
        const Triple t = triple_at(n);
        const int length = t.last - t.first + 1;
        shortest = std::min(shortest, length);
        longest = std::max(longest, length);
        run_codes += length;
    }
    EXPECT_EQ(shortest, 2);
    EXPECT_EQ(longest, 115);
    EXPECT_EQ(run_codes, 14118);

    const Triple first = triple_at(0), last = triple_at(runs - 1);
    EXPECT_EQ(first.first, 0x8141);
    EXPECT_EQ(first.last, 0x8143);
    EXPECT_EQ(first.point, 0x4E04);
    EXPECT_EQ(last.first, 0xFE50);
    EXPECT_EQ(last.last, 0xFEA0);
    EXPECT_EQ(last.point, 0xE815);
    EXPECT_EQ(code_pairs[0], 0x8140);
    EXPECT_EQ(code_pairs[1], 0x4E02);
    EXPECT_EQ(code_pairs[code_pairs_len - 2], 0xFE47);
    EXPECT_EQ(code_pairs[code_pairs_len - 1], 0xFA18);
}

TEST_F(CodeTables, PackedListsAscendAndRunsAreMaximal) {
    for (int n = 1; n < code_ranges_len / 3; ++n) {
        EXPECT_GT(triple_at(n).first, triple_at(n - 1).last) << "run " << n;
    }
    for (int i = 2; i < code_pairs_len; i += 2) {
        EXPECT_GT(code_pairs[i], code_pairs[i - 2]) << "pair " << i / 2;
    }
    // A run could not be longer: its neighbours do not continue the code points.
    for (int n = 0; n < code_ranges_len / 3; ++n) {
        const Triple t = triple_at(n);
        const int last_point = t.point + (t.last - t.first);
        EXPECT_NE(point_of(t.first - 1), t.point - 1) << "run " << n;
        EXPECT_NE(point_of(t.last + 1), last_point + 1) << "run " << n;
    }
    // A single pair has no neighbour that would make a run with it.
    for (int i = 0; i < code_pairs_len; i += 2) {
        const int code = code_pairs[i], point = code_pairs[i + 1];
        EXPECT_NE(point_of(code + 1), point + 1) << std::hex << code;
        EXPECT_NE(point_of(code - 1), point - 1) << std::hex << code;
    }
}

TEST_F(CodeTables, EveryCodeRoundTripsAndNothingElseMaps) {
    int gbk_codes = 0;
    for (int index = 0; index < 32768; ++index) {
        const code_point point = gbk_to_unicode[index];
        if (point == 0) {
            continue;
        }
        ++gbk_codes;
        // Trail 0x7F is no GBK trail byte, except in the private-use run 0xFE50..0xFEA0.
        const int lead = (index >> 8) | 0x80, trail = index & 0xFF;
        EXPECT_TRUE(lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE &&
                    (trail != 0x7F || index + 0x8000 == 0xFE7F))
            << std::hex << index;
        EXPECT_EQ(unicode_to_gbk[point], index + 0x8000) << std::hex << index;
    }
    EXPECT_EQ(gbk_codes, 21874);

    int points = 0;
    for (int point = 0; point < 65536; ++point) {
        const gbk_code code = unicode_to_gbk[point];
        if (code == 0) {
            continue;
        }
        ++points;
        ASSERT_GE(code, 0x8000) << std::hex << point;
        EXPECT_EQ(gbk_to_unicode[code - 0x8000], point) << std::hex << point;
    }
    EXPECT_EQ(points, 21874);
}

TEST_F(CodeTables, NamedCodes) {
    struct Row {
        gbk_code code;
        code_point point;
    };
    const Row rows[] = {
        {0x8140, 0x4E02}, {0xA1A1, 0x3000}, {0xA1A4, 0x00B7}, {0xA1AA, 0x2014}, {0xA844, 0x2015},
        {0xA3A1, 0xFF01}, {0xC4E3, 0x4F60}, {0xD6D0, 0x4E2D}, {0xA8BC, 0xE7C7}, {0xA8BF, 0xE7C8},
        {0xFE50, 0xE815}, {0xFE7F, 0xE844}, {0xFE80, 0xE845}, {0xFEA0, 0xE865},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(gbk_to_unicode[row.code - 0x8000], row.point) << std::hex << row.code;
        EXPECT_EQ(unicode_to_gbk[row.point], row.code) << std::hex << row.point;
    }
    // The euro sign has only a one-byte code in code page 936, none in the two-byte mapping.
    EXPECT_EQ(unicode_to_gbk[0x20AC], 0);
    EXPECT_EQ(point_of(0x8080), 0);
}

}  // namespace
