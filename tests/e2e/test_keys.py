import fcntl, os, pty, subprocess, termios, threading, time, tty, weakref

import harness
from harness import OPENED, RECONNECTED, check, deadline, gbk, port_path, scenario, wait_until

EXIT_BANNER = ">>按 %s 退出\n"


def remove_link(path):
    if os.path.lexists(path):
        os.unlink(path)


class TimedPort:  # a pseudo-terminal published as a COM name, noting when each byte arrives

    def __init__(self, h, name=None):
        self.name = name or h.new_port()
        self.mark = 0
        self.arrivals = []  # (monotonic time, byte)
        self.master, self.slave = pty.openpty()  # the slave held open: no hang-up between programs
        tty.setraw(self.slave)
        os.symlink(os.ttyname(self.slave), h.link_path(self.name))
        # Under Wine the links outlive the scenario's folder: gone with the scenario's harness.
        weakref.finalize(h, remove_link, h.link_path(self.name))
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        while True:
            chunk = os.read(self.master, 4096)
            now = time.monotonic()
            for byte in chunk:
                self.arrivals.append((now, byte))

    def received(self):
        return bytes(byte for _, byte in self.arrivals[self.mark:])


def started(h, port, options):  # the program linked to port, keys reaching it, echo seen past
    program = h.start(["-p", port.name, "-b", "9600"] + options)
    program.expect_opened(port.name, 9600)
    program.settle_keyboard(port)
    if "--echo" in options:
        program.out.expect(b",")
    return program


def wait_received(port, count):
    return wait_until(lambda: len(port.received()) >= count and port.received(),
                      "%d bytes at the device" % count)


# (id, options, keys typed, bytes the device receives, what the console shows)
KEY_ROWS = [
    ("echo", ["--echo"], b"ab\r", b"ab\r", "ab\n"),
    ("enter-lf", ["--enter", "lf"], b"a\r", b"a\n", ""),
    ("enter-crlf-echo", ["--enter=crlf", "--echo"], b"x\r", b"x\r\n", "x\n"),
]


@scenario(rows=KEY_ROWS)
def keys(h, options, typed, sent, shown):
    port = h.shared("port", lambda: TimedPort(h))
    program = started(h, port, options)
    program.press(typed)
    check("sent", sent, wait_received(port, len(sent)))
    if shown:
        program.out.expect(shown, "shown")
    check("shown", b"", program.out.since_mark())
    program.stop()
    port.mark += len(sent)


@scenario("native")
def echo_on_utf8_terminal(h):  # keys typed in UTF-8 are shown as typed, through the GBK console
    port = TimedPort(h)
    tmux = lambda *args: subprocess.run(
        ["tmux", "-S", h.tmp + "/tmux", "-f", "/dev/null", *args], capture_output=True, text=True,
        check=True, env=dict(os.environ, LC_ALL="C.UTF-8", COMTERM_DEVICE_DIR=h.device_dir)).stdout
    command = "%s -p %s -b 9600 --echo; sleep 600" % (h.program, port.name)
    tmux("new-session", "-d", "-x", "120", "-y", "30", command)
    try:
        wait_until(lambda: "打开成功" in tmux("capture-pane", "-p"), "the opening")
        while not port.received():  # the link is up only just after its message: dots till then
            tmux("send-keys", "-l", ".")
            wait_until(port.received, timeout=0.5)
        tmux("send-keys", "-l", "你好 ok")
        wait_until(lambda: port.received().endswith("你好 ok".encode()), "the keys at the device")
        wait_until(lambda: "你好 ok" in tmux("capture-pane", "-p"), "the keys shown")
    finally:
        tmux("kill-server")


@scenario()
def paced(h):  # a paste of a, b and Enter as CR LF: every gap at least about the delay
    delay = 0.25
    port = TimedPort(h)
    program = started(h, port, ["--char-delay", "250", "--enter", "crlf"])
    os.write(program.master, b"ab\r")
    check("sent", b"ab\r\n", wait_received(port, 4))
    times = [when for when, _ in port.arrivals[port.mark:]]
    for before, after, pair in zip(times, times[1:], ("a b", "b CR", "CR LF")):
        # a lower bound only, with room for the reader here waking late for the first of a pair
        assert after - before >= delay / 2, "%s %.3f s apart" % (pair, after - before)
    assert times[-1] - times[0] >= 2.5 * delay, "the paste took %.3f s" % (times[-1] - times[0])


@scenario()
def exit_key(h):
    port = TimedPort(h)
    line = termios.tcgetattr(port.slave)
    program = h.start(["-p", port.name, "-b", "9600", "--exit-key", "^]"], stdout="pipe")
    program.out.expect(EXIT_BANNER % "Ctrl+]" + OPENED % (port_path(port.name), 9600), "banner")
    program.settle_keyboard(port)
    os.write(program.master, b"\x1dx")  # not press(): the x is never read
    check("exit status", 0, program.process.wait(deadline()))
    check("sent", b"", port.received())
    if not harness.windows():
        check("terminal settings", program.settings, termios.tcgetattr(program.slave))
        check("the port's exclusive flag", 0, fcntl.ioctl(port.slave, harness.TIOCGEXCL, bytes(4))[0])
        check("the port's line settings", line, termios.tcgetattr(port.slave))


REFUSED = "{argv0}: invalid argument '%s' for '--%s' (%s)\n"
KEY_FORMS = "^X or ctrl-X, or two hex digits 01 to 7f; not ESC"
# (id, options, standard output from the start (None: refused with status 2), standard error)
VALUE_ROWS = [
    ("enter-word", ["--enter", "CR"], None, REFUSED % ("CR", "enter", "cr, lf or crlf")),
    ("line-word", ["--rts=1"], None, REFUSED % ("1", "rts", "on or off")),
    ("delay-junk", ["--char-delay", "5ms"], None,
     REFUSED % ("5ms", "char-delay", "milliseconds, 0 to 60000")),
    ("delay-too-long", ["--char-delay", "60001"], None,
     REFUSED % ("60001", "char-delay", "milliseconds, 0 to 60000")),
    ("exit-key-esc", ["--exit-key", "^["], None, REFUSED % ("^[", "exit-key", KEY_FORMS)),
    ("exit-key-high", ["--exit-key", "e0"], None, REFUSED % ("e0", "exit-key", KEY_FORMS)),
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


# (id, ports published, lines expected: name, device path, description); natively a by-id link
# leads to COM3, as udev makes them under /dev/serial/by-id.
@scenario(rows=[("none", [], ""), ("two", ["COM3", "COM7"], "COM3\t{com3}{by_id}\nCOM7\t{com7}\n")])
def list_ports(h, names, listed):
    for name in names:
        TimedPort(h, name)
    if names and not harness.windows():
        os.makedirs(h.device_dir + "/serial/by-id")
        os.symlink(os.path.realpath(h.link_path("COM3")), h.device_dir + "/serial/by-id/" + BY_ID)
    fill = {"com3": port_path("COM3"), "com7": port_path("COM7"), "by_id": ""}
    if not harness.windows():
        fill = {"com3": h.link_path("COM3"), "com7": h.link_path("COM7"), "by_id": "\t" + BY_ID}
    program = h.start(["--list"], stdout="pipe")
    check("exit status", 0, program.process.wait(deadline()))
    program.out.expect(gbk(listed.format(**fill), crlf=False), "the list")
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
    shim = harness.BUILD_DIR + "/tests/e2e/libmodem_lines_shim.so"
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
