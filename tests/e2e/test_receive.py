"""What the device sends reaches the screen as GBK: UTF-8 cut into whole characters, whatever the
reads cut it into; what GBK cannot show, shows nothing."""

import harness
from harness import check_bytes, gbk, scenario

A_CHARACTER_SPLIT = b"\xe4"  # the lead of E4 BD A0 (U+4F60), sent on its own

# (what the device sends, in pieces sent one after another, what the screen must show). Each row
# ends with a character of its own, so that a row that shows too much or too little is caught.
RECEIVE_ROWS = [
    ("an ASCII letter", [b"A"], b"A"),
    ("a character split across reads", [b"\xe4", b"\xbd\xa0"], b"\xc4\xe3"),
    ("a two-byte form of A (lead C0 skipped)", [b"\xc0\x41"], b"A"),
    ("a lone continuation byte shows nothing", [b"\xbf", b"B"], b"B"),
    ("a four-byte character shows nothing", [b"\xf0\x9f\x98\x80", b"C"], b"C"),
    ("E4 41 swallows the letter and the next byte", [b"\xe4\x41\x42", b"D"], b"D"),
    ("a five-byte lead is skipped by four", [b"\xf8\x80\x80\x80\x41"], b"A"),
    ("a six-byte lead, then U+00E9", [b"\xfc\x80\x80\x80\xc3\xa9"], b"\xa8\xa6"),
    ("0x00 shows nothing", [b"\x00", b"E"], b"E"),
    ("0xFE and 0xFF show nothing", [b"\xfe\xff", b"F"], b"F"),
    ("a character without a GBK code shows nothing", ["À".encode(), b"G"], b"G"),
    ("LF reaches the console as CR LF", [b"one\ntwo\n"], b"one\r\ntwo\r\n"),
    ("Chinese text", ["你好，世界！\n".encode()], gbk("你好，世界！\n")),
    ("a long burst (more than one 32-byte read)", [("数据" * 40).encode()], gbk("数据" * 40)),
]


@scenario()
def received_text_converted(h):
    device, program = h.start_with_device()
    program.out.skip_all()
    for what, pieces, shown in RECEIVE_ROWS:
        for number, piece in enumerate(pieces):
            device.send(piece)
            if number + 1 < len(pieces):
                # Read on its own, the piece is no whole character yet: nothing may show.
                device.wait_read()
                program.out.expect_quiet(0.2, "nothing yet for " + what)
        program.out.expect_exactly(shown, what)


@scenario()
def partial_character_survives_reconnection(h):
    device, program = h.start_with_device()
    device.send(A_CHARACTER_SPLIT)
    device.wait_read()
    device.unplug()
    program.expect(harness.LOST % (harness.port_path(device.name), 9600))
    device.replug()
    program.expect(harness.RECONNECTED % (harness.port_path(device.name), 9600))
    program.out.skip_all()
    device.send(b"\xbd\xa0")
    program.out.expect_exactly(b"\xc4\xe3", "the character begun before the loss")


@scenario()
def received_bytes_at_high_rate(h):
    # The line paced at its rate by the device: everything arrives, in order, converted.
    device, program = h.start_with_device(("-b", "115200"))
    program.out.skip_all()
    device.command("baud 115200")
    text = "".join("第%03d行 line %03d\n" % (n, n) for n in range(200))
    device.send(text.encode())
    got = program.out.wait_for(lambda data: data if len(data) >= len(gbk(text)) else None, None)
    check_bytes("200 lines received at 115200", gbk(text), got or program.out.since_mark())


if __name__ == "__main__":
    harness.main()
