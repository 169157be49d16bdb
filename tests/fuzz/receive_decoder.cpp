// Receive decoder: what is shown must not depend on how the received bytes are cut into reads.
// GBK shown as it comes (view.h) likewise, and no read's share of it ends amid a character.
// Input: a byte whose value modulo 8 is a count of cuts, that many read lengths, then the bytes.
#include "receive_decoder.h"
#include "fuzz.h"
#include "textconv.h"
#include "view.h"

// What one decoder shows for the bytes fed in reads of the given lengths, the reads' output joined.
static std::string shown(const unsigned char* bytes, const std::vector<std::size_t>& reads) {
    receive_decoder decoder{};
    std::string text;
    for (std::size_t length : reads) {
        std::string part(receive_decoder_shown_max(length), '\0');  // exactly the room promised
        auto* out = reinterpret_cast<unsigned char*>(part.data());
        text.append(part.data(), receive_decoder_feed(decoder, bytes, length, out));
        bytes += length;
    }
    return text;
}

// The GBK bytes shown for reads of the given lengths: what came, in order, but for a lead byte
// still held; each read's share ends on a character's end, as a console draws half a character as
// junk.
static void check_gbk_whole(const unsigned char* bytes, const std::vector<std::size_t>& reads) {
    const unsigned char* const received = bytes;
    unsigned char lead = 0;
    std::string text;
    for (std::size_t length : reads) {
        std::vector<unsigned char> part(length + 1);  // exactly the room promised
        const std::size_t written = gbk_whole_characters(lead, bytes, length, part.data());
        std::size_t end = 0;
        while (end < written) {
            end += part[end] >= 0x81 && part[end] <= 0xFE ? 2 : 1;
        }
        FUZZ_CHECK(end == written);
        text.append(reinterpret_cast<const char*>(part.data()), written);
        bytes += length;
    }
    FUZZ_CHECK(text.size() + (lead != 0 ? 1 : 0) == static_cast<std::size_t>(bytes - received) &&
               std::memcmp(text.data(), received, text.size()) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t cuts = size != 0 ? data[0] % 8u : 0;
    if (size < 1 + cuts) {
        return 0;
    }
    const unsigned char* received = data + 1 + cuts;
    std::size_t left = size - 1 - cuts;
    std::vector<std::size_t> chosen, byte_by_byte(left, 1);
    const std::string whole = shown(received, {left});
    for (std::size_t i = 1; i <= cuts; ++i) {
        chosen.push_back(data[i] % (left + 1));
        left -= chosen.back();
    }
    chosen.push_back(left);
    FUZZ_CHECK(shown(received, chosen) == whole && shown(received, byte_by_byte) == whole);
    // A character never shows longer than it came, and a NUL received shows nothing.
    FUZZ_CHECK(whole.size() <= byte_by_byte.size() && whole.find('\0') == std::string::npos);
    check_gbk_whole(received, chosen);
    check_gbk_whole(received, byte_by_byte);
    return 0;
}
