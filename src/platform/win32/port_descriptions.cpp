// What --list says about a port on Windows: its path as it is, and the name the Device Manager
// shows for it, found through SetupAPI among the devices of the Ports class by the PortName value
// of their registry key. The ANSI calls give it in the system's code page, the console's.
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// The PortName of a device of the Ports class ("COM3"); false when it has none.
bool port_name_of(HDEVINFO set, SP_DEVINFO_DATA* info, char* out, DWORD out_size) {
    const HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD type = 0;
    DWORD size = out_size - 1;
    const LONG result =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    out[size] = '\0';
    return true;
}

}  // namespace

void describe_port(const char* port_path, char* device, std::size_t device_size, char* description,
                   std::size_t description_size) {
    std::snprintf(device, device_size, "%s", port_path);
    description[0] = '\0';
    const char* name = std::strncmp(port_path, "\\\\.\\", 4) == 0 ? port_path + 4 : port_path;
    const HDEVINFO set =
        SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index) {
        char port_name[64];
        if (!port_name_of(set, &info, port_name, sizeof port_name) ||
            _stricmp(port_name, name) != 0) {
            continue;
        }
        if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(description),
                                               static_cast<DWORD>(description_size - 1), nullptr)) {
            description[0] = '\0';
        }
        description[description_size - 1] = '\0';
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
}
