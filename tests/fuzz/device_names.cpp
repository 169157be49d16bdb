// Device-name resolver, with no device folder, with an empty one named, and with a folder of a few
// entries: a result names the path the rules of device_names.h give (computed here another way)
// and fits the buffer given; a smaller buffer can only turn a result into DEVICE_NAME_TOO_LONG.
// Input: a byte choosing the folder, the size of the small buffer, then the port path. The folder
// is made in the working folder; two of its entries differ only in case.
#include <strings.h>
#include <sys/stat.h>

#include "device_names.h"
#include "fuzz.h"

static const std::string entries[] = {"COM3", "com7", "COM7", "Com12", "ttyV0"};

// The path that port_path names, "" for none. A COM name in the folder finds an entry that matches
// it without regard to case (any_case: which one is not checked), the exact one when there is one.
static std::string named(const std::string& path, bool folder, bool& any_case) {
    const std::string name = path.starts_with("\\\\.\\") ? path.substr(4) : "";
    if (path.starts_with('/') || name.empty() || name.starts_with('/')) {
        return path.starts_with('/') ? path : name;
    }
    struct stat entry;
    if (name.size() < 4 || strncasecmp(name.c_str(), "COM", 3) != 0 || name[3] == '0' ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        const bool in_folder = folder && lstat(("fuzz-devices/" + name).c_str(), &entry) == 0;
        return (in_folder ? "fuzz-devices/" : "/dev/") + name;
    } else if (folder) {
        const bool exact = std::ranges::count(entries, name) != 0;
        any_case = !exact && std::ranges::any_of(entries, [&](const std::string& candidate) {
            return strcasecmp(candidate.c_str(), name.c_str()) == 0;
        });
        return exact || any_case ? "fuzz-devices/" + name : "";
    }
    const std::size_t number = name.size() > 7 ? 128 : std::stoul(name.substr(3)) - 1;
    const char* const families[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"};
    return number >= 128 ? "" : "/dev/" + (families[number / 32] + std::to_string(number % 32));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mkdir("fuzz-devices", 0755);
    for (const std::string& entry : entries) {
        mkdir(("fuzz-devices/" + entry).c_str(), 0755);  // entries are names only
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
    bool any_case = false;
    const std::string want = named(path.data(), folder == 2, any_case);
    // Only a path of nearly the buffer's size can be too long for it ("fuzz-devices/" and a name).
    FUZZ_CHECK(result == DEVICE_NAME_TOO_LONG ? std::strlen(path.data()) + 13 >= big_size
                                              : (result == 0) == !want.empty());
    FUZZ_CHECK(result != 0 ||
               (any_case ? strcasecmp(big.data(), want.c_str()) : want.compare(big.data())) == 0);
    return 0;
}
