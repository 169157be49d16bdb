// Building the tables when the scratch table of the variant maps cannot be allocated: the program
// must go on with identity variant maps. This program replaces the allocation function the
// builder uses (nothrow array new) so that the first request of the scratch table's size fails.
// The tables are built once per process, so this test has a program of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "textconv.h"

namespace {

constexpr std::size_t kScratchBytes = 32768 * sizeof(code_point);
int scratch_requests = 0;

}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size == kScratchBytes) {
        ++scratch_requests;
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
}

namespace {

std::string normalized(void (*normalize)(unsigned char*, unsigned), std::string text,
                       unsigned flags) {
    normalize(reinterpret_cast<unsigned char*>(text.data()), flags);
    return text.c_str();
}

TEST(TablesWithoutScratchMemory, VariantMapsStayIdentityAndAllElseWorks) {
    code_tables_init();
    ASSERT_EQ(scratch_requests, 1) << "the builder no longer asks for its scratch table this way";

    for (int point = 0; point < 65536; ++point) {
        ASSERT_EQ(unicode_variant_map[point], point);
    }
    for (int index = 0; index < 32768; ++index) {
        ASSERT_EQ(gbk_variant_map[index], gbk_identity_map[index]);
    }
    // Traditional characters stay; the other folds and the conversions still work.
    EXPECT_EQ(normalized(gbk_normalize, "\x81\x79\xA3\xC1", CONV_SIMPLIFIED | CONV_HALFWIDTH),
              "\x81\x79\x41");
    EXPECT_EQ(normalized(utf8_normalize, "\xE4\xBA\x82\xEF\xBC\xA1",
                         CONV_SIMPLIFIED | CONV_HALFWIDTH | CONV_LOWER),
              "\xE4\xBA\x82\x61");
    unsigned char gbk[8] = {};
    std::size_t gbk_len = 0;
    ASSERT_EQ(utf8_to_gbk(reinterpret_cast<const unsigned char*>("\xE4\xBD\xA0"), 3, gbk, &gbk_len),
              0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gbk), gbk_len), "\xC4\xE3");
}

}  // namespace
