// Why a port did not open, Windows build: the system's own text for GetLastError's code.
#include <cstdio>
#include <cstring>

#include "platform.h"

const char* open_failure_text(const char* port_path, char* out, std::size_t out_size) {
    const DWORD error = GetLastError();
    char reason[256] = "";
    // A COM port admits one opener at a time: Windows refuses every other with
    // ERROR_ACCESS_DENIED, whoever asks, so for a "\\.\" name it means the port is in use. Wine
    // lets any number of its programs open a port, but one that a Linux program holds exclusively
    // (EBUSY) gives ERROR_LOCK_VIOLATION (and a device its user may not open, ERROR_ACCESS_DENIED).
    const bool device_name = std::strncmp(port_path, "\\\\.\\", 4) == 0;
    if ((device_name && error == ERROR_ACCESS_DENIED) || error == ERROR_SHARING_VIOLATION ||
        error == ERROR_LOCK_VIOLATION || error == ERROR_BUSY) {
        std::strcpy(reason, "held by another program");
    } else if (error == ERROR_BAD_DEVICE) {
        std::strcpy(reason, "not a serial port");  // set by open_port for a file that opened
    } else if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              error, 0, reason, sizeof reason, nullptr) == 0) {
        std::snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
    }
    // The system's texts end with a line end (and sometimes a blank before it).
    std::size_t length = std::strlen(reason);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ')) {
        reason[--length] = '\0';
    }
    std::snprintf(out, out_size, "%s: %s", port_path, reason);
    return out;
}
