// Option parser: the words are the lines of the input after its first byte, whose low bit sets
// POSIXLY_CORRECT; the first word is the program name (inputs holding --help or --version are
// skipped). Whatever the words, port_path stays a string in its buffer, a device path (one
// beginning with a backslash within 31 characters), and parse_baud reads a word like strtoll
// clamped to 32 bits.
#include <climits>
#include <utility>

#include "fuzz.h"
#include "link.h"
#include "options.h"

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
    argv.push_back(nullptr);
    if (size != 0 && (data[0] & 1) != 0) {
        setenv("POSIXLY_CORRECT", "1", 1);
    } else {
        unsetenv("POSIXLY_CORRECT");
    }
    port_path[0] = '\0';
    FILE* const saved_stderr = std::exchange(stderr, quiet);  // its messages are not looked at
    parse_options(static_cast<int>(words.size()), argv.data());
    stderr = saved_stderr;
    // A "\\.\" path holds 31 characters; only a '/' path may fill the buffer.
    const std::size_t length = strnlen(port_path, port_path_size);
    FUZZ_CHECK(length < port_path_size &&
               (length == 0 || port_path[0] == '/' ||
                (port_path[0] == '\\' && length < device_namespace_path_size)));
    return 0;
}
