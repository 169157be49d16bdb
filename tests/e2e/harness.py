"""Scenario runner: comterm, natively or under Wine, against virtual serial devices (tools/vdev.py).
A scenario with rows runs once per row, reported as "scenario[row-id]"; the rows share a Harness
(and what Harness.shared made) until one fails. Every wait polls against deadline()."""
import argparse, atexit, fcntl, glob, os, pty, re, shutil, signal, struct, subprocess, sys
import tempfile, termios, threading, time, traceback

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL_TITLE = "串口调试工具(by comterm)"
OPENED, OPEN_FAILED = ">>串口 %s(%d) 打开成功\n>>", ">>串口 %s(%d) 打开失败，正在重连...\n"
LOST, RECONNECTED = ">>串口 %s(%d) 已断开，正在重连...\n", ">>串口 %s(%d) 重连成功\n>>"
BAUD_MENU = "===================\n>>请选择波特率：\n"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
TARGET, BUILD_DIR, SCENARIOS = "native", None, []


def windows():
    return TARGET == "windows"


def deadline():  # seconds any wait on the program or a device may take on a loaded machine
    return (90 if windows() else 30) * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))


def gbk(text):  # console bytes, LF as CR LF (natively the terminal adds the CR)
    return text.replace("\n", "\r\n").encode("gbk")


def gbk_pipe(text):  # written into a pipe, where only the Windows runtime adds the CR
    return gbk(text) if windows() else text.encode("gbk")


def port_path(name):
    return "\\\\.\\" + name


def check(what, expected, got):
    """Fails naming what, with both values shown from shortly before where they first differ."""
    if expected != got and hasattr(expected, "__len__") and hasattr(got, "__len__"):
        at = next((i for i, (e, g) in enumerate(zip(expected, got)) if e != g),
                  min(len(expected), len(got)))
        start = max(0, at - 40)
        what, expected, got = ("%s (from %d)" % (what, start), expected[start:start + 400],
                               got[start:start + 400])
    assert expected == got, "%s\n  expected %r\n  got      %r" % (what, expected, got)


def wait_until(condition, what=None, timeout=None):
    """Polls condition() until it holds or time is up; returns its last result (or fails, naming
    what, when it does not hold)."""
    end = time.monotonic() + (timeout or deadline())
    while not (result := condition()) and time.monotonic() < end:
        time.sleep(0.02)
    assert result or not what, "waited in vain for " + str(what)
    return result


def wine_env():
    return {"WINEPREFIX": os.path.join(BUILD_DIR, "wineprefix"), "WINEDLLOVERRIDES":
            "mscoree,mshtml=", **os.environ, "WINEDEBUG": "-all", "LANG": "C"}


def prepare_wine():
    # A copy of the build's prefix without COM links (a menu offers every port of the prefix), and
    # a wineserver kept (-p) detached, holding no program's standard error open. A warm-up run lets
    # Wine link the machine's own ports, which scripts/wine-prefix then sets aside again.
    script = os.path.join(SOURCE_DIR, "scripts", "wine-prefix")
    subprocess.run([script], env=wine_env(), check=True, stdout=subprocess.DEVNULL)
    folder = tempfile.mkdtemp(prefix="comterm-e2e-wine-")
    subprocess.run(["cp", "-a", wine_env()["WINEPREFIX"], folder + "/wineprefix"], check=True)
    for link in filter(os.path.islink, glob.glob(folder + "/wineprefix/dosdevices/com*")):
        os.unlink(link)
    os.environ["WINEPREFIX"] = folder + "/wineprefix"
    atexit.register(end_wine, folder)
    subprocess.run(["wineserver", "-p300"], env=wine_env(), start_new_session=True, **QUIET)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=wine_env(), timeout=deadline(), **QUIET)
    subprocess.run([script], env=wine_env(), check=True, **QUIET)


def end_wine(folder):
    subprocess.run(["wineserver", "-k"], env=wine_env(), **QUIET)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=deadline())
    shutil.rmtree(folder, ignore_errors=True)


