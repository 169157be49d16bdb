// vdev: a virtual serial device, so that comterm can be tried, tested and measured without
// hardware.
//
// It makes a pseudo-terminal, publishes the terminal side under a name of the caller's choice (a
// symbolic link such as $COMTERM_DEVICE_DIR/COM3 or a Wine prefix's dosdevices/com5) and plays the
// device on the other side: it sends bytes (optionally paced at a baud rate), appends everything it
// receives to a record file, echoes on request, and can be "unplugged" (its side closes, so the
// program's port hangs up, and the name goes) and "replugged" (a new pseudo-terminal under the same
// name). It is driven by one line protocol of commands, given as options, in a script file, on
// standard input or through a FIFO; each finished command is acknowledged on standard output, so a
// test can wait for it. Everything runs in one poll loop: no threads, no locks.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* usage_text =
    "usage: vdev [options] LINK\n"
    "A virtual serial device: makes a pseudo-terminal, publishes its terminal side as the\n"
    "symbolic link LINK (e.g. $COMTERM_DEVICE_DIR/COM3 or $WINEPREFIX/dosdevices/com5) and acts\n"
    "as the device on the other side until it is told to quit or gets SIGTERM, SIGINT or SIGHUP;\n"
    "LINK is removed on the way out.\n"
    "\n"
    "Options (the sending ones and --script queue commands, in the order given):\n"
    "  -r, --record FILE        append every received byte to FILE at once\n"
    "  -e, --echo               send every received byte back\n"
    "  -b, --baud N             pace what is sent at N baud, 10 bits a byte (0: unpaced)\n"
    "  -t, --send-text TEXT     send TEXT (escapes \\n \\r \\t \\e \\0 \\\\ \\xHH)\n"
    "  -x, --send-hex HEX       send the bytes HEX (e.g. E4BDA0 or \"E4 BD A0\")\n"
    "  -f, --send-file FILE     send the contents of FILE\n"
    "  -s, --script FILE        run the commands in FILE, one a line\n"
    "      --every-second TEXT  send TEXT once a second, %d replaced by a counter from 1, %% by %\n"
    "      --quit-on-byte HEX   quit when this byte (e.g. 71 for q) is received\n"
    "  -c, --control FIFO       also read commands from FIFO (made if missing, removed at exit)\n"
    "  -d, --stdin-data         send standard input as data instead of reading commands from it\n"
    "  -n, --no-stdin           leave standard input alone\n"
    "  -H, --hold               keep the terminal side open as well: the line never hangs up for\n"
    "                           vdev (no peer-open/peer-closed; wait-open returns at once)\n"
    "  -E, --quit-on-eof        quit once standard input has ended and what it gave is done\n"
    "  -q, --quiet              no status lines on standard output\n"
    "  -h, --help               this text\n"
    "\n"
    "Commands (one a line; empty lines and lines starting with # are skipped). They run one\n"
    "after another; a send is finished when its bytes are written to the line:\n"
    "  send-text TEXT | send-hex HEX | send-file FILE\n"
    "  sleep MS                 pause the commands (the device goes on echoing and recording)\n"
    "  wait-open                wait until the program has the port open\n"
    "  drain                    wait until everything queued has been written to the line\n"
    "  wait-read                wait until the program has read everything sent (its input queue\n"
    "                           stays empty); looks at the terminal side, which needs --hold\n"
    "                           when the program opens it exclusively and vdev is not root\n"
    "  unplug                   close the device side (the port hangs up) and remove LINK\n"
    "  replug                   a new pseudo-terminal published as LINK (unplugs first if needed)\n"
    "  echo on|off | baud N | every-second TEXT | every-second off\n"
    "  quit\n"
    "\n"
    "Status lines on standard output: \"ready LINK TTY\" when published, \"peer-open\" and\n"
    "\"peer-closed\" when the program opens or closes the port, \"unplugged\", and for each\n"
    "command \"ok COMMAND\" or \"error COMMAND: REASON\".\n"
    "\n"
    "Example, a device that greets, echoes, sends a numbered line every second, is unplugged\n"
    "for 3 s after 5 s, and quits when it receives q:\n"
    "  printf 'sleep 5000\\nunplug\\nsleep 3000\\nreplug\\n' > demo.vdev\n"
    "  vdev -e -t 'hello\\r\\n' --every-second 'line %d\\r\\n' -s demo.vdev --quit-on-byte 71 \\\n"
    "       $COMTERM_DEVICE_DIR/COM3\n";

