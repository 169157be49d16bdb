import os, re

import harness
from harness import LOST, OPEN_FAILED, OPENED, RECONNECTED, check, port_path, scenario

STAMP = rb"\[[0-2]\d:[0-5]\d:[0-6]\d\.\d\d\d\] "
SESSION = rb"=== comterm \d+\.\d+\.\d+ session \d{4}-\d\d-\d\d \d\d:\d\d:\d\d %s 9600 ===\n"
UNPLUG = None  # a piece that is no bytes: the device goes away and comes back


def lines(text, stamp, crlf=False):  # a pattern of text, with a stamp before each line's first byte
    newline = b"\r\n" if crlf else b"\n"
    pattern = newline.join(stamp + re.escape(piece) for piece in text.split(b"\n"))
    return pattern[:-len(stamp)] if text.endswith(b"\n") and stamp else pattern


def status(message, name, stamp, crlf=False, repeated=False):  # a status line as the text shows it
    text = (message % (port_path(name), 9600)).encode("gbk" if crlf else "utf-8")
    pattern = lines(text, stamp, crlf)
    return b"(?:%s)+" % pattern if repeated else pattern


def send(program, device, pieces):  # each piece read by the program before the next goes
    for piece in pieces:
        if piece is UNPLUG:
            device.command("unplug")
            program.out.expect(LOST % (port_path(device.name), 9600))
            device.command("replug")
            program.out.expect(RECONNECTED[:-2] % (port_path(device.name), 9600))
        else:
            device.send(piece)
            device.command("wait-read")


def expect_match(what, pattern, got):
    assert re.fullmatch(pattern, got, re.S), "%s\n  pattern %r\n  got     %r" % (what, pattern, got)


# The device comes after one failed open, is lost and comes back; the first session ends killed
# amid a line, a second one appends.
@scenario()
def session_log(h):
    name = h.new_port()
    log = "session.log"  # Windows: COM5.log would be the port
    args = ["--log", log, "-p", name, "-b", "9600", "--timestamp"]
    program = h.start(args)
    program.out.expect(OPEN_FAILED % (port_path(name), 9600))
    device = h.device(name)
    program.out.expect(OPENED[:-2] % (port_path(name), 9600))  # a stamp may come before ">>"
    # A line ended amid a read, an empty line, a character split between reads.
    pieces = ["hé".encode(), "llo 😀\n\n".encode(), b"\xe4", b"\xbd\xa0 half", UNPLUG,
              b"back\ntail"]
    send(program, device, pieces)
    program.out.expect(b"tail")
    program.stop()
    second = h.start(args)
    second.out.expect(OPENED[:-2] % (port_path(name), 9600))
    second.stop()
    session = STAMP + SESSION % re.escape(port_path(name).encode())
    opened_line = status(OPENED[:-2], name, STAMP)
    expected = (session + status(OPEN_FAILED, name, STAMP, repeated=True) + opened_line +
                lines("héllo 😀\n\n你 half\n".encode(), STAMP) +
                status(LOST, name, STAMP, repeated=True) + status(RECONNECTED[:-2], name, STAMP) +
                lines(b"back\ntail\n", STAMP) + session + opened_line)
    logged = open(os.path.join(h.tmp, log), "rb").read()
    expect_match("the log", expected, logged)
    first = re.search(b"(%s)h" % STAMP, logged)[1]
    later = re.search(b"(%s)back" % STAMP, logged)[1]
    assert first != later, "the lines on each side of the outage both stamped %r" % first


def hex_around_outage(name):  # 16 to a line; a status line ends a half line, the count starts anew
    hex_lines = b">>F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \r\n00 0A \r\n"
    return (lines(hex_lines.replace(b"\r", b""), STAMP, True) +
            status(LOST, name, STAMP, True, True) + status(RECONNECTED, name, STAMP, True) + b"41 ")


# (id, options, what the device sends after the open message, the console pattern from the prompt,
# standard error)
SHOWN_ROWS = [
    ("hex", ["--hex", "--timestamp"], [bytes(range(0xF0, 0x100)) + b"\0\n", UNPLUG, b"A"],
     hex_around_outage, b""),
    # the bytes as they come, the stamp before the character whose halves came apart
    ("gbk", ["--encoding", "GBK", "--timestamp"], [b"a\n\xc4", b"\xe3b\n"],
     lambda name: b"%s>>a\r\n%s\xc4\xe3b\r\n" % (STAMP, STAMP), b"")]
ROWS_NATIVE = [
    # said once, and the terminal goes on
    ("log-write-fails", ["--log", "/dev/full"], [b"on\n", b"on\n"], lambda name: b">>on\r\non\r\n",
     b"comterm: cannot write the log /dev/full: No space left on device; logging stopped\n")]


@scenario(rows=lambda: SHOWN_ROWS + ([] if harness.windows() else ROWS_NATIVE))
def shown(h, options, pieces, pattern, error):
    device = h.device()
    name = device.name
    program = h.start(["-p", name, "-b", "9600"] + options)
    program.out.expect(OPENED[:-2] % (port_path(name), 9600))  # a stamp may come before ">>"
    mark = program.out.mark
    send(program, device, pieces)
    pattern = pattern(name)
    harness.wait_until(lambda: re.fullmatch(pattern, program.out.data[mark:], re.S))
    program.stop()
    expect_match("console", pattern, bytes(program.out.data[mark:]))
    if error:  # beside it, the reasons a reopen failed
        check("said once on standard error: %r" % error, 1, program.err.since_mark().count(error))


if __name__ == "__main__":
    harness.main()
