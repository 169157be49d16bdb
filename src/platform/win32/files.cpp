// Files of the Windows build: the C runtime's own call for a file's data on the disk, and a file's
// held bytes written out at exit().
#include <io.h>

#include <cstdlib>

#include "platform.h"

namespace {

int held_file = -1;
unsigned char* held_bytes = nullptr;
std::atomic<std::size_t>* held_count = nullptr;

// As the Linux build's signal-time write: the link thread may be adding to the bytes meanwhile.
void write_held_file() {
    const std::size_t count = held_count->exchange(0, std::memory_order_acquire);
    if (count != 0) {
        _write(held_file, held_bytes, static_cast<unsigned>(count));
    }
}

}  // namespace

void file_hold_at_ending(std::FILE* file, unsigned char* bytes, std::atomic<std::size_t>* count) {
    held_file = _fileno(file);
    held_bytes = bytes;
    held_count = count;
    std::atexit(write_held_file);
}

int file_sync(std::FILE* file) {
    return _commit(_fileno(file)) == 0 ? 0 : -1;
}
