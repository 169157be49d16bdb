"""The link: received text shown as GBK, keys sent, a port lost and found again; natively, the
terminal and port given back on every way out that can be caught, and a UTF-8 terminal."""
import atexit, os, resource, signal, subprocess, sys, termios, time

import harness
from harness import LOST, OPEN_FAILED, RECONNECTED, TOOL_TITLE, check, deadline, gbk, port_path
from harness import scenario, wait_until

BMP = "".join(map(chr, range(0x80, 0xD800))) + "".join(map(chr, range(0xF900, 0x10000)))
# (id, pieces the device sends one after another, what the screen shows). Each row ends with a
# character of its own, so that a row showing too much or too little is caught.
RECEIVE_ROWS = [
    ("split", [b"\xe4", b"\xbd\xa0"], b"\xc4\xe3"),  # a character split across reads
    # From the low bits: C0 41 is A, E4 78 40 U+4E00; E4 takes the two letters after it.
    ("low-bits", [b"\xc0\x41\xe4\x78\x40\xe4\x41\x42", b"D"], b"A\xd2\xbbD"),
    # F8-FB take five bytes, FC-FD six: C3 A9 (U+00E9) across the end of the group is cut.
    ("lead-f8", [b"\xf8\x80\x80\x80\xc3\xa9", b"E"], b"E"),
    ("lead-fb", [b"\xfb\x80\x80\x80\xc3\xa9", b"F"], b"F"),
    ("lead-fc", [b"\xfc\x80\x80\x80\xc3\xa9", b"G"], b"\xa8\xa6G"),
    ("lead-fd", [b"\xfd\x80\x80\x80\x80\xc3\xa9", b"H"], b"H"),
    # NUL, FE, FF, a lone continuation byte and characters without a GBK code show nothing.
    ("nothing-shown", [b"\x00\xfe\xff\xbf", "À".encode(), "😀".encode(), b"I"], b"I"),
    ("nul", [b"\xfc\x80\x80\x80\x41\x00\xfc\x80\x80\x80\x00\x41K"], b"AK"),  # nothing after a NUL
    ("raw-line", [b"\r\x11\x13\x03one\ntwo\n"], b"\r\x11\x13\x03one\r\ntwo\r\n"),
    # The BMP as Python's GBK codec has it (no private use area), cut by the 32-byte reads.
    ("every-character", [BMP.encode() + b"J"], BMP.encode("gbk", "ignore") + b"J"),
]
# Keys typed, bytes sent. Under Wine, Ctrl+C ends the program instead of giving 0x03, its console
# re-encodes non-ASCII keys, and the Up key comes as the console's two values.
KEYS = lambda: (b"AZ09 ~\r\x1b[A", b"AZ09 ~\r\xe0\x48") if harness.windows() else (
    b"AZ09 ~\r\x03\x1a\x7f\xc4\xe3\x1b[A",) * 2


@scenario(rows=RECEIVE_ROWS)
def received(h, pieces, shown):
    device, program = h.shared("link", h.start_with_device)
    for piece in pieces:
        device.send(piece)
        device.command("wait-read")
    program.out.expect(shown, "shown")


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
    typed, sent = KEYS()
    program.press(typed)
    wait_until(lambda: len(device.received()) >= len(sent))
    check("the keys sent", sent, device.received())


@scenario("native")
def read_failures_are_no_loss(h):
    # read_fail_shim.c fails the program's port reads while the flag file exists, adding a byte to
    # it for each: past 500, two liveness queries (one per 201 idle passes) have found the device.
    flag = os.path.join(h.tmp, "reads-fail")
    shim = os.path.join(harness.BUILD_DIR, "tests", "e2e", "libread_fail_shim.so")
    device, program = h.start_with_device(env={"COMTERM_TEST_READ_FAILS": flag, "LD_PRELOAD": shim})
    open(flag, "wb").close()
    wait_until(lambda: program.out.since_mark() or os.path.getsize(flag) > 500, "500 failed reads")
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
    ticks = lambda: sum(map(int, open("/proc/%d/stat" % program.process.pid).read().rsplit(
        ")", 1)[1].split()[11:13]))
    used = ticks()
    time.sleep(2)  # the measurement: a spinning program slowed by the load can be missed, no more
    check("sent to the device", b"", device.received())
    assert ticks() - used < os.sysconf("SC_CLK_TCK"), "the program used half a processor or more"


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
    harness.windows() or program.settle_keyboard(device)


resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the fault signals leave no core file
ENDING = "TERM HUP INT QUIT PIPE USR1 USR2 ALRM VTALRM PROF XCPU XFSZ SEGV BUS FPE ILL ABRT TRAP"
# (id, signal): each ending one ends the program, which first gives back its keyboard terminal and
# its port (line settings as they were, no lock left: an ordinary user opens it); a stop gives the
# terminal back until the program is continued. None: the terminal closes, which ends it as SIGHUP
# does (closing need not send it).
SIGNAL_ROWS = [(n, getattr(signal, "SIG" + n)) for n in ENDING.split() + ["SYS", "RTMIN", "TSTP"]]


@scenario("native", rows=SIGNAL_ROWS + [("terminal-closed", None)])
def given_back(h, number):
    device = h.device()
    path = os.path.realpath(h.link_path(device.name))
    os.chmod(path, 0o666)
    port = os.fdopen(os.open(path, os.O_RDWR | os.O_NOCTTY), "rb", 0)  # closed when collected
    line = termios.tcgetattr(port)
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number or signal.SIGHUP, signal.SIG_DFL)
    # Standard output into a pipe: closing the terminal's master closes it (no reader holds a copy).
    program = h.start(["-p", device.name, "-b", "115200"], stdout="pipe", group=True)
    signal.signal(number or signal.SIGHUP, previous)
    program.expect_opened(device.name, 115200)
    keys = lambda: termios.tcgetattr(program.slave)
    raw = wait_until(lambda: keys() != program.settings and keys(), "raw keys")
    if number is None:
        os.close(program.master)
        program.master = os.open(os.devnull, os.O_RDONLY)  # for stop() to close
    else:
        os.kill(program.process.pid, number)
    if number == signal.SIGTSTP:
        wait_until(lambda: keys() == program.settings, "the settings back while stopped")
        # Continued only once stopped, as a shell's fg is: a SIGCONT sent before the stop is lost.
        wait_until(lambda: open("/proc/%d/stat" % program.process.pid).read().rsplit(
            ")", 1)[1].split()[0] == "T", "the program stopped")
        os.kill(program.process.pid, signal.SIGCONT)
        return wait_until(lambda: keys() == raw, "raw keys once continued")
    check("how the program ended", -(number or signal.SIGHUP), program.process.wait(deadline()))
    number and check("terminal settings", program.settings, keys())
    check("the port opened by an ordinary user", 0, subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable, "-c",
         "import os, sys; os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)", path]).returncode)
    check("the port's line settings", line, termios.tcgetattr(port))


# (id, descriptor closed at the start): the port must not take its number, where the messages and
# received bytes would go to the device, or keys be read from it.
@scenario("native", rows=[("stdin", 0, "closed", "pty"), ("stdout", 1, "pty", "closed")])
def standard_descriptor_closed(h, fd, stdin, stdout):
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin=stdin, stdout=stdout)
    program.settle_keyboard(device) if fd else program.expect_opened(device.name, 9600)
    check("descriptor %d" % fd, False, os.path.realpath(h.link_path(device.name)) ==
          os.readlink("/proc/%d/fd/%d" % (program.process.pid, fd)))


@scenario("native")
def utf8_terminal(h):
    env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_CTYPE", "TMUX")}
    tmux = lambda *args: subprocess.run(
        ["tmux", "-S", h.tmp + "/tmux.sock", "-f", "/dev/null", *args], text=True, check=True,
        env=dict(env, LANG="C.UTF-8"), capture_output=True).stdout
    device = h.device("测试")  # a name typed in UTF-8, shown as typed
    tmux("new-session", "-d", "-x", "120", "-y", "30", "env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s "
         "%s -p %s -b 9600; sleep 600" % (h.device_dir, h.program, device.name))
    screen = lambda: tmux("capture-pane", "-p")
    try:
        wait_until(lambda: port_path(device.name) + "(9600) 打开成功" in screen(), "the message")
        wait_until(lambda: port_path(device.name) + "——" + TOOL_TITLE in tmux(
            "display", "-p", "#{pane_title}"), "the port in the title")
        device.send("你好，世界！ 温度 25℃\n".encode())
        wait_until(lambda: "你好，世界！ 温度 25℃" in screen(), "the text on the screen")
    finally:
        tmux("kill-server")


if __name__ == "__main__":
    harness.main()
