// What --list says about a port on Linux: the file its path opens, and the adapter's name from
// udev's /dev/serial/by-id links or else from the USB product string in sysfs.
#include <dirent.h>
#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_names.h"
#include "platform.h"

namespace {

// text into out as console text (see path_as_console_text); false when it does not fit.
bool console_text_of(const char* text, char* out, std::size_t out_size) {
    char converted[PATH_MAX];
    const char* shown = path_as_console_text(text, converted, sizeof converted);
    const int length = std::snprintf(out, out_size, "%s", shown);
    return length >= 0 && static_cast<std::size_t>(length) < out_size;
}

// The name of the link in `folder` that leads to the device file `real`.
bool by_id_name(const char* folder, const char* real, char* out, std::size_t out_size) {
    DIR* listing = opendir(folder);
    if (listing == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(listing)) {
        char link[PATH_MAX];
        const int length = std::snprintf(link, sizeof link, "%s/%s", folder, entry->d_name);
        if (entry->d_name[0] == '.' || length < 0 ||
            static_cast<std::size_t>(length) >= sizeof link) {
            continue;
        }
        char* target = realpath(link, nullptr);
        found = target != nullptr && std::strcmp(target, real) == 0 &&
                console_text_of(entry->d_name, out, out_size);
        std::free(target);
        if (found) {
            break;
        }
    }
    closedir(listing);
    return found;
}

// The product string of the USB device a tty belongs to: sysfs puts the tty's device under a USB
// interface (ttyACM) or one level below it (ttyUSB), and the USB device above that interface.
bool usb_product(const char* real, char* out, std::size_t out_size) {
    const char* slash = std::strrchr(real, '/');
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/device",
                  slash != nullptr ? slash + 1 : real);
    char* device = realpath(path, nullptr);
    bool found = false;
    for (int level = 0; device != nullptr && level < 3 && !found; ++level) {
        char* up = std::strrchr(device, '/');
        if (up == nullptr || up == device) {
            break;
        }
        *up = '\0';
        std::snprintf(path, sizeof path, "%s/product", device);
        char product[256];
        std::FILE* file = std::fopen(path, "r");
        if (file != nullptr) {
            found = std::fgets(product, sizeof product, file) != nullptr;
            std::fclose(file);
        }
        if (found) {
            product[std::strcspn(product, "\n")] = '\0';
            found = product[0] != '\0' && console_text_of(product, out, out_size);
        }
    }
    std::free(device);
    return found;
}

}  // namespace

void describe_port(const char* port_path, char* device, std::size_t device_size, char* description,
                   std::size_t description_size) {
    description[0] = '\0';
    char path[PATH_MAX];
    if (resolve_device_path(port_path, path, sizeof path) != 0 ||
        !console_text_of(path, device, device_size)) {
        console_text_of(port_path, device, device_size);
        return;
    }
    char* real = realpath(path, nullptr);
    if (real == nullptr) {
        return;
    }
    // A device folder stands for /dev (device_names.h): its serial/by-id is asked first.
    bool named = false;
    const char* dir = device_dir();
    if (dir != nullptr) {
        char own_by_id[PATH_MAX];
        std::snprintf(own_by_id, sizeof own_by_id, "%s/serial/by-id", dir);
        named = by_id_name(own_by_id, real, description, description_size);
    }
    if (!named && !by_id_name("/dev/serial/by-id", real, description, description_size) &&
        !usb_product(real, description, description_size)) {
        description[0] = '\0';
    }
    std::free(real);
}
