// Which file a port path opens on Linux: the COM name table and COMTERM_DEVICE_DIR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "device_names.h"
#include "posix_test_support.h"

namespace {

struct name_case {
    const char* port_path;
    int result;
    std::string device;  // with "@" standing for the device directory
};

std::string resolved(const char* port_path, int* result) {
    char out[256] = "untouched";
    *result = resolve_device_path(port_path, out, sizeof out);
    return *result == 0 ? std::string(out) : std::string();
}

void check_cases(const name_case* cases, std::size_t count, const std::string& dir) {
    for (std::size_t i = 0; i < count; ++i) {
        const name_case& c = cases[i];
        std::string expected = c.device;
        if (!expected.empty() && expected[0] == '@') {
            expected = dir + expected.substr(1);
        }
        int result = 0;
        std::string device = resolved(c.port_path, &result);
        EXPECT_EQ(result, c.result) << c.port_path;
        EXPECT_EQ(device, expected) << c.port_path;
    }
}

TEST(DeviceNames, FixedComFamiliesWithoutDeviceDir) {
    unsetenv("COMTERM_DEVICE_DIR");
    const name_case cases[] = {
        {"\\\\.\\COM1", 0, "/dev/ttyS0"},
        {"\\\\.\\com5", 0, "/dev/ttyS4"},
        {"\\\\.\\COM32", 0, "/dev/ttyS31"},
        {"\\\\.\\COM33", 0, "/dev/ttyUSB0"},
        {"\\\\.\\Com64", 0, "/dev/ttyUSB31"},
        {"\\\\.\\COM65", 0, "/dev/ttyACM0"},
        {"\\\\.\\COM96", 0, "/dev/ttyACM31"},
        {"\\\\.\\COM97", 0, "/dev/ttyAMA0"},
        {"\\\\.\\COM128", 0, "/dev/ttyAMA31"},
        {"\\\\.\\COM129", DEVICE_NAME_NO_DEVICE, ""},
        {"\\\\.\\COM255", DEVICE_NAME_NO_DEVICE, ""},
        {"\\\\.\\COM99999999999999999999", DEVICE_NAME_NO_DEVICE, ""},
        // Not COM names: other names under /dev.
        {"\\\\.\\COM0", 0, "/dev/COM0"},
        {"\\\\.\\COM", 0, "/dev/COM"},
        {"\\\\.\\COM07", 0, "/dev/COM07"},
        {"\\\\.\\COM3x", 0, "/dev/COM3x"},
        {"\\\\.\\ttyUSB0", 0, "/dev/ttyUSB0"},
        {"\\\\.\\pts/3", 0, "/dev/pts/3"},
        // Paths.
        {"\\\\.\\/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
        {"\\\\.\\/tmp/x", 0, "/tmp/x"},
        // Not port paths.
        {"\\\\.\\", DEVICE_NAME_NOT_A_PORT_PATH, ""},
        {"COM3", DEVICE_NAME_NOT_A_PORT_PATH, ""},
        {"\\COM3", DEVICE_NAME_NOT_A_PORT_PATH, ""},
        {"", DEVICE_NAME_NOT_A_PORT_PATH, ""},
    };
    check_cases(cases, std::size(cases), "");
}

TEST(DeviceNames, DeviceDirHoldsTheComNames) {
    temp_dir dir;
    dir.link("COM3", "/dev/null");
    dir.link("com7", "/dev/null");
    dir.link("COM200", "/dev/null");
    dir.link("ttyFOO", "/dev/null");
    setenv("COMTERM_DEVICE_DIR", dir.path.c_str(), 1);
    const name_case cases[] = {
        {"\\\\.\\COM3", 0, "@/COM3"},
        {"\\\\.\\com3", 0, "@/COM3"},
        {"\\\\.\\cOm3", 0, "@/COM3"},
        {"\\\\.\\COM7", 0, "@/com7"},
        // Beyond the fixed families, but published: opens.
        {"\\\\.\\COM200", 0, "@/COM200"},
        // Not published: no device, even though /dev/ttyS0 exists.
        {"\\\\.\\COM1", DEVICE_NAME_NO_DEVICE, ""},
        {"\\\\.\\COM33", DEVICE_NAME_NO_DEVICE, ""},
        // Other names: the directory first, then /dev.
        {"\\\\.\\ttyFOO", 0, "@/ttyFOO"},
        {"\\\\.\\ttyUSB0", 0, "/dev/ttyUSB0"},
        {"\\\\.\\/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
    };
    check_cases(cases, std::size(cases), dir.path);

    // An empty variable counts as unset.
    setenv("COMTERM_DEVICE_DIR", "", 1);
    const name_case unset_cases[] = {{"\\\\.\\COM3", 0, "/dev/ttyS2"}};
    check_cases(unset_cases, std::size(unset_cases), "");
    // A directory that does not exist publishes nothing.
    setenv("COMTERM_DEVICE_DIR", (dir.path + "/missing").c_str(), 1);
    const name_case missing_cases[] = {{"\\\\.\\COM3", DEVICE_NAME_NO_DEVICE, ""}};
    check_cases(missing_cases, std::size(missing_cases), "");
    unsetenv("COMTERM_DEVICE_DIR");
}

TEST(DeviceNames, RefusesAResultThatDoesNotFit) {
    unsetenv("COMTERM_DEVICE_DIR");
    char out[11];
    EXPECT_EQ(resolve_device_path("\\\\.\\COM1", out, sizeof out), 0);  // "/dev/ttyS0" fits
    EXPECT_STREQ(out, "/dev/ttyS0");
    EXPECT_EQ(resolve_device_path("\\\\.\\COM12", out, sizeof out), DEVICE_NAME_TOO_LONG);
    EXPECT_EQ(resolve_device_path("\\\\.\\/dev/ttyUSB0", out, sizeof out), DEVICE_NAME_TOO_LONG);
    EXPECT_EQ(resolve_device_path("\\\\.\\ttyUSB0", out, sizeof out), DEVICE_NAME_TOO_LONG);
}

}  // namespace
