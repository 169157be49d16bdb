// Conversions between UTF-8 and GBK. Byte sequences are written as escapes (letters after an
// escape too, as \x41): string literals in this build are compiled to GBK, so a Chinese literal
// would not hold the UTF-8 bytes meant here.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "textconv.h"

using namespace std::string_view_literals;

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

using Converter = int (*)(const unsigned char*, std::size_t, unsigned char*, std::size_t*);

// Runs a converter into a buffer of exactly `room` bytes followed by guard bytes; checks the
// result, the NUL and the guard, and returns the output.
std::string convert_checked(Converter convert, std::string_view in, std::size_t room) {
    std::vector<unsigned char> dst(room + kGuardBytes, kGuard);
    std::size_t out_len = 0xDEAD;
    EXPECT_EQ(
        convert(reinterpret_cast<const unsigned char*>(in.data()), in.size(), dst.data(), &out_len),
        0);
    EXPECT_LT(out_len, room);
    EXPECT_EQ(dst[out_len], 0);
    for (std::size_t k = room; k < dst.size(); ++k) {
        EXPECT_EQ(dst[k], kGuard) << "written past the room promised at " << k;
    }
    return std::string(dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(out_len));
}

// utf8_to_gbk promises len + 1 bytes; gbk_to_utf8 one and a half times len, rounded up, plus one.
std::string utf8_to_gbk_checked(std::string_view in) {
    return convert_checked(utf8_to_gbk, in, in.size() + 1);
}

std::string gbk_to_utf8_checked(std::string_view in) {
    return convert_checked(gbk_to_utf8, in, (in.size() * 3 + 1) / 2 + 1);
}

struct Row {
    const char* what;
    std::string_view in, out;
};

class Convert : public ::testing::Test {
protected:
    static void SetUpTestSuite() { code_tables_init(); }
};

TEST_F(Convert, Utf8ToGbkCases) {
    const Row rows[] = {
        {"ASCII", "A"sv, "A"sv},
        {"U+4F60", "\xE4\xBD\xA0"sv, "\xC4\xE3"sv},
        {"U+4E2D", "\xE4\xB8\xAD"sv, "\xD6\xD0"sv},
        {"U+3000", "\xE3\x80\x80"sv, "\xA1\xA1"sv},
        {"U+00B7 two-byte form", "\xC2\xB7"sv, "\xA1\xA4"sv},
        {"U+20AC has no two-byte code", "\xE2\x82\xAC"sv, ""sv},
        {"U+E815 private use", "\xEE\xA0\x95"sv, "\xFE\x50"sv},
        {"U+E844 private use", "\xEE\xA1\x84"sv, "\xFE\x7F"sv},
        {"mixed text", "a\xE4\xBD\xA0\x62\r\n"sv, "a\xC4\xE3\x62\r\n"sv},
        {"NUL is copied", "a\0b"sv, "a\0b"sv},
        {"incomplete 3-byte lead stops", "A\xE4\xBD"sv, "A"sv},
        {"lone 3-byte lead", "\xE4"sv, ""sv},
        {"letter after incomplete lead not copied", "\xE4\x41"sv, ""sv},
        {"incomplete 2-byte lead stops", "A\xDF"sv, "A"sv},
        {"overlong lead and its continuation skipped", "\xC0\x80"sv, ""sv},
        {"stray continuations skipped", "\x80\xBF\x41\xC1"sv, "A"sv},
        {"4-byte character", "\xF0\x9F\x98\x80"sv, ""sv},
        {"4-byte lead skips four bytes", "\xF0\x41\x42\x43\x44"sv, "D"sv},
        {"4-byte lead near the end", "A\xF0\x42"sv, "A"sv},
        {"3-byte lead then ASCII decodes U+4E00", "\xE4\x78\x40"sv, "\xD2\xBB"sv},
        {"3-byte lead then letters consumed", "\xE4\x41\x42"sv, ""sv},
        {"2-byte lead then letter consumed", "\xC2\x41\xE4\xBD\xA0"sv, "\xC4\xE3"sv},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(utf8_to_gbk_checked(row.in), row.out) << row.what;
    }
}

TEST_F(Convert, GbkToUtf8Cases) {
    const Row rows[] = {
        {"ASCII", "ab\r\n"sv, "ab\r\n"sv},
        {"3-byte character", "\xC4\xE3"sv, "\xE4\xBD\xA0"sv},
        {"2-byte character", "\xA1\xA4"sv, "\xC2\xB7"sv},
        {"private use", "\xFE\x7F"sv, "\xEE\xA1\x84"sv},
        {"unmapped pair gives nothing", "\x80\x41"sv, ""sv},
        {"ASCII trail taken as a trail (0xC441)", "\xC4\x41\x62"sv, "\xE8\x85\x81\x62"sv},
        {"NUL taken as a trail", "\xC4\0b"sv, "b"sv},
        {"trailing lead dropped", "ab\xC4"sv, "ab"sv},
        {"lead only", "\xFF"sv, ""sv},
        {"mixed", "x\xC4\xE3y\xD6\xD0"sv, "x\xE4\xBD\xA0y\xE4\xB8\xAD"sv},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(gbk_to_utf8_checked(row.in), row.out) << row.what;
    }
}

