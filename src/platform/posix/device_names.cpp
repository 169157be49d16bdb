#include "device_names.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

constexpr char device_namespace_prefix[] = "\\\\.\\";
constexpr std::size_t device_namespace_prefix_length = sizeof(device_namespace_prefix) - 1;

struct device_name_family {
    unsigned first_com_number;
    unsigned last_com_number;
    const char* kernel_prefix;  // the family's first member is kernel_prefix + "0"
};

// Windows numbers every port COMn; Linux names them by driver. Each driver family gets a fixed
// block of 32 COM numbers so that a number always means the same device.
constexpr std::array<device_name_family, 4> device_name_families = {{
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 96, "/dev/ttyACM"},
    {97, 128, "/dev/ttyAMA"},
}};

// A COM name is "COM" in any case followed by a decimal number >= 1 without leading zeros, as
// Windows writes them. Returns the number, 0 for any other name, or a value above every family
// for numbers too long to hold.
unsigned long com_number_of(const char* name) {
    if (strncasecmp(name, "COM", 3) != 0) {
        return 0;
    }
    const char* digits = name + 3;
    if (*digits < '1' || *digits > '9') {
        return 0;
    }
    unsigned long number = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return 0;
        }
        if (number < 1000000) {  // saturates: any larger number names no device anyway
            number = number * 10 + static_cast<unsigned long>(*c - '0');
        }
    }
    return number;
}

// The result of an snprintf into out: 0, or DEVICE_NAME_TOO_LONG when the path did not fit.
int fitted(int length, std::size_t out_size) {
    return (length >= 0 && static_cast<std::size_t>(length) < out_size) ? 0 : DEVICE_NAME_TOO_LONG;
}

int write_path(char* out, std::size_t out_size, const char* dir, const char* name) {
    return fitted(std::snprintf(out, out_size, "%s/%s", dir, name), out_size);
}

// COM names in the device directory ignore case, as they do on Windows: "\\.\com3" finds an entry
// named COM3, and an entry named com7 answers "\\.\COM7".
int resolve_in_device_dir(const char* dir, const char* name, char* out, std::size_t out_size) {
    DIR* listing = opendir(dir);
    if (listing == nullptr) {
        return DEVICE_NAME_NO_DEVICE;
    }
    int result = DEVICE_NAME_NO_DEVICE;
    while (const dirent* entry = readdir(listing)) {
        if (strcasecmp(entry->d_name, name) == 0) {
            result = write_path(out, out_size, dir, entry->d_name);
            // An exact match wins over one that differs only in case.
            if (std::strcmp(entry->d_name, name) == 0) {
                break;
            }
        }
    }
    closedir(listing);
    return result;
}

int resolve_com_family(unsigned long number, char* out, std::size_t out_size) {
    for (const device_name_family& family : device_name_families) {
        if (number >= family.first_com_number && number <= family.last_com_number) {
            return fitted(std::snprintf(out, out_size, "%s%lu", family.kernel_prefix,
                                        number - family.first_com_number),
                          out_size);
        }
    }
    return DEVICE_NAME_NO_DEVICE;
}

}  // namespace

const char* device_dir() {
    const char* dir = std::getenv("COMTERM_DEVICE_DIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : nullptr;
}

int resolve_device_path(const char* port_path, char* out, std::size_t out_size) {
    if (port_path == nullptr || out == nullptr || out_size == 0) {
        return DEVICE_NAME_NOT_A_PORT_PATH;
    }
    if (port_path[0] == '/') {
        return fitted(std::snprintf(out, out_size, "%s", port_path), out_size);
    }
    if (std::strncmp(port_path, device_namespace_prefix, device_namespace_prefix_length) != 0) {
        return DEVICE_NAME_NOT_A_PORT_PATH;
    }
    const char* name = port_path + device_namespace_prefix_length;
    if (name[0] == '\0') {
        return DEVICE_NAME_NOT_A_PORT_PATH;
    }
    if (name[0] == '/') {
        return fitted(std::snprintf(out, out_size, "%s", name), out_size);
    }
    const char* dir = device_dir();
    unsigned long com_number = com_number_of(name);
    if (com_number != 0) {
        return dir != nullptr ? resolve_in_device_dir(dir, name, out, out_size)
                              : resolve_com_family(com_number, out, out_size);
    }
    if (dir != nullptr) {
        int result = write_path(out, out_size, dir, name);
        struct stat entry;
        if (result != 0 || lstat(out, &entry) == 0) {
            return result;
        }
    }
    return write_path(out, out_size, "/dev", name);
}

bool names_full_device_path(const char* value) {
    return value[0] == '\\' || value[0] == '/';
}
