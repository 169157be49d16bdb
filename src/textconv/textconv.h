// Text conversion between UTF-8, Unicode code points and GBK (code page 936).
//
// The GBK mapping ships in packed form (runs of consecutive codes plus single pairs, see
// gbk_packed_data.h), from which the compiler builds unicode_to_gbk, the receive path's table: it
// is read-only data of the program, ready before it starts. The other tables are built by the
// conversions that read them, on their first call, in zero-initialised static memory (so a program
// that never calls them never pays their memory). Every conversion is one table lookup per
// character, with no allocation and no search, and the tables are only read, once built, from any
// thread, without locks.
//
//   utf8_to_gbk()           UTF-8 bytes to GBK text for display; characters without a GBK code
//                           vanish.
//   gbk_to_utf8()           GBK bytes to UTF-8 text.
//   gbk_to_utf8_complete()  the same for a stream cut into buffers: a lead byte at the end is left
//                           for the caller to carry into the next buffer.
//   utf8_normalize()        in-place case, full-width and traditional-to-simplified folding of
//                           UTF-8.
//   gbk_normalize()         the same for GBK text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// A GBK code is lead byte * 256 + trail byte; a code point is a BMP value. 0 means "no mapping".
using gbk_code = std::uint16_t;
using code_point = std::uint16_t;

// Lookup tables, only read once built: unicode_to_gbk by the compiler, gbk_to_unicode by the first
// GBK-to-UTF-8 conversion. unicode_to_gbk is indexed by code point. (A denser unicode_to_gbk, in
// blocks of 256 code points, half the size, made utf8_to_gbk() a quarter slower on Chinese text:
// the lookup is in every character's step.) gbk_to_unicode holds a row of gbk_row_size entries
// per lead byte (lead & 0x7F), for the trail bytes 0x40..0xFF: no GBK trail byte is below 0x40, so
// rows of 256 would be a quarter empty. gbk_code_point() reads it.
constexpr unsigned gbk_row_size = 192;
extern code_point gbk_to_unicode[128 * gbk_row_size];
extern const std::array<gbk_code, 65536> unicode_to_gbk;

// The code point of the byte pair lead, trail (lead 0x80 or above), 0 when it is no GBK code.
inline code_point gbk_code_point(unsigned lead, unsigned trail) {
    return trail < 0x40 ? 0 : gbk_to_unicode[(lead & 0x7F) * gbk_row_size + (trail - 0x40)];
}

// Tables of the normalisers, built by the first normalisation.
// Case maps, indexed by an ASCII value: A-Z to a-z, a-z to A-Z, and unchanged.
extern unsigned char ascii_lower_map[128];
extern unsigned char ascii_upper_map[128];
extern unsigned char ascii_identity_map[128];
// Code point to code point: unchanged, and traditional to simplified.
extern code_point unicode_identity_map[65536];
extern code_point unicode_variant_map[65536];
// Indexed by (GBK code - 0x8000), i.e. ((lead & 0x7F) << 8) | trail; an entry holds the two text
// bytes of a GBK code with the lead byte in the low 8 bits, so storing the low byte first
// reproduces the text. gbk_variant_map maps traditional characters outside the GB2312 area to
// simplified ones; every other code to itself.
extern std::uint16_t gbk_identity_map[32768];
extern std::uint16_t gbk_variant_map[32768];

// Converts len bytes of UTF-8 at src into GBK at dst (which must hold len + 1 bytes and must not
// overlap src) and NUL-terminates it; *out_len receives the byte count before the NUL. Returns 0,
// or -1 (nothing written) when len is 0 or src or dst is null. An incomplete character at the end
// stops the conversion; characters with no GBK code and 4-byte characters produce nothing.
int utf8_to_gbk(const unsigned char* src, std::size_t len, unsigned char* dst,
                std::size_t* out_len);

// Normalisation flags for utf8_normalize() and gbk_normalize().
enum : unsigned {
    CONV_LOWER = 1,       // A-Z become a-z
    CONV_UPPER = 2,       // a-z become A-Z (ignored when CONV_LOWER is set)
    CONV_HALFWIDTH = 4,   // full-width forms become ASCII
    CONV_SIMPLIFIED = 8,  // traditional characters become simplified ones
};

// Converts len bytes of GBK at src into UTF-8 at dst, NUL-terminated; dst must hold
// len * 3 / 2 rounded up, plus one byte, and must not overlap src. Returns 0, or -1 (nothing
// written) when len is 0 or src or dst is null. Codes without a mapping produce nothing; a lead
// byte left at the end is dropped.
int gbk_to_utf8(const unsigned char* src, std::size_t len, unsigned char* dst,
                std::size_t* out_len);

// Converts the whole characters of len bytes of GBK at src into UTF-8 at dst (room for len * 3 / 2
// rounded up; no NUL is written) by the rule of gbk_to_utf8, and returns the number of bytes
// written. *consumed receives the number of input bytes converted: len, or len - 1 when the last
// byte is a lead byte, whose trail the next buffer brings.
std::size_t gbk_to_utf8_complete(const unsigned char* src, std::size_t len, unsigned char* dst,
                                 std::size_t* consumed);

// Rewrite a NUL-terminated text in place; the result is never longer than the input.
// utf8_normalize folds full-width forms U+FF01..U+FF5F and the ideographic comma U+3001 (to a
// space); gbk_normalize folds A3 A1..A3 FF and the ideographic space A1 A1, and keeps a lead byte
// left at the end.
void utf8_normalize(unsigned char* s, unsigned flags);
void gbk_normalize(unsigned char* s, unsigned flags);
