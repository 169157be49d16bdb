// Converters: each output stays within the room its header promises (a canary byte after that room
// must survive), utf8_to_gbk's word-at-a-time path agrees with its per-character one, the
// normalisers never grow a text, and the conversions agree with one another.
// Input: a byte whose low four bits are the normalisation flags, then the text.
#include "textconv.h"
#include "fuzz.h"

using bytes = std::vector<unsigned char>;
using converter = int (*)(const unsigned char*, std::size_t, unsigned char*, std::size_t*);
constexpr unsigned char canary = 0xA5;

// The text a converter writes into exactly `room` bytes; an empty input is refused untouched.
static bytes converted(converter convert, const bytes& in, std::size_t room) {
    bytes out(room + 1, canary);
    std::size_t length = 0;
    const int result = convert(in.data(), in.size(), out.data(), &length);
    FUZZ_CHECK(in.empty()
                   ? result == -1 && out[0] == canary
                   : result == 0 && length < room && out[length] == 0 && out[room] == canary);
    return bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
}
static bytes utf8_of(const bytes& gbk) {
    return converted(gbk_to_utf8, gbk, (gbk.size() * 3 + 1) / 2 + 1);
}
static bytes gbk_of(const bytes& utf8) {
    return converted(utf8_to_gbk, utf8, utf8.size() + 1);
}

// utf8_to_gbk character by character: fewer than 8 bytes never reach the word-at-a-time path.
static bytes gbk_by_character(const bytes& utf8) {
    bytes gbk;
    for (std::size_t i = 0, size = 1; i < utf8.size(); i += size) {
        const unsigned lead = utf8[i];
        const std::size_t announced = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        size = std::min(announced, utf8.size() - i);
        const bytes one = gbk_of(bytes(&utf8[i], &utf8[i] + size));
        gbk.insert(gbk.end(), one.begin(), one.end());
    }
    return gbk;
}

// The text up to its first NUL, normalised in place in a buffer of just its size.
static bytes normalized(void (*normalize)(unsigned char*, unsigned), const bytes& in,
                        unsigned flags) {
    const auto length = static_cast<std::size_t>(std::find(in.begin(), in.end(), 0) - in.begin());
    bytes text(length + 2, canary);
    std::copy_n(in.begin(), length, text.begin());
    text[length] = 0;
    normalize(text.data(), flags);
    const std::size_t after = std::strlen(reinterpret_cast<const char*>(text.data()));
    FUZZ_CHECK(after <= length && text[length + 1] == canary);
    return bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(after));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool ready = (code_tables_init(), true);
    const unsigned flags = size != 0 ? data[0] & 15u : 0;
    const bytes in(data + (size != 0), data + size);
    // Converted text holds only ASCII and mapped characters: it goes there and back unchanged.
    const bytes gbk = gbk_of(in), utf8 = utf8_of(in), clean_gbk = gbk_of(utf8);
    FUZZ_CHECK(gbk == gbk_by_character(in));
    FUZZ_CHECK(gbk_of(utf8_of(gbk)) == gbk && utf8_of(clean_gbk) == utf8);
    // Normalising twice changes nothing more; on mapped text both normalisers do the same, except
    // for full-width folding, whose ranges differ by design.
    for (auto normalize : {utf8_normalize, gbk_normalize}) {
        const bytes once = normalized(normalize, in, flags);
        FUZZ_CHECK(normalized(normalize, once, flags) == once);
    }
    const unsigned common = flags & ~unsigned{CONV_HALFWIDTH};
    FUZZ_CHECK(utf8_of(normalized(gbk_normalize, clean_gbk, common)) ==
               normalized(utf8_normalize, utf8, common));
    return 0;
}
