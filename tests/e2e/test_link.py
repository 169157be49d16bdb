"""The link: received text shown as GBK, keys sent, a port lost and found again."""
import atexit, os, time

import harness
from harness import LOST, OPEN_FAILED, OPENED, RECONNECTED, check, gbk, port_path, scenario

BMP = "".join(map(chr, range(0x80, 0xD800))) + "".join(map(chr, range(0xF900, 0x10000)))
# (id, pieces the device sends one after another, what the screen shows). Each row ends with a
# character of its own, so that a row showing too much or too little is caught.
RECEIVE_ROWS = [
    ("split", [b"\xe4", b"\xbd\xa0"], b"\xc4\xe3"),  # a character split across reads
    ("low-bits", [b"\xc0\x41\xe4\x78\x40"], b"A\xd2\xbb"),  # C0 skipped; E4 78 40 is U+4E00
    ("four-bytes", [b"\xf0\x9f\x98\x80", b"C"], b"C"),  # no GBK code
    ("ascii-swallowed", [b"\xe4\x41\x42", b"D"], b"D"),  # E4 takes the two bytes after it
    # F8-FB take five bytes, FC-FD six: C3 A9 (U+00E9) across the end of the group is cut.
    ("lead-f8", [b"\xf8\x80\x80\x80\xc3\xa9", b"E"], b"E"),
    ("lead-fb", [b"\xfb\x80\x80\x80\xc3\xa9", b"F"], b"F"),
    ("lead-fc", [b"\xfc\x80\x80\x80\xc3\xa9", b"G"], b"\xa8\xa6G"),
    ("lead-fd", [b"\xfd\x80\x80\x80\x80\xc3\xa9", b"H"], b"H"),
    # NUL, FE, FF, a lone continuation byte and a character without a GBK code show nothing.
    ("nothing-shown", [b"\x00\xfe\xff\xbf", "À".encode(), b"I"], b"I"),
    # A character shows up to its NUL and nothing after it.
    ("nul", [b"\xfc\x80\x80\x80\x41\x00\xfc\x80\x80\x80\x00\x41K"], b"AK"),
    ("raw-line", [b"\r\x11\x13\x03one\ntwo\n"], b"\r\x11\x13\x03one\r\ntwo\r\n"),
    # Every character of the BMP as Python's GBK codec has it (it leaves out the private use area),
    # cut by the program's 32-byte reads.
    ("every-character", [BMP.encode() + b"J"], BMP.encode("gbk", "ignore") + b"J"),
]


@scenario(rows=RECEIVE_ROWS)
def received(h, pieces, shown):
    device, program = h.shared("link", h.start_with_device)
    for piece in pieces[:-1]:
        device.send(piece)
        device.command("wait-read")
    device.send(pieces[-1])
    program.out.expect(shown, "shown")


# (id, keys typed, bytes sent). Under Wine, Ctrl+C ends the program instead of giving 0x03, its
# console re-encodes non-ASCII keys, and the Up key comes as the console's two values.
KEY_ROWS = lambda: [("printable", b"AZ09 ~\r", b"AZ09 ~\r")] + (
    [("up", b"\x1b[A", b"\xe0\x48")] if harness.windows() else
    [("raw", b"\x03\x1a\x7f\xc4\xe3\x1b[A", b"\x03\x1a\x7f\xc4\xe3\x1b[A")])


@scenario(rows=KEY_ROWS)
def keys_sent(h, keys, sent):
    device, program = h.shared("link", h.start_with_device)
    program.press(keys)
    harness.wait_until(lambda: len(device.received()) >= len(sent))
    check("the keys %r" % keys, sent, device.received())
    device.mark += len(sent)


def expect_paced(program, message, count):  # about once a second, never faster
    times = []
    for _ in range(count):
        program.out.expect(message)
        times.append(time.monotonic())
    assert times[-1] - times[0] >= 0.8 * (count - 1), "%d times %r in %.2f s" % (
        count, message, times[-1] - times[0])


