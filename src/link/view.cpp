// The console's and the log's share of the link: received bytes, status lines, session line.
#include "view.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link.h"
#include "platform.h"
#include "receive_decoder.h"
#include "textconv.h"

const char* view_log_path = nullptr;
bool view_timestamps = false;
bool view_hex = false;
view_encoding_value view_encoding = ENCODING_UTF8;

namespace {

// Received bytes are handled this many at a time: what the link hands over at once is one slice.
constexpr std::size_t slice_size = view_received_batch;
constexpr std::size_t hex_max = slice_size * 3 + slice_size / 16 + 1;
constexpr std::size_t text_max = receive_decoder_shown_max(slice_size);
constexpr std::size_t shown_max = hex_max > text_max ? hex_max : text_max;
// A status line, with the break before it and its prompt.
constexpr std::size_t status_max = view_status_max + 3;
// Every byte may begin a line: a stamp before each at most.
constexpr std::size_t stamped_max(std::size_t count) {
    return count * (stamp_size + 1);
}
constexpr std::size_t log_text_max = status_max * 3 / 2 + 2;  // a status line in UTF-8
// The log's bytes held between the link's waits: many read passes, one write. As much as the
// screen's held output (32 KiB on Linux), which the log goes out before, and a stamped slice more,
// so that a stream's log goes out in writes about as large as the screen's.
constexpr std::size_t log_held_size = 32768 + stamped_max(slice_size);
static_assert(stamped_max(slice_size) <= log_held_size && log_text_max <= log_held_size);
constexpr DWORD sync_interval_ms = 1000;
// Idle passes in a row (5 ms each) before the device counts as quiet and the log may be synced: a
// sync blocks the link thread for milliseconds, and a stream that merely outruns its producer now
// and then (or begins just after the port opens) must not wait for the disk.
constexpr unsigned quiet_passes_before_sync = 20;

// Everything below is touched by the link thread, and by the main thread's messages and echo: under
// view_lock, each call whole, so that the line states match what each output got.
program_lock view_lock;
bool console_at_line_start = true;
unsigned hex_column = 0;     // bytes on the current hex line
unsigned char gbk_lead = 0;  // a GBK lead byte whose trail has not come yet
receive_decoder decoder;     // kept across every pass and reconnection
std::FILE* log_file = nullptr;
const char* log_argv0 = "comterm";
bool log_at_line_start = true;
bool log_unsynced = false;
std::uint64_t log_synced_at = 0;
unsigned quiet_passes = 0;  // idle passes since the log was last written
// What the log holds, not yet written: the count is stored with release after the bytes it
// covers, since the platform's ending paths write them out without the lock (file_hold_at_ending).
unsigned char log_held[log_held_size];
std::atomic<std::size_t> log_held_count{0};

unsigned char shown[shown_max];
unsigned char console_out[stamped_max(shown_max > status_max ? shown_max : status_max)];

// The stamp of what arrived together, read from the clock only when a line begins in it: most read
// passes of a stream fall inside a line, and the clock would cost them more than the rest of their
// stamping. A null pass_stamp* means no timestamps.
struct pass_stamp {
    bool taken;
    char text[stamp_size + 1];
};

pass_stamp* stamp_if_wanted(pass_stamp& stamp) {
    return view_timestamps ? &stamp : nullptr;
}

// Received bytes share one stamp from one write-out of the link (view_flush()) to the next: the
// link reads on at once only while the device has more, so they came together, and a stream of
// short lines reads the clock once a batch, not once a line. Renewed after received_stamp_bytes, so
// that a backlog drained in one go takes the moments it is shown at; and after any status line or
// echo, which take their own.
constexpr std::size_t received_stamp_bytes = 1024;
pass_stamp received_stamp{};
std::size_t received_under_stamp = 0;

void renew_received_stamp() {
    received_stamp.taken = false;
    received_under_stamp = 0;
}

// stamp_lines() with the call's stamp, taken when the first line begins in the text: the bytes
// before that are copied as they are (one search finds where).
std::size_t stamp_text(bool& at_line_start, const unsigned char* text, std::size_t length,
                       pass_stamp* stamp, unsigned char* out) {
    if (stamp == nullptr || length == 0) {
        return stamp_lines(at_line_start, text, length, nullptr, out);
    }
    std::size_t before = 0;  // bytes before the first line that begins here
    if (!stamp->taken) {
        if (!at_line_start) {
            // A line feed that is the text's last byte begins nothing in it.
            const void* feed = std::memchr(text, '\n', length - 1);
            if (feed == nullptr) {
                return stamp_lines(at_line_start, text, length, nullptr, out);
            }
            before = static_cast<std::size_t>(static_cast<const unsigned char*>(feed) - text) + 1;
            stamp_lines(at_line_start, text, before, nullptr, out);
        }
        SYSTEMTIME now{};
        GetLocalTime(&now);
        format_stamp(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, stamp->text);
        stamp->taken = true;
    }
    return before +
           stamp_lines(at_line_start, text + before, length - before, stamp->text, out + before);
}

// What the console gets for text: the text itself, or its stamped copy in console_out (length
// updated). The console's line state follows it.
const unsigned char* console_form(const unsigned char* text, std::size_t& length,
                                  pass_stamp* stamp) {
    if (length == 0) {
        return text;
    }
    // Most passes of a stream fall inside a line: shown as they are, not copied.
    if (stamp == nullptr ||
        (!console_at_line_start && std::memchr(text, '\n', length - 1) == nullptr)) {
        console_at_line_start = text[length - 1] == '\n';
        return text;
    }
    length = stamp_text(console_at_line_start, text, length, stamp, console_out);
    return console_out;
}

void put_console(const unsigned char* form, std::size_t length) {
    if (length != 0) {
        std::fwrite(form, 1, length, stdout);
    }
}

void write_console(const unsigned char* text, std::size_t length, pass_stamp* stamp) {
    const unsigned char* form = console_form(text, length, stamp);
    put_console(form, length);
}

const char* log_path_shown(char* out, std::size_t out_size) {
    return path_as_console_text(view_log_path, out, out_size);
}

// Writes out what the log holds, with one write; the first that fails is announced and ends the
// log, the terminal goes on without it. The file stays open: the ending paths may still hold it.
void write_log_held() {
    const std::size_t count = log_held_count.load(std::memory_order_relaxed);
    if (log_file == nullptr || count == 0) {
        return;
    }
    const bool written = std::fwrite(log_held, 1, count, log_file) == count;
    const int error = errno;
    log_held_count.store(0, std::memory_order_relaxed);
    if (written) {
        log_unsynced = true;
        quiet_passes = 0;
        return;
    }
    char shown_path[4096];
    std::fprintf(stderr, "%s: cannot write the log %s: %s; logging stopped\n", log_argv0,
                 log_path_shown(shown_path, sizeof shown_path), std::strerror(error));
    log_file = nullptr;
}

// Adds bytes (slice_size or a status line at most) to what the log holds, a stamp before each
// line; what it held is written out first when the bytes might not fit.
void log_add(const unsigned char* bytes, std::size_t count, pass_stamp* stamp) {
    if (log_file == nullptr) {
        return;
    }
    if (stamped_max(count) > log_held_size - log_held_count.load(std::memory_order_relaxed)) {
        write_log_held();
    }
    const std::size_t held = log_held_count.load(std::memory_order_relaxed);
    const std::size_t added = stamp_text(log_at_line_start, bytes, count, stamp, log_held + held);
    log_held_count.store(held + added, std::memory_order_release);
}

// A line of comterm's own (GBK) in the log, in UTF-8, on a line of its own, and written out with
// what the log held before it.
void log_status(const char* line, pass_stamp* stamp) {
    if (log_file == nullptr) {
        return;
    }
    unsigned char text[log_text_max];
    std::size_t length = 0;
    if (!log_at_line_start) {
        text[length++] = '\n';
    }
    std::size_t converted = 0;
    const auto* gbk = reinterpret_cast<const unsigned char*>(line);
    const std::size_t gbk_length = std::strlen(line);
    if (gbk_length < status_max && gbk_to_utf8(gbk, gbk_length, text + length, &converted) == 0) {
        length += converted;
    }
    write_log_held();
    // A stamp before each of its lines; a path full of line feeds goes unstamped rather than cut.
    const auto lines = static_cast<std::size_t>(1 + std::count(text, text + length, '\n'));
    log_add(text, length, length + lines * stamp_size <= log_held_size ? stamp : nullptr);
    write_log_held();
}

}  // namespace

