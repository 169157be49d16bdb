// Files of the Windows build: the C runtime's own call for a file's data on the disk.
#include <io.h>

#include "platform.h"

int file_sync(std::FILE* file) {
    return _commit(_fileno(file)) == 0 ? 0 : -1;
}
