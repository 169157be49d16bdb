import argparse, atexit, fcntl, glob, os, pathlib, pty, shutil, signal
import subprocess, sys, tempfile, termios, threading, time, traceback

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPENED = ">>串口 %s(%d) 打开成功\n>>"
OPEN_FAILED = ">>串口 %s(%d) 打开失败，正在重连...\n"
LOST = ">>串口 %s(%d) 已断开，正在重连...\n"
RECONNECTED = ">>串口 %s(%d) 重连成功\n>>"
TIOCGEXCL = getattr(termios, "TIOCGEXCL", 0x80045440)  # the exclusive flag; not in Python 3.11
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
TARGET = "native"
BUILD_DIR = None
SCENARIOS = []
OPTIONS = None


def windows():
    return TARGET == "windows"


def port_path(name):
    return "\\\\.\\" + name


def deadline():  # seconds any wait on the program or a device may take on a loaded machine
    return (90 if windows() else 30) * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))


def gbk(text, crlf=True):  # console bytes: a terminal, or the Windows runtime, writes LF as CR LF
    return (text.replace("\n", "\r\n") if crlf or windows() else text).encode("gbk")


def check(what, expected, got):  # long values are shown from shortly before the first difference
    if expected != got and isinstance(got, bytes):
        at = max(0, len(os.path.commonprefix([expected, got])) - 40)
        what = "%s (from %d)" % (what, at)
        expected = expected[at:at + 400]
        got = got[at:at + 400]
    assert expected == got, "%s\n  expected %r\n  got      %r" % (what, expected, got)


def wait_until(condition, what=None, timeout=None):  # condition's last result; fails naming what
    end = time.monotonic() + (timeout or deadline())
    result = condition()
    while not result and time.monotonic() < end:
        time.sleep(0.02)
        result = condition()
    if what is not None:
        assert result, "waited in vain for " + str(what)
    return result


def prepare_wine():  # a copy of the prefix, the machine's ports set aside; a detached wineserver
    os.environ.setdefault("WINEPREFIX", BUILD_DIR + "/wineprefix")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    os.environ["WINEDEBUG"] = "-all"
    os.environ["LANG"] = "C"
    folder = tempfile.mkdtemp(prefix="comterm-e2e-wine-")
    subprocess.run(["cp", "-a", os.environ["WINEPREFIX"], folder + "/wineprefix"], check=True)
    os.environ["WINEPREFIX"] = folder + "/wineprefix"
    for link in glob.glob(folder + "/wineprefix/dosdevices/com*"):  # without them a menu offers all
        if os.path.islink(link):
            os.unlink(link)
    atexit.register(shutil.rmtree, folder, ignore_errors=True)  # at the end, after the two below
    atexit.register(subprocess.run, ["wineserver", "-w"], timeout=deadline())
    atexit.register(subprocess.run, ["wineserver", "-k"], **QUIET)
    subprocess.run(["wineserver", "-p300"], start_new_session=True, **QUIET)  # no stderr held
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=deadline(), **QUIET)  # a warm-up run
    subprocess.run([SOURCE_DIR + "/scripts/wine-prefix"], check=True, **QUIET)


class Stream:  # what a descriptor gives (read from a duplicate, so no number reused elsewhere)

    def __init__(self, fd, label, crlf=True):
        self.label = label
        self.crlf = crlf
        self.data = bytearray()
        self.mark = 0
        self.ended = False
        self.thread = threading.Thread(target=self._collect, args=(os.dup(fd),), daemon=True)
        self.thread.start()

    def _collect(self, fd):
        with open(fd, "rb", 0) as source:
            try:
                for chunk in iter(lambda: source.read(65536), b""):
                    self.data += chunk
            except OSError:  # EIO: the other side gone
                pass
        self.ended = True

    def since_mark(self):
        return bytes(self.data[self.mark:])

    def expect(self, text, exactly=None):  # past text, giving what came before; exactly: text alone
        if isinstance(text, str):
            text = gbk(text, self.crlf)
        if exactly:
            wait_until(lambda: self.ended or len(self.data) - self.mark >= len(text))
            check("%s: %s" % (self.label, exactly), text, self.since_mark())
        else:
            wait_until(lambda: self.ended or text in self.since_mark())
        at = self.since_mark().find(text)
        assert at >= 0, "%s: expected %r\n  got %r" % (self.label, text, self.since_mark()[-800:])
        before = self.since_mark()[:at]
        self.mark += at + len(text)
        return before


