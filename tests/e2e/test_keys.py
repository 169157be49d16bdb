import fcntl, os, termios, time

import harness
from harness import OPENED, RECONNECTED, check, deadline, gbk, port_path, scenario, wait_until

EXIT_BANNER = ">>按 %s 退出\n"


def wait_received(device, count):
    return wait_until(lambda: len(device.received()) >= count and device.received(),
                      "%d bytes at the device" % count)


# (id, options, keys typed, bytes the device receives, what the console shows, least seconds from
# the first byte received to the last: a lower bound, with room for this reader waking late)
KEY_ROWS = [
    ("enter-lf", ["--enter", "lf"], b"a\r", b"a\n", "", 0),
    ("enter-crlf-echo", ["--enter=crlf", "--echo"], b"x\r", b"x\r\n", "x\n", 0),
    # A paste of a, b and Enter as CR LF: three pauses of 300 ms, each after a byte.
    ("paced", ["--char-delay", "300", "--enter", "crlf"], b"ab\r", b"ab\r\n", "", 0.75),
]


@scenario(rows=KEY_ROWS)
def keys(h, options, typed, sent, shown, least):
    device = h.shared("device", h.device)
    program = h.start(["-p", device.name, "-b", "9600"] + options)
    program.expect_opened(device.name, 9600)
    program.settle_keyboard(device)
    if "--echo" in options:
        program.out.expect(b",")
    os.write(program.master, typed)
    wait_until(device.received, "the first byte")
    first = time.monotonic()
    check("sent", sent, wait_received(device, len(sent)))
    took = time.monotonic() - first
    assert took >= least, "sent in %.3f s" % took
    if shown:
        program.out.expect(shown, "shown")
    check("shown", b"", program.out.since_mark())
    program.stop()
    device.mark += len(sent)


@scenario()
def exit_key(h):
    device = h.device()
    port = os.fdopen(os.open(h.link_path(device.name), os.O_RDWR | os.O_NOCTTY), "rb", 0)
    line = termios.tcgetattr(port)
    program = h.start(["-p", device.name, "-b", "9600", "--exit-key", "^]"], stdout="pipe")
    program.out.expect(EXIT_BANNER % "Ctrl+]" + OPENED % (port_path(device.name), 9600), "banner")
    program.settle_keyboard(device)
    os.write(program.master, b"\x1dx")  # not press(): the x is never read
    check("exit status", 0, program.process.wait(deadline()))
    check("sent", b"", device.received())
    if not harness.windows():
        check("terminal settings", program.settings, termios.tcgetattr(program.slave))
        check("the port's exclusive flag", 0, fcntl.ioctl(port, harness.TIOCGEXCL, bytes(4))[0])
        check("the port's line settings", line, termios.tcgetattr(port))


REFUSED = "{argv0}: invalid argument '%s' for '--%s' (%s)\n"
KEY_FORMS = "^X or ctrl-X, or two hex digits 01 to 7f; not ESC"
# (id, options, standard output from the start (None: refused with status 2), standard error)
VALUE_ROWS = [
    ("enter-word", ["--enter", "CR"], None, REFUSED % ("CR", "enter", "cr, lf or crlf")),
    ("delay-junk", ["--char-delay", "5ms"], None,
     REFUSED % ("5ms", "char-delay", "milliseconds, 0 to 60000")),
    ("delay-too-long", ["--char-delay", "60001"], None,
     REFUSED % ("60001", "char-delay", "milliseconds, 0 to 60000")),
    ("exit-key-esc", ["--exit-key", "^["], None, REFUSED % ("^[", "exit-key", KEY_FORMS)),
    ("exit-key-ctrl", ["--exit-key", "Ctrl-q"], EXIT_BANNER % "Ctrl+Q", ""),
    ("exit-key-hex", ["--exit-key", "7F"], EXIT_BANNER % "Ctrl+?", ""),
]


@scenario(rows=VALUE_ROWS)
def values(h, options, out, error):
    h.shared("COM3", lambda: h.device("COM3"))  # a port that opens: no reason on standard error
    program = h.start(["-p", "COM3", "-b", "9600"] + options, stdout="pipe")
    if out is None:
        check("exit status", 2, program.process.wait(deadline()))
    else:
        check("before the banner", b"", program.out.expect(out))
        program.stop()
    program.err.expect(error.format(argv0=program.argv0), "the messages")


BY_ID = "usb-1a86_USB_Serial-if00-port0"


# Natively a by-id link leads to COM3, as udev makes them under /dev/serial/by-id.
@scenario()
def list_ports(h):
    h.device("COM3")
    h.device("COM7")
    listed = "COM3\t%s\nCOM7\t%s\n" % (port_path("COM3"), port_path("COM7"))
    if not harness.windows():
        os.makedirs(h.device_dir + "/serial/by-id")
        os.symlink(os.path.realpath(h.link_path("COM3")), h.device_dir + "/serial/by-id/" + BY_ID)
        listed = "COM3\t%s\t%s\nCOM7\t%s\n" % (h.link_path("COM3"), BY_ID, h.link_path("COM7"))
    program = h.start(["--list"], stdout="pipe")
    check("exit status", 0, program.process.wait(deadline()))
    program.out.expect(gbk(listed, crlf=False), "the list")
    check("the list", b"", program.out.since_mark())


REFUSALS = ("EscapeCommFunction CLRDTR fail: DTR stays as the driver left it\n"
            "EscapeCommFunction SETRTS fail: RTS stays as the driver left it\n")


# (id, options, the calls of one open: lowered (bic) or raised (bis), DTR 2, RTS 4; what the
# refusal of a pty says, once for the two opens). Under Wine no calls are seen: the port opens,
# takes keys and reconnects though the lines are refused.
@scenario(rows=[("untouched", [], "", ""), ("dtr-off-rts-on", ["--dtr", "off", "--rts", "on"],
                                             "bic 2\nbis 4\n", REFUSALS)])
def modem_lines(h, options, calls, refusals):
    device = h.device()
    log = h.tmp + "/modem-%s.log" % device.name
    shim = harness.BUILD_DIR + "/tests/e2e/libpreload_shim.so"
    environment = {"COMTERM_TEST_MODEM_LOG": log, "LD_PRELOAD": shim}
    if harness.windows():
        environment = {}
        calls = ""
    recorded = lambda: open(log).read() if os.path.exists(log) else ""
    program = h.start(["-p", device.name, "-b", "9600"] + options, stdout="pipe", env=environment)
    check("before the opening", b"", program.expect_opened(device.name, 9600))
    check("lines set before the opening", calls, recorded())
    program.settle_keyboard(device)
    device.command("unplug")
    device.command("replug")
    program.out.expect(RECONNECTED % (port_path(device.name), 9600))
    check("lines set again before the reconnection", calls * 2, recorded())
    program.stop()
    program.err.expect(refusals, "each refusal said once")


if __name__ == "__main__":
    harness.main()