class Stream:
    """Bytes of a descriptor and when they came; expectations consume them from a mark. It reads
    a duplicate of its own, closed at the end, so that it never reads a number reused elsewhere."""

    def __init__(self, fd, label):
        self.label, self.data, self.mark, self.ended, self.arrivals = label, bytearray(), 0, 0, []
        self.thread = threading.Thread(target=self._collect, args=(os.dup(fd),), daemon=True)
        self.thread.start()

    def _collect(self, fd):
        while not self.ended:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's other side is gone
                chunk = b""
            self.arrivals.append((len(self.data) + len(chunk), time.monotonic()))
            self.data += chunk
            self.ended = not chunk
        os.close(fd)

    def arrival(self, offset):  # when the byte at this offset from the start came
        return next(when for end, when in self.arrivals if end > offset)

    def since_mark(self):
        return bytes(self.data[self.mark:])

    def expect(self, needle):
        # Moves the mark past needle (bytes or pattern); returns what came before it.
        pattern = needle if isinstance(needle, re.Pattern) else re.compile(re.escape(needle))
        wait_until(lambda: self.ended or pattern.search(self.since_mark()))
        found = pattern.search(self.since_mark())
        assert found, "%s: expected a text containing %r\n  got %r" % (
            self.label, needle, self.since_mark()[-800:])
        before = self.since_mark()[:found.start()]
        self.mark += found.end()
        return before

    def expect_exactly(self, expected, what):
        # As many bytes as expected, and these, with nothing more.
        wait_until(lambda: self.ended or len(self.data) - self.mark >= len(expected))
        check("%s: %s" % (self.label, what), expected, self.since_mark())
        self.mark += len(expected)


