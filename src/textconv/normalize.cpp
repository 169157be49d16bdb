// In-place normalisers of UTF-8 and GBK text: ASCII case, full-width forms, traditional to
// simplified characters. Output never outruns input, so each text is rewritten where it lies.
#include "table_builds.h"
#include "textconv.h"

namespace {

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
