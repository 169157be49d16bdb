// Receive decoder: cuts the bytes received from the device into UTF-8 characters and converts each
// to GBK with utf8_to_gbk() as soon as it is complete. A character may arrive split over several
// calls; the decoder keeps its first bytes until the rest comes.
//
// A byte in lead position announces the length of its character (0xC0-0xDF 2, 0xE0-0xEF 3,
// 0xF0-0xF7 4, 0xF8-0xFB 5, 0xFC-0xFD 6, any other byte 1), and the bytes after it are collected
// as its continuation bytes, whatever their form; what the conversion drops shows nothing, and so
// does everything of a character's conversion from its first NUL byte on (00 alone shows nothing,
// FC 80 80 80 41 00 shows A, FC 80 80 80 00 41 nothing).
//
//   receive_decoder_feed()  hands `count` received bytes, in order, to the decoder and stores
//                           what the characters they complete show, in order, at `shown`, which
//                           must hold receive_decoder_shown_max(count) bytes; returns its length.
#pragma once

#include <cstddef>
#include <cstdint>

// The character being collected; value-initialised, it waits for a lead byte.
struct receive_decoder {
    std::uint8_t pending = 0;  // bytes of the current character still expected
    std::uint8_t fill = 0;     // bytes of it collected so far
    unsigned char character[6] = {};
};

// Up to 5 bytes of a character come from earlier calls, and no character shows more bytes than it
// has.
constexpr std::size_t receive_decoder_shown_max(std::size_t count) {
    return count + 5;
}

std::size_t receive_decoder_feed(receive_decoder& decoder, const unsigned char* bytes,
                                 std::size_t count, unsigned char* shown);