class Device:  # a vdev published under a COM name, recording what it receives

    def __init__(self, h, name):
        self.name = name
        self.mark = 0
        self.record = os.path.join(h.tmp, "%d.rec" % len(h.devices))
        self.process = subprocess.Popen(  # --hold: wait-read works on a port held exclusively
            [SOURCE_DIR + "/tools/vdev.py", "--quit-on-eof", "--hold", "--record", self.record,
             h.link_path(name)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0,
            start_new_session=True)
        h.devices.append(self)
        self.status = Stream(self.process.stdout.fileno(), "vdev " + name)
        self.status.expect(b"ready ")

    def command(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.status.expect(("ok %s\n" % line).encode())

    def send(self, data):
        self.command("send-hex " + data.hex())

    def received(self):
        return pathlib.Path(self.record).read_bytes()[self.mark:]


class Program:  # stdin, stdout: "pty", "pipe" or a descriptor; group: no session

    def __init__(self, h, args, argv0="comterm", env=(), stdin="pty", stdout=None, group=False):
        stdout = stdout or ("pipe" if windows() else "pty")
        self.master, self.slave = pty.openpty()
        self.settings = termios.tcgetattr(self.slave)
        files = {"pty": self.slave, "pipe": subprocess.PIPE}
        self.argv0 = "Z:" + h.program.replace("/", "\\") if windows() else argv0
        environment = dict(os.environ, COMTERM_DEVICE_DIR=h.device_dir)
        environment["LANG"] = "C" if windows() else "zh_CN.GBK"  # natively: console bytes unchanged
        environment.update(env)
        self.process = subprocess.Popen(
            (["wine", h.program] if windows() else [argv0]) + list(args), bufsize=0, cwd=h.tmp,
            env=environment, executable=None if windows() else h.program,
            stdin=files[stdin], stdout=files.get(stdout, stdout), stderr=subprocess.PIPE,
            start_new_session=not group, process_group=0 if group else None)
        h.programs.append(self)
        out = self.process.stdout.fileno() if self.process.stdout else self.master
        self.out = Stream(out, "comterm %r stdout" % args, stdout == "pty")
        self.err = Stream(self.process.stderr.fileno(), "comterm %r stderr" % args, False)

    def press(self, keys):  # types keys on the program's terminal and waits until it has read them
        os.write(self.master, keys)
        unread = lambda: fcntl.ioctl(self.slave, termios.FIONREAD, bytes(4)) == bytes(4)
        wait_until(unread, "the program to read %r" % keys)

    def settle_keyboard(self, device):
        # Keys (.) until one arrives, then a ',': the link is up only just after its open message.
        def key_arrived():
            self.press(b".")
            return wait_until(device.received, timeout=0.5)

        wait_until(key_arrived, "a typed key to reach the device")
        self.press(b",")
        wait_until(lambda: b"," in device.received())
        check("keys reaching the device", b",", device.received().strip(b"."))
        device.mark += len(device.received())

    def expect_opened(self, name, baud):
        return self.out.expect(OPENED % (port_path(name), baud))

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)  # the group: Wine's processes too
            if not wait_until(lambda: self.process.poll() is not None):
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        if self.slave is not None:  # all the output in, then the terminal closed
            os.close(self.slave)
            self.out.thread.join(deadline())
            self.err.thread.join(deadline())
            os.close(self.master)
            self.slave = None


class Harness:  # a scenario's temporary folder, and the devices and programs it started

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="comterm-e2e-")
        self.devices = []
        self.programs = []
        self.made = {}
        self.program = BUILD_DIR + "/src/console/comterm" + (".exe" if windows() else "")
        self.device_dir = self.tmp + "/dev"
        if windows():
            self.device_dir = os.environ["WINEPREFIX"] + "/dosdevices"
        os.makedirs(self.device_dir, exist_ok=True)

    def shared(self, key, make):  # made once for the rows of a scenario (until one of them fails)
        if key not in self.made:
            self.made[key] = make()
        return self.made[key]

    def link_path(self, name):
        return os.path.join(self.device_dir, name.lower() if windows() else name)  # Wine: com3

    def new_port(self):  # a COM name nobody uses (under Wine the machine's own ports hold some)
        number = 5
        while os.path.lexists(self.link_path("COM%d" % number)):
            number += 1
        return "COM%d" % number

    def device(self, name=None):
        return Device(self, name or self.new_port())

    def start(self, args, **options):
        return Program(self, args, **options)

    def start_with_device(self, args=(), **options):  # linked at 9600 baud, keys reaching it
        device = self.device()
        program = self.start(["-p", device.name, "-b", "9600"] + list(args), **options)
        program.expect_opened(device.name, 9600)
        program.settle_keyboard(device)
        return device, program

    def close(self):
        for program in self.programs:
            program.stop()
        for device in self.devices:  # vdev ends once its input does (--quit-on-eof)
            device.process.communicate(timeout=deadline())
        shutil.rmtree(self.tmp, ignore_errors=True)


def scenario(*targets, rows=None):  # rows (or a function giving them): (id, arguments...)
    def register(function):
        SCENARIOS.append((function, targets or ("native", "windows"), rows))
        return function

    return register


def main(**numbers):  # numbers: options of the scenarios (--name N), with their defaults
    global TARGET, BUILD_DIR, OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=("native", "windows"), default="native")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("-k", dest="pattern", default="", help="only scenarios or rows named so")
    for name, value in numbers.items():
        parser.add_argument("--" + name, type=int, default=value)
    OPTIONS = parser.parse_args()
    TARGET = OPTIONS.target
    BUILD_DIR = os.path.abspath(OPTIONS.build_dir)
    for name in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT"):  # LANG rules
        os.environ.pop(name, None)
    if windows():
        prepare_wine()
    passed = 0
    failed = 0
    for function, targets, rows in SCENARIOS:
        if callable(rows):
            rows = rows()
        h = None
        for row_id, *arguments in rows or [(None,)]:
            name = function.__name__ + ("[%s]" % row_id if row_id else "")
            if TARGET not in targets or OPTIONS.pattern not in name:
                continue
            if h is None:
                h = Harness()
            started = time.monotonic()
            try:
                function(h, *arguments)
                passed += 1
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Exception as error:  # reported; the next row starts afresh
                failed += 1
                trace = "".join(traceback.format_tb(error.__traceback__)[1:])
                print("FAIL %s: %s\n%s" % (name, error, trace), end="", flush=True)
                h.close()
                h = None
        if h is not None:
            h.close()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)
