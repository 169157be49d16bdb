import argparse, atexit, contextlib, fcntl, glob, os, pathlib, pty, shutil, signal, struct
import subprocess, sys, tempfile, termios, threading, time, traceback

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPENED, OPEN_FAILED = ">>串口 %s(%d) 打开成功\n>>", ">>串口 %s(%d) 打开失败，正在重连...\n"
LOST, RECONNECTED = ">>串口 %s(%d) 已断开，正在重连...\n", ">>串口 %s(%d) 重连成功\n>>"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
TARGET, BUILD_DIR, SCENARIOS, OPTIONS = "native", None, [], None


def windows(): return TARGET == "windows"
def port_path(name): return "\\\\.\\" + name


def deadline():  # seconds any wait on the program or a device may take on a loaded machine
    return (90 if windows() else 30) * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))


def gbk(text, crlf=True):  # console bytes: a terminal, or the Windows runtime, writes LF as CR LF
    return (text.replace("\n", "\r\n") if crlf or windows() else text).encode("gbk")


def check(what, expected, got):  # long values are shown from shortly before the first difference
    if expected != got and isinstance(got, bytes):
        at = max(0, len(os.path.commonprefix([expected, got])) - 40)
        what, expected, got = "%s (from %d)" % (what, at), expected[at:at + 400], got[at:at + 400]
    assert expected == got, "%s\n  expected %r\n  got      %r" % (what, expected, got)


def wait_until(condition, what=None, timeout=None):  # condition's last result; fails naming what
    end = time.monotonic() + (timeout or deadline())
    while not (result := condition()) and time.monotonic() < end:
        time.sleep(0.02)
    assert result or not what, "waited in vain for " + str(what)
    return result


def prepare_wine():  # a copy of the prefix, the machine's ports set aside; a detached wineserver
    defaults = {"WINEPREFIX": BUILD_DIR + "/wineprefix", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    os.environ.update({**defaults, **os.environ, "WINEDEBUG": "-all", "LANG": "C"})
    folder = tempfile.mkdtemp(prefix="comterm-e2e-wine-")
    subprocess.run(["cp", "-a", os.environ["WINEPREFIX"], folder + "/wineprefix"], check=True)
    os.environ["WINEPREFIX"] = folder + "/wineprefix"  # without COM links: a menu offers them all
    [os.unlink(c) for c in glob.glob(folder + "/wineprefix/dosdevices/com*") if os.path.islink(c)]
    atexit.register(shutil.rmtree, folder, ignore_errors=True)  # at the end, after the two below
    atexit.register(subprocess.run, ["wineserver", "-w"], timeout=deadline())
    atexit.register(subprocess.run, ["wineserver", "-k"], **QUIET)
    subprocess.run(["wineserver", "-p300"], start_new_session=True, **QUIET)  # no stderr held
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=deadline(), **QUIET)  # a warm-up run
    subprocess.run([SOURCE_DIR + "/scripts/wine-prefix"], check=True, **QUIET)


class Stream:  # what a descriptor gives (read from a duplicate, so no number reused elsewhere)

    def __init__(self, fd, label, crlf=True):
        self.label, self.crlf, self.data, self.mark, self.ended = label, crlf, bytearray(), 0, False
        self.thread = threading.Thread(target=self._collect, args=(os.dup(fd),), daemon=True)
        self.thread.start()

    def _collect(self, fd):
        with contextlib.suppress(OSError), open(fd, "rb", 0) as source:  # EIO: the other side gone
            for chunk in iter(lambda: source.read(65536), b""):
                self.data += chunk
        self.ended = True

    def since_mark(self): return bytes(self.data[self.mark:])

    def expect(self, text, exactly=None):  # past text, giving what came before; exactly: text alone
        text = gbk(text, self.crlf) if isinstance(text, str) else text
        wait_until(lambda: self.ended or (len(self.data) - self.mark >= len(text) if exactly
                                          else text in self.since_mark()))
        exactly and check("%s: %s" % (self.label, exactly), text, self.since_mark())
        at = self.since_mark().find(text)
        assert at >= 0, "%s: expected %r\n  got %r" % (self.label, text, self.since_mark()[-800:])
        before, self.mark = self.since_mark()[:at], self.mark + at + len(text)
        return before


class Device:  # a vdev published under a COM name, recording what it receives

    def __init__(self, h, name):
        self.name, self.mark, self.record = name, 0, os.path.join(h.tmp, "%d.rec" % len(h.devices))
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

    def send(self, data): self.command("send-hex " + data.hex())

    def received(self): return pathlib.Path(self.record).read_bytes()[self.mark:]


