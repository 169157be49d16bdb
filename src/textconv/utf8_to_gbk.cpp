// UTF-8 to GBK, the conversion of the receive path: one table lookup per character.
//
// The bulk of the input, while at least 8 bytes remain, goes through a fast path that reads 8-byte
// words: runs of ASCII are copied a word at a time and runs of 3-byte characters (Chinese text)
// are decoded two per word. No character can be cut short there. The last bytes go through the
// plain per-character loop, which also decides where an incomplete character stops the
// conversion. Both paths follow the same rules.
#include <bit>
#include <cstdint>
#include <cstring>

#include "textconv.h"

static_assert(std::endian::native == std::endian::little, "8-byte words are decoded little-endian");

namespace {

bool is_three_byte_lead(unsigned b) {
    return (b & 0xF0) == 0xE0;
}

code_point two_byte_point(const unsigned char* p) {
    return static_cast<code_point>(((p[0] & 0x1F) << 6) | (p[1] & 0x3F));
}

code_point three_byte_point(const unsigned char* p) {
    return static_cast<code_point>(((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
}

// The same for a 3-byte character in the low three bytes of a word.
code_point three_byte_point(std::uint64_t word) {
    return static_cast<code_point>(((word & 0x0F) << 12) | ((word >> 2) & 0x0FC0) |
                                   ((word >> 16) & 0x3F));
}

// Stores the GBK code of a code point at dst[0..1], lead byte first, and returns how many of the
// two bytes belong to the output: 2, or 0 when the code point has no GBK code. Both are stored
// either way (the callers guarantee room), which keeps the step free of branches.
std::size_t put_gbk(code_point point, unsigned char* dst) {
    const gbk_code code = unicode_to_gbk[point];
    dst[0] = static_cast<unsigned char>(code >> 8);
    dst[1] = static_cast<unsigned char>(code & 0xFF);
    return static_cast<std::size_t>(code >> 15) * 2;  // every GBK code is 0x8140 or above
}

// Copies the ASCII bytes that start the word at src[i] (up to 8; all 8 bytes are stored).
void copy_ascii_word(const unsigned char* src, std::size_t& i, unsigned char* dst, std::size_t& o) {
    std::uint64_t word;
    std::memcpy(&word, src + i, 8);
    std::memcpy(dst + o, &word, 8);
    const auto ascii = static_cast<std::size_t>(std::countr_zero(word & 0x8080808080808080u) / 8);
    i += ascii;
    o += ascii;
}

// Decodes a run of 3-byte characters, two per word while both announce three bytes.
void convert_three_byte_run(const unsigned char* src, std::size_t len, std::size_t& i,
                            unsigned char* dst, std::size_t& o) {
    do {
        std::uint64_t word;
        std::memcpy(&word, src + i, 8);
        o += put_gbk(three_byte_point(word), dst + o);
        if (!is_three_byte_lead(static_cast<unsigned>(word >> 24) & 0xFF)) {
            i += 3;
            return;
        }
        o += put_gbk(three_byte_point(word >> 24), dst + o);
        i += 6;
    } while (len - i >= 8 && is_three_byte_lead(src[i]));
}

// The fast path, while at least 8 bytes remain. Stores may reach beyond the output written so
// far, but never past src position i + 7 < len: the output is never longer than its input, so
// o <= i, and dst holds len + 1 bytes. (This is also why src and dst must not overlap.)
void convert_bulk(const unsigned char* src, std::size_t len, std::size_t& i_io, unsigned char* dst,
                  std::size_t& o_io) {
    // Local positions: stores through dst may alias anything, the references included.
    std::size_t i = i_io;
    std::size_t o = o_io;
    while (len - i >= 8) {
        const unsigned b = src[i];
        if (b < 0x80) {
            copy_ascii_word(src, i, dst, o);
        } else if (is_three_byte_lead(b)) {
            convert_three_byte_run(src, len, i, dst, o);
        } else if (b <= 0xC1) {
            i += 1;  // continuation byte or overlong 2-byte lead
        } else if (b <= 0xDF) {
            o += put_gbk(two_byte_point(src + i), dst + o);
            i += 2;
        } else {
            i += 4;  // beyond the BMP: no GBK code
        }
    }
    i_io = i;
    o_io = o;
}

// The plain path for the last bytes: returns false when the character at src[i] is cut short by
// the end of the input, which ends the conversion (the bytes after it are not looked at).
bool convert_char(const unsigned char* src, std::size_t len, std::size_t& i, unsigned char* dst,
                  std::size_t& o) {
    const unsigned b = src[i];
    if (b < 0x80) {
        dst[o++] = static_cast<unsigned char>(b);
        i += 1;
    } else if (b <= 0xC1) {
        i += 1;
    } else if (b <= 0xDF) {
        if (i + 1 >= len) {
            return false;
        }
        o += put_gbk(two_byte_point(src + i), dst + o);
        i += 2;
    } else if (b <= 0xEF) {
        if (i + 2 >= len) {
            return false;
        }
        o += put_gbk(three_byte_point(src + i), dst + o);
        i += 3;
    } else {
        i += 4;
    }
    return true;
}

}  // namespace

int utf8_to_gbk(const unsigned char* src, std::size_t len, unsigned char* dst,
                std::size_t* out_len) {
    if (len == 0 || src == nullptr || dst == nullptr) {
        return -1;
    }
    std::size_t i = 0;
    std::size_t o = 0;
    convert_bulk(src, len, i, dst, o);
    while (i < len && convert_char(src, len, i, dst, o)) {
    }
    dst[o] = 0;
    *out_len = o;
    return 0;
}
