// The port and baud menus.
#include "selection.h"

#include <cstdio>
#include <cstdlib>

#include "link.h"

// Not sorted: the three most used rates come first.
const std::array<std::int32_t, 12> baud_table = {
    9600, 115200, 74880, 300, 1200, 2400, 4800, 19200, 38400, 57600, 230400, 250000,
};

namespace {

constexpr int highest_port_number = 255;
const char menu_rule[] = "===================";

struct found_ports {
    std::uint8_t count;
    std::uint8_t numbers[highest_port_number];
};

void format_com_path(int number) {
    std::snprintf(port_path, port_path_size, "\\\\.\\COM%d", number);
}

// Opens each numbered port the way the link thread does and closes it again; nothing is written.
void discover_ports(found_ports& found) {
    found = {};
    for (int n = 1; n <= highest_port_number; ++n) {
        format_com_path(n);
        const HANDLE handle = open_port(port_path);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            found.numbers[found.count++] = static_cast<std::uint8_t>(n);
        }
    }
    port_path[0] = '\0';
}

// The number a menu answer holds, or `unanswered` (the menu loop's counter) when it holds none;
// what the number read does not consume stays in the input for the next read.
long read_answer(long unanswered) {
    long answer = unanswered;
    if (std::scanf("%ld", &answer) != 1) {
        answer = unanswered;
    }
    return answer;
}

}  // namespace

void select_port() {
    found_ports found;
    discover_ports(found);
    if (found.count == 0) {
        std::puts(">>当前没有可用串口");
        console_pause();
        std::exit(0);
    }

    std::puts(menu_rule);
    std::printf(">>当前有 %d 个串口可用，请输入数字并回车来选择串口：\n", found.count);
    int entry = 0;
    for (; entry < found.count; ++entry) {
        std::printf("%d=COM%d\t", entry + 1, found.numbers[entry]);
        if (entry & 1) {
            std::putchar('\n');
        }
    }
    std::putchar('\n');

    // The answer lands in what the loop counter holds now, the count: an answer without a number
    // leaves it there and so picks the last port. It stays a long, the width of %ld (64 bits on
    // Linux): narrowed to the counter, 4294967298 would wrap to 2 and pick a port. A number too
    // large for a long saturates (glibc, and the mingw-w64 scanf that C++ code gets in place of
    // msvcrt's, which would wrap), lies outside the menu and picks the first port.
    const long answer = read_answer(entry);
    unsigned long index = static_cast<unsigned long>(answer) - 1;
    if (index >= found.count) {
        index = 0;
    }
    const int chosen = found.numbers[index];
    std::printf(">>已选择串口：COM%d\n", chosen);
    format_com_path(chosen);
}

void list_ports() {
    found_ports found;
    discover_ports(found);
    for (int entry = 0; entry < found.count; ++entry) {
        format_com_path(found.numbers[entry]);
        char device[port_path_size + 4096];
        char description[512];
        describe_port(port_path, device, sizeof device, description, sizeof description);
        std::printf("COM%d\t%s%s%s\n", found.numbers[entry], device, description[0] ? "\t" : "",
                    description);
    }
    port_path[0] = '\0';
}

void select_baud() {
    std::puts(menu_rule);
    std::puts(">>请选择波特率：");
    int entry = 0;
    for (; entry < static_cast<int>(baud_table.size()); ++entry) {
        std::printf("%d=%d\t", entry + 1, baud_table[static_cast<std::size_t>(entry)]);
        if ((entry & 3) == 3) {
            std::putchar('\n');
        }
    }
    std::putchar('\n');

    // As above: no number in the answer leaves 12, which picks the last rate. Read with %ld too:
    // glibc's %d keeps only the low 32 bits of a larger number (4294967298 becomes 2, a rate of
    // the menu), while %ld saturates it to a value outside the menu, which picks the first rate.
    const long answer = read_answer(entry);
    std::size_t index = 0;
    if (answer >= 1 && answer <= static_cast<long>(baud_table.size())) {
        index = static_cast<std::size_t>(answer - 1);
    }
    baud_rate = baud_table[index];
    std::printf(">>已选择波特率：%ld\n", static_cast<long>(baud_rate));
}
