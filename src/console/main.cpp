// comterm: an interactive serial-port terminal. Start-up runs here, in a fixed order; then the main
// thread forwards keys for the rest of the process's life while the link thread shows what the
// device sends.
#include "keys.h"
#include "link.h"
#include "options.h"
#include "selection.h"
#include "terminal.h"
#include "textconv.h"
#include "view.h"

int main(int argc, char** argv) {
    // Standard streams show every write at once.
    console_init();
    // The window is named after the tool until a port is chosen.
    SetConsoleTitleA(tool_title);
    // Options from the command line; without any, the usage text (and then the menus).
    if (argc == 1) {
        print_usage(argv[0], stderr);
    } else if (parse_options(argc, argv) != 0) {
        return 2;  // a value the program cannot use: nothing opened yet
    }
    // --list: the ports the menu would offer, and the end.
    if (list_ports_requested) {
        list_ports();
        return 0;
    }
    // The session log, if asked for: one that cannot be opened ends the program before any port.
    if (view_log_open(argv[0]) != 0) {
        return 1;
    }
    // Menus for whatever the command line left unset.
    if (port_path[0] == '\0') {
        select_port();
    }
    if (baud_rate == 0) {
        select_baud();
    }
    // The window now names the device.
    set_port_title();
    // The log's session line names port and rate.
    view_session_start();
    // The exit key, when there is one, is named before anything else is shown.
    print_exit_banner();
    // The link thread owns the device from here on.
    _beginthreadex(nullptr, 0, link_thread, nullptr, 0, nullptr);
    // The main thread forwards keys for ever.
    forward_keys();
}