constexpr std::int64_t ns_per_ms = 1'000'000;
constexpr std::int64_t ns_per_s = 1'000'000'000;
// While nobody has the terminal side open the master reports hang-up at once on every poll; it is
// looked at again after this pause instead of spinning.
constexpr std::int64_t hangup_recheck_ns = 20 * ns_per_ms;
// Paced sending catches up at most this much time after an idle stretch (no bursts).
constexpr std::int64_t pace_catch_up_ns = 10 * ns_per_ms;
// Data sources (files, standard input) are read ahead only this far.
constexpr std::size_t out_queue_limit = 64 * 1024;

// The line.
std::string link_path;
std::string tty_name;  // terminal side of the current pseudo-terminal, e.g. /dev/pts/4
int master_fd = -1;
bool peer_open = false;  // someone (the program) holds the terminal side open
bool hold_terminal = false;
int held_fd = -1;  // vdev's own descriptor of the terminal side, with --hold
std::int64_t hangup_recheck_at = 0;

// Device behaviour.
int record_fd = -1;
bool echo_received = false;
int quit_byte = -1;
bool quiet = false;

// Bytes waiting to go out, from out_head on; paced when pace_baud > 0.
std::string out_bytes;
std::size_t out_head = 0;
std::int64_t pace_baud = 0;
std::int64_t pace_next_ns = 0;

// The once-a-second line.
std::string tick_text;
bool tick_on = false;
std::int64_t tick_counter = 1;
std::int64_t tick_next_ns = 0;

// Commands, run one after another. A command that takes time leaves a step to wait for.
enum class step_kind { none, sleep, drain, wait_open, wait_read };
std::deque<std::string> pending_commands;
std::string current_command;
step_kind current_step = step_kind::none;
std::int64_t sleep_until_ns = 0;
int send_file_fd = -1;
std::string step_error;  // why the current step could not finish, reported instead of "ok"
// wait-read: the input queue must be seen empty on several looks, because bytes written to the
// master reach that queue a moment later (the kernel pushes them on from a work queue).
constexpr std::int64_t read_check_ns = 10 * ns_per_ms;
constexpr int read_checks_needed = 3;
std::int64_t read_check_at = 0;
int read_empty_checks = 0;

// Inputs of commands or data.
enum class stdin_use { commands, data, ignored };
stdin_use stdin_mode = stdin_use::commands;
bool stdin_open = true;
bool quit_on_eof = false;
std::string stdin_partial;
std::string control_path;
bool control_made = false;
int control_fd = -1;
std::string control_partial;

bool quit_requested = false;
volatile std::sig_atomic_t stop_signal = 0;

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * ns_per_s + now.tv_nsec;
}

// Status lines go out whole and at once: a test waits for them.
void report(std::string_view word, std::string_view detail = {}) {
    if (quiet) {
        return;
    }
    std::string line(word);
    if (!detail.empty()) {
        line += ' ';
        line += detail;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void report_error(std::string_view command, std::string_view reason) {
    std::string detail(command);
    detail += ": ";
    detail += reason;
    report("error", detail);
}

int hex_digit_value(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// "E4BDA0", "E4 BD A0": white space between bytes is allowed. Returns 0, or -1 on a bad digit or
// an odd count.
int parse_hex(std::string_view text, std::string& bytes) {
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        int value = hex_digit_value(c);
        if (value < 0) {
            return -1;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes += static_cast<char>(high * 16 + value);
            high = -1;
        }
    }
    return high < 0 ? 0 : -1;
}

// Text with C-like escapes: \n \r \t \e \0 \\ \xHH; any other byte (UTF-8 included) as it is.
int unescape_text(std::string_view text, std::string& bytes) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) {
            return -1;
        }
        switch (text[i]) {
            case 'n':
                bytes += '\n';
                break;
            case 'r':
                bytes += '\r';
                break;
            case 't':
                bytes += '\t';
                break;
            case 'e':
                bytes += '\x1b';
                break;
            case '0':
                bytes += '\0';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                if (i + 2 >= text.size()) {
                    return -1;
                }
                int high = hex_digit_value(text[i + 1]);
                int low = hex_digit_value(text[i + 2]);
                if (high < 0 || low < 0) {
                    return -1;
                }
                bytes += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return -1;
        }
    }
    return 0;
}

