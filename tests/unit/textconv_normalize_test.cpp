// The in-place normalisers and the traditional-to-simplified maps they use. Byte sequences are
// escapes: string literals in this build are compiled to GBK.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "gbk_packed_data.h"
#include "textconv.h"

using namespace std::string_view_literals;

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 8;

using Normalizer = void (*)(unsigned char*, unsigned);

// Normalises a copy of text (NUL added) followed by guard bytes; checks that nothing was written
// past the original terminator and returns the bytes up to `expected_size` plus one (the output may
// hold a NUL of its own, so the caller says how long it should be).
std::string normalize_checked(Normalizer normalize, std::string_view text, unsigned flags,
                              std::size_t expected_size) {
    std::vector<unsigned char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    buffer.insert(buffer.end(), kGuardBytes, kGuard);
    normalize(buffer.data(), flags);
    for (std::size_t k = text.size() + 1; k < buffer.size(); ++k) {
        EXPECT_EQ(buffer[k], kGuard) << "written past the terminator at " << k;
    }
    const std::size_t size = std::min(expected_size + 1, text.size() + 1);
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
}

struct Row {
    const char* what;
    std::string_view in;
    unsigned flags;
    std::string_view out;
};

// Every row's output must be exactly `out` followed by the terminating NUL.
void check_rows(Normalizer normalize, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        const std::string expected = std::string(row.out) + '\0';
        EXPECT_EQ(normalize_checked(normalize, row.in, row.flags, row.out.size()), expected)
            << row.what;
    }
}

class Normalize : public ::testing::Test {
protected:
    static void SetUpTestSuite() { code_tables_init(); }
};

constexpr unsigned kAllFlags = CONV_LOWER | CONV_UPPER | CONV_HALFWIDTH | CONV_SIMPLIFIED;

TEST_F(Normalize, Utf8Cases) {
    check_rows(
        utf8_normalize,
        {
            {"full-width letters, halfwidth and lower", "\xEF\xBC\xA1\xEF\xBC\xA2"sv,
             CONV_HALFWIDTH | CONV_LOWER, "ab"sv},
            {"full-width range ends", "\xEF\xBC\x81\xEF\xBD\x9F\xEF\xBD\xA0"sv, CONV_HALFWIDTH,
             "!\x7F\xEF\xBD\xA0"sv},
            {"full-width kept without the flag", "\xEF\xBC\xA1"sv, kAllFlags & ~CONV_HALFWIDTH,
             "\xEF\xBC\xA1"sv},
            {"ideographic comma becomes a space", "\xE3\x80\x81"sv, CONV_HALFWIDTH, " "sv},
            {"ideographic space stays", "\xE3\x80\x80"sv, CONV_HALFWIDTH, "\xE3\x80\x80"sv},
            {"traditional to simplified", "\xE4\xBA\x82"sv, CONV_SIMPLIFIED, "\xE4\xB9\xB1"sv},
            {"traditional kept without the flag", "\xE4\xBA\x82"sv, 0, "\xE4\xBA\x82"sv},
            {"GB2312-area character never changed", "\xE5\xBE\x8C"sv, CONV_SIMPLIFIED,
             "\xE5\xBE\x8C"sv},
            {"lower wins over upper", "AbC-z"sv, CONV_LOWER | CONV_UPPER, "abc-z"sv},
            {"upper", "AbC-z"sv, CONV_UPPER, "ABC-Z"sv},
            {"2-byte character untouched", "\xC3\x89"sv, kAllFlags, "\xC3\x89"sv},
            {"4-byte character untouched", "\xF0\x9F\x98\x80"sv, kAllFlags, "\xF0\x9F\x98\x80"sv},
            {"overlong 3-byte form decoded and case-mapped", "\xE0\x81\x81"sv, CONV_LOWER, "a"sv},
            {"overlong NUL written, scan goes on", "x\xE0\x80\x80Y"sv, CONV_LOWER, "x\0y"sv},
            {"3-byte lead cut by the end", "A\xE4\xBD"sv, kAllFlags, "a\xE4\xBD"sv},
            {"3-byte lead before ASCII", "\xE4\x41\x42"sv, CONV_LOWER, "\xE4\x61\x62"sv},
            {"stray continuation", "\x80\x41\xC3"sv, CONV_LOWER, "\x80\x61\xC3"sv},
        });
}