std::size_t stamp_lines(bool& at_line_start, const unsigned char* bytes, std::size_t count,
                        const char* stamp, unsigned char* out) {
    if (count == 0) {
        return 0;
    }
    if (stamp == nullptr) {
        std::memcpy(out, bytes, count);
        at_line_start = bytes[count - 1] == '\n';
        return count;
    }
    // A line at a time: a stream's bytes are copied in runs, not looked at one by one.
    std::size_t length = 0;
    const unsigned char* const end = bytes + count;
    while (bytes != end) {
        if (at_line_start) {
            std::memcpy(out + length, stamp, stamp_size);
            length += stamp_size;
        }
        const auto* feed = static_cast<const unsigned char*>(
            std::memchr(bytes, '\n', static_cast<std::size_t>(end - bytes)));
        const unsigned char* const line_end = feed == nullptr ? end : feed + 1;
        const auto run = static_cast<std::size_t>(line_end - bytes);
        std::memcpy(out + length, bytes, run);
        length += run;
        bytes = line_end;
        at_line_start = feed != nullptr;
    }
    return length;
}

std::size_t hex_bytes(unsigned& column, const unsigned char* bytes, std::size_t count,
                      unsigned char* out) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        out[length++] = static_cast<unsigned char>(digits[bytes[i] >> 4]);
        out[length++] = static_cast<unsigned char>(digits[bytes[i] & 0x0F]);
        out[length++] = ' ';
        if (++column == 16) {
            out[length++] = '\n';
            column = 0;
        }
    }
    return length;
}

