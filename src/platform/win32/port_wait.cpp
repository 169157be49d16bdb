// The link's idle wait, Windows build: a plain pause. The port is read with timeouts that return at
// once, so there is nothing to wait on; the Linux build polls its descriptor instead.
#include "platform.h"

void port_wait_for_data(HANDLE /*handle*/, DWORD milliseconds) {
    Sleep(milliseconds);
}
