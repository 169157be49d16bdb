// Device-name resolver, with no device folder, with an empty one named, and with a folder of a few
// entries: a result fits the buffer given, and a smaller buffer can only turn a result into
// DEVICE_NAME_TOO_LONG. Which file a name gives is the serial unit test's table.
// Input: a byte choosing the folder, the size of the small buffer, then the port path. The folder
// is made in the working folder; two of its entries differ only in case.
#include <sys/stat.h>

#include "device_names.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mkdir("fuzz-devices", 0755);
    for (const char* entry : {"COM3", "com7", "COM7", "Com12", "ttyV0"}) {
        mkdir((std::string("fuzz-devices/") + entry).c_str(), 0755);  // entries are names only
    }
    if (size < 2) {
        return 0;
    }
    const unsigned folder = data[0] % 3u;
    if (folder == 0) {
        unsetenv("COMTERM_DEVICE_DIR");
    } else {
        setenv("COMTERM_DEVICE_DIR", folder == 1 ? "" : "fuzz-devices", 1);
    }
    // A buffer of no bytes is refused with the argument errors, so the small one has at least one.
    const std::size_t small_size = std::max<std::size_t>(data[1], 1), big_size = 4096;
    const char canary = 0x5A;
    std::vector<char> path(size - 1, '\0'), big(big_size + 1, canary),
        small(small_size + 1, canary);
    std::copy(data + 2, data + size, path.begin());
    const int result = resolve_device_path(path.data(), big.data(), big_size);
    const int small_result = resolve_device_path(path.data(), small.data(), small_size);
    FUZZ_CHECK(big[big_size] == canary && small[small_size] == canary && result <= 0 &&
               result >= DEVICE_NAME_TOO_LONG);
    FUZZ_CHECK(small_result == result || small_result == DEVICE_NAME_TOO_LONG);
    FUZZ_CHECK(small_result != 0 || std::strcmp(small.data(), big.data()) == 0);
    return 0;
}
