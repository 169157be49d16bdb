// The packed GBK mapping, the direct tables built from it, and the variant maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gbk_packed_data.h"
#include "textconv.h"

namespace {

TEST(CodeTables, FiguresRoundTripAndNamedCodes) {
    code_tables_init();
    ASSERT_EQ(code_ranges_len, 3 * 2599);
    ASSERT_EQ(code_pairs_len, 2 * 7756);
    int shortest = 0xFFFF, longest = 0;
    for (int i = 0; i < code_ranges_len; i += 3) {
        shortest = std::min(shortest, code_ranges[i + 1] - code_ranges[i] + 1);
        longest = std::max(longest, code_ranges[i + 1] - code_ranges[i] + 1);
    }
    EXPECT_EQ(shortest, 2);
    EXPECT_EQ(longest, 115);
    const std::uint16_t* last_run = code_ranges + code_ranges_len - 3;
    EXPECT_EQ(std::vector<int>(code_ranges, code_ranges + 3),
              (std::vector<int>{0x8141, 0x8143, 0x4E04}));
    EXPECT_EQ(std::vector<int>(last_run, last_run + 3), (std::vector<int>{0xFE50, 0xFEA0, 0xE815}));
    EXPECT_EQ(std::vector<int>(code_pairs, code_pairs + 2), (std::vector<int>{0x8140, 0x4E02}));
    EXPECT_EQ(std::vector<int>(code_pairs + code_pairs_len - 2, code_pairs + code_pairs_len),
              (std::vector<int>{0xFE47, 0xFA18}));

    // Every code maps both ways; trail 0x7F only in the private-use run; nothing else maps.
    int codes = 0, points = 0;
    for (int index = 0; index < 32768; ++index) {
        if (const code_point point = gbk_to_unicode[index]; point != 0) {
            ++codes;
            const int lead = (index >> 8) | 0x80, trail = index & 0xFF;
            EXPECT_TRUE(lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE &&
                        (trail != 0x7F || index + 0x8000 == 0xFE7F))
                << std::hex << index;
            EXPECT_EQ(unicode_to_gbk[point], index + 0x8000) << std::hex << index;
        }
    }
    for (int point = 0; point < 65536; ++point) {
        if (const gbk_code code = unicode_to_gbk[point]; code != 0) {
            ++points;
            ASSERT_GE(code, 0x8000) << std::hex << point;
            EXPECT_EQ(gbk_to_unicode[code - 0x8000], point) << std::hex << point;
        }
    }
    EXPECT_EQ(codes, 21874);
    EXPECT_EQ(points, 21874);

    const int named[][2] = {
        {0x8140, 0x4E02}, {0xA1A1, 0x3000}, {0xA1A4, 0x00B7}, {0xA1AA, 0x2014}, {0xA844, 0x2015},
        {0xA3A1, 0xFF01}, {0xC4E3, 0x4F60}, {0xA8BC, 0xE7C7}, {0xFE7F, 0xE844}, {0xFEA0, 0xE865},
    };
    for (const auto& [code, point] : named) {
        EXPECT_EQ(gbk_to_unicode[code - 0x8000], point) << std::hex << code;
        EXPECT_EQ(unicode_to_gbk[point], code) << std::hex << point;
    }
    // The euro sign has only a one-byte code in code page 936.
    EXPECT_EQ(unicode_to_gbk[0x20AC], 0);
}

// Entries hold the text bytes of a GBK code, lead byte low.
int code_of_entry(std::uint16_t entry) {
    return (entry & 0xFF) << 8 | entry >> 8;
}

TEST(CodeTables, VariantMapsAreIdempotentAndAgree) {
    code_tables_init();
    int changed = 0;
    for (int index = 0; index < 32768; ++index) {
        ASSERT_EQ(code_of_entry(gbk_identity_map[index]), index + 0x8000);
        const int code = index + 0x8000, simplified = code_of_entry(gbk_variant_map[index]);
        if (simplified != code) {
            ++changed;
            const bool gb2312_area = code >= 0xA100 && code < 0xF800 && (code & 0xFF) > 0xA0;
            EXPECT_FALSE(gb2312_area) << std::hex << code;
            EXPECT_EQ(gbk_variant_map[simplified - 0x8000], gbk_variant_map[index])
                << std::hex << code;
            EXPECT_EQ(unicode_variant_map[gbk_to_unicode[index]],
                      gbk_to_unicode[simplified - 0x8000])
                << std::hex << code;
        }
    }
    // 2,849 pairs, less 19 in the GB2312 area and 4 that map a character to itself.
    EXPECT_EQ(changed, 2826);
    int points_changed = 0;
    for (int point = 0; point < 65536; ++point) {
        const code_point simplified = unicode_variant_map[point];
        EXPECT_EQ(unicode_identity_map[point], point);
        EXPECT_EQ(unicode_variant_map[simplified], simplified) << std::hex << point;
        points_changed += simplified != point;
    }
    EXPECT_EQ(points_changed, changed);
}

}  // namespace
