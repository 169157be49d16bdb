// Shared by the fuzz targets, with the headers they all use. Built with FUZZ_REPLAY (make test),
// a target is a plain program that replays every file of the folder named on its command line:
// the seeds, and every input that once found a fault, stay checked without libFuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// A broken property is a finding: it is named on descriptor 2 (a target may point the stderr stream
// elsewhere), then abort() ends the run and libFuzzer saves the input.
inline void fuzz_check(bool holds, const char* file, int line, const char* property) {
    if (!holds) {
        dprintf(2, "%s:%d: failed: %s\n", file, line, property);
        std::abort();
    }
}
#define FUZZ_CHECK(c) fuzz_check((c), __FILE__, __LINE__, #c)

#ifdef FUZZ_REPLAY
int main(int, char** argv) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        dprintf(2, "%s\n", entry.path().c_str());  // names the input that fails
        // Exactly the input's size, as libFuzzer gives it: a sanitizer sees a read past its end.
        std::vector<std::uint8_t> input(entry.file_size());
        std::ifstream(entry.path(), std::ios::binary)
            .read(reinterpret_cast<char*>(input.data()), input.size());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}
#endif