TEST_F(Convert, EmptyOrNullArgumentsWriteNothing) {
    for (Converter convert : {utf8_to_gbk, gbk_to_utf8}) {
        unsigned char dst[4] = {kGuard, kGuard, kGuard, kGuard};
        std::size_t out_len = 77;
        const unsigned char src[1] = {'A'};
        EXPECT_EQ(convert(src, 0, dst, &out_len), -1);
        EXPECT_EQ(convert(nullptr, 1, dst, &out_len), -1);
        EXPECT_EQ(convert(src, 1, nullptr, &out_len), -1);
        EXPECT_EQ(out_len, 77u);
        for (unsigned char b : dst) {
            EXPECT_EQ(b, kGuard);
        }
    }
}

// The rules of utf8_to_gbk, one character at a time: the reference its word-at-a-time path is
// checked against.
std::string reference_utf8_to_gbk(std::string_view in) {
    std::string out;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(in[k]) & 0xFFu; };
    const auto put = [&](unsigned point) {
        if (const gbk_code code = unicode_to_gbk[point]; code != 0) {
            out += static_cast<char>(code >> 8);
            out += static_cast<char>(code & 0xFF);
        }
    };
    for (std::size_t i = 0; i < in.size();) {
        const unsigned b = at(i);
        if (b < 0x80) {
            out += static_cast<char>(b);
            i += 1;
        } else if (b < 0xC2) {
            i += 1;
        } else if (b < 0xF0) {
            const std::size_t size = b < 0xE0 ? 2 : 3;
            if (i + size > in.size()) {
                break;  // cut short: the conversion ends
            }
            put(size == 2 ? ((b & 0x1F) << 6) | (at(i + 1) & 0x3F)
                          : ((b & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
            i += size;
        } else {
            i += 4;
        }
    }
    return out;
}

// Text of random pieces that exercise every rule (ASCII words, 2-, 3- and 4-byte characters,
// stray and overlong bytes, leads before ASCII), or of random bytes, mostly high ones.
std::string random_utf8ish(std::mt19937& random) {
    static const std::string_view pieces[] = {
        "abc defgh"sv,    "\r\n"sv,         "\xE4\xBD\xA0"sv, "\xE4\xB8\xAD\xE6\x96\x87"sv,
        "\xE2\x82\xAC"sv, "\xC2\xB7"sv,     "\xCE\xB1"sv,     "\xF0\x9F\x98\x80"sv,
        "\x80"sv,         "\xC0\xAF"sv,     "\xE4\x78\x40"sv, "\xE3\x80\x80"sv,
        "\xEE\xA1\x84"sv, "\xF0\x41\x42"sv, "\xDF"sv,         "\xEF\xBC\xA1"sv,
    };
    std::string text;
    const auto count = 1 + random() % 24;
    const bool from_pieces = random() % 2 == 0;
    for (auto n = count; n > 0; --n) {
        if (from_pieces) {
            text += pieces[random() % std::size(pieces)];
        } else {
            const auto value = random();
            text += static_cast<char>(value % 4 == 0 ? value >> 8 & 0x7F : 0x80 | (value >> 8));
        }
    }
    return text;
}

TEST_F(Convert, Utf8ToGbkOfRandomTextFollowsTheRules) {
    std::mt19937 random(936);
    for (int round = 0; round < 20000; ++round) {
        const std::string in = random_utf8ish(random);
        ASSERT_EQ(utf8_to_gbk_checked(in), reference_utf8_to_gbk(in)) << "round " << round;
    }
}

TEST_F(Convert, GbkToUtf8OfRandomBytesStaysInItsRoom) {
    std::mt19937 random(8140);
    for (int round = 0; round < 20000; ++round) {
        std::string in(1 + random() % 33, '\0');
        for (char& c : in) {
            c = static_cast<char>(random() >> 8);
        }
        gbk_to_utf8_checked(in);
        ASSERT_FALSE(HasFailure()) << "round " << round;
    }
}

void append_utf8(std::string& text, unsigned point) {
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

std::string round_trip(const std::string& utf8) {
    return gbk_to_utf8_checked(utf8_to_gbk_checked(utf8));
}

TEST_F(Convert, EveryCharacterWithAGbkCodeComesBack) {
    std::string all;
    std::vector<unsigned> mapped;
    for (unsigned point = 1; point < 65536; ++point) {
        if (point < 0x80 || unicode_to_gbk[point] != 0) {
            append_utf8(all, point);
            mapped.push_back(point);
        }
    }
    EXPECT_EQ(round_trip(all), all);

    // Random mixes, so characters meet each other and ASCII at every offset.
    std::mt19937 random(21874);
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        for (auto n = 1 + random() % 20; n > 0; --n) {
            append_utf8(text, mapped[random() % mapped.size()]);
        }
        ASSERT_EQ(round_trip(text), text) << "round " << round;
    }
}

}  // namespace
