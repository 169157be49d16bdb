#include "console_streams.h"

#include <unistd.h>

#include <cstdio>

#include "console_locale.h"
#include "held_output.h"
#include "platform.h"

namespace {

// fopencookie write function, called by stdio under the FILE's lock: the stream is unbuffered
// in stdio's eyes, so every printf, puts or fwrite arrives here whole, at once.
ssize_t output_stream_write(void* cookie, const char* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (!output_stream_add(static_cast<output_stream*>(cookie), bytes, size)) {
        return 0;  // stdio's way to report a failure
    }
    return static_cast<ssize_t>(size);
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

}  // namespace

void console_streams_init() {
    const bool stdout_terminal = isatty(STDOUT_FILENO) != 0;
    const bool stderr_terminal = isatty(STDERR_FILENO) != 0;
    if ((stdout_terminal || stderr_terminal) && !locale_is_gbk_compatible()) {
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
