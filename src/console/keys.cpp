// Enter's bytes, echo, pacing and the exit key.
#include "keys.h"

#include <cstdio>

#include "link.h"
#include "receive_decoder.h"
#include "view.h"

bool echo_keys = false;
enter_choice enter_sends = ENTER_CR;
std::uint32_t char_delay_ms = 0;
int exit_key = -1;

namespace {

constexpr unsigned char enter_key = 0x0D;

struct byte_sequence {
    unsigned char bytes[2];
    unsigned char count;
};
// Indexed by enter_choice.
constexpr byte_sequence enter_sequences[] = {{{0x0D}, 1}, {{0x0A}, 1}, {{0x0D, 0x0A}, 2}};

// Keys come in the console's own encoding. Console text is GBK, and so are the keys of a Windows
// console and of a GBK terminal; a Linux terminal in any other locale types UTF-8, which
// path_as_console_text() turns into GBK, and which the receive decoder (the same conversion,
// byte by byte) can show. Asked with a character that has a GBK form; the platform reads the
// locale once.
bool keys_typed_as_utf8() {
    const char probe[] = "\xE4\xB8\x80";  // U+4E00
    char converted[sizeof probe];
    return path_as_console_text(probe, converted, sizeof converted) != probe;
}

}  // namespace

void echo_key(unsigned char key) {
    // Through the view: stamped with --timestamp, and with --hex the key's own byte in hex.
    unsigned char shown[receive_decoder_shown_max(1)] = {key};
    std::size_t shown_len = 1;
    if (view_hex) {
        view_echo(shown, shown_len);
        return;
    }
    if (key == enter_key) {
        shown[0] = '\n';
    } else if (keys_typed_as_utf8()) {
        static receive_decoder decoder;
        shown_len = receive_decoder_feed(decoder, &key, 1, shown);
    }
    view_echo(shown, shown_len);
}

int send_typed_key(unsigned char key) {
    byte_sequence sequence{{key}, 1};
    if (key == enter_key) {
        sequence = enter_sequences[enter_sends];
    }
    for (unsigned char i = 0; i < sequence.count; ++i) {
        const int result = link_send_key(sequence.bytes[i]);
        if (result != 0) {
            return result;
        }
        if (i + 1 == sequence.count && echo_keys) {
            echo_key(key);
        }
        // The pause follows the byte, so a key typed after a quiet moment goes out at once: only
        // the bytes that come within the pause (a paste, the LF of CR LF) wait for it. Sleep
        // never ends early.
        if (char_delay_ms != 0) {
            Sleep(char_delay_ms);
        }
    }
    return 0;
}

void print_exit_banner() {
    if (exit_key < 0) {
        return;
    }
    // Control keys as Windows writes their shortcuts (Ctrl+]), any other by itself.
    char name[8];
    if (exit_key < 0x20) {
        std::snprintf(name, sizeof name, "Ctrl+%c", exit_key + 0x40);
    } else if (exit_key == 0x7F) {
        std::snprintf(name, sizeof name, "Ctrl+?");
    } else if (exit_key == ' ') {
        std::snprintf(name, sizeof name, "Space");
    } else {
        std::snprintf(name, sizeof name, "%c", exit_key);
    }
    // A status line like the link's: stamped with --timestamp, and in the log.
    char line[32];
    std::snprintf(line, sizeof line, ">>按 %s 退出\n", name);
    view_status(line, false);
}
