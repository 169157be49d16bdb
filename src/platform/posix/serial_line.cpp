// Only the kernel's termios2 definitions here: see serial_line.h for why <termios.h> must stay out.
#include "serial_line.h"

#include <asm/termbits.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>

namespace {

// The frame bits SetCommState sets; 8 data bits, no parity, one stop bit is CS8 alone.
constexpr tcflag_t frame_bits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// A driver that cannot make a rate exactly either refuses it or picks its nearest divisor; a
// UART copes with about 2 % of difference between the two ends, so a nearer rate counts as made.
bool rate_close_enough(std::uint32_t wanted, std::uint32_t got) {
    std::uint64_t difference = wanted > got ? wanted - got : got - wanted;
    return difference * 50 <= wanted;
}

int get_settings(int fd, termios2* settings) {
    return ioctl(fd, TCGETS2, settings) == 0 ? 0 : -1;
}

// A hung-up tty (its device gone, or the other side of a pseudo-terminal closed) reports it here.
bool hung_up(int fd) {
    pollfd state{fd, 0, 0};
    return poll(&state, 1, 0) < 0 || (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

static_assert(sizeof(termios2) <= sizeof(serial_line_saved::bytes));

}  // namespace

int serial_line_save(int fd, serial_line_saved* saved) {
    termios2 settings{};
    if (get_settings(fd, &settings) != 0) {
        return -1;
    }
    std::memcpy(saved->bytes, &settings, sizeof settings);
    return 0;
}

int serial_line_restore(int fd, const serial_line_saved* saved) {
    // A hung-up tty refuses settings anyway, and a device that has gone has nothing to put back.
    if (!serial_line_alive(fd)) {
        return -1;
    }
    termios2 settings{};
    std::memcpy(&settings, saved->bytes, sizeof settings);
    // TCSETS2, not TCSETSW2: output nobody reads must not hold the close up.
    return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : -1;
}

int serial_line_make_raw(int fd) {
    termios2 settings{};
    if (get_settings(fd, &settings) != 0) {
        return -1;
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // One byte satisfies a read, no inter-byte timer: with O_NONBLOCK an empty queue then gives
    // EAGAIN, and a read of 0 bytes can only mean a hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : -1;
}

bool serial_line_alive(int fd) {
    termios2 settings{};
    return !hung_up(fd) && get_settings(fd, &settings) == 0;
}

int serial_line_get(int fd, DCB* dcb) {
    // The liveness test of serial_line_alive, with the settings it reads kept: the link's query
    // once a second costs two system calls.
    termios2 settings{};
    if (hung_up(fd) || get_settings(fd, &settings) != 0) {
        return -1;
    }
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = settings.c_ospeed;
    // The open made the line 8 bits without parity; the stop bits are still the line's own until
    // the first SetCommState.
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    return 0;
}

int serial_line_set(int fd, const DCB* dcb) {
    // The rate is a signed 32-bit number where the program keeps it: a negative one arrives here
    // as a huge DWORD and is refused, as is 0, which would hang up the line. The program's only
    // frame is 8N1.
    if (dcb->BaudRate == 0 || dcb->BaudRate > 0x7FFFFFFFu || dcb->ByteSize != 8 ||
        dcb->Parity != NOPARITY || dcb->StopBits != ONESTOPBIT) {
        return -1;
    }
    termios2 settings{};
    if (get_settings(fd, &settings) != 0) {
        return -1;
    }
    // Input speed bits left 0 mean "same as the output speed".
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | frame_bits);
    settings.c_cflag |= BOTHER | CS8;
    settings.c_ospeed = dcb->BaudRate;
    settings.c_ispeed = dcb->BaudRate;
    if (ioctl(fd, TCSETS2, &settings) != 0) {
        return -1;
    }
    termios2 applied{};
    if (get_settings(fd, &applied) != 0 || (applied.c_cflag & frame_bits) != CS8 ||
        !rate_close_enough(dcb->BaudRate, applied.c_ospeed)) {
        return -1;
    }
    return 0;
}
