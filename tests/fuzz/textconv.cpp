// Converters: each output stays within the room its header promises (a canary byte after that room
// must survive), utf8_to_gbk's word-at-a-time path agrees with its per-character one, and the
// conversions agree with one another. (The normalisers, which the program does not run, are pinned
// by the unit test's rows.) Input: the text.
#include "textconv.h"
#include "fuzz.h"

using bytes = std::vector<unsigned char>;
constexpr unsigned char canary = 0xA5;

// The text a converter writes into exactly the promised room; an empty input is refused untouched.
static bytes converted(decltype(utf8_to_gbk) convert, const bytes& in) {
    const std::size_t room = convert == utf8_to_gbk ? in.size() + 1 : (in.size() * 3 + 1) / 2 + 1;
    bytes out(room + 1, canary);
    std::size_t length = 0;
    const int result = convert(in.data(), in.size(), out.data(), &length);
    FUZZ_CHECK(in.empty()
                   ? result == -1 && out[0] == canary
                   : result == 0 && length < room && out[length] == 0 && out[room] == canary);
    return bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
}

// utf8_to_gbk character by character: fewer than 8 bytes never reach the word-at-a-time path.
static bytes gbk_by_character(const bytes& utf8) {
    bytes gbk;
    for (std::size_t i = 0, size = 1; i < utf8.size(); i += size) {
        const unsigned lead = utf8[i];  // the length it announces, or what is left
        size = std::min<std::size_t>(1u + (lead >= 0xC2) + (lead >= 0xE0) + (lead >= 0xF0),
                                     utf8.size() - i);
        const bytes one = converted(utf8_to_gbk, bytes(&utf8[i], &utf8[i] + size));
        gbk.insert(gbk.end(), one.begin(), one.end());
    }
    return gbk;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bytes in(data, data + size);
    // Converted text holds only ASCII and mapped characters: it goes there and back unchanged.
    const bytes gbk = converted(utf8_to_gbk, in), utf8 = converted(gbk_to_utf8, in),
                clean_gbk = converted(utf8_to_gbk, utf8);
    FUZZ_CHECK(gbk == gbk_by_character(in));
    FUZZ_CHECK(converted(utf8_to_gbk, converted(gbk_to_utf8, gbk)) == gbk &&
               converted(gbk_to_utf8, clean_gbk) == utf8);
    return 0;
}
