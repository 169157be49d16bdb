// The option parser and the usage text.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link.h"
#include "view.h"

namespace {

// What a recognised option does with its value.
struct option_row {
    char letter;
    void (*apply)(const char* argv0, const char* value);
};

void apply_port(const char* argv0, const char* value) {
    // A full device path is taken as it is; anything else is a name in the device namespace. A path
    // that would not fit is refused whole rather than cut, unless the device has a shorter path.
    const bool full_path = names_full_device_path(value);
    char shorter[port_path_size];
    if (full_path && std::strlen(value) >= port_path_size &&
        shorten_device_path(value, shorter, sizeof shorter) == 0) {
        value = shorter;
    }
    const char* prefix = full_path ? "" : "\\\\.\\";
    const std::size_t prefix_len = std::strlen(prefix);
    const std::size_t value_len = std::strlen(value);
    if (prefix_len + value_len >= port_path_size) {
        char shown[4096];
        std::fprintf(stderr, "%s: port name too long -- %s\n", argv0,
                     path_as_console_text(value, shown, sizeof shown));
        return;
    }
    std::memcpy(port_path, prefix, prefix_len);
    std::memcpy(port_path + prefix_len, value, value_len + 1);
}

void apply_baud(const char* /*argv0*/, const char* value) {
    baud_rate = parse_baud(value);
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
// refused the value (after saying why on standard error).
struct long_option_row {
    const char* name;
    const char* value_name;
    const char* help;
    int (*apply)(const char* argv0, const char* value);
};

int apply_help(const char* argv0, const char* value);
int apply_version(const char* argv0, const char* value);

// What the console and the log get (view.h); the file is opened after the options, in main.
int apply_log(const char* /*argv0*/, const char* value) {
    view_log_path = value;
    return 0;
}

int apply_timestamp(const char* /*argv0*/, const char* /*value*/) {
    view_timestamps = true;
    return 0;
}

int apply_hex(const char* /*argv0*/, const char* /*value*/) {
    view_hex = true;
    return 0;
}

struct encoding_row {
    const char* name;
    view_encoding_value encoding;
};

constexpr encoding_row encoding_rows[] = {
    {"utf-8", ENCODING_UTF8},
    {"gbk", ENCODING_GBK},
};

// The names in any case: UTF-8 and GBK are how they are usually written.
bool same_name(const char* name, const char* value) {
    for (; *name != '\0'; ++name, ++value) {
        const char folded =
            *value >= 'A' && *value <= 'Z' ? static_cast<char>(*value + 32) : *value;
        if (folded != *name) {
            return false;
        }
    }
    return *value == '\0';
}

int apply_encoding(const char* argv0, const char* value) {
    for (const encoding_row& row : encoding_rows) {
        if (same_name(row.name, value)) {
            view_encoding = row.encoding;
            return 0;
        }
    }
    std::fprintf(stderr, "%s: unknown encoding '%s' (utf-8 or gbk)\n", argv0, value);
    return -1;
}

constexpr long_option_row long_option_rows[] = {
    {"help", nullptr, "show this text and end", apply_help},
    {"version", nullptr, "show the version and end", apply_version},
    {"log", "FILE", "append the session to FILE", apply_log},
    {"timestamp", nullptr, "begin every line with the local time", apply_timestamp},
    {"hex", nullptr, "show received bytes in hexadecimal", apply_hex},
    {"encoding", "utf-8|gbk", "what the device sends (default utf-8)", apply_encoding},
};

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
    // atoi's reading (leading blanks, a sign, digits; 0 when there are none) without its undefined
    // behaviour on overflow: the value saturates at the ends of the 32-bit range.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    long long value = 0;
    constexpr long long limit = 2147483648LL;  // |INT32_MIN|
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) {
            value = limit;
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(value >= limit ? limit - 1 : value);
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
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (std::strcmp(word, "--") == 0) {
            break;
        }
        if (!is_option_word(word)) {
            if (stop_at_first_word) {
                break;
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
    return result;
}
