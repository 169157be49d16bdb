"""Keys go to the device one byte each, as typed; nothing is echoed locally; keys typed while the
link is down are dropped; without a keyboard nothing is sent at all."""

import time

import harness
from harness import LOST, OPEN_FAILED, RECONNECTED, port_path, scenario, windows

# (keys typed, bytes the device must receive)
KEY_ROWS = [
    (b"a", b"a"),
    (b"b", b"b"),
    (b"\r", b"\r"),  # Enter, as the Windows console gives it
    (b"AZ09 ~", b"AZ09 ~"),
]
NATIVE_ONLY_KEY_ROWS = [
    # Under Wine, Ctrl+C ends the process instead of giving 0x03 (a Wine difference; a Windows
    # console in the program's mode gives 0x03), and Wine's console re-encodes non-ASCII bytes
    # typed on its terminal.
    (b"\x03", b"\x03"),  # Ctrl+C
    (b"\x1a", b"\x1a"),  # Ctrl+Z
    (b"\x7f", b"\x7f"),
    (b"\xc4\xe3", b"\xc4\xe3"),  # GBK typed on a GBK terminal: two bytes, unconverted
    (b"\x1b[A", b"\x1b[A"),  # the Up key of a terminal: each of its bytes
]
WINDOWS_ONLY_KEY_ROWS = [
    (b"\x1b[A", b"\xe0\x48"),  # the Up key: the console's two values for it, each sent
]


@scenario()
def keys_forwarded(h):
    device, program = h.start_with_device()
    program.settle_keyboard(device)
    rows = KEY_ROWS + (WINDOWS_ONLY_KEY_ROWS if windows() else NATIVE_ONLY_KEY_ROWS)
    for keys, sent in rows:
        program.press(keys)
        device.expect_received(sent, "the keys %r" % keys)
    # Nothing typed is shown by the program itself: only the device's echo would show it.
    program.out.skip_all()
    program.press(b"q")
    device.expect_received(b"q")
    program.out.expect_quiet(0.3, "no local echo")


@scenario()
def keys_shown_through_device_echo(h):
    device, program = h.start_with_device(echo=True)
    program.settle_keyboard(device)
    program.out.expect(b",")  # the echo of the last probe key
    program.press(b"hello\r")
    device.expect_received(b"hello\r")
    program.out.expect_exactly(b"hello\r", "the echoed keys")


@scenario()
def keys_dropped_while_link_is_down(h):
    name = h.new_port()
    path = port_path(name)
    # Before the first open: the port does not exist yet.
    program = h.start(["-p", name, "-b", "9600"])
    program.expect(OPEN_FAILED % (path, 9600))
    program.press(b"x")
    device = h.device(name)
    program.expect_opened(name, 9600)
    program.settle_keyboard(device)  # fails if the x was sent
    program.press(b"a")
    device.expect_received(b"a", "the key typed after the open")
    # After a loss: the device unplugged.
    device.unplug()
    program.expect(LOST % (path, 9600))
    program.press(b"z")
    device.replug()
    program.expect(RECONNECTED % (path, 9600))
    program.settle_keyboard(device)  # fails if the z was sent
    program.press(b"w")
    device.expect_received(b"w", "the key typed after the reconnection")


@scenario()
def no_keyboard_sends_nothing(h):
    # Standard input at its end (natively) or no console at all (Wine's _getch then fails at once,
    # again and again): the program goes on showing what arrives and sends nothing, nor spins.
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin="null", stdout="pipe")
    program.out.expect(harness.gbk_pipe(harness.OPENED % (port_path(device.name), 9600)))
    device.send("日志\n".encode())
    program.out.expect(harness.gbk_pipe("日志\n"))
    started = time.monotonic()
    cpu_before = program.cpu_seconds()
    program.out.expect_quiet(2.0)
    harness.check_bytes("bytes sent without a keyboard", b"", device.received())
    busy = (program.cpu_seconds() - cpu_before) / (time.monotonic() - started)
    harness.check(busy < 0.5, "the program kept a processor %.0f %% busy while idle" % (busy * 100))


if __name__ == "__main__":
    harness.main()
