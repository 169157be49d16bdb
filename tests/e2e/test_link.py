"""The link: received text shown as GBK, keys sent, a port lost and found again."""

import os
import time

import harness
from harness import LOST, OPEN_FAILED, OPENED, RECONNECTED, gbk, gbk_pipe, port_path, scenario

# (pieces the device sends one after another, what the screen shows). Each row ends with a
# character of its own, so that a row showing too much or too little is caught.
RECEIVE_ROWS = [
    ([b"\xe4", b"\xbd\xa0"], b"\xc4\xe3"),  # a character split across reads
    ([b"\xc0\x41"], b"A"),  # a two-byte form of A: the lead C0 is skipped
    ([b"\xbf", b"B"], b"B"),  # a lone continuation byte shows nothing
    ([b"\xf0\x9f\x98\x80", b"C"], b"C"),  # a four-byte character has no GBK code
    ([b"\xe4\x41\x42", b"D"], b"D"),  # E4 swallows the two bytes after it
    ([b"\xe4\x78\x40"], b"\xd2\xbb"),  # ... and is decoded from their low bits: U+4E00
    ([b"\xf8\x80\x80\x80\x41"], b"A"),  # a five-byte lead is skipped with four bytes
    ([b"\xfc\x80\x80\x80\xc3\xa9"], b"\xa8\xa6"),  # a six-byte lead likewise, then U+00E9
    ([b"\x00\xfe\xff", "À".encode(), b"E"], b"E"),  # NUL, FE, FF and no GBK code: nothing
    ([b"\xfc\x80\x80\x80\x41\x00F"], b"AF"),  # a character shows up to its first NUL ...
    ([b"\xfc\x80\x80\x80\x00\x41G"], b"G"),  # ... and nothing after it
    ([b"one\ntwo\n"], b"one\r\ntwo\r\n"),
    ([("数据" * 40).encode()], gbk("数据" * 40)),  # more than one 32-byte read
]


@scenario()
def received_text_converted(h):
    device, program = h.start_with_device()
    for pieces, shown in RECEIVE_ROWS:
        for piece in pieces[:-1]:
            device.send(piece)
            device.command("wait-read")
            program.out.expect_quiet(0.2, "nothing yet for %r" % pieces)
        device.send(pieces[-1])
        program.out.expect_exactly(shown, repr(pieces))
    # Paced as at 115200 baud, the text arrives in reads cut anywhere: all of it shows, in order.
    device.command("baud 115200")
    text = "".join("第%03d行 line %03d\n" % (n, n) for n in range(200))
    device.send(text.encode())
    program.out.expect_exactly(gbk(text), "200 lines at 115200 baud")


@scenario()
def link_lost_and_found(h):
    name = h.new_port()
    path = port_path(name)
    program = h.start(["-p", name, "-b", "9600"])
    for _ in range(3):  # a port that is not there yet
        program.expect(OPEN_FAILED % (path, 9600))
    program.press(b"x")  # dropped: no link
    device = h.device(name)
    before = program.expect_opened(name, 9600)
    assert before.replace(gbk(OPEN_FAILED % (path, 9600)), b"") == b"", before
    program.settle_keyboard(device)  # fails if the x was sent
    # Natively each byte goes as typed. Under Wine, Ctrl+C ends the program instead of giving 0x03,
    # its console re-encodes non-ASCII keys, and the Up key comes as the console's two values.
    native = [(b"\x03", b"\x03"), (b"\x1a\x7f\xc4\xe3\x1b[A", b"\x1a\x7f\xc4\xe3\x1b[A")]
    for keys, sent in [(b"\r", b"\r"), (b"AZ09 ~", b"AZ09 ~")] + (
            [(b"\x1b[A", b"\xe0\x48")] if harness.windows() else native):
        program.press(keys)
        device.expect_received(sent, "the keys %r" % keys)
    device.send(b"\xe4")  # the start of a character, to be ended after the loss
    device.command("wait-read")
    device.command("unplug")
    for _ in range(2):  # announced before every attempt
        program.expect(LOST % (path, 9600))
    program.press(b"z")  # dropped: the link is down
    device.command("replug")
    before = program.expect(RECONNECTED % (path, 9600))
    assert before and before.replace(gbk(LOST % (path, 9600)), b"") == b"", before
    program.settle_keyboard(device)  # fails if the z was sent
    device.send(b"\xbd\xa0 back\n")
    program.out.expect_exactly(b"\xc4\xe3 back\r\n", "the character ended after the loss")


@scenario()
def no_keyboard_sends_nothing(h):
    # Standard input at its end natively, no console under Wine (where _getch fails at once, again
    # and again): nothing is sent to the device, and the program does not spin.
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin="null", stdout="pipe")
    program.out.expect(gbk_pipe(OPENED % (port_path(device.name), 9600)))
    device.send("日志\n".encode())
    program.out.expect(gbk_pipe("日志\n"))
    started, cpu = time.monotonic(), cpu_seconds(program)
    program.out.expect_quiet(2.0, "nothing more")
    busy = (cpu_seconds(program) - cpu) / (time.monotonic() - started)
    assert device.received() == b"" and busy < 0.5, (device.received(), busy)


def cpu_seconds(program):
    with open("/proc/%d/stat" % program.process.pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@scenario()
def configuration_failure_link_still_comes_up(h):
    # Natively the device refuses the rate -1. Wine sets any rate on a pseudo-terminal, but opens a
    # COM name leading to /dev/null, whose line settings it cannot read.
    if harness.windows():
        name, rate, failure = h.new_port(), 9600, "GetCommState fail\n"
        os.symlink("/dev/null", h.link_path(name))
        h.links.append(h.link_path(name))
    else:
        device, rate, failure = h.device(), -1, "SetCommState fail\n"
        name = device.name
    program = h.start(["-p", name, "-b", str(rate)])
    before = program.expect(OPENED % (port_path(name), rate))
    assert before.endswith(gbk(failure)), before
    if not harness.windows():
        program.settle_keyboard(device)


if __name__ == "__main__":
    harness.main()
