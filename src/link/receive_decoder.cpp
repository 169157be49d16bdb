#include "receive_decoder.h"

#include <array>

#include "textconv.h"

namespace {

struct lead_length_row {
    unsigned first;
    unsigned last;
    std::uint8_t length;
};

// Continuation bytes (0x80-0xBF) in lead position count as one-byte characters, as do 0xFE and
// 0xFF, so the table never yields 0 and the decoder always makes progress.
constexpr lead_length_row lead_length_rows[] = {
    {0x00, 0xBF, 1}, {0xC0, 0xDF, 2}, {0xE0, 0xEF, 3}, {0xF0, 0xF7, 4},
    {0xF8, 0xFB, 5}, {0xFC, 0xFD, 6}, {0xFE, 0xFF, 1},
};

constexpr std::array<std::uint8_t, 256> make_lead_length_table() {
    std::array<std::uint8_t, 256> table{};
    for (const lead_length_row& row : lead_length_rows) {
        for (unsigned b = row.first; b <= row.last; ++b) {
            table[b] = row.length;
        }
    }
    return table;
}

// Length of the UTF-8 character that a byte in lead position announces (never 0).
constexpr std::array<std::uint8_t, 256> lead_length_table = make_lead_length_table();

}  // namespace

static_assert(sizeof(receive_decoder::character) == 6, "the longest lead announces 6 bytes");

std::size_t receive_decoder_feed(receive_decoder& decoder, const unsigned char* bytes,
                                 std::size_t count, unsigned char* shown) {
    std::size_t shown_len = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char b = bytes[i];
        if (decoder.pending == 0) {
            if (b < 0x80) {
                // A character of its own, converted to itself; the NUL shows nothing.
                shown[shown_len] = b;
                shown_len += b != 0 ? 1 : 0;
                continue;
            }
            decoder.pending = lead_length_table[b];
            decoder.fill = 0;
        }
        decoder.character[decoder.fill++] = b;
        --decoder.pending;
        if (decoder.pending == 0) {
            // A group of at most 6 bytes converts to at most 6 bytes plus the NUL. What follows a
            // NUL in the group shows nothing, as the group was once written as a C string.
            unsigned char converted[10];
            std::size_t converted_len = 0;
            if (utf8_to_gbk(decoder.character, decoder.fill, converted, &converted_len) == 0) {
                for (std::size_t c = 0; c < converted_len && converted[c] != 0; ++c) {
                    shown[shown_len++] = converted[c];
                }
            }
        }
    }
    return shown_len;
}
