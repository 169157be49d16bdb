// The option parser and the usage text.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keys.h"
#include "link.h"
#include "modem_lines.h"
#include "view.h"

bool list_ports_requested = false;

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

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

// What a long option ("--name", "--name VALUE", "--name=VALUE") does, and its line in --help.
// value_name is null for an option without a value. apply returns 0, or a negative value when it
// refused the value (after saying why on standard error); an option that only switches a setting
// on names it as flag instead.
struct long_option_row {
    const char* name;
    const char* value_name;
    const char* help;
    int (*apply)(const char* argv0, const char* value);
    bool* flag = nullptr;
};

int apply_help(const char* argv0, const char* value);
int apply_version(const char* argv0, const char* value);
int apply_enter(const char* argv0, const char* value);
int apply_dtr(const char* argv0, const char* value);
int apply_rts(const char* argv0, const char* value);
int apply_char_delay(const char* argv0, const char* value);
int apply_exit_key(const char* argv0, const char* value);

int apply_log(const char* argv0, const char* value);
int apply_encoding(const char* argv0, const char* value);

constexpr long_option_row long_option_rows[] = {
    {"help", nullptr, "show this text and end", apply_help},
    {"version", nullptr, "show the version and end", apply_version},
    {"list", nullptr, "list the ports the menu would offer and end", nullptr,
     &list_ports_requested},
    {"echo", nullptr, "show each key sent as it is typed", nullptr, &echo_keys},
    {"enter", "cr|lf|crlf", "what the Enter key sends (cr)", apply_enter},
    {"char-delay", "MS", "at least MS milliseconds between bytes sent", apply_char_delay},
    {"dtr", "on|off", "set DTR at every open (as the driver leaves it)", apply_dtr},
    {"rts", "on|off", "set RTS at every open (as the driver leaves it)", apply_rts},
    {"exit-key", "KEY", "end with KEY (^], ctrl-] or hex 1d), not sent", apply_exit_key},
    {"log", "FILE", "append the session to FILE", apply_log},
    {"timestamp", nullptr, "begin every line with the local time", nullptr, &view_timestamps},
    {"hex", nullptr, "show received bytes in hexadecimal", nullptr, &view_hex},
    {"encoding", "utf-8|gbk", "what the device sends (default utf-8)", apply_encoding},
};

// A value that is one of a few words, each naming a setting.
struct value_word {
    const char* word;
    std::uint8_t setting;
};
constexpr value_word enter_words[] = {{"cr", ENTER_CR}, {"lf", ENTER_LF}, {"crlf", ENTER_CRLF}};
constexpr value_word line_words[] = {{"on", LINE_ON}, {"off", LINE_OFF}};
constexpr value_word encoding_words[] = {{"utf-8", ENCODING_UTF8}, {"gbk", ENCODING_GBK}};

int refuse(const char* argv0, const char* option, const char* value, const char* allowed) {
    std::fprintf(stderr, "%s: invalid argument '%s' for '--%s' (%s)\n", argv0, value, option,
                 allowed);
    return -1;
}

// Sets *setting to what the word `value` names: 0, or -1 after saying which words would do.
// any_case for names usually written in capitals (UTF-8, GBK).
template <typename setting_type, std::size_t count>
int set_named(const char* argv0, const char* option, const char* value,
              const value_word (&words)[count], const char* allowed, setting_type* setting,
              bool any_case = false) {
    for (const value_word& word : words) {
        const bool same =
            any_case ? strcasecmp(value, word.word) == 0 : std::strcmp(word.word, value) == 0;
        if (same) {
            *setting = static_cast<setting_type>(word.setting);
            return 0;
        }
    }
    return refuse(argv0, option, value, allowed);
}

int apply_enter(const char* argv0, const char* value) {
    return set_named(argv0, "enter", value, enter_words, "cr, lf or crlf", &enter_sends);
}

int apply_dtr(const char* argv0, const char* value) {
    return set_named(argv0, "dtr", value, line_words, "on or off", &dtr_wish);
}

int apply_rts(const char* argv0, const char* value) {
    return set_named(argv0, "rts", value, line_words, "on or off", &rts_wish);
}

int apply_char_delay(const char* argv0, const char* value) {
    // Plain decimal digits, a minute at most: a longer pause between two bytes is a typing error.
    constexpr std::uint32_t longest = 60000;
    std::uint32_t delay = 0;
    const char* digit = value;
    for (; *digit >= '0' && *digit <= '9' && delay <= longest; ++digit) {
        delay = delay * 10 + static_cast<std::uint32_t>(*digit - '0');
    }
    if (digit == value || *digit != '\0' || delay > longest) {
        return refuse(argv0, "char-delay", value, "milliseconds, 0 to 60000");
    }
    char_delay_ms = delay;
    return 0;
}

// What the console and the log get (view.h); the file is opened after the options, in main.
int apply_log(const char* /*argv0*/, const char* value) {
    view_log_path = value;
    return 0;
}

int apply_encoding(const char* argv0, const char* value) {
    return set_named(argv0, "encoding", value, encoding_words, "utf-8 or gbk", &view_encoding,
                     true);
}

