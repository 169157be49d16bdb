// Console titles and keyboard forwarding.
#include "terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "keys.h"
#include "link.h"
#include "options.h"
#include "view.h"

void set_port_title() {
    // The path, the separator (4), the title and the NUL fit: in 255 bytes with room to spare for
    // a Windows path of 31 characters, in more for a Linux path as long as the system allows.
    char title[std::max<std::size_t>(255, port_path_size - 1 + 4 + sizeof(tool_title))];
    char console_text[port_path_size];
    std::snprintf(title, sizeof(title), "%s——%s",
                  path_as_console_text(port_path, console_text, sizeof console_text), tool_title);
    SetConsoleTitleA(title);
}

void forward_keys() {
    for (;;) {
        const int key = _getch();
        if (key < 0 || key > 0xFF) {
            // No console to read keys from (a detached process, or Wine with standard input that
            // is no console): _getch then fails at once, for ever. Sending its value each time
            // would flood the device, so the main thread rests while the link thread goes on.
            for (;;) {
                Sleep(60 * 60 * 1000);
            }
        }
        // Keys typed before it have gone out already; those after it stay unread. The platform
        // gives back the terminal and the port on the way out.
        if (key == exit_key) {
            std::exit(0);
        }
        // Keys typed while the link is down are dropped without a word.
        if (send_typed_key(static_cast<unsigned char>(key)) < 0) {
            view_status("write to serial port fail\n", false);
        }
    }
}
