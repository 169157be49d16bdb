// The option parser and the usage text.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link.h"

namespace {

// What a recognised option does with its value.
struct option_row {
    char letter;
    void (*apply)(const char* argv0, const char* value);
};

void apply_port(const char* argv0, const char* value) {
    // A full device path is taken as it is; anything else is a name in the device namespace. A '/'
    // path (Linux) is kept as typed, as long as the system allows, and opened by that name every
    // time, so that a link such as /dev/serial/by-id/... leads to the device it names now; a "\\.\"
    // path holds 31 characters, as on Windows. A path that would not fit is refused whole.
    const bool full_path = names_full_device_path(value);
    const std::size_t room =
        full_path && value[0] == '/' ? port_path_size : device_namespace_path_size;
    const char* prefix = full_path ? "" : "\\\\.\\";
    const std::size_t prefix_len = std::strlen(prefix);
    const std::size_t value_len = std::strlen(value);
    if (prefix_len + value_len >= room) {
        char shown[port_path_size];
        std::fprintf(stderr, "%s: port name too long -- %s\n", argv0,
                     path_as_console_text(value, shown, sizeof shown));
        return;
    }
    std::memcpy(port_path, prefix, prefix_len);
    std::memcpy(port_path + prefix_len, value, value_len + 1);
}

// How a -b value reads: atoi's way (leading blanks, a sign, digits; 0 when there are none), clamped
// to the 32-bit range instead of atoi's undefined behaviour on overflow, and where the reading
// stopped.
struct baud_reading {
    std::int32_t value;
    bool has_digits;
    bool clamped;
    const char* rest;  // what follows the digits
};

baud_reading read_baud(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    const char* const digits = p;
    long long value = 0;
    constexpr long long limit = 2147483648LL;  // |INT32_MIN|
    bool beyond = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) {
            value = limit;
            beyond = true;
        }
    }
    const long long highest = negative ? limit : limit - 1;
    const bool clamped = beyond || value > highest;
    if (value > highest) {
        value = highest;
    }
    const auto result = static_cast<std::int32_t>(negative ? -value : value);
    return {result, p != digits, clamped, p};
}

// A rate is read as far as its digits go: say so when what was typed says more (115k, 9600baud, or
// a number beyond the 32-bit range), not when there is no number at all (the rate menu shows it).
void apply_baud(const char* argv0, const char* value) {
    const baud_reading reading = read_baud(value);
    baud_rate = reading.value;
    if (reading.has_digits && (*reading.rest != '\0' || reading.clamped)) {
        char shown[port_path_size];
        std::fprintf(stderr, "%s: -b %s: read as %ld\n", argv0,
                     path_as_console_text(value, shown, sizeof shown),
                     static_cast<long>(reading.value));
    }
}

constexpr option_row option_rows[] = {
    {'p', apply_port},
    {'b', apply_baud},
};

const option_row* find_option(char letter) {
    for (const option_row& row : option_rows) {
        if (row.letter == letter) {
            return &row;
        }
    }
    return nullptr;
}

bool is_option_word(const char* word) {
    return word[0] == '-' && word[1] != '\0';
}

// Words that are not options are ignored, as the GNU rules have it; a user who typed them meant
// something, so they are named, all in one line.
void report_ignored(const char* argv0, const std::vector<const char*>& ignored) {
    if (ignored.empty()) {
        return;
    }
    std::fprintf(stderr, "%s: ignored:", argv0);
    char shown[port_path_size];
    for (const char* word : ignored) {
        std::fprintf(stderr, " %s", path_as_console_text(word, shown, sizeof shown));
    }
    std::fprintf(stderr, "; use -p PORT -b RATE\n");
}

}  // namespace

std::int32_t parse_baud(const char* text) {
    return read_baud(text).value;
}

const char* program_name_of(const char* argv0) {
    const char* last_backslash = std::strrchr(argv0, '\\');
    return last_backslash != nullptr ? last_backslash + 1 : argv0;
}

void print_usage(const char* argv0, std::FILE* stream) {
    const char* name = program_name_of(argv0);
    std::fprintf(stream, "%s\n参数说明:%s [-p 串口名] [-b 波特率]\n例如：%s -p COM3 -b 9600\n",
                 tool_title, name, name);
}

void parse_options(int argc, char** argv) {
    const char* argv0 = argv[0];
    const bool stop_at_first_word = std::getenv("POSIXLY_CORRECT") != nullptr;
    std::vector<const char*> ignored;
    int i = 1;
    for (; i < argc; ++i) {
        const char* word = argv[i];
        if (std::strcmp(word, "--") == 0) {
            ++i;
            break;
        }
        if (!is_option_word(word)) {
            if (stop_at_first_word) {
                break;
            }
            ignored.push_back(word);
            continue;  // words that are not options are skipped, scanning goes on after them
        }
        // The two long options; any other word beginning with "--" is read letter by letter.
        if (std::strcmp(word, "--help") == 0) {
            print_usage(argv0, stdout);
            std::exit(0);
        }
        if (std::strcmp(word, "--version") == 0) {
            std::printf("comterm %s\n", COMTERM_VERSION);
            std::exit(0);
        }
        // A word may hold several letters (-xp COM3); a letter that takes a value ends the word.
        for (const char* letter = word + 1; *letter != '\0'; ++letter) {
            const option_row* row = find_option(*letter);
            if (row == nullptr) {
                std::fprintf(stderr, "%s: invalid option -- %c\n", argv0, *letter);
                continue;
            }
            if (letter[1] != '\0') {
                row->apply(argv0, letter + 1);
            } else if (i + 1 < argc) {
                row->apply(argv0, argv[++i]);
            } else {
                std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv0, *letter);
            }
            break;
        }
    }
    // After "--", or from the first word that is not an option under POSIXLY_CORRECT, every word
    // is an ordinary word, options included.
    for (; i < argc; ++i) {
        ignored.push_back(argv[i]);
    }
    report_ignored(argv0, ignored);
}
