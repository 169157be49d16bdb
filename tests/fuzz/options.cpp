// Option parser: the words are the lines of the input after its first byte, whose low bit sets
// POSIXLY_CORRECT; the first word is the program name (inputs holding --help or --version, which
// end the process, are skipped). Whatever the words, no word is read past its NUL (the sanitizer
// sees it) and port_path ends within its buffer. Which -p wins is the startup scenarios' to check.
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
        parse_baud(argv.back());
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
    FUZZ_CHECK(strnlen(port_path, port_path_size) < port_path_size);
    return 0;
}
