// The floor of comterm's idle cost: a loop that does nothing but wait up to 5 ms on a device, as
// the link thread does on a quiet line. bench_receive.py measures its CPU time beside comterm's in
// the same run; what comterm costs above it is the program's own.
//
// usage: idle_floor DEVICE   (runs until killed, or until the device hangs up)
#include <fcntl.h>
#include <poll.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: idle_floor DEVICE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    pollfd state{fd, POLLIN, 0};
    // Anything but a timeout (data, a hang-up) would make this a busy loop: it ends instead.
    while (poll(&state, 1, 5) == 0) {
    }
    return 0;
}