@scenario()
def link_lost_and_found(h):
    name = h.new_port()
    path = port_path(name)
    program = h.start(["-p", name, "-b", "9600"])
    expect_paced(program, OPEN_FAILED % (path, 9600), 4)  # a port that is not there yet
    program.press(b"x")  # dropped: no link
    device = h.device(name)
    before = program.expect_opened(name, 9600)
    check("before the opening", b"", before.replace(gbk(OPEN_FAILED % (path, 9600)), b""))
    program.settle_keyboard(device)  # fails if the x was sent
    device.send(b"\xe4")  # the start of a character, to be ended after the loss
    device.command("wait-read")
    device.command("unplug")
    expect_paced(program, LOST % (path, 9600), 4)  # announced before every attempt
    program.press(b"z")  # dropped: the link is down
    device.command("replug")
    before = program.out.expect(RECONNECTED % (path, 9600))
    check("before the reconnection", b"", before.replace(gbk(LOST % (path, 9600)), b""))
    program.settle_keyboard(device)  # fails if the z was sent
    device.send(b"\xbd\xa0 back\n")
    program.out.expect(b"\xc4\xe3 back\r\n", "the character ended after the loss")


@scenario("native")
def read_failures_are_no_loss(h):
    # read_fail_shim.c fails the program's port reads while the flag file exists, adding a byte to
    # it for each: past 500, two liveness queries (one per 201 idle passes) have found the device.
    flag = os.path.join(h.tmp, "reads-fail")
    shim = os.path.join(harness.BUILD_DIR, "tests", "e2e", "libread_fail_shim.so")
    device, program = h.start_with_device(env={"COMTERM_TEST_READ_FAILS": flag, "LD_PRELOAD": shim})
    open(flag, "wb").close()
    harness.wait_until(lambda: program.out.since_mark() or os.path.getsize(flag) > 500,
                       "500 failed reads, or output")
    check("shown while the reads fail", b"", program.out.since_mark())
    os.unlink(flag)
    device.send(b"after\n")
    program.out.expect(b"after\r\n", "shown once the reads work")


@scenario()
def no_keyboard_sends_nothing(h):
    # Standard input at its end natively, no console under Wine (where _getch fails at once, again
    # and again): nothing is sent to the device, and the program does not spin.
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin="null", stdout="pipe")
    program.expect_opened(device.name, 9600)
    device.send("日志\n".encode())
    program.out.expect("日志\n")
    cpu = lambda: sum(map(int, open("/proc/%d/stat" % program.process.pid).read().rsplit(
        ")", 1)[1].split()[11:13])) / os.sysconf("SC_CLK_TCK")
    started, used = time.monotonic(), cpu()
    time.sleep(2)  # the measurement: a spinning program slowed by the load can be missed, no more
    busy = (cpu() - used) / (time.monotonic() - started)
    check("sent to the device", b"", device.received())
    assert busy < 0.5, "the program used %.0f%% of a processor" % (busy * 100)


@scenario()
def configuration_failure_link_still_comes_up(h):
    # Natively the device refuses the rate -1. Wine sets any rate on a pseudo-terminal, but opens a
    # COM name leading to /dev/null, whose line settings it cannot read.
    if harness.windows():
        name, rate, failure = h.new_port(), 9600, "GetCommState fail\n"
        os.symlink("/dev/null", h.link_path(name))
        atexit.register(os.unlink, h.link_path(name))
    else:
        device, rate, failure = h.device(), -1, "SetCommState fail\n"
        name = device.name
    program = h.start(["-p", name, "-b", str(rate)])
    before = program.expect_opened(name, rate)
    check("the end of what came before the opening", gbk(failure), before[-len(gbk(failure)):])
    if not harness.windows():
        program.settle_keyboard(device)


if __name__ == "__main__":
    harness.main()
