// Replays every file of the folder named on the command line through the target, without
// libFuzzer: the seeds, and every input that once found a fault, stay checked in the plain build.
#include <filesystem>
#include <fstream>

#include "fuzz.h"

int main(int argc, char** argv) {
    std::error_code error;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argc > 1 ? argv[1] : "", error)) {
        dprintf(STDERR_FILENO, "%s\n", entry.path().c_str());  // names the input that fails
        // Exactly the input's size, as libFuzzer gives it: a sanitizer sees a read past its end.
        std::vector<std::uint8_t> input(entry.file_size());
        std::ifstream(entry.path(), std::ios::binary)
            .read(reinterpret_cast<char*>(input.data()),
                  static_cast<std::streamsize>(input.size()));
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++count;
    }
    dprintf(STDERR_FILENO, "%zu inputs replayed\n", count);
    return count == 0 ? 1 : 0;
}
