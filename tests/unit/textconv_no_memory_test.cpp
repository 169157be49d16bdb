// Without memory for the variant maps' scratch table the tables are built with identity variant
// maps and the rest works. The nothrow array new the builder uses fails for the scratch table's
// size; the tables are built once per process, hence a program of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "textconv.h"

namespace {
int scratch_requests = 0;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size == 32768 * sizeof(code_point)) {
        ++scratch_requests;
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
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
    std::string text = "\x81\x79\xA3\xC1";
    gbk_normalize(reinterpret_cast<unsigned char*>(text.data()), CONV_SIMPLIFIED | CONV_HALFWIDTH);
    EXPECT_STREQ(text.c_str(), "\x81\x79\x41");
}