std::size_t gbk_whole_characters(unsigned char& pending_lead, const unsigned char* bytes,
                                 std::size_t count, unsigned char* out) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char b = bytes[i];
        if (pending_lead != 0) {
            out[length++] = pending_lead;
            out[length++] = b;
            pending_lead = 0;
        } else if (b >= 0x81 && b <= 0xFE) {
            pending_lead = b;  // a double-byte character begins
        } else {
            out[length++] = b;
        }
    }
    return length;
}

void format_stamp(unsigned hour, unsigned minute, unsigned second, unsigned millisecond,
                  char* out) {
    const unsigned fields[] = {hour, minute, second};
    out[0] = '[';
    for (unsigned f = 0; f < 3; ++f) {
        out[1 + f * 3] = static_cast<char>('0' + fields[f] / 10 % 10);
        out[2 + f * 3] = static_cast<char>('0' + fields[f] % 10);
        out[3 + f * 3] = f < 2 ? ':' : '.';
    }
    out[10] = static_cast<char>('0' + millisecond / 100 % 10);
    out[11] = static_cast<char>('0' + millisecond / 10 % 10);
    out[12] = static_cast<char>('0' + millisecond % 10);
    out[13] = ']';
    out[14] = ' ';
    out[15] = '\0';
}

int view_log_open(const char* argv0) {
    if (view_log_path == nullptr) {
        return 0;
    }
    log_argv0 = argv0;
    // Read and append: the last byte says whether the file ends in the middle of a line (a session
    // killed mid-line), which the next session line must not continue.
    log_file = std::fopen(view_log_path, "a+b");
    if (log_file == nullptr) {
        const int error = errno;
        char shown_path[4096];
        std::fprintf(stderr, "%s: cannot open the log %s: %s\n", argv0,
                     log_path_shown(shown_path, sizeof shown_path), std::strerror(error));
        return -1;
    }
    if (std::fseek(log_file, -1, SEEK_END) == 0) {
        log_at_line_start = std::fgetc(log_file) == '\n';
    }
    std::fseek(log_file, 0, SEEK_END);  // from reading to writing
    // The log holds its bytes itself (log_held), and each write goes out whole, at once.
    std::setvbuf(log_file, nullptr, _IONBF, 0);
    file_hold_at_ending(log_file, log_held, &log_held_count);
    return 0;
}

