// The lookup tables of the conversions. unicode_to_gbk, the receive path's, is built by the
// compiler from the packed data: the program holds it ready in its read-only data, shared file
// pages rather than memory of its own, and does no work for it at run time. gbk_to_unicode is its
// inverse, built from it on first use into zero-initialised static memory: kept out of the
// read-only data, it costs nothing where nothing converts GBK to UTF-8 (the system reads a file's
// pages in around the one a program touches, and unicode_to_gbk is read all over).
#include <atomic>
#include <thread>

#include "gbk_packed_data.inc"
#include "table_builds.h"
#include "textconv.h"

namespace {

// Every pair, then every code of every run. Every run ends below 0xFFFF (checked beside the data),
// so the 16-bit loop over a run's codes ends.
constexpr std::array<gbk_code, 65536> build_unicode_to_gbk() {
    std::array<gbk_code, 65536> table{};
    for (std::uint16_t i = 0; i < code_pairs_len; i += 2) {
        table[code_pairs[i + 1]] = code_pairs[i];
    }
    for (std::uint16_t i = 0; i < code_ranges_len; i += 3) {
        const std::uint16_t first = code_ranges[i];
        const std::uint16_t last = code_ranges[i + 1];
        const std::uint16_t point = code_ranges[i + 2];
        for (std::uint16_t c = first; c <= last; ++c) {
            table[static_cast<code_point>(point + (c - first))] = c;
        }
    }
    return table;
}

}  // namespace

constexpr std::array<gbk_code, 65536> unicode_to_gbk = build_unicode_to_gbk();

code_point gbk_to_unicode[128 * gbk_row_size];

namespace {

constexpr bool every_trail_in_rows() {
    for (const gbk_code code : unicode_to_gbk) {
        if (code != 0 && (code & 0xFF) < 0x40) {
            return false;
        }
    }
    return true;
}

static_assert(every_trail_in_rows(), "gbk_to_unicode's rows start at trail byte 0x40");

// Every code point has at most one GBK code (the generator checks), so the inverse of
// unicode_to_gbk is the whole mapping.
void build_gbk_to_unicode() {
    for (std::uint32_t point = 0; point < unicode_to_gbk.size(); ++point) {
        const gbk_code code = unicode_to_gbk[point];
        if (code != 0) {
            const unsigned row = (code >> 8) & 0x7F;
            gbk_to_unicode[row * gbk_row_size + ((code & 0xFFu) - 0x40)] =
                static_cast<code_point>(point);
        }
    }
}

// Not a function-local static: its guard would link the C++ runtime's exception machinery, most
// of the program's code, for the rare error it reports.
enum : int { TABLE_UNBUILT, TABLE_BUILDING, TABLE_BUILT };
std::atomic<int> gbk_to_unicode_state{TABLE_UNBUILT};

}  // namespace

// The first caller builds; one that arrives meanwhile waits the millisecond it takes. Every later
// call costs one load.
void gbk_to_unicode_ready() {
    if (gbk_to_unicode_state.load(std::memory_order_acquire) == TABLE_BUILT) {
        return;
    }
    int expected = TABLE_UNBUILT;
    if (gbk_to_unicode_state.compare_exchange_strong(expected, TABLE_BUILDING,
                                                     std::memory_order_acquire)) {
        build_gbk_to_unicode();
        gbk_to_unicode_state.store(TABLE_BUILT, std::memory_order_release);
        return;
    }
    while (gbk_to_unicode_state.load(std::memory_order_acquire) != TABLE_BUILT) {
        std::this_thread::yield();
    }
}
