// Receive decoder: cuts the bytes received from the device into UTF-8 characters and writes each to
// standard output, converted to GBK by utf8_to_gbk(), as soon as it is complete. A character may
// arrive split over several calls; the decoder keeps its first bytes until the rest comes.
//
// A byte in lead position announces the length of its character (0xC0-0xDF 2, 0xE0-0xEF 3,
// 0xF0-0xF7 4, 0xF8-0xFB 5, 0xFC-0xFD 6, any other byte 1), and the bytes after it are collected
// as its continuation bytes, whatever their form; what the conversion drops shows nothing.
//
//   receive_decoder_feed()  hands `count` received bytes, in order, to the decoder.
#pragma once

#include <cstddef>
#include <cstdint>

// The character being collected; value-initialised, it waits for a lead byte.
struct receive_decoder {
    std::uint8_t pending = 0;  // bytes of the current character still expected
    std::uint8_t fill = 0;     // bytes of it collected so far
    unsigned char character[6] = {};
};

void receive_decoder_feed(receive_decoder& decoder, const unsigned char* bytes, std::size_t count);