class Device:  # a vdev published under a COM name, recording what it receives

    def __init__(self, h, name):
        self.name, self.mark = name, 0
        self.record = os.path.join(h.tmp, "%s-%d.received" % (name, len(h.devices)))
        open(self.record, "wb").close()
        # --hold: vdev keeps the terminal side open too, so that wait-read works even while the
        # program holds the port exclusively.
        self.process = subprocess.Popen(
            [os.path.join(SOURCE_DIR, "tools", "vdev.py"), "--quit-on-eof", "--hold",
             "--record", self.record, h.link_path(name)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        h.devices.append(self)
        self.status = Stream(self.process.stdout.fileno(), "vdev " + name)
        self.status.expect(b"ready ")

    def command(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        self.status.expect(("ok %s\n" % line).encode())

    def send(self, data):
        self.command("send-hex " + data.hex())

    def received(self):
        with open(self.record, "rb") as record:
            return record.read()[self.mark:]

    def expect_received(self, expected, what):
        wait_until(lambda: len(self.received()) >= len(expected))
        check("vdev %s: %s" % (self.name, what), expected, self.received())
        self.mark += len(expected)

    def stop(self):
        self.process.stdin.close()  # --quit-on-eof: vdev ends and removes its link
        self.process.wait(deadline())


class Program:
    """stdin, stdout: "pty" (settings before the start in .settings), "pipe", "null" or "closed".
    A session of its own, or with group a process group of its own, where a stop is not discarded
    (the harness, its parent, is in the same session)."""

    def __init__(self, h, args, argv0="comterm", env=(), stdin="pty", stdout=None, group=False):
        stdout = stdout or ("pipe" if windows() else "pty")
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
        self.settings = termios.tcgetattr(self.slave)
        files = {"pty": self.slave, "pipe": subprocess.PIPE, "null": subprocess.DEVNULL}
        closed = [fd for fd, how in enumerate((stdin, stdout)) if how == "closed"]
        self.argv0 = "Z:" + h.program.replace("/", "\\") if windows() else argv0
        self.process = subprocess.Popen(
            (["wine", h.program] if windows() else [argv0]) + list(args),
            executable=None if windows() else h.program, stdin=files.get(stdin),
            stdout=files.get(stdout), stderr=subprocess.PIPE, cwd=h.tmp,
            env=dict(h.program_env(), **dict(env)), start_new_session=not group,
            process_group=0 if group else None,
            preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None)
        h.programs.append(self)
        self.out = Stream(self.process.stdout.fileno() if self.process.stdout else self.master,
                          "comterm %r stdout" % args)
        self.err = Stream(self.process.stderr.fileno(), "comterm %r stderr" % args)

    def write(self, text):  # into the standard input pipe
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def press(self, keys):  # types keys on the program's terminal and waits until it has read them
        os.write(self.master, keys)
        wait_until(lambda: not struct.unpack("i", fcntl.ioctl(
            self.slave, termios.FIONREAD, b"\0" * 4))[0], "the program to read %r" % keys)

    def settle_keyboard(self, device):
        # Probe keys (.) until one reaches the device, then a , ending them: the open message comes
        # just before the link counts as up, and under Wine an early Enter arrives as LF.
        end = time.monotonic() + deadline()
        while self.press(b".") or not wait_until(device.received, timeout=0.5):
            assert time.monotonic() < end, "no typed key reached the device"
        self.press(b",")
        wait_until(lambda: b"," in device.received())
        check("keys reaching the device", b",", device.received().strip(b"."))
        device.mark += len(device.received())

    def expect(self, text):
        return self.out.expect(gbk(text) if isinstance(text, str) else text)

    def expect_opened(self, name, baud):
        return self.expect(OPENED % (port_path(name), baud))

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)  # the group: Wine's processes too
            try:
                self.process.wait(deadline())
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        if self.slave is not None:  # all the output in, then the terminal closed
            os.close(self.slave)
            [stream.thread.join(deadline()) for stream in (self.out, self.err)]
            os.close(self.master)
            self.slave = None


class Harness:  # a scenario's temporary folder, COM names, and the devices and programs started

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="comterm-e2e-")
        self.devices, self.programs, self.names, self.links, self.made = [], [], set(), [], {}
        self.program = os.path.join(BUILD_DIR, "src", "console", "comterm.exe" if windows()
                                    else "comterm")
        self.device_dir = (os.path.join(wine_env()["WINEPREFIX"], "dosdevices") if windows()
                           else os.path.join(self.tmp, "dev"))
        os.makedirs(self.device_dir, exist_ok=True)

    def shared(self, key, make):  # what make() gives, made once for the rows of this harness
        return self.made.get(key) or self.made.setdefault(key, make())

    def link_path(self, name):
        return os.path.join(self.device_dir, name.lower() if windows() else name)  # Wine: com3

    def new_port(self):  # a COM name nobody uses (under Wine the machine's own ports hold some)
        name = next(name for name in ("COM%d" % n for n in range(5, 250)) if name not in
                    self.names and not os.path.lexists(self.link_path(name)))
        self.names.add(name)
        return name

    def device(self, name=None):
        return Device(self, name or self.new_port())

    def program_env(self):  # natively a GBK terminal: console bytes reach the harness unchanged
        env = wine_env() if windows() else {**os.environ, "LANG": "zh_CN.GBK",
                                            "COMTERM_DEVICE_DIR": self.device_dir}
        return {k: v for k, v in env.items() if k not in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT")}

    def start(self, args, **options):
        return Program(self, args, **options)

    def start_with_device(self, **options):  # linked at 9600 baud, keys reaching the device
        device = self.device()
        program = self.start(["-p", device.name, "-b", "9600"], **options)
        program.expect_opened(device.name, 9600)
        program.settle_keyboard(device)
        return device, program

    def close(self):
        for running in self.programs + self.devices:
            running.stop()
        for link in self.links:
            os.unlink(link)
        shutil.rmtree(self.tmp, ignore_errors=True)


def scenario(*targets, rows=None):
    # For the targets named (both when none is); rows (a list, or a function giving it for the
    # target) are (id, arguments...).
    return lambda function: SCENARIOS.append(
        (function, targets or ("native", "windows"), rows)) or function


def main():
    global TARGET, BUILD_DIR
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=("native", "windows"), default="native")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("-k", dest="pattern", default="", help="only scenarios or rows named so")
    options = parser.parse_args()
    TARGET, BUILD_DIR = options.target, os.path.abspath(options.build_dir)
    if windows():
        prepare_wine()
    passed, failed = 0, 0
    for function, targets, rows in (s for s in SCENARIOS if TARGET in s[1]):
        h = None
        for row_id, *arguments in (rows() if callable(rows) else rows) or [(None,)]:
            name = function.__name__ + ("[%s]" % row_id if row_id else "")
            if options.pattern in name:
                h, started = h or Harness(), time.monotonic()
                try:
                    function(h, *arguments)
                    passed += 1
                    print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
                except Exception as error:  # reported; the next row starts afresh
                    failed += 1
                    print("FAIL %s: %s" % (name, error), flush=True)
                    print("".join(traceback.format_tb(error.__traceback__)[1:]), end="")
                    h = h.close()
        h and h.close()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)