void view_session_start() {
    const std::lock_guard<program_lock> guard(view_lock);
    if (log_file == nullptr) {
        return;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    pass_stamp stamp{true, {}};
    format_stamp(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, stamp.text);
    char console_text[port_path_size];
    char line[status_max];
    std::snprintf(
        line, sizeof line, "=== comterm %s session %04u-%02u-%02u %02u:%02u:%02u %s %d ===\n",
        COMTERM_VERSION, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
        path_as_console_text(port_path, console_text, sizeof console_text), baud_rate);
    log_status(line, stamp_if_wanted(stamp));
}

void view_received(const unsigned char* bytes, std::size_t count) {
    const std::lock_guard<program_lock> guard(view_lock);
    if (received_under_stamp >= received_stamp_bytes) {
        renew_received_stamp();
    }
    received_under_stamp += count;
    pass_stamp* stamp = stamp_if_wanted(received_stamp);
    while (count > 0) {
        const std::size_t take = count < slice_size ? count : slice_size;
        std::size_t shown_length = 0;
        if (view_hex) {
            shown_length = hex_bytes(hex_column, bytes, take, shown);
        } else if (view_encoding == ENCODING_GBK) {
            shown_length = gbk_whole_characters(gbk_lead, bytes, take, shown);
        } else {
            shown_length = receive_decoder_feed(decoder, bytes, take, shown);
        }
        // Before the screen could show what the log holds (its held output full), the log goes
        // out, then the screen, as at the link's waits.
        std::size_t console_length = shown_length;
        const unsigned char* form = console_form(shown, console_length, stamp);
        if (log_file != nullptr && console_length > console_held_room()) {
            write_log_held();
            console_flush();
        }
        log_add(bytes, take, stamp);
        put_console(form, console_length);
        bytes += take;
        count -= take;
    }
}

void view_flush() {
    const std::lock_guard<program_lock> guard(view_lock);
    renew_received_stamp();
    write_log_held();
}

void view_idle() {
    const std::lock_guard<program_lock> guard(view_lock);
    write_log_held();
    if (!log_unsynced || ++quiet_passes < quiet_passes_before_sync) {
        return;
    }
    // Only when the device has gone quiet, and at most once a second: a sync never holds up
    // bytes that are flowing.
    const std::uint64_t now = GetTickCount64();
    if (now - log_synced_at < sync_interval_ms) {
        return;
    }
    file_sync(log_file);
    log_unsynced = false;
    log_synced_at = now;
}

void view_status(const char* line, bool prompt) {
    const std::lock_guard<program_lock> guard(view_lock);
    renew_received_stamp();
    pass_stamp taken{};
    pass_stamp* stamp = stamp_if_wanted(taken);
    unsigned char text[status_max];
    std::size_t length = 0;
    if ((view_timestamps || view_hex) && !console_at_line_start) {
        text[length++] = '\n';
    }
    const std::size_t line_length = std::strlen(line);
    if (line_length + length + 2 > sizeof text) {
        return;  // longer than any line of ours
    }
    std::memcpy(text + length, line, line_length);
    length += line_length;
    if (prompt) {
        text[length++] = '>';
        text[length++] = '>';
    }
    log_status(line, stamp);
    write_console(text, length, stamp);
    hex_column = 0;
}

void view_echo(const unsigned char* keys, std::size_t count) {
    const std::lock_guard<program_lock> guard(view_lock);
    renew_received_stamp();
    pass_stamp taken{};
    pass_stamp* stamp = stamp_if_wanted(taken);
    // One key's shown form, a few bytes: well within a slice.
    const std::size_t take = std::min(count, slice_size);
    if (view_hex) {
        write_console(shown, hex_bytes(hex_column, keys, take, shown), stamp);
    } else {
        write_console(keys, take, stamp);
    }
}