TEST_F(Normalize, GbkCases) {
    check_rows(
        gbk_normalize,
        {
            {"ideographic space becomes a space", "\xA1\xA1"sv, CONV_HALFWIDTH, " "sv},
            {"full-width A, halfwidth and lower", "\xA3\xC1"sv, CONV_HALFWIDTH | CONV_LOWER, "a"sv},
            {"full-width kept without the flag", "\xA3\xC1"sv, CONV_LOWER | CONV_SIMPLIFIED,
             "\xA3\xC1"sv},
            {"fold by bytes: yen sign", "\xA3\xA4"sv, CONV_HALFWIDTH, "$"sv},
            {"fold by bytes: A3 FE", "\xA3\xFE"sv, CONV_HALFWIDTH, "~"sv},
            {"full-width dollar in row A1 stays", "\xA1\xE7"sv, CONV_HALFWIDTH, "\xA1\xE7"sv},
            {"full-width tilde in row A1 stays", "\xA1\xAB"sv, CONV_HALFWIDTH, "\xA1\xAB"sv},
            {"folded lead dropped, lone lead kept", "\xA3\xA3\xC1"sv, CONV_HALFWIDTH, "#\xC1"sv},
            {"ideographic space then lone lead", "\xA1\xA1\xA1"sv, CONV_HALFWIDTH, " \xA1"sv},
            {"GB2312-area character never changed", "\xE1\xE1"sv, CONV_SIMPLIFIED, "\xE1\xE1"sv},
            {"traditional to simplified", "\x81\x79"sv, CONV_SIMPLIFIED, "\xC2\xD2"sv},
            {"traditional kept without the flag", "\x81\x79"sv, CONV_HALFWIDTH, "\x81\x79"sv},
            {"trailing lead kept", "ab\xC4"sv, CONV_UPPER, "AB\xC4"sv},
            {"ASCII trail taken as a trail", "\xC4\x41"sv, CONV_LOWER, "\xC4\x41"sv},
            {"lower wins over upper", "aBc"sv, CONV_LOWER | CONV_UPPER, "abc"sv},
        });
}

// Random text never grows: nothing is written past the terminator (checked by the helper).
TEST_F(Normalize, RandomTextNeverGrows) {
    std::mt19937 random(2024);
    for (int round = 0; round < 20000; ++round) {
        std::string text(1 + random() % 40, '\0');
        for (char& c : text) {
            const auto value = random();
            // No NUL inside; mostly bytes of multi-byte forms.
            c = static_cast<char>(value % 5 == 0 ? 0x41 + value % 26 : 0x80 | (value >> 8 & 0x7F));
        }
        const auto flags = static_cast<unsigned>(random() % 16);
        for (Normalizer normalize : {utf8_normalize, gbk_normalize}) {
            normalize_checked(normalize, text, flags, text.size());
        }
        ASSERT_FALSE(HasFailure()) << "round " << round;
    }
}

// Decodes the two text bytes of a GBK map entry back to a GBK code.
gbk_code code_of_entry(std::uint16_t entry) {
    return static_cast<gbk_code>((entry & 0xFF) << 8 | entry >> 8);
}

bool in_gb2312_area(int code) {
    return (code >> 8) >= 0xA1 && (code >> 8) <= 0xF7 && (code & 0xFF) > 0xA0;
}

TEST_F(Normalize, VariantMapsAreIdempotentAndAgree) {
    int changed = 0;
    for (int index = 0; index < 32768; ++index) {
        const gbk_code code = static_cast<gbk_code>(index + 0x8000);
        ASSERT_EQ(code_of_entry(gbk_identity_map[index]), code);
        const gbk_code simplified = code_of_entry(gbk_variant_map[index]);
        if (simplified == code) {
            continue;
        }
        ++changed;
        EXPECT_FALSE(in_gb2312_area(code)) << std::hex << code;
        EXPECT_EQ(gbk_variant_map[simplified - 0x8000], gbk_variant_map[index]) << std::hex << code;
        // The code point map says the same as the GBK map.
        const code_point from = gbk_to_unicode[index];
        const code_point to = gbk_to_unicode[simplified - 0x8000];
        ASSERT_NE(from, 0) << std::hex << code;
        ASSERT_NE(to, 0) << std::hex << code;
        EXPECT_EQ(unicode_variant_map[from], to) << std::hex << code;
    }
    // The 2,830 pairs outside the GB2312 area, less the 4 that map a character to itself.
    EXPECT_EQ(changed, 2826);

    int points_changed = 0;
    for (int point = 0; point < 65536; ++point) {
        const code_point v = unicode_variant_map[point];
        EXPECT_EQ(unicode_identity_map[point], point);
        EXPECT_EQ(unicode_variant_map[v], v) << std::hex << point;
        points_changed += v != point;
    }
    EXPECT_EQ(points_changed, changed);
}

TEST_F(Normalize, VariantPairsData) {
    ASSERT_EQ(variant_pairs_len % 2, 0);
    struct Pair {
        std::uint16_t traditional, simplified;
    };
    const Pair first[] = {{0x8147, 0xB6AA}, {0x814B, 0xB2A2}, {0x8179, 0xC2D2}};
    const Pair last[] = {{0xFD8F, 0xB9A8}, {0xFD90, 0xEDE8}, {0xFD94, 0xB9EA}};
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(variant_pairs[2 * n], first[n].traditional);
        EXPECT_EQ(variant_pairs[2 * n + 1], first[n].simplified);
        EXPECT_EQ(variant_pairs[variant_pairs_len - 6 + 2 * n], last[n].traditional);
        EXPECT_EQ(variant_pairs[variant_pairs_len - 5 + 2 * n], last[n].simplified);
    }
    int in_area = 0;
    for (int i = 0; i < variant_pairs_len; i += 2) {
        if (i > 0) {
            EXPECT_GT(variant_pairs[i], variant_pairs[i - 2]);
        }
        EXPECT_NE(gbk_to_unicode[variant_pairs[i] - 0x8000], 0) << std::hex << variant_pairs[i];
        EXPECT_NE(gbk_to_unicode[variant_pairs[i + 1] - 0x8000], 0);
        in_area += in_gb2312_area(variant_pairs[i]);
    }
    EXPECT_EQ(variant_pairs_len / 2, 2849);
    EXPECT_EQ(in_area, 19);
}

}  // namespace
