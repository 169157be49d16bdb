// The serial link: the one background thread that owns the device.
//
// link_thread opens port_path, configures the line (8N1 at baud_rate, reads that return at once),
// polls it for received bytes and shows them through the receive decoder, queries the device every
// 201 idle passes to notice that it has gone, and then reopens it once a second until it is back,
// announcing each change on the console. The main thread only reads link_state and port_handle to
// forward keys; this thread is their only writer once started, and it stores a new handle before it
// publishes LINK_UP (release), so a reader that sees LINK_UP (acquire) sees that handle.
//
//   link_thread()      the thread routine; never returns.
//   configure_port()   line settings and timeouts on port_handle; 0, or -1/-2/-3 for the failing call.
//   link_send_key()    the main thread's way to send one key byte while the link is up.
//   receive_decoder_feed()  cuts received bytes into UTF-8 characters and shows each as GBK.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform.h"

enum link_state_value : std::uint8_t {
    LINK_UNOPENED = 0,  // never opened yet
    LINK_UP = 1,        // open and configured
    LINK_LOST = 2,      // was up, the device stopped answering
};

constexpr std::size_t port_path_size = 32;  // 31 characters and the NUL

// Written by the main thread before the link thread starts, only read afterwards.
extern char port_path[port_path_size];
extern std::int32_t baud_rate;

// Written by the link thread only, once it runs.
extern std::atomic<HANDLE> port_handle;
extern std::atomic<std::uint8_t> link_state;

unsigned link_thread(void* argument);
int configure_port();

// Sends one byte to the device if the link is up: 0 sent, -1 the write failed, 1 dropped because
// the link is not up. Safe against the link thread releasing a lost handle at the same moment.
int link_send_key(unsigned char key);

// Length of the UTF-8 character that a byte in lead position announces (never 0).
extern const std::array<std::uint8_t, 256> lead_length_table;

// Receive decoder: the partial character survives between calls (and across reconnections).
struct receive_decoder {
    std::uint8_t pending = 0;  // bytes of the current character still expected
    std::uint8_t fill = 0;     // bytes of it collected so far
    unsigned char character[6] = {};
};
void receive_decoder_feed(receive_decoder& decoder, const unsigned char* bytes, std::size_t count);
