import os, time

import harness
from harness import LOST, OPEN_FAILED, RECONNECTED, check, gbk, port_path, scenario, wait_until


BMP = "".join(map(chr, range(0x80, 0xD800))) + "".join(map(chr, range(0xF900, 0x10000)))
# (id, pieces the device sends one after another, what is shown, ending in the row's own letter)
RECEIVE_ROWS = [
    # From the low bits: C0 41 is A, E4 78 40 U+4E00; E4 takes the two letters after it.
    ("low-bits", [b"\xc0\x41\xe4\x78\x40\xe4\x41\x42", b"D"], b"A\xd2\xbbD"),
    # F8-FB take five bytes, FC-FD six: C3 A9 (U+00E9) across the end of the group is cut.
    ("lead-fb", [b"\xfb\x80\x80\x80\xc3\xa9", b"F"], b"F"),
    ("lead-fc", [b"\xfc\x80\x80\x80\xc3\xa9", b"G"], b"\xa8\xa6G"),
    # NUL, FE, FF, a lone continuation, no GBK code: nothing shown; F0 takes 4 bytes (é shows).
    ("nothing-shown", [b"\x00\xfe\xff\xbf", "À".encode(), "😀é".encode(), b"I"], b"\xa8\xa6I"),
    ("nul", [b"\xfc\x80\x80\x80\x41\x00\xfc\x80\x80\x80\x00\x41K"], b"AK"),  # nothing after a NUL
    ("raw-line", [b"\r\x11\x13\x03one\ntwo\n"], b"\r\x11\x13\x03one\r\ntwo\r\n"),
    # The BMP as Python's GBK codec has it (no private use area), cut by the 32-byte reads.
    ("every-character", [BMP.encode() + b"J"], BMP.encode("gbk", "ignore") + b"J"),
]


@scenario(rows=RECEIVE_ROWS)
def received(h, pieces, shown):
    device, program = h.shared("link", h.start_with_device)
    for piece in pieces:
        device.send(piece)
        device.command("wait-read")
    program.out.expect(shown, "shown")


def expect_paced(program, message, count):  # about once a second, never faster
    seen = []
    for _ in range(count):
        program.out.expect(message)
        seen.append(time.monotonic())
    took = seen[-1] - seen[0]
    assert took >= 0.8 * (count - 1), "%r, %d times in %.2f s" % (message, count, took)


@scenario()
def link_lost_and_found(h):
    name = h.new_port()
    failed = OPEN_FAILED % (port_path(name), 9600)
    lost = LOST % (port_path(name), 9600)
    program = h.start(["-p", name, "-b", "9600"])
    expect_paced(program, failed, 4)  # a port that is not there yet
    program.press(b"x")  # dropped: no link
    device = h.device(name)
    check("before the opening", b"", program.expect_opened(name, 9600).replace(gbk(failed), b""))
    program.settle_keyboard(device)  # fails if the x was sent
    device.send(b"\xe4")  # the start of a character, to be ended after the loss
    device.command("wait-read")
    device.command("unplug")
    expect_paced(program, lost, 4)  # announced before every attempt
    program.press(b"z")  # dropped: the link is down
    device.command("replug")
    before = program.out.expect(RECONNECTED % (port_path(name), 9600))
    check("before the reconnection", b"", before.replace(gbk(lost), b""))
    program.settle_keyboard(device)  # fails if the z was sent
    device.send(b"\xbd\xa0 back\n")
    program.out.expect(b"\xc4\xe3 back\r\n", "the character ended after the loss")
    # Keys sent raw; under Wine Ctrl+C ends the program, non-ASCII is re-encoded, Up is two values.
    if harness.windows():
        typed = b"AZ09 ~\r\x1b[A"
        sent = b"AZ09 ~\r\xe0\x48"
    else:
        typed = b"AZ09 ~\r\x03\x1a\x7f\xc4\xe3\x1b[A"
        sent = typed
    program.press(typed)
    wait_until(lambda: len(device.received()) >= len(sent), "the keys to reach the device")
    check("the keys sent", sent, device.received())


# The preload shim fails the program's first 500 port reads, made while the device's line waits
# unread (a quiet idle port is not read at all): over 402 idle passes, two liveness queries (one
# per 201) have found the device. No loss is announced, and the line shows once reads work.
@scenario("native")
def read_failures_are_no_loss(h):
    shim = harness.BUILD_DIR + "/tests/e2e/libpreload_shim.so"
    env = {"COMTERM_TEST_READ_FAILS": "500", "LD_PRELOAD": shim}
    device, program = h.start_with_device(env=env)
    device.send(b"waited\n")
    program.out.expect(b"waited\r\n", "shown once the reads work, and nothing else")


if __name__ == "__main__":
    harness.main()