// A decimal count (milliseconds, baud): digits only. Returns -1 when it is not one.
std::int64_t parse_count(std::string_view text) {
    if (text.empty() || text.size() > 12) {
        return -1;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::size_t out_pending() {
    return out_bytes.size() - out_head;
}

void queue_bytes(std::string_view bytes) {
    if (out_pending() == 0 && out_head > 0) {
        out_bytes.clear();
        out_head = 0;
    }
    out_bytes.append(bytes);
}

void drop_queue() {
    out_bytes.clear();
    out_head = 0;
    if (send_file_fd >= 0) {
        close(send_file_fd);
        send_file_fd = -1;
    }
}

// Removes LINK only while it is still ours: pointing at our terminal side.
void remove_link() {
    char target[256];
    ssize_t length = readlink(link_path.c_str(), target, sizeof target - 1);
    if (length < 0) {
        return;
    }
    target[length] = '\0';
    if (tty_name == target) {
        unlink(link_path.c_str());
    }
}

// The link is made beside LINK and renamed over it, so a reader never sees a missing or half-made
// name. Something at LINK that is not a symbolic link is left alone and refused.
int publish_link() {
    struct stat existing {};
    if (lstat(link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        std::fprintf(stderr, "vdev: %s exists and is not a symbolic link\n", link_path.c_str());
        return -1;
    }
    std::string temporary = link_path + ".vdev." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(tty_name.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link_path.c_str()) != 0) {
        std::fprintf(stderr, "vdev: cannot publish %s: %s\n", link_path.c_str(),
                     std::strerror(errno));
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

void unplug() {
    if (master_fd < 0) {
        return;
    }
    // Closing the master hangs up the terminal side: the program's port stops answering.
    if (held_fd >= 0) {
        close(held_fd);
        held_fd = -1;
    }
    close(master_fd);
    master_fd = -1;
    peer_open = false;
    remove_link();
    drop_queue();
    report("unplugged");
}

int plug() {
    // Raw from the start, so that bytes sent before the program sets the line up arrive unchanged.
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    int terminal_fd = -1;
    if (openpty(&master_fd, &terminal_fd, nullptr, &raw, nullptr) != 0) {
        std::fprintf(stderr, "vdev: openpty: %s\n", std::strerror(errno));
        master_fd = -1;
        return -1;
    }
    char name[128];
    if (ttyname_r(terminal_fd, name, sizeof name) != 0) {
        std::fprintf(stderr, "vdev: ttyname: %s\n", std::strerror(errno));
        close(terminal_fd);
        close(master_fd);
        master_fd = -1;
        return -1;
    }
    tty_name = name;
    // The terminal side belongs to the program and is normally not kept open here, so that vdev
    // sees when the program opens and closes it. The termios settings stay with the
    // pseudo-terminal while the master is open, and what is written before the program opens it
    // waits in the line's input queue.
    if (hold_terminal) {
        held_fd = terminal_fd;
        fcntl(held_fd, F_SETFD, FD_CLOEXEC);
    } else {
        close(terminal_fd);
    }
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
    fcntl(master_fd, F_SETFD, FD_CLOEXEC);
    // A held line never reports hang-up: it counts as open from the start.
    peer_open = hold_terminal;
    hangup_recheck_at = 0;
    if (publish_link() != 0) {
        close(master_fd);
        master_fd = -1;
        return -1;
    }
    report("ready", link_path + " " + tty_name);
    return 0;
}

// Writes what the pacing allows now. A full line (EAGAIN) keeps the bytes for later.
void write_out(std::int64_t now) {
    if (master_fd < 0 || out_pending() == 0) {
        return;
    }
    std::size_t allowed = out_pending();
    if (pace_baud > 0) {
        if (now < pace_next_ns) {
            return;
        }
        if (pace_next_ns < now - pace_catch_up_ns) {
            pace_next_ns = now - pace_catch_up_ns;
        }
        std::int64_t due = 1 + (now - pace_next_ns) * pace_baud / (10 * ns_per_s);
        if (static_cast<std::size_t>(due) < allowed) {
            allowed = static_cast<std::size_t>(due);
        }
    }
    ssize_t written = write(master_fd, out_bytes.data() + out_head, allowed);
    if (written <= 0) {
        return;
    }
    out_head += static_cast<std::size_t>(written);
    if (pace_baud > 0) {
        pace_next_ns += written * 10 * ns_per_s / pace_baud;
    }
    if (out_pending() == 0) {
        out_bytes.clear();
        out_head = 0;
    }
}

bool pacing_allows_write(std::int64_t now) {
    return pace_baud == 0 || now >= pace_next_ns;
}

void refill_from_file() {
    while (send_file_fd >= 0 && out_pending() < out_queue_limit) {
        char chunk[16384];
        ssize_t got = read(send_file_fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            close(send_file_fd);
            send_file_fd = -1;
            break;
        }
        queue_bytes(std::string_view(chunk, static_cast<std::size_t>(got)));
    }
}

void record_received(const char* bytes, std::size_t count) {
    std::size_t done = 0;
    while (record_fd >= 0 && done < count) {
        ssize_t written = write(record_fd, bytes + done, count - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            std::fprintf(stderr, "vdev: record: %s\n", std::strerror(errno));
            break;
        }
        done += static_cast<std::size_t>(written);
    }
}

void read_from_line() {
    for (;;) {
        char chunk[4096];
        ssize_t got = read(master_fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN: nothing more now; EIO: the terminal side is closed (the poll loop notices).
        if (got <= 0) {
            return;
        }
        std::size_t count = static_cast<std::size_t>(got);
        record_received(chunk, count);
        if (echo_received) {
            queue_bytes(std::string_view(chunk, count));
        }
        if (quit_byte >= 0 && std::memchr(chunk, quit_byte, count) != nullptr) {
            quit_requested = true;
            return;
        }
    }
}

// Whether the program holds the terminal side: a master whose other side nobody has open reports
// hang-up. Written bytes are kept by the line meanwhile, so they are pushed on here as well.
void check_peer(std::int64_t now) {
    if (master_fd < 0 || peer_open || now < hangup_recheck_at) {
        return;
    }
    pollfd line{master_fd, POLLIN, 0};
    poll(&line, 1, 0);
    if ((line.revents & POLLHUP) != 0) {
        write_out(now);
        hangup_recheck_at = now + hangup_recheck_ns;
        return;
    }
    peer_open = true;
    report("peer-open");
}

// ---- commands

using command_handler = int (*)(std::string_view argument, std::string& reason);

// Sends need the device side; an unplugged device refuses them with this reason.
bool plugged_for_sending(std::string& reason) {
    if (master_fd < 0) {
        reason = "unplugged, nothing sent";
        return false;
    }
    return true;
}

int send_bytes_now(const std::string& bytes, std::string& reason) {
    if (!plugged_for_sending(reason)) {
        return -1;
    }
    queue_bytes(bytes);
    current_step = step_kind::drain;
    return 0;
}

int command_send_text(std::string_view argument, std::string& reason) {
    std::string bytes;
    if (unescape_text(argument, bytes) != 0) {
        reason = "bad escape";
        return -1;
    }
    return send_bytes_now(bytes, reason);
}

int command_send_hex(std::string_view argument, std::string& reason) {
    std::string bytes;
    if (parse_hex(argument, bytes) != 0) {
        reason = "not hex bytes";
        return -1;
    }
    return send_bytes_now(bytes, reason);
}

int command_send_file(std::string_view argument, std::string& reason) {
    if (!plugged_for_sending(reason)) {
        return -1;
    }
    std::string path(argument);
    send_file_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (send_file_fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    current_step = step_kind::drain;
    return 0;
}

int command_sleep(std::string_view argument, std::string& reason) {
    std::int64_t milliseconds = parse_count(argument);
    if (milliseconds < 0) {
        reason = "not a number of milliseconds";
        return -1;
    }
    sleep_until_ns = monotonic_ns() + milliseconds * ns_per_ms;
    current_step = step_kind::sleep;
    return 0;
}

int command_drain(std::string_view, std::string&) {
    current_step = step_kind::drain;
    return 0;
}

int command_wait_read(std::string_view, std::string& reason) {
    if (master_fd < 0) {
        reason = "unplugged";
        return -1;
    }
    read_check_at = 0;
    read_empty_checks = 0;
    current_step = step_kind::wait_read;
    return 0;
}

int command_wait_open(std::string_view, std::string&) {
    current_step = step_kind::wait_open;
    return 0;
}

int command_unplug(std::string_view, std::string&) {
    unplug();
    return 0;
}

int command_replug(std::string_view, std::string& reason) {
    unplug();
    if (plug() != 0) {
        reason = "cannot make or publish the line";
        return -1;
    }
    return 0;
}

int command_echo(std::string_view argument, std::string& reason) {
    if (argument != "on" && argument != "off") {
        reason = "echo on or echo off";
        return -1;
    }
    echo_received = argument == "on";
    return 0;
}

int command_baud(std::string_view argument, std::string& reason) {
    std::int64_t baud = parse_count(argument);
    if (baud < 0) {
        reason = "not a number";
        return -1;
    }
    pace_baud = baud;
    return 0;
}

int command_every_second(std::string_view argument, std::string& reason) {
    if (argument == "off") {
        tick_on = false;
        return 0;
    }
    tick_text.clear();
    if (argument.empty() || unescape_text(argument, tick_text) != 0) {
        reason = "bad text";
        return -1;
    }
    tick_on = true;
    tick_counter = 1;
    tick_next_ns = monotonic_ns() + ns_per_s;
    return 0;
}

int command_quit(std::string_view, std::string&) {
    quit_requested = true;
    return 0;
}

struct command_row {
    std::string_view name;
    command_handler handler;
};

constexpr command_row command_table[] = {
    {"send-text", command_send_text}, {"send-hex", command_send_hex},
    {"send-file", command_send_file}, {"sleep", command_sleep},
    {"wait-open", command_wait_open}, {"drain", command_drain},
    {"wait-read", command_wait_read}, {"unplug", command_unplug},
    {"replug", command_replug},       {"echo", command_echo},
    {"baud", command_baud},           {"every-second", command_every_second},
    {"quit", command_quit},
};

// Starts one command line. A command that finishes at once is acknowledged here; one that takes
// time leaves current_step set and is acknowledged by advance_commands.
void start_command(const std::string& line) {
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos || text[start] == '#') {
        return;
    }
    text.remove_prefix(start);
    std::size_t blank = text.find(' ');
    std::string_view name = text.substr(0, blank);
    // Only the one blank after the name separates: the rest of the line, blanks included, is the
    // argument (send-text sends it as it is).
    std::string_view argument = blank == std::string_view::npos ? "" : text.substr(blank + 1);
    current_command = std::string(text);
    for (const command_row& row : command_table) {
        if (row.name != name) {
            continue;
        }
        std::string reason;
        if (row.handler(argument, reason) != 0) {
            current_step = step_kind::none;
            report_error(current_command, reason);
        } else if (current_step == step_kind::none) {
            report("ok", current_command);
        }
        return;
    }
    report_error(current_command, "unknown command");
}

// Bytes in the terminal side's input queue (sent, not yet read by the program); -1 when it cannot
// be looked at (held by the program exclusively) and step_error says why.
int terminal_input_queued() {
    int fd = held_fd;
    if (fd < 0) {
        fd = open(tty_name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            step_error = std::string("cannot look at the line: ") + std::strerror(errno);
            return -1;
        }
    }
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) {
        step_error = std::string("FIONREAD: ") + std::strerror(errno);
        queued = -1;
    }
    if (fd != held_fd) {
        close(fd);
    }
    return queued;
}

// Looks at most every read_check_ns; finished after read_checks_needed empty looks in a row.
bool wait_read_finished(std::int64_t now) {
    if (master_fd < 0) {
        step_error = "unplugged";
        return true;
    }
    if (out_pending() > 0 || send_file_fd >= 0 || now < read_check_at) {
        return false;
    }
    read_check_at = now + read_check_ns;
    int queued = terminal_input_queued();
    if (queued < 0) {
        return true;
    }
    read_empty_checks = queued == 0 ? read_empty_checks + 1 : 0;
    return read_empty_checks >= read_checks_needed;
}

bool step_finished(std::int64_t now) {
    switch (current_step) {
        case step_kind::none:
            return true;
        case step_kind::sleep:
            return now >= sleep_until_ns;
        case step_kind::drain:
            return master_fd < 0 || (send_file_fd < 0 && out_pending() == 0);
        case step_kind::wait_open:
            return peer_open;
        case step_kind::wait_read:
            return false;  // wait_read_finished, which looks at the line
    }
    return true;
}

void advance_commands() {
    while (!quit_requested) {
        if (current_step != step_kind::none) {
            std::int64_t now = monotonic_ns();
            bool finished =
                current_step == step_kind::wait_read ? wait_read_finished(now) : step_finished(now);
            if (!finished) {
                return;
            }
            current_step = step_kind::none;
            if (step_error.empty()) {
                report("ok", current_command);
            } else {
                report_error(current_command, step_error);
                step_error.clear();
            }
        }
        if (pending_commands.empty()) {
            return;
        }
        std::string line = pending_commands.front();
        pending_commands.pop_front();
        start_command(line);
    }
}

// Cuts what arrived on a command input into lines and queues them.
void take_command_text(std::string& partial, const char* bytes, std::size_t count) {
    partial.append(bytes, count);
    std::size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
        pending_commands.push_back(partial.substr(0, end));
        partial.erase(0, end + 1);
    }
}

void read_stdin() {
    char chunk[16384];
    ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (got <= 0) {
        // End of input: a last line without its newline still counts.
        if (stdin_mode == stdin_use::commands && !stdin_partial.empty()) {
            pending_commands.push_back(stdin_partial);
            stdin_partial.clear();
        }
        stdin_open = false;
        if (quit_on_eof) {
            // What came before the end is still carried out: sent data is written first.
            pending_commands.push_back("drain");
            pending_commands.push_back("quit");
        }
        return;
    }
    std::size_t count = static_cast<std::size_t>(got);
    if (stdin_mode == stdin_use::data) {
        if (master_fd >= 0) {
            queue_bytes(std::string_view(chunk, count));
        }
    } else {
        take_command_text(stdin_partial, chunk, count);
    }
}

void read_control() {
    char chunk[4096];
    ssize_t got = read(control_fd, chunk, sizeof chunk);
    if (got > 0) {
        take_command_text(control_partial, chunk, static_cast<std::size_t>(got));
    }
}

void send_tick(std::int64_t now) {
    if (!tick_on || now < tick_next_ns) {
        return;
    }
    std::string line;
    for (std::size_t i = 0; i < tick_text.size(); ++i) {
        if (tick_text[i] == '%' && i + 1 < tick_text.size() && tick_text[i + 1] == 'd') {
            line += std::to_string(tick_counter);
            ++i;
        } else if (tick_text[i] == '%' && i + 1 < tick_text.size() && tick_text[i + 1] == '%') {
            line += '%';
            ++i;
        } else {
            line += tick_text[i];
        }
    }
    // An unplugged device keeps counting; its lines are lost like those of a real one.
    if (master_fd >= 0) {
        queue_bytes(line);
    }
    ++tick_counter;
    tick_next_ns += ns_per_s;
    if (tick_next_ns <= now) {
        tick_next_ns = now + ns_per_s;
    }
}

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

int read_script(const char* path) {
    std::FILE* script = std::fopen(path, "r");
    if (script == nullptr) {
        std::fprintf(stderr, "vdev: script %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    std::string partial;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, script)) > 0) {
        take_command_text(partial, chunk, got);
    }
    if (!partial.empty()) {
        pending_commands.push_back(partial);
    }
    std::fclose(script);
    return 0;
}

int open_control(const char* path) {
    control_path = path;
    struct stat existing {};
    if (stat(path, &existing) != 0) {
        if (mkfifo(path, 0600) != 0) {
            std::fprintf(stderr, "vdev: mkfifo %s: %s\n", path, std::strerror(errno));
            return -1;
        }
        control_made = true;
    } else if (!S_ISFIFO(existing.st_mode)) {
        std::fprintf(stderr, "vdev: %s is not a FIFO\n", path);
        return -1;
    }
    // Opened for writing as well, so that the FIFO never reports end of input between writers.
    control_fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control_fd < 0) {
        std::fprintf(stderr, "vdev: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

enum option_code {
    option_every_second = 1000,
    option_quit_on_byte,
};

int parse_options(int argc, char** argv) {
    static const option long_options[] = {
        {"record", required_argument, nullptr, 'r'},
        {"echo", no_argument, nullptr, 'e'},
        {"baud", required_argument, nullptr, 'b'},
        {"send-text", required_argument, nullptr, 't'},
        {"send-hex", required_argument, nullptr, 'x'},
        {"send-file", required_argument, nullptr, 'f'},
        {"script", required_argument, nullptr, 's'},
        {"every-second", required_argument, nullptr, option_every_second},
        {"quit-on-byte", required_argument, nullptr, option_quit_on_byte},
        {"control", required_argument, nullptr, 'c'},
        {"stdin-data", no_argument, nullptr, 'd'},
        {"no-stdin", no_argument, nullptr, 'n'},
        {"quit-on-eof", no_argument, nullptr, 'E'},
        {"hold", no_argument, nullptr, 'H'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "r:eb:t:x:f:s:c:dnEHqh", long_options, nullptr)) !=
           -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (option) {
            case 'r':
                record_fd = open(optarg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (record_fd < 0) {
                    std::fprintf(stderr, "vdev: record %s: %s\n", optarg, std::strerror(errno));
                    return -1;
                }
                break;
            case 'e':
                echo_received = true;
                break;
            case 'b':
                pace_baud = parse_count(value);
                if (pace_baud < 0) {
                    std::fprintf(stderr, "vdev: bad baud rate %s\n", optarg);
                    return -1;
                }
                break;
            case 't':
                pending_commands.push_back("send-text " + value);
                break;
            case 'x':
                pending_commands.push_back("send-hex " + value);
                break;
            case 'f':
                pending_commands.push_back("send-file " + value);
                break;
            case 's':
                if (read_script(optarg) != 0) {
                    return -1;
                }
                break;
            case option_every_second:
                pending_commands.push_back("every-second " + value);
                break;
            case option_quit_on_byte: {
                std::string bytes;
                if (parse_hex(value, bytes) != 0 || bytes.size() != 1) {
                    std::fprintf(stderr, "vdev: --quit-on-byte takes one hex byte, e.g. 71\n");
                    return -1;
                }
                quit_byte = static_cast<unsigned char>(bytes[0]);
                break;
            }
            case 'c':
                if (open_control(optarg) != 0) {
                    return -1;
                }
                break;
            case 'd':
                stdin_mode = stdin_use::data;
                break;
            case 'n':
                stdin_mode = stdin_use::ignored;
                break;
            case 'E':
                quit_on_eof = true;
                break;
            case 'H':
                hold_terminal = true;
                break;
            case 'q':
                quiet = true;
                break;
            case 'h':
                std::fputs(usage_text, stdout);
                std::exit(0);
            default:
                std::fputs(usage_text, stderr);
                return -1;
        }
    }
    if (optind + 1 != argc) {
        std::fputs(usage_text, stderr);
        return -1;
    }
    link_path = argv[optind];
    return 0;
}

void clean_up() {
    unplug();
    if (control_fd >= 0) {
        close(control_fd);
    }
    if (control_made) {
        unlink(control_path.c_str());
    }
    if (record_fd >= 0) {
        close(record_fd);
    }
}

// Milliseconds until the next thing that is due, -1 when nothing is.
int poll_timeout(std::int64_t now) {
    if ((current_step != step_kind::none && step_finished(now)) ||
        (send_file_fd >= 0 && out_pending() < out_queue_limit)) {
        return 0;
    }
    std::int64_t next = -1;
    auto consider = [&next](std::int64_t at) {
        if (next < 0 || at < next) {
            next = at;
        }
    };
    if (current_step == step_kind::sleep) {
        consider(sleep_until_ns);
    }
    if (current_step == step_kind::wait_read && out_pending() == 0) {
        consider(read_check_at);
    }
    if (tick_on) {
        consider(tick_next_ns);
    }
    if (master_fd >= 0 && !peer_open) {
        consider(hangup_recheck_at);
    }
    if (master_fd >= 0 && out_pending() > 0 && pace_baud > 0) {
        consider(pace_next_ns);
    }
    if (next < 0) {
        return -1;
    }
    if (next <= now) {
        return 0;
    }
    // Rounded up, so that a wake-up never comes before the deadline.
    return static_cast<int>((next - now + ns_per_ms - 1) / ns_per_ms);
}

int run() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaddset(&stop_signals, signal_number);
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigaction(signal_number, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // The stop signals are delivered only inside ppoll, so none slips in between a check of
    // stop_signal and the wait.
    sigset_t waiting_mask;
    sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);

    if (plug() != 0) {
        clean_up();
        return 1;
    }
    while (!quit_requested && stop_signal == 0) {
        std::int64_t now = monotonic_ns();
        check_peer(now);
        send_tick(now);
        advance_commands();
        if (quit_requested) {
            break;
        }
        refill_from_file();
        if (peer_open && pacing_allows_write(now)) {
            write_out(now);
        }

        std::vector<pollfd> watched;
        int line_slot = -1;
        int stdin_slot = -1;
        int control_slot = -1;
        if (master_fd >= 0 && peer_open) {
            short events = POLLIN;
            if (out_pending() > 0 && pacing_allows_write(now)) {
                events = static_cast<short>(events | POLLOUT);
            }
            line_slot = static_cast<int>(watched.size());
            watched.push_back({master_fd, events, 0});
        }
        if (stdin_mode != stdin_use::ignored && stdin_open &&
            (stdin_mode == stdin_use::commands || out_pending() < out_queue_limit)) {
            stdin_slot = static_cast<int>(watched.size());
            watched.push_back({STDIN_FILENO, POLLIN, 0});
        }
        if (control_fd >= 0) {
            control_slot = static_cast<int>(watched.size());
            watched.push_back({control_fd, POLLIN, 0});
        }
        int timeout_ms = poll_timeout(now);
        timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * ns_per_ms};
        int ready = ppoll(watched.data(), watched.size(), timeout_ms < 0 ? nullptr : &timeout,
                          &waiting_mask);
        if (ready <= 0) {
            continue;
        }
        now = monotonic_ns();
        if (line_slot >= 0) {
            short events = watched[static_cast<std::size_t>(line_slot)].revents;
            if ((events & POLLIN) != 0) {
                read_from_line();
            }
            if ((events & POLLOUT) != 0) {
                write_out(now);
            }
            if ((events & POLLHUP) != 0 && master_fd >= 0) {
                peer_open = false;
                hangup_recheck_at = now + hangup_recheck_ns;
                report("peer-closed");
            }
        }
        if (stdin_slot >= 0 && watched[static_cast<std::size_t>(stdin_slot)].revents != 0) {
            read_stdin();
        }
        if (control_slot >= 0 && watched[static_cast<std::size_t>(control_slot)].revents != 0) {
            read_control();
        }
    }
    clean_up();
    return stop_signal != 0 ? 128 + stop_signal : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (parse_options(argc, argv) != 0) {
        return 2;
    }
    return run();
}
