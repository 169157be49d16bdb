// DTR and RTS after each open.
#include "modem_lines.h"

#include <cstdio>
#include <iterator>

line_wish dtr_wish = LINE_AS_DRIVER;
line_wish rts_wish = LINE_AS_DRIVER;

namespace {

struct modem_line {
    const char* name;
    const line_wish* wish;
    DWORD set_function;
    DWORD clear_function;
    const char* set_name;
    const char* clear_name;
};

constexpr modem_line modem_lines[] = {
    {"DTR", &dtr_wish, SETDTR, CLRDTR, "SETDTR", "CLRDTR"},
    {"RTS", &rts_wish, SETRTS, CLRRTS, "SETRTS", "CLRRTS"},
};

// Whether each line's refusal has been said; only the link thread sets lines.
bool refusal_said[2] = {};

}  // namespace

void modem_lines_apply(HANDLE handle) {
    static_assert(std::size(modem_lines) == std::size(refusal_said));
    for (std::size_t i = 0; i < std::size(modem_lines); ++i) {
        const modem_line& line = modem_lines[i];
        if (*line.wish == LINE_AS_DRIVER) {
            continue;
        }
        const bool on = *line.wish == LINE_ON;
        if (EscapeCommFunction(handle, on ? line.set_function : line.clear_function) ||
            refusal_said[i]) {
            continue;
        }
        // Said once: a port that refuses now refuses at every reopen.
        refusal_said[i] = true;
        std::fprintf(stderr, "EscapeCommFunction %s fail: %s stays as the driver left it\n",
                     on ? line.set_name : line.clear_name, line.name);
    }
}
