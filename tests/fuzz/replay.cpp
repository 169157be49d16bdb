// Replays every file of the folders named on the command line through the target, without
// libFuzzer: the seeds, and every input that once found a fault, stay checked in the plain build.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz.h"

int main(int argc, char** argv) {
    bool failed = argc < 2;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::size_t count = 0;
        for (std::filesystem::directory_iterator it(argv[i], error), end; !error && it != end;
             it.increment(error), ++count) {
            dprintf(STDERR_FILENO, "%s\n", it->path().c_str());  // names the input that fails
            std::ifstream file(it->path(), std::ios::binary);
            const std::vector<char> read{std::istreambuf_iterator<char>(file), {}};
            // Exactly the input's size, as libFuzzer gives it: a sanitizer sees a read past its
            // end.
            const std::vector<std::uint8_t> input(read.begin(), read.end());
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        dprintf(STDERR_FILENO, "%s: %zu inputs replayed\n", argv[i], count);
        failed = failed || error || count == 0;
    }
    return failed ? 1 : 0;
}
