// GBK to UTF-8. A byte of 0x80 or above is a lead byte and takes the next byte, whatever it is, as
// its trail. Each pair gives at most three UTF-8 bytes and each single byte one, so the output is
// at most one and a half times the input.
#include "table_builds.h"
#include "textconv.h"

namespace {

// Writes the UTF-8 form of a BMP code point (1 to 3 bytes) at out and returns its length.
std::size_t put_utf8(code_point point, unsigned char* out) {
    if (point > 0x7FF) {
        out[0] = static_cast<unsigned char>(0xE0 | (point >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        return 3;
    }
    if (point > 0x7F) {
        out[0] = static_cast<unsigned char>(0xC0 | (point >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(point);
    return 1;
}

}  // namespace

std::size_t gbk_to_utf8_complete(const unsigned char* src, std::size_t len, unsigned char* dst,
                                 std::size_t* consumed) {
    gbk_to_unicode_ready();
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < len) {
        if (src[i] < 0x80) {
            dst[o++] = src[i++];
        } else if (i + 1 == len) {
            break;  // a lead byte whose trail is not here yet
        } else {
            const code_point point = gbk_code_point(src[i], src[i + 1]);
            if (point != 0) {  // no mapping: nothing written
                o += put_utf8(point, dst + o);
            }
            i += 2;
        }
    }
    *consumed = i;
    return o;
}

int gbk_to_utf8(const unsigned char* src, std::size_t len, unsigned char* dst,
                std::size_t* out_len) {
    if (len == 0 || src == nullptr || dst == nullptr) {
        return -1;
    }
    std::size_t consumed = 0;
    // A lead byte left at the end, not consumed, has no trail: it is dropped.
    const std::size_t o = gbk_to_utf8_complete(src, len, dst, &consumed);
    dst[o] = 0;
    *out_len = o;
    return 0;
}
