import fcntl, os, resource, signal, subprocess, termios, time

import harness
from harness import LOST, OPEN_FAILED, RECONNECTED, check, gbk, port_path, scenario, wait_until

TIOCGEXCL = getattr(termios, "TIOCGEXCL", 0x80045440)  # Python 3.11 lacks it (asm-generic/ioctls.h)

BMP = "".join(map(chr, range(0x80, 0xD800))) + "".join(map(chr, range(0xF900, 0x10000)))
# (id, pieces the device sends one after another, what is shown, ending in the row's own letter)
RECEIVE_ROWS = [
    # From the low bits: C0 41 is A, E4 78 40 U+4E00; E4 takes the two letters after it.
    ("low-bits", [b"\xc0\x41\xe4\x78\x40\xe4\x41\x42", b"D"], b"A\xd2\xbbD"),
    # F8-FB take five bytes, FC-FD six: C3 A9 (U+00E9) across the end of the group is cut.
    ("lead-f8", [b"\xf8\x80\x80\x80\xc3\xa9", b"E"], b"E"),
    ("lead-fb", [b"\xfb\x80\x80\x80\xc3\xa9", b"F"], b"F"),
    ("lead-fc", [b"\xfc\x80\x80\x80\xc3\xa9", b"G"], b"\xa8\xa6G"),
    ("lead-fd", [b"\xfd\x80\x80\x80\x80\xc3\xa9", b"H"], b"H"),
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
    times = [(program.out.expect(message), time.monotonic())[1] for _ in range(count)]  # when seen
    assert times[-1] - times[0] >= 0.8 * (count - 1), "%r, %d times in %.2f s" % (
        message, count, times[-1] - times[0])


@scenario()
def link_lost_and_found(h):
    name = h.new_port()
    failed, lost = OPEN_FAILED % (port_path(name), 9600), LOST % (port_path(name), 9600)
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
    typed, sent = (b"AZ09 ~\r\x1b[A", b"AZ09 ~\r\xe0\x48") if harness.windows() else (
        b"AZ09 ~\r\x03\x1a\x7f\xc4\xe3\x1b[A",) * 2
    program.press(typed)
    check("the keys sent", sent, wait_until(lambda: len(device.received()) >= len(sent) and
                                            device.received()))


@scenario("native")
def read_failures_are_no_loss(h):
    # read_fail_shim.c fails the program's port reads while the flag file exists, adding a byte to
    # it for each: past 500, two liveness queries (one per 201 idle passes) have found the device.
    flag, shim = h.tmp + "/reads-fail", harness.BUILD_DIR + "/tests/e2e/libread_fail_shim.so"
    device, program = h.start_with_device(env={"COMTERM_TEST_READ_FAILS": flag, "LD_PRELOAD": shim})
    open(flag, "wb").close()
    wait_until(lambda: program.out.since_mark() or os.path.getsize(flag) > 500, "500 failed reads")
    check("shown while the reads fail", b"", program.out.since_mark())
    os.unlink(flag)
    device.send(b"after\n")
    program.out.expect(b"after\r\n", "shown once the reads work")


# (id, stdin, stdout): no keyboard (under Wine _getch fails at once, for ever), natively also a
# descriptor closed at the start, which the port must not take: nothing sent, and no spinning.
@scenario(rows=lambda: [("no-keyboard", "null", "pipe")] + ([] if harness.windows() else [
    ("stdin-closed", "closed", "pipe"), ("stdout-closed", "pty", "closed")]))
def standard_descriptors(h, stdin, stdout):
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin=stdin, stdout=stdout)
    program.settle_keyboard(device) if stdin == "pty" else program.expect_opened(device.name, 9600)
    proc, port = "/proc/%d/" % program.process.pid, os.path.realpath(h.link_path(device.name))
    ticks = lambda: sum(map(int, open(proc + "stat").read().rsplit(")", 1)[1].split()[11:13]))
    used = ticks()
    time.sleep(2)  # the measurement: a spinning program slowed by the load can be missed, no more
    check("sent to the device", b"", device.received())
    assert ticks() - used < os.sysconf("SC_CLK_TCK"), "the program used half a processor or more"
    harness.windows() or check("descriptors that are the port", [], [
        fd for fd in (0, 1) if os.readlink(proc + "fd/%d" % fd) == port])


resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the fault signals leave no core file
ENDING = "TERM HUP INT QUIT PIPE USR1 USR2 ALRM VTALRM PROF XCPU XFSZ SEGV BUS FPE ILL ABRT TRAP"
# (id, signal): the program gives back its terminal and port (line settings, exclusive flag) and
# ends, or until continued; None: its terminal closes, which need not send SIGHUP. TSan runs a handler
# only once the key read returns, which a stop's (SA_RESTART) never does: no stop row under it.
SIGNAL_ROWS = [(n, getattr(signal, "SIG" + n)) for n in ENDING.split() + ["SYS", "RTMIN", "TSTP"]
               if n != "TSTP" or os.environ.get("COMTERM_SANITIZER") != "tsan"]


@scenario("native", rows=SIGNAL_ROWS + [("terminal-closed", None)])
def given_back(h, number):
    closed, number = number is None, number or signal.SIGHUP
    device = h.device()
    port = os.fdopen(os.open(h.link_path(device.name), os.O_RDWR | os.O_NOCTTY), "rb", 0)
    line = termios.tcgetattr(port)
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number, signal.SIG_DFL)
    # Standard output into a pipe: no reader holds a copy of the terminal's master.
    program = h.start(["-p", device.name, "-b", "115200"], stdout="pipe", group=True)
    signal.signal(number, previous)
    program.expect_opened(device.name, 115200)
    keys = lambda: termios.tcgetattr(program.slave)
    raw = wait_until(lambda: keys() != program.settings and keys(), "raw keys")
    if closed:  # its last master closed, replaced by a copy of the slave, the terminal hangs up
        os.dup2(program.slave, program.master)
    else:
        os.kill(program.process.pid, number)
    if number == signal.SIGTSTP:
        wait_until(lambda: keys() == program.settings, "the settings back while stopped")
        # Continued only once stopped, as a shell's fg is: a SIGCONT sent before the stop is lost.
        wait_until(lambda: os.waitpid(program.process.pid, os.WUNTRACED | os.WNOHANG)[0], "a stop")
        os.kill(program.process.pid, signal.SIGCONT)
        return wait_until(lambda: keys() == raw, "raw keys once continued")
    check("how the program ended", -number, program.process.wait(harness.deadline()))
    closed or check("terminal settings", program.settings, keys())
    check("the port's exclusive flag", 0, fcntl.ioctl(port, TIOCGEXCL, bytes(4))[0])
    check("the port's line settings", line, termios.tcgetattr(port))


@scenario("native")
def utf8_terminal(h):
    tmux = lambda *args: subprocess.run(  # its programs run with the server's environment
        ["tmux", "-S", h.tmp + "/tmux", "-f", "/dev/null", *args], capture_output=True, text=True,
        check=True, env=dict(os.environ, LC_ALL="C.UTF-8", COMTERM_DEVICE_DIR=h.device_dir)).stdout
    device = h.device("测试")  # a name typed in UTF-8, shown as typed
    tmux("new-session", "-d", "-x", "120", "-y", "30", "%s -p 测试 -b 9600; sleep 600" % h.program)
    screen = lambda: tmux("capture-pane", "-p")
    try:
        wait_until(lambda: port_path(device.name) + "(9600) 打开成功" in screen(), "the message")
        wait_until(lambda: port_path(device.name) + "——串口调试工具(by comterm)" in tmux(
            "display", "-p", "#{pane_title}"), "the port in the title")
        device.send("你好，世界！ 温度 25℃\n".encode())
        wait_until(lambda: "你好，世界！ 温度 25℃" in screen(), "the text on the screen")
    finally:
        tmux("kill-server")


if __name__ == "__main__":
    harness.main()