// "^]" and "ctrl-]" (any case) name the control key of a character '@' to '_' (letters in either
// case), and '?' names DEL; two hex digits name a byte. ESC is refused: it begins the sequences
// of the arrow and function keys on a terminal, and a byte above 7F is part of a character or,
// on Windows, of a key's two values.
int parse_exit_key(const char* value) {
    const char* control = nullptr;
    if (value[0] == '^') {
        control = value + 1;
    } else if (strncasecmp(value, "ctrl-", 5) == 0) {
        control = value + 5;
    }
    int key = -1;
    if (control != nullptr && control[0] != '\0' && control[1] == '\0') {
        const char c = control[0] >= 'a' && control[0] <= 'z' ? static_cast<char>(control[0] - 0x20)
                                                              : control[0];
        if (c == '?') {
            key = 0x7F;
        } else if (c >= '@' && c <= '_') {
            key = c & 0x1F;
        }
    } else if (control == nullptr && std::strlen(value) == 2 && hex_digit(value[0]) >= 0 &&
               hex_digit(value[1]) >= 0) {
        key = hex_digit(value[0]) * 16 + hex_digit(value[1]);
    }
    return key >= 0x01 && key <= 0x7F && key != 0x1B ? key : -1;
}

int apply_exit_key(const char* argv0, const char* value) {
    const int key = parse_exit_key(value);
    if (key < 0) {
        return refuse(argv0, "exit-key", value,
                      "^X or ctrl-X, or two hex digits 01 to 7f; not ESC");
    }
    exit_key = key;
    return 0;
}

// Each of these ends the process with status 0 where it stands among the options.
int apply_help(const char* argv0, const char* /*value*/) {
    print_usage(argv0, stdout);
    for (const long_option_row& row : long_option_rows) {
        char option[32];
        std::snprintf(option, sizeof option, "--%s%s%s", row.name, row.value_name ? " " : "",
                      row.value_name ? row.value_name : "");
        std::printf("  %-22s %s\n", option, row.help);
    }
    std::exit(0);
}

int apply_version(const char* /*argv0*/, const char* /*value*/) {
    std::printf("comterm %s\n", COMTERM_VERSION);
    std::exit(0);
}

// The row named exactly by name[0, length): a long option is never taken from a shortened name, so
// a word means the same whatever options later versions add.
const long_option_row* find_long_option(const char* name, std::size_t length) {
    for (const long_option_row& row : long_option_rows) {
        if (std::strlen(row.name) == length && std::strncmp(row.name, name, length) == 0) {
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
void report_ignored(const char* argv0, const char* const* ignored, std::size_t count) {
    if (count == 0) {
        return;
    }
    std::fprintf(stderr, "%s: ignored:", argv0);
    char shown[port_path_size];
    for (std::size_t i = 0; i < count; ++i) {
        std::fprintf(stderr, " %s", path_as_console_text(ignored[i], shown, sizeof shown));
    }
    std::fprintf(stderr, "; use -p PORT -b RATE\n");
}

// One "--name" word at argv[*index]; its value may be the next word, which *index then passes.
// 0, or negative when the option refused its value.
int parse_long_option(int argc, char** argv, int* index) {
    const char* argv0 = argv[0];
    const char* word = argv[*index];
    const char* name = word + 2;
    const char* equals = std::strchr(name, '=');
    const std::size_t name_length =
        equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
    const long_option_row* row = find_long_option(name, name_length);
    if (row == nullptr) {
        std::fprintf(stderr, "%s: unrecognized option '%s'\n", argv0, word);
        return 0;
    }
    if (row->value_name == nullptr) {
        if (equals != nullptr) {
            std::fprintf(stderr, "%s: option '--%s' doesn't allow an argument\n", argv0, row->name);
            return 0;
        }
        if (row->flag != nullptr) {
            *row->flag = true;
            return 0;
        }
        return row->apply(argv0, nullptr);
    }
    if (equals != nullptr) {
        return row->apply(argv0, equals + 1);
    }
    if (*index + 1 < argc) {
        *index += 1;
        return row->apply(argv0, argv[*index]);
    }
    std::fprintf(stderr, "%s: option requires an argument -- %s\n", argv0, row->name);
    return 0;
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

int parse_options(int argc, char** argv) {
    const char* argv0 = argv[0];
    const bool stop_at_first_word = std::getenv("POSIXLY_CORRECT") != nullptr;
    // The ignored words, at most every word but the program's name: from the heap, as argc has no
    // bound; one that cannot be had reports none.
    auto* ignored = static_cast<const char**>(std::malloc(sizeof(const char*) * argc));
    std::size_t ignored_count = 0;
    int result = 0;
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
            if (ignored != nullptr) {
                ignored[ignored_count++] = word;
            }
            continue;  // words that are not options are skipped, scanning goes on after them
        }
        if (word[1] == '-') {
            if (parse_long_option(argc, argv, &i) < 0) {
                result = -1;
            }
            continue;
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
    for (; i < argc && ignored != nullptr; ++i) {
        ignored[ignored_count++] = argv[i];
    }
    report_ignored(argv0, ignored, ignored_count);
    std::free(ignored);
    return result;
}
