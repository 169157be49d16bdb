// The lookup tables of every conversion and their one-time build from the packed data: the receive
// path's at start (code_tables_init), the others when a conversion first needs them.
#include "gbk_packed_data.h"
#include "table_builds.h"
#include "textconv.h"

code_point gbk_to_unicode[32768];
gbk_code unicode_to_gbk[65536];
unsigned char ascii_lower_map[128];
unsigned char ascii_upper_map[128];
unsigned char ascii_identity_map[128];
code_point unicode_identity_map[65536];
code_point unicode_variant_map[65536];
std::uint16_t gbk_identity_map[32768];
std::uint16_t gbk_variant_map[32768];

namespace {

constexpr int kGbkTableSize = 32768;
constexpr int kUnicodeTableSize = 65536;

// Index of a GBK code in a 32,768-entry table; the mask keeps any 16-bit value in bounds.
std::uint16_t gbk_index(std::uint16_t code) {
    return static_cast<std::uint16_t>(code & 0x7FFF);
}

// Fills a GBK-to-Unicode table from the packed pairs, then the runs. Every run ends below 0xFFFF
// (checked at compile time beside the data), so the 16-bit loop over a run's codes ends.
void fill_gbk_to_unicode(code_point* table) {
    for (std::uint16_t i = 0; i < code_pairs_len; i += 2) {
        table[gbk_index(code_pairs[i])] = code_pairs[i + 1];
    }
    for (std::uint16_t i = 0; i < code_ranges_len; i += 3) {
        const std::uint16_t first = code_ranges[i];
        const std::uint16_t last = code_ranges[i + 1];
        const std::uint16_t point = code_ranges[i + 2];
        for (std::uint16_t c = first; c <= last; ++c) {
            table[gbk_index(c)] = static_cast<code_point>(point + (c - first));
        }
    }
}

void fill_unicode_to_gbk() {
    for (std::uint16_t i = 0; i < code_pairs_len; i += 2) {
        unicode_to_gbk[code_pairs[i + 1]] = code_pairs[i];
    }
    for (std::uint16_t i = 0; i < code_ranges_len; i += 3) {
        const std::uint16_t first = code_ranges[i];
        const std::uint16_t last = code_ranges[i + 1];
        const std::uint16_t point = code_ranges[i + 2];
        for (std::uint16_t c = first; c <= last; ++c) {
            unicode_to_gbk[static_cast<code_point>(point + (c - first))] = c;
        }
    }
}

void fill_ascii_maps() {
    for (unsigned char c = 0; c < 128; ++c) {
        ascii_identity_map[c] = c;
        ascii_lower_map[c] = c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        ascii_upper_map[c] = c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
    }
}

// Identity entries: every code point to itself, every GBK index to its own text bytes (lead byte
// low). The variant maps start as copies.
void fill_identity_maps() {
    for (int point = 0; point < kUnicodeTableSize; ++point) {
        unicode_identity_map[point] = static_cast<code_point>(point);
        unicode_variant_map[point] = static_cast<code_point>(point);
    }
    for (int index = 0; index < kGbkTableSize; ++index) {
        const int lead = (index >> 8) | 0x80;
        const int trail = index & 0xFF;
        gbk_identity_map[index] = static_cast<std::uint16_t>(trail << 8 | lead);
        gbk_variant_map[index] = gbk_identity_map[index];
    }
}

// The GB2312 area (leads 0xA1..0xF7, trails above 0xA0) is never changed by the variant maps.
bool in_gb2312_area(std::uint16_t code) {
    const int lead = code >> 8;
    const int trail = code & 0xFF;
    return lead >= 0xA1 && lead <= 0xF7 && trail > 0xA0;
}

// Applies the traditional-to-simplified pairs to both variant maps, with the code points of
// gbk_to_unicode.
void apply_variant_pairs() {
    for (std::uint16_t i = 0; i < variant_pairs_len; i += 2) {
        const std::uint16_t traditional = variant_pairs[i];
        const std::uint16_t simplified = variant_pairs[i + 1];
        if (in_gb2312_area(traditional)) {
            continue;
        }
        gbk_variant_map[gbk_index(traditional)] = gbk_identity_map[gbk_index(simplified)];
        unicode_variant_map[gbk_to_unicode[gbk_index(traditional)]] =
            gbk_to_unicode[gbk_index(simplified)];
    }
}

bool build_gbk_to_unicode() {
    fill_gbk_to_unicode(gbk_to_unicode);
    return true;
}

bool build_normalizer_tables() {
    gbk_to_unicode_ready();
    fill_ascii_maps();
    fill_identity_maps();
    apply_variant_pairs();
    return true;
}

bool build_unicode_to_gbk() {
    fill_unicode_to_gbk();
    return true;
}

}  // namespace

// Each table set is a function-local static: built exactly once, even when two threads arrive
// together, and every later call costs one load.
void code_tables_init() {
    static const bool built = build_unicode_to_gbk();
    (void)built;
}

void gbk_to_unicode_ready() {
    static const bool built = build_gbk_to_unicode();
    (void)built;
}

void normalizer_tables_ready() {
    static const bool built = build_normalizer_tables();
    (void)built;
}
