// Option parser: the words are the lines of the input after its first byte, whose low bit sets
// POSIXLY_CORRECT; the first word is the program name (inputs holding --help or --version, which
// end the process, are skipped). Whatever the words, port_path is what the GNU rules make of them,
// worked out again here from the words alone: the last -p value that fits (a '/' path as typed,
// within the system's limit; a backslash path, or a name after "\\.\", within 31 characters),
// where a long option that takes a value without '=' passes over the next word. parse_baud reads
// every word like strtoll clamped to 32 bits.
#include <climits>
#include <utility>

#include "fuzz.h"
#include "link.h"
#include "options.h"

// The long options that take a value; the others take none, and an unknown one takes nothing.
static const char* const valued_options[] = {"enter",    "char-delay", "dtr",     "rts",
                                             "exit-key", "log",        "encoding"};

// The port_path the words give, starting from none.
static std::string port_path_of(const std::vector<char*>& words, bool posixly_correct) {
    std::string port;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string word = words[i];
        if (word == "--") {
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            if (posixly_correct) {
                break;
            }
            continue;
        }
        if (word[1] == '-') {
            const std::string name = word.substr(2, word.find('=') - 2);
            const bool valued = std::find(std::begin(valued_options), std::end(valued_options),
                                          name) != std::end(valued_options);
            if (valued && word.find('=') == std::string::npos && i + 1 < words.size()) {
                ++i;
            }
            continue;
        }
        // The first letter that takes a value ends the word; the letters before it are refused.
        const std::size_t letter = word.find_first_of("pb", 1);
        if (letter == std::string::npos || (letter + 1 == word.size() && i + 1 == words.size())) {
            continue;
        }
        const std::string value = letter + 1 < word.size() ? word.substr(letter + 1) : words[++i];
        if (word[letter] == 'b') {
            continue;
        }
        const bool full_path = !value.empty() && (value[0] == '/' || value[0] == '\\');
        const std::string path = full_path ? value : "\\\\.\\" + value;
        if (path.size() < (value[0] == '/' ? port_path_size : device_namespace_path_size)) {
            port = path;
        }
    }
    return port;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FILE* const quiet = std::fopen("/dev/null", "w");
    // Each word in an allocation of its own size, so that a read past its NUL is noticed.
    std::vector<std::vector<char>> words;
    std::vector<char*> argv;
    const char* const end = reinterpret_cast<const char*>(data + size);
    for (const char* separator = reinterpret_cast<const char*>(data); separator != end;) {
        const char* word_end = std::find(separator + 1, end, '\n');
        const std::size_t room = static_cast<std::size_t>(word_end - separator);  // with the NUL
        std::vector<char>& word = words.emplace_back(room, '\0');
        std::copy(separator + 1, word_end, word.begin());
        argv.push_back(word.data());
        separator = word_end;
        if (std::strcmp(argv.back(), "--help") == 0 || std::strcmp(argv.back(), "--version") == 0) {
            return 0;  // these end the process
        }
        const long long value = std::strtoll(argv.back(), nullptr, 10);
        FUZZ_CHECK(parse_baud(argv.back()) == std::clamp<long long>(value, INT32_MIN, INT32_MAX));
    }
    const bool posixly_correct = size != 0 && (data[0] & 1) != 0;
    const std::string expected = port_path_of(argv, posixly_correct);
    argv.push_back(nullptr);
    if (posixly_correct) {
        setenv("POSIXLY_CORRECT", "1", 1);
    } else {
        unsetenv("POSIXLY_CORRECT");
    }
    port_path[0] = '\0';
    FILE* const saved_stderr = std::exchange(stderr, quiet);  // its messages are not looked at
    parse_options(static_cast<int>(words.size()), argv.data());
    stderr = saved_stderr;
    const std::size_t length = strnlen(port_path, port_path_size);
    FUZZ_CHECK(length < port_path_size && std::string(port_path, length) == expected);
    return 0;
}
