// In-place normalisers of UTF-8 and GBK text: ASCII case, full-width forms, traditional to
// simplified characters. Output never outruns input, so each text is rewritten where it lies.
#include "gbk_packed_data.h"
#include "table_builds.h"
#include "textconv.h"

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
        unicode_variant_map[gbk_code_point(traditional >> 8, traditional & 0xFFu)] =
            gbk_code_point(simplified >> 8, simplified & 0xFFu);
    }
}

bool build_normalizer_tables() {
    gbk_to_unicode_ready();
    fill_ascii_maps();
    fill_identity_maps();
    apply_variant_pairs();
    return true;
}

// Builds the tables once, even when two threads arrive together; every later call costs one load.
// (The program never normalises: the guard of this static stays out of it.)
void normalizer_tables_ready() {
    static const bool built = build_normalizer_tables();
    (void)built;
}

const unsigned char* case_map_for(unsigned flags) {
    if (flags & CONV_LOWER) {
        return ascii_lower_map;
    }
    return flags & CONV_UPPER ? ascii_upper_map : ascii_identity_map;
}

bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Full-width folding of a decoded 3-byte character: the ideographic comma becomes a space and
// U+FF01..U+FF5F become 0x21..0x7F.
unsigned fold_halfwidth(unsigned c) {
    if (c == 0x3001) {
        return 0x20;
    }
    if (c >= 0xFF01 && c <= 0xFF5F) {
        return (c & 0xFF) + 0x20;
    }
    return c;
}

// Rewrites the 3-byte character at s[i] to s[o...]; returns the new write position.
std::size_t normalize_three_byte(unsigned char* s, std::size_t i, std::size_t o, unsigned flags,
                                 const unsigned char* case_map) {
    unsigned c = ((s[i] & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
    if (flags & CONV_HALFWIDTH) {
        c = fold_halfwidth(c);
    }
    if (c <= 0x7F) {
        s[o++] = case_map[c];  // folded characters and overlong forms are case-mapped too
        return o;
    }
    const code_point* map = flags & CONV_SIMPLIFIED ? unicode_variant_map : unicode_identity_map;
    // Always three bytes, as read (an overlong form stays overlong), so the text never grows.
    const code_point v = map[c];
    s[o++] = static_cast<unsigned char>(0xE0 | (v >> 12));
    s[o++] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
    s[o++] = static_cast<unsigned char>(0x80 | (v & 0x3F));
    return o;
}

}  // namespace

void utf8_normalize(unsigned char* s, unsigned flags) {
    normalizer_tables_ready();
    const unsigned char* case_map = case_map_for(flags);
    std::size_t i = 0;
    std::size_t o = 0;
    while (s[i] != 0) {
        const unsigned char b = s[i];
        // The form tests stop at the terminating NUL, which is no continuation byte.
        if (b < 0x80) {
            s[o++] = case_map[b];
            i += 1;
        } else if ((b & 0xF0) == 0xE0 && is_continuation(s[i + 1]) && is_continuation(s[i + 2])) {
            o = normalize_three_byte(s, i, o, flags, case_map);
            i += 3;
        } else if ((b & 0xE0) == 0xC0 && is_continuation(s[i + 1])) {
            s[o++] = b;
            s[o++] = s[i + 1];
            i += 2;
        } else {
            s[o++] = b;  // 4-byte leads, stray continuations, broken sequences
            i += 1;
        }
    }
    s[o] = 0;
}

void gbk_normalize(unsigned char* s, unsigned flags) {
    normalizer_tables_ready();
    const unsigned char* case_map = case_map_for(flags);
    const std::uint16_t* map = flags & CONV_SIMPLIFIED ? gbk_variant_map : gbk_identity_map;
    std::size_t o = 0;
    bool lead_pending = false;
    unsigned char lead = 0;
    for (std::size_t i = 0; s[i] != 0; ++i) {
        unsigned char b = s[i];
        if (lead_pending && (flags & CONV_HALFWIDTH)) {
            // Byte-level folds: the lead is dropped and the trail becomes ASCII.
            if (lead == 0xA1 && b == 0xA1) {
                lead_pending = false;
                b = 0x20;
            } else if (lead == 0xA3 && b >= 0xA1) {
                lead_pending = false;
                b = static_cast<unsigned char>(b & 0x7F);
            }
        }
        if (lead_pending) {
            lead_pending = false;  // the byte after a lead is its trail, whatever its value
            const std::uint16_t v = map[((lead << 8) | b) & 0x7FFF];
            s[o++] = static_cast<unsigned char>(v & 0xFF);
            s[o++] = static_cast<unsigned char>(v >> 8);
        } else if (b >= 0x80) {
            lead_pending = true;
            lead = b;
        } else {
            s[o++] = case_map[b];
        }
    }
    if (lead_pending) {
        s[o++] = lead;  // a lead byte left at the end is kept
    }
    s[o] = 0;
}