class Program:  # stdin, stdout: "pty", "pipe", "null" or "closed"; group: a group, no session

    def __init__(self, h, args, argv0="comterm", env=(), stdin="pty", stdout=None, group=False):
        stdout = stdout or ("pipe" if windows() else "pty")
        self.master, self.slave = pty.openpty()
        self.settings = termios.tcgetattr(self.slave)
        files = {"pty": self.slave, "pipe": subprocess.PIPE, "null": subprocess.DEVNULL}
        closed = [fd for fd, how in enumerate((stdin, stdout)) if how == "closed"]
        self.argv0 = "Z:" + h.program.replace("/", "\\") if windows() else argv0
        self.process = subprocess.Popen(  # natively on a GBK terminal: console bytes unchanged
            (["wine", h.program] if windows() else [argv0]) + list(args), bufsize=0, cwd=h.tmp,
            env=dict(os.environ, LANG="C" if windows() else "zh_CN.GBK", **dict(env),
                     COMTERM_DEVICE_DIR=h.device_dir), executable=None if windows() else h.program,
            stdin=files.get(stdin), stdout=files.get(stdout), stderr=subprocess.PIPE,
            start_new_session=not group, process_group=0 if group else None,
            preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None)
        h.programs.append(self)
        self.out = Stream(self.process.stdout.fileno() if self.process.stdout else self.master,
                          "comterm %r stdout" % args, stdout == "pty")
        self.err = Stream(self.process.stderr.fileno(), "comterm %r stderr" % args, False)

    def press(self, keys):  # types keys on the program's terminal and waits until it has read them
        os.write(self.master, keys)
        wait_until(lambda: not struct.unpack("i", fcntl.ioctl(
            self.slave, termios.FIONREAD, b"\0" * 4))[0], "the program to read %r" % keys)

    def settle_keyboard(self, device):
        # Keys (.) until one arrives, then a ',': the link is up only just after its open message.
        wait_until(lambda: self.press(b".") or wait_until(device.received, timeout=0.5),
                   "a typed key to reach the device")
        self.press(b",")
        wait_until(lambda: b"," in device.received())
        check("keys reaching the device", b",", device.received().strip(b"."))
        device.mark += len(device.received())

    def expect_opened(self, name, baud): return self.out.expect(OPENED % (port_path(name), baud))

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)  # the group: Wine's processes too
            wait_until(lambda: self.process.poll() is not None) or os.killpg(self.process.pid, 9)
            self.process.wait()
        if self.slave is not None:  # all the output in, then the terminal closed
            os.close(self.slave)
            [stream.thread.join(deadline()) for stream in (self.out, self.err)]
            self.slave = os.close(self.master)


class Harness:  # a scenario's temporary folder, and the devices and programs it started

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="comterm-e2e-")
        self.devices, self.programs, self.made = [], [], {}
        self.program = BUILD_DIR + "/src/console/comterm" + (".exe" if windows() else "")
        self.device_dir = (os.environ["WINEPREFIX"] + "/dosdevices" if windows()
                           else self.tmp + "/dev")
        os.makedirs(self.device_dir, exist_ok=True)

    def shared(self, key, make):  # made once for the rows of a scenario (until one of them fails)
        return self.made.get(key) or self.made.setdefault(key, make())

    def link_path(self, name):
        return os.path.join(self.device_dir, name.lower() if windows() else name)  # Wine: com3

    def new_port(self):  # a COM name nobody uses (under Wine the machine's own ports hold some)
        return next(name for name in ("COM%d" % n for n in range(5, 250))
                    if not os.path.lexists(self.link_path(name)))

    def device(self, name=None): return Device(self, name or self.new_port())
    def start(self, args, **options): return Program(self, args, **options)

    def start_with_device(self, **options):  # linked at 9600 baud, keys reaching the device
        device = self.device()
        program = self.start(["-p", device.name, "-b", "9600"], **options)
        program.expect_opened(device.name, 9600)
        program.settle_keyboard(device)
        return device, program

    def close(self):
        [program.stop() for program in self.programs]  # then vdev ends (--quit-on-eof), link gone
        [device.process.communicate(timeout=deadline()) for device in self.devices]
        shutil.rmtree(self.tmp, ignore_errors=True)


def scenario(*targets, rows=None):  # rows (or a function giving them): (id, arguments...)
    return lambda function: SCENARIOS.append(
        (function, targets or ("native", "windows"), rows)) or function


def main(**numbers):  # numbers: options of the scenarios (--name N), with their defaults
    global TARGET, BUILD_DIR, OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=("native", "windows"), default="native")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("-k", dest="pattern", default="", help="only scenarios or rows named so")
    [parser.add_argument("--" + name, type=int, default=value) for name, value in numbers.items()]
    options = OPTIONS = parser.parse_args()
    TARGET, BUILD_DIR = options.target, os.path.abspath(options.build_dir)
    [os.environ.pop(name, None) for name in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT")]  # LANG rules
    windows() and prepare_wine()
    passed, failed = 0, 0
    for function, targets, rows in (s for s in SCENARIOS if TARGET in s[1]):
        h = None
        for row_id, *arguments in (rows() if callable(rows) else rows) or [(None,)]:
            name = function.__name__ + ("[%s]" % row_id if row_id else "")
            if options.pattern not in name:
                continue
            h, started = h or Harness(), time.monotonic()
            try:
                function(h, *arguments)
                passed += 1
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Exception as error:  # reported; the next row starts afresh
                failed += 1
                print("FAIL %s: %s\n%s" % (name, error, "".join(traceback.format_tb(
                    error.__traceback__)[1:])), end="", flush=True)
                h = h.close()
        h and h.close()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)
