// Device names of the Linux build: which file a Win32 port path such as "\\.\COM3" opens.
//
// A port path beginning with '/' is a filesystem path, used as it is ("/dev/ttyUSB0"). Any other is
// the device-namespace prefix "\\.\" followed by a name, resolved in this order:
//   1. a name beginning with '/' is a filesystem path, used as it is ("\\.\/dev/ttyUSB0");
//   2. when COMTERM_DEVICE_DIR is set (and not empty), COMn names (any case, n >= 1) are entries of
//      that directory, matched without regard to case, like Wine's dosdevices; a COM name with no
//      entry there names no device, so the machine's own ports stay out of sight;
//   3. otherwise COMn maps to a fixed family of kernel names (device_name_families below):
//      COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31, COM97-128 ttyAMA0-31;
//      higher numbers name no device;
//   4. any other name is an entry of COMTERM_DEVICE_DIR when it has one, else a name under /dev.
//
//   resolve_device_path()  port path to filesystem path; 0, or a negative device_name_error.
//   device_dir()           COMTERM_DEVICE_DIR, or null when it is unset or empty.
// The same file implements names_full_device_path() of platform.h.
#pragma once

#include <cstddef>

enum device_name_error {
    DEVICE_NAME_NOT_A_PORT_PATH = -1,  // neither '/' nor "\\.\" first, or nothing after "\\.\"
    DEVICE_NAME_NO_DEVICE = -2,        // a COM name that names no device
    DEVICE_NAME_TOO_LONG = -3,         // the result does not fit in the caller's buffer
};

// Writes the filesystem path that port_path names into out (out_size bytes, NUL-terminated).
// Does not test that the file exists, except where the order above depends on it.
int resolve_device_path(const char* port_path, char* out, std::size_t out_size);
const char* device_dir();
