// What the program's texts say about a port path, Windows build: the rules the program was born
// with.
#include "platform.h"

bool names_full_device_path(const char* value) {
    return value[0] == '\\';
}

const char* path_as_console_text(const char* path, char* /*out*/, std::size_t /*out_size*/) {
    return path;
}
