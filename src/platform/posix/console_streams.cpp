#include "console_streams.h"

#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "textconv.h"

namespace {

constexpr std::array<const char*, 7> gbk_compatible_codesets = {
    "GBK", "GB18030", "GB2312", "EUCCN", "CP936", "WINDOWS936", "MS936",
};

// Room for what one read-ahead of the device (a few KiB) shows, converted, in one write(2).
constexpr std::size_t output_buffer_size = 8192;

// One output stream of ours: where its bytes go, whether they are converted, the lead byte it
// carries between writes (0 for none: a lead byte is 0x80 or above) and the bytes it holds.
// Changed only under its own lock, except that a signal handler may read the held bytes at any
// moment: hence the atomic count, stored with release after the bytes it covers. stdio's lock of
// the FILE, which the write function also runs under, would do for the write function alone, but
// console_flush() reaches the bytes without a stdio call, and that lock is glibc's own, out of
// sight of ThreadSanitizer.
//
// Lock order: stdio's lock of the FILE, the stream's lock, then standard output's lock (a write to
// standard error sends out what standard output holds first). Standard output's lock is the last:
// nothing under it takes a lock or calls stdio, only write(2) and poll(2), so no order of threads
// can close a circle, and console_flush() never finds it held by its own thread.
struct output_stream {
    int fd;
    bool convert;
    bool hold;  // keep the bytes until console_flush(); otherwise out at the end of each write
    unsigned char pending_lead;
    std::atomic<std::size_t> used;
    unsigned char* buffer;  // output_buffer_size bytes
    std::mutex lock;
};

// Zero-initialised, apart: untouched pages of them cost no memory.
unsigned char stdout_bytes[output_buffer_size];
unsigned char stderr_bytes[output_buffer_size];
output_stream held_stdout{STDOUT_FILENO, false, true, 0, {0}, stdout_bytes, {}};
output_stream direct_stderr{STDERR_FILENO, false, false, 0, {0}, stderr_bytes, {}};

bool write_all(int fd, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t put = write(fd, bytes, length);
        if (put > 0) {
            bytes += put;
            length -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EAGAIN) {
            pollfd state{fd, POLLOUT, 0};  // someone made the terminal non-blocking
            poll(&state, 1, -1);
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Writes out what the stream holds. Bytes that cannot be written are dropped, as an unbuffered
// write would have lost them.
bool write_held(output_stream* stream) {
    const std::size_t used = stream->used.load(std::memory_order_relaxed);
    if (used == 0) {
        return true;
    }
    const bool written = write_all(stream->fd, stream->buffer, used);
    stream->used.store(0, std::memory_order_relaxed);
    return written;
}

// Appends GBK text converted to UTF-8; a lead byte at the end is carried to the next write.
bool append_converted(output_stream* stream, const unsigned char* data, std::size_t size) {
    std::size_t used = stream->used.load(std::memory_order_relaxed);
    std::size_t consumed = 0;
    while (size > 0) {
        // gbk_to_utf8_complete needs room for 3/2 of its input; a pair needs 3 bytes.
        if (output_buffer_size - used < 3) {
            stream->used.store(used, std::memory_order_release);
            if (!write_held(stream)) {
                return false;
            }
            used = 0;
        }
        unsigned char* out = stream->buffer + used;
        if (stream->pending_lead != 0) {
            const unsigned char pair[2] = {stream->pending_lead, data[0]};
            used += gbk_to_utf8_complete(pair, 2, out, &consumed);
            stream->pending_lead = 0;
            ++data;
            --size;
        } else {
            std::size_t take = (output_buffer_size - used) * 2 / 3;
            take = take < size ? take : size;
            used += gbk_to_utf8_complete(data, take, out, &consumed);
            if (consumed < take) {
                stream->pending_lead = data[consumed];
            }
            data += take;
            size -= take;
        }
    }
    stream->used.store(used, std::memory_order_release);
    return true;
}

bool append_raw(output_stream* stream, const unsigned char* data, std::size_t size) {
    std::size_t used = stream->used.load(std::memory_order_relaxed);
    if (size > output_buffer_size - used) {
        if (!write_held(stream)) {
            return false;
        }
        if (size >= output_buffer_size) {
            return write_all(stream->fd, data, size);
        }
        used = 0;
    }
    std::memcpy(stream->buffer + used, data, size);
    stream->used.store(used + size, std::memory_order_release);
    return true;
}

// Writes out what standard output holds, waiting for the other thread if it is adding to it.
void flush_stdout_in_order() {
    const std::lock_guard<std::mutex> guard(held_stdout.lock);
    write_held(&held_stdout);
}

// fopencookie write function, called by stdio under the FILE's lock: the stream is unbuffered
// in stdio's eyes, so every printf, puts or fwrite arrives here whole, at once. One lock and
// unlock per call, uncontended but for a console_flush() at the same moment: no system call.
ssize_t output_stream_write(void* cookie, const char* data, std::size_t size) {
    auto* stream = static_cast<output_stream*>(cookie);
    const std::lock_guard<std::mutex> guard(stream->lock);
    if (!stream->hold) {
        flush_stdout_in_order();  // what standard output holds comes first
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    bool appended =
        stream->convert ? append_converted(stream, bytes, size) : append_raw(stream, bytes, size);
    if (appended && !stream->hold) {
        appended = write_held(stream);
    }
    return appended ? static_cast<ssize_t>(size) : 0;  // 0 is stdio's way to report a failure
}

// fopencookie read function for standard input: whatever a question printed shows before its
// answer is awaited (glibc flushes only line-buffered streams before it reads).
ssize_t input_stream_read(void* /*cookie*/, char* data, std::size_t size) {
    console_flush();
    return read(STDIN_FILENO, data, size);
}

FILE* open_stream(void* cookie, const char* mode, const cookie_io_functions_t& functions) {
    FILE* file = fopencookie(cookie, mode, functions);
    if (file != nullptr && mode[0] == 'w') {
        setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

// The codeset named by a locale string such as "zh_CN.UTF-8@euro": the part after '.', up to '@'.
void codeset_of_locale_name(const char* name, char* out, std::size_t out_size) {
    out[0] = '\0';
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr) {
        return;
    }
    std::size_t length = std::strcspn(dot + 1, "@");
    if (length >= out_size) {
        length = out_size - 1;
    }
    std::memcpy(out, dot + 1, length);
    out[length] = '\0';
}

// GBK, GB18030, GB2312 / EUC-CN, CP936 and their other names, in any case and punctuation.
bool codeset_is_gbk_compatible(const char* codeset) {
    // Compare without case and punctuation: GB-2312, gb2312, EUC_CN and euc-cn are all the same.
    char folded[32];
    std::size_t length = 0;
    for (const char* c = codeset; *c != '\0' && length + 1 < sizeof folded; ++c) {
        if (*c != '-' && *c != '_' && *c != ' ') {
            folded[length++] = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        }
    }
    folded[length] = '\0';
    for (const char* compatible : gbk_compatible_codesets) {
        if (std::strcmp(folded, compatible) == 0) {
            return true;
        }
    }
    return false;
}

// The character set of the user's locale, "" when none is named.
void terminal_codeset(char* out, std::size_t out_size) {
    out[0] = '\0';
    // The locale for LC_CTYPE is the first of these that is set, as for setlocale(LC_CTYPE, "").
    const char* name = nullptr;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        name = std::getenv(variable);
        if (name != nullptr && name[0] != '\0') {
            break;
        }
        name = nullptr;
    }
    // A name that says its codeset ("zh_CN.UTF-8") is taken at its word: loading the locale
    // (locale.alias, LC_CTYPE and the gconv cache) would cost start-up time and memory to learn
    // the same.
    if (name != nullptr) {
        codeset_of_locale_name(name, out, out_size);
        if (out[0] != '\0') {
            return;
        }
    }
    // "" asks for the user's locale from the environment, as setlocale(LC_CTYPE, "") would, but
    // into a locale object of our own: the process's locale stays "C".
    locale_t user_locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user_locale != static_cast<locale_t>(nullptr)) {
        std::snprintf(out, out_size, "%s", nl_langinfo_l(CODESET, user_locale));
        freelocale(user_locale);
    }
}

// Whether the user's locale writes GBK or a subset of it: read once, when first needed.
bool locale_is_gbk_compatible() {
    static const bool compatible = [] {
        char codeset[64];
        terminal_codeset(codeset, sizeof codeset);
        return codeset_is_gbk_compatible(codeset);
    }();
    return compatible;
}

}  // namespace

void console_streams_init() {
    const bool stdout_terminal = isatty(STDOUT_FILENO) != 0;
    const bool stderr_terminal = isatty(STDERR_FILENO) != 0;
    if ((stdout_terminal || stderr_terminal) && !locale_is_gbk_compatible()) {
        code_tables_init();
        held_stdout.convert = stdout_terminal;
        direct_stderr.convert = stderr_terminal;
    }
    cookie_io_functions_t output_functions{};
    output_functions.write = output_stream_write;
    cookie_io_functions_t input_functions{};
    input_functions.read = input_stream_read;
    // glibc lets a program assign the standard streams; every later printf, puts, fputs and scanf
    // then goes through ours. Should one not open, stdio's own stays, unbuffered.
    FILE* out = open_stream(&held_stdout, "w", output_functions);
    FILE* err = open_stream(&direct_stderr, "w", output_functions);
    FILE* in = open_stream(nullptr, "r", input_functions);
    if (out == nullptr || err == nullptr || in == nullptr) {
        for (FILE* file : {out, err, in}) {
            if (file != nullptr) {
                std::fclose(file);
            }
        }
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
        return;
    }
    stdout = out;
    stderr = err;
    stdin = in;
}

void console_flush() {
    // Without the lock when nothing is held: what this thread wrote is seen here; what another
    // thread is adding, that thread sends out before it waits. For the same reason the lock, when
    // the other thread has it, is left to it: a key is never kept from the device, nor the
    // keyboard from being read, while the link thread waits for a screen that takes nothing.
    if (held_stdout.used.load(std::memory_order_relaxed) == 0 || !held_stdout.lock.try_lock()) {
        return;
    }
    write_held(&held_stdout);
    held_stdout.lock.unlock();
}

// Without the lock, by necessity: a mutex is no async-signal-safe call, the interrupted code may
// hold it, and an ending process must not wait for the other thread's write to a terminal that
// takes nothing. Good enough here: it runs once, just before the signal ends the process, after
// the port and the terminal are given back. The count, loaded with acquire, covers only bytes
// complete in the buffer. Only the last bytes shown can suffer, and only when the signal meets an
// addition to the held bytes or a write of them, in the other thread or (interrupted) in this one:
// those may show twice or not at all, as bytes do when a program is killed amid any write; what the
// other thread receives in these last moments is lost anyway.
void console_flush_from_signal() {
    const int saved_errno = errno;
    const std::size_t used = held_stdout.used.load(std::memory_order_acquire);
    const unsigned char* bytes = held_stdout.buffer;
    std::size_t left = used < output_buffer_size ? used : output_buffer_size;
    while (left > 0) {
        const ssize_t put = write(held_stdout.fd, bytes, left);
        if (put > 0) {
            bytes += put;
            left -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno != EINTR) {
            break;  // EAGAIN included: a signal handler must not wait for the terminal
        }
    }
    held_stdout.used.store(0, std::memory_order_relaxed);
    errno = saved_errno;
}

const char* path_as_console_text(const char* path, char* out, std::size_t out_size) {
    // Typed in the user's locale; console text is GBK. Outside a GBK locale the path is taken as
    // UTF-8 and shown by its GBK form only when that says the same thing: converted back it gives
    // the path again. A path that is not UTF-8, or holds a character GBK does not have, is shown as
    // its own bytes, not as a GBK form with characters missing.
    const std::size_t length = std::strlen(path);
    constexpr std::size_t longest = 4096;
    if (length >= out_size || length >= longest) {
        return path;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(path);
    bool ascii = true;
    for (std::size_t i = 0; i < length; ++i) {
        ascii = ascii && bytes[i] < 0x80;
    }
    if (ascii || locale_is_gbk_compatible()) {
        return path;
    }
    code_tables_init();
    auto* gbk = reinterpret_cast<unsigned char*>(out);
    std::size_t gbk_length = 0;
    unsigned char back[longest * 3 / 2 + 1];
    std::size_t back_length = 0;
    if (utf8_to_gbk(bytes, length, gbk, &gbk_length) != 0 ||
        gbk_to_utf8(gbk, gbk_length, back, &back_length) != 0 || back_length != length ||
        std::memcmp(back, bytes, length) != 0) {
        return path;
    }
    return out;
}
