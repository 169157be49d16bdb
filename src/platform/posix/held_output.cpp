#include "held_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "textconv.h"

namespace {

// Room for what a stream shows between the link's waits, converted, in one write(2). The session
// log goes out just before each of these writes, and a write to a file's page cache costs per call
// and per new page: at 32 KiB about half as much per MB as at 8 KiB.
constexpr std::size_t output_buffer_size = 32768;

// Zero-initialised, apart: untouched pages of them cost no memory.
unsigned char stdout_bytes[output_buffer_size];
unsigned char stderr_bytes[output_buffer_size];

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
    const std::lock_guard<program_lock> guard(held_stdout.lock);
    write_held(&held_stdout);
}

// Writes what fd takes at once and drops the rest; async-signal-safe. A descriptor that may block
// (may_block) gets each write of at most PIPE_BUF bytes after a poll that says, without waiting,
// that it takes more; any other one (non-blocking, or a regular file) is written as it is.
void write_without_waiting(int fd, bool may_block, const unsigned char* bytes, std::size_t left) {
    while (left > 0) {
        if (may_block) {
            pollfd state{fd, POLLOUT, 0};
            if (poll(&state, 1, 0) != 1 || state.revents != POLLOUT) {
                break;
            }
        }
        const std::size_t chunk = may_block && left > PIPE_BUF ? PIPE_BUF : left;
        const ssize_t put = write(fd, bytes, chunk);
        if (put > 0) {
            bytes += put;
            left -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno != EINTR) {
            break;  // EAGAIN included: what the output cannot take now is dropped
        }
    }
}

// Writes what standard output takes at once and drops the rest; async-signal-safe. O_NONBLOCK must
// not be set on descriptor 1 itself: its file description is shared (with the shell, with `tee`),
// which would inherit it. So a pipe or a terminal gets a description of its own, opened
// non-blocking through /proc. A regular file takes every write at once, and must keep its offset:
// written through descriptor 1. Where no description of our own can be had (a socket, no /proc),
// descriptor 1 is written without waiting all the same.
void write_stdout_without_blocking(const unsigned char* bytes, std::size_t left) {
    const int fd = STDOUT_FILENO;
    struct stat status {};
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const int own =
        regular ? -1 : open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        write_without_waiting(own, false, bytes, left);
        close(own);
        return;
    }
    write_without_waiting(fd, !regular, bytes, left);
}

// The program's file and the bytes it holds for it (file_hold_at_ending): -1, or the descriptor.
std::atomic<int> held_file{-1};
bool held_file_regular = true;
unsigned char* held_file_bytes = nullptr;
std::atomic<std::size_t>* held_file_count = nullptr;

}  // namespace

output_stream held_stdout{STDOUT_FILENO, false, true, 0, {0}, stdout_bytes, {}};
output_stream direct_stderr{STDERR_FILENO, false, false, 0, {0}, stderr_bytes, {}};

// Lock order: stdio's lock of the FILE (the caller's), the stream's lock, then standard output's
// lock (a write to standard error sends out what standard output holds first). Standard output's
// lock is the last: nothing under it takes a lock or calls stdio, only write(2) and poll(2), so no
// order of threads can close a circle, and console_flush() never finds it held by its own thread.
// One lock and unlock per call, uncontended but for a console_flush() at the same moment.
bool output_stream_add(output_stream* stream, const unsigned char* data, std::size_t size) {
    const std::lock_guard<program_lock> guard(stream->lock);
    if (!stream->hold) {
        flush_stdout_in_order();  // what standard output holds comes first
    }
    bool appended =
        stream->convert ? append_converted(stream, data, size) : append_raw(stream, data, size);
    if (appended && !stream->hold) {
        appended = write_held(stream);
    }
    return appended;
}

// Without the lock: only the thread that holds the view's lock adds to standard output once the
// link runs, and a write-out by the other thread only makes more room.
std::size_t console_held_room() {
    const std::size_t free = output_buffer_size - held_stdout.used.load(std::memory_order_relaxed);
    if (!held_stdout.convert) {
        return free;  // append_raw writes out only what would not fit
    }
    // append_converted writes out when fewer than 3 bytes are left before a conversion: 2 bytes of
    // GBK take 3 of UTF-8, and a lead byte carried from the last write makes one pair more.
    return free < 6 ? 0 : (free - 6) * 2 / 3;
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
    write_stdout_without_blocking(held_stdout.buffer,
                                  used < output_buffer_size ? used : output_buffer_size);
    held_stdout.used.store(0, std::memory_order_relaxed);
    errno = saved_errno;
}

void file_hold_at_ending(std::FILE* file, unsigned char* bytes, std::atomic<std::size_t>* count) {
    struct stat status {};
    held_file_regular = fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
    held_file_bytes = bytes;
    held_file_count = count;
    held_file.store(fileno(file), std::memory_order_release);  // after what it covers
}

// Without the program's lock, as console_flush_from_signal(): bytes that the other thread is adding
// or writing out at this moment may go out twice or not at all. A regular file takes every write
// at once; anything else (a pipe, a terminal) gets what it takes without waiting.
void held_file_write_from_signal() {
    const int fd = held_file.load(std::memory_order_acquire);
    if (fd < 0) {
        return;
    }
    const int saved_errno = errno;
    const std::size_t count = held_file_count->exchange(0, std::memory_order_acquire);
    write_without_waiting(fd, !held_file_regular, held_file_bytes, count);
    errno = saved_errno;
}
