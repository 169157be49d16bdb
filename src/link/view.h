// What the console and the session log get from the link: the device's bytes and comterm's own
// status lines, the only way either reaches them once the link thread runs.
//
// The bytes of a read pass (or of consecutive full passes, which the link hands over together) go
// to the console with one write, as text (UTF-8 converted to GBK by the receive decoder, or GBK as
// it comes, a character held until its last byte is in) or as hex ("41 " per byte, uppercase, 16
// to a line, each line ended by LF at its 16th byte); and to the log as the device sent them.
// Status lines go to both, the log's copy in UTF-8 and without the ">>" prompt.
//
// The log is held like the screen: a write(2) per 32-byte pass would cost more than all the rest,
// so its bytes collect in a buffer of this module and go out with one write where the link thread
// writes out the screen's held output, just before it (view_flush()); when the buffer is full;
// before the screen's held output could fill up and show what the log holds (then the screen is
// written out after it); with each status line; and on the ways out: exit() on both builds, and
// on Linux the ending signals, through the platform's file_hold_at_ending(). On Linux the log is
// thus not behind the screen (but for a key typed amid a burst: the keyboard's wait writes out the
// screen, until the link's next wait); the Windows console shows each batch at once, and the log
// follows at the same point as on Linux. A kill the platform cannot catch (SIGKILL; on Windows a
// closed console or TerminateProcess) loses what the log held: what came since the device last
// paused, 40 KiB at most.
//
// With timestamps, "[hh:mm:ss.mmm] " is put before the first byte after a line feed (and before the
// first one of all), at the moment that byte is written: a stamp never waits for a line to end, and
// never splits a character, as console text only ever holds whole ones. Received bytes that came
// together (read on at once, up to the link's next write-out) share the moment their first line
// began, read afresh after each KiB of them. A status line always starts
// a line of its own in the log, and on the console too with timestamps or hex (a half-filled line
// is ended first; the hex count starts again after it). Without any of the options the console gets
// exactly the bytes it got before they existed.
//
// Settings: written by the option rows before the link thread starts, only read afterwards.
//   view_log_path     the log file, or null for none.
//   view_timestamps   stamp every line, console and log.
//   view_hex          show received bytes as hex.
//   view_encoding     what the device sends: UTF-8 (the default) or GBK.
//
//   view_log_open()       opens the log for appending (created if missing); 0, or -1 after saying
//                         on standard error which file and why. Before the port or a menu, in main.
//   view_session_start()  the session line, "=== comterm VERSION session YYYY-MM-DD hh:mm:ss PORT
//                         RATE ===", in the log.
//   view_received()       what one or more read passes read: shows the bytes and adds them to
//                         what the log holds.
//   view_flush()          writes out what the log holds; the link thread's, before console_flush().
//   view_idle()           an idle pass: puts the log on the disk once nothing new has come for 20
//                         idle passes in a row (about 100 ms), at most once a second (a power cut
//                         then loses at most what came since the device went quiet).
//   view_status()         one of comterm's own lines (GBK, ending in LF), prompt adding ">>" on the
//                         console. Safe from any thread: the main thread's key-write failure too.
//   view_echo()           a typed key's shown form (a few bytes; 512 at most are shown) on the
//                         console as typed (stamped, as hex in hex mode), not logged: the log
//                         holds what the device sent. Any thread.
// A log write that fails is announced once on standard error; logging then stops (the file stays
// open, untouched), the terminal goes on.
//
// The pure pieces, for the tests:
//   stamp_lines()           copies bytes, a stamp before each byte that begins a line.
//   hex_bytes()             the hex form of bytes, continuing a line of `column` bytes.
//   gbk_whole_characters()  GBK bytes whole characters at a time, a lead byte kept in between.
//   format_stamp()          "[hh:mm:ss.mmm] " of a local time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

enum view_encoding_value : std::uint8_t {
    ENCODING_UTF8 = 0,
    ENCODING_GBK = 1,
};

extern const char* view_log_path;
extern bool view_timestamps;
extern bool view_hex;
extern view_encoding_value view_encoding;

int view_log_open(const char* argv0);
void view_session_start();
void view_received(const unsigned char* bytes, std::size_t count);
void view_flush();
void view_idle();
void view_status(const char* line, bool prompt);
void view_echo(const unsigned char* keys, std::size_t count);

constexpr std::size_t stamp_size = 15;  // "[hh:mm:ss.mmm] "
// The most the link hands to view_received() at once: its batch of consecutive full reads.
constexpr std::size_t view_received_batch = 512;
// The longest status line, its NUL included: a message naming the port path.
constexpr std::size_t view_status_max = port_path_size + 128;

// out holds count * (stamp_size + 1) bytes; stamp is null for none. Returns the length written.
std::size_t stamp_lines(bool& at_line_start, const unsigned char* bytes, std::size_t count,
                        const char* stamp, unsigned char* out);
// out holds count * 3 + count / 16 + 1 bytes. Returns the length written.
std::size_t hex_bytes(unsigned& column, const unsigned char* bytes, std::size_t count,
                      unsigned char* out);
// out holds count + 1 bytes; pending_lead is 0 or the lead byte kept from the call before.
std::size_t gbk_whole_characters(unsigned char& pending_lead, const unsigned char* bytes,
                                 std::size_t count, unsigned char* out);
// out holds stamp_size + 1 bytes.
void format_stamp(unsigned hour, unsigned minute, unsigned second, unsigned millisecond, char* out);
