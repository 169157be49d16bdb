"""Scenario harness for comterm's end-to-end tests.

A scenario runs the real program, natively or (the Windows build) under Wine, against virtual
serial devices (tools/vdev: pseudo-terminals published under COM names) and checks what a user and
a device would see, byte for byte. The program's standard input and output sit on a pseudo-terminal
of the harness, so keys reach it as from a keyboard; under Wine its standard output is a pipe, where
Wine passes the program's bytes through unchanged (on a terminal Wine re-renders them itself).

Every wait polls against a generous deadline; no check depends on how long something takes.

    Harness      one scenario's world: temporary folder, COM names, devices, programs
    Device       a running vdev: send bytes, unplug, replug, read what it received
    Program      a running comterm: expect output (exact GBK bytes), press keys, stop it
    scenario     decorator registering a scenario function (optionally for one target only)
    main         command line of every scenario file: --target, --build-dir, -k
"""

import argparse
import fcntl
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import traceback

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The program's texts, as the console gets them (GBK).
TOOL_TITLE = "串口调试工具(by comterm)"
OPENED = ">>串口 %s(%d) 打开成功\n>>"
OPEN_FAILED = ">>串口 %s(%d) 打开失败，正在重连...\n"
LOST = ">>串口 %s(%d) 已断开，正在重连...\n"
RECONNECTED = ">>串口 %s(%d) 重连成功\n>>"
USAGE = "%s\n参数说明:%s [-p 串口名] [-b 波特率]\n例如：%s -p COM3 -b 9600\n"
INVALID_OPTION = "%s: invalid option -- %c\n"
MISSING_ARGUMENT = "%s: option requires an argument -- %c\n"
NAME_TOO_LONG = "%s: port name too long -- %s\n"
BAUD_MENU = "===================\n>>请选择波特率：\n"


def gbk(text):
    """The console bytes of a text: GBK, each LF as CR LF (the program's streams are text streams;
    natively the terminal's output processing adds the CR)."""
    return text.replace("\n", "\r\n").encode("gbk")


def gbk_pipe(text):
    """The bytes of a text written into a pipe (standard error here): the Windows runtime's text
    streams turn LF into CR LF wherever they write; on Linux only a terminal does."""
    return gbk(text) if windows() else text.encode("gbk")


def port_path(name):
    return "\\\\.\\" + name


def describe(data, limit=600):
    data = bytes(data)
    shown = data if len(data) <= limit else data[-limit:]
    head = "%d bytes" % len(data) + ("" if shown is data else ", the last %d" % limit)
    return "%s:\n      hex:  %s\n      text: %r" % (head, shown.hex(" ") or "(none)", shown)


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_bytes(what, expected, got):
    if bytes(expected) != bytes(got):
        raise Failure("%s\n    expected %s\n    got      %s" % (what, describe(expected),
                                                                describe(got)))


# ---- configuration of one run (set by main)

TARGET = "native"
BUILD_DIR = None
NATIVE_BUILD_DIR = None
SCENARIOS = []


def windows():
    return TARGET == "windows"


def deadline_seconds():
    # Wine starts slowly, and the machine is shared: both limits are far above the usual times.
    return 30.0 if windows() else 10.0


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(BUILD_DIR, "wineprefix"))
    env["WINEDEBUG"] = "-all"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env["LANG"] = "C"
    for name in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT"):
        env.pop(name, None)
    return env


def prepare_wine():
    """A ready prefix and a running wineserver. The server is started here, detached and silent,
    so that it does not inherit (and hold open) the standard error pipe of a program under test;
    one warm-up run lets Wine's device manager set up the prefix's own COM names first."""
    env = wine_env()
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        subprocess.run([os.path.join(SOURCE_DIR, "scripts", "wine-prefix")], env=env, check=True)
    # -p30 (attached: a separate number would make the server stay for ever): it ends half a
    # minute after the last program, so it lasts from one scenario to the next.
    subprocess.run(["wineserver", "-p30"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


class Stream:
    """Bytes arriving from one file descriptor, collected by a thread; expectations consume them
    from a mark onwards."""

    def __init__(self, fd, label):
        self.fd = fd
        self.label = label
        self.data = bytearray()
        self.mark = 0
        self.ended = False
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:  # EIO: the terminal's other side is gone
                chunk = b""
            with self.changed:
                if not chunk:
                    self.ended = True
                    self.changed.notify_all()
                    return
                self.data += chunk
                self.changed.notify_all()

    def since_mark(self):
        with self.changed:
            return bytes(self.data[self.mark:])

    def skip_all(self):
        with self.changed:
            self.mark = len(self.data)

    def wait_for(self, predicate, timeout):
        """Waits until predicate(bytes since mark) gives a result that is not None; None when the
        deadline passes first."""
        end = time.monotonic() + (deadline_seconds() if timeout is None else timeout)
        with self.changed:
            while True:
                result = predicate(bytes(self.data[self.mark:]))
                if result is not None:
                    return result
                left = end - time.monotonic()
                if left <= 0 or (self.ended and result is None):
                    return None
                self.changed.wait(min(left, 0.2))

    def expect(self, needle, timeout=None):
        """Waits for needle after the mark, moves the mark past it and returns what came before."""
        def find(text):
            at = text.find(needle)
            return None if at < 0 else at
        at = self.wait_for(find, timeout)
        if at is None:
            raise Failure("%s: expected within %.0f s %s\n    got since the last match %s" % (
                self.label, deadline_seconds() if timeout is None else timeout,
                describe(needle), describe(self.since_mark())))
        with self.changed:
            before = bytes(self.data[self.mark:self.mark + at])
            self.mark += at + len(needle)
        return before

    def expect_exactly(self, expected, what=None, timeout=None):
        """Waits until as many bytes as expected have come after the mark and checks that they are
        exactly these (and nothing more has come); moves the mark past them."""
        got = self.wait_for(lambda text: text if len(text) >= len(expected) else None, timeout)
        if got is None:
            got = self.since_mark()
        check_bytes("%s: %s" % (self.label, what or "output"), expected, got)
        with self.changed:
            self.mark += len(expected)

    def expect_count(self, needle, count, timeout=None):
        """Waits until needle has appeared count times after the mark; moves the mark past them."""
        for seen in range(count):
            try:
                self.expect(needle, timeout)
            except Failure as failure:
                raise Failure("%s\n    (after %d of %d repetitions)" % (failure, seen, count))

    def expect_quiet(self, seconds, what="nothing"):
        """Checks that nothing new arrives for a while (a negative check: a slow program passes)."""
        got = self.wait_for(lambda text: text if text else None, seconds)
        if got:
            check_bytes("%s: expected %s" % (self.label, what), b"", got)


class Device:
    """A running virtual serial device published as a COM name."""

    def __init__(self, harness, name, echo=False, extra=()):
        self.harness = harness
        self.name = name
        self.record = os.path.join(harness.tmp, "%s-%d.received" % (name, len(harness.devices)))
        open(self.record, "wb").close()
        # --hold: vdev keeps the line's terminal side open too, so that it can tell when the
        # program has read what was sent (wait-read) even when the program holds it exclusively.
        command = [os.path.join(NATIVE_BUILD_DIR, "tools", "vdev"), "--quit-on-eof", "--hold",
                   "--record", self.record]
        if echo:
            command.append("--echo")
        command += list(extra) + [harness.link_path(name)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        harness.devices.append(self)
        self.status = Stream(self.process.stdout.fileno(), "vdev %s status" % name)
        self.received_mark = 0
        self.status.expect(b"ready ")

    def command(self, line, timeout=None):
        """Runs one vdev command and waits until vdev has carried it out."""
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        answer = self.status.wait_for(
            lambda text: b"ok" if ("\nok %s\n" % line).encode() in b"\n" + text else
            (b"error" if ("\nerror %s" % line).encode() in b"\n" + text else None), timeout)
        check(answer == b"ok", "vdev %s: command %r failed or timed out; its status output: %r"
              % (self.name, line, self.status.since_mark()))
        self.status.skip_all()

    def send(self, data):
        self.command("send-hex " + bytes(data).hex())

    def unplug(self):
        self.command("unplug")

    def replug(self):
        self.command("replug")

    def wait_read(self):
        """Waits until the program has read everything sent to it."""
        self.command("wait-read")

    def received(self):
        with open(self.record, "rb") as record:
            return record.read()

    def wait_received_more(self, timeout, until=None):
        """Whether anything (or the byte string until) arrives after the mark within timeout."""
        end = time.monotonic() + (deadline_seconds() if timeout is None else timeout)
        while True:
            got = self.received()[self.received_mark:]
            if (until is None and got) or (until is not None and until in got):
                return True
            if time.monotonic() > end:
                return False
            time.sleep(0.02)

    def expect_received(self, expected, what="bytes received by the device", timeout=None):
        """Waits until the device has received exactly the expected bytes after the mark."""
        end = time.monotonic() + (deadline_seconds() if timeout is None else timeout)
        while True:
            got = self.received()[self.received_mark:]
            if len(got) >= len(expected) or time.monotonic() > end:
                break
            time.sleep(0.05)
        check_bytes("vdev %s: %s" % (self.name, what), expected, got)
        self.received_mark += len(expected)

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()  # --quit-on-eof: vdev ends and removes its link
                self.process.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.terminate()
                self.process.wait(5)


class Program:
    """A running comterm. stdin and stdout are "pty" (one terminal of the harness), "pipe" or
    "null"; standard error is always a pipe of its own."""

    def __init__(self, harness, args, argv0=None, env=None, stdin="pty", stdout=None, cwd=None,
                 via_cmd=False):
        self.harness = harness
        stdout = stdout or ("pipe" if windows() else "pty")
        self.master = self.slave = None
        if "pty" in (stdin, stdout):
            self.master, self.slave = pty.openpty()
            fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
        files = {"pty": self.slave, "pipe": subprocess.PIPE, "null": subprocess.DEVNULL}
        if windows():
            if via_cmd:
                # cmd passes the command word on as typed, so argv[0] is exactly argv0.
                command = ["wine", "cmd", "/c", argv0] + list(args)
            else:
                command = ["wine", harness.program] + list(args)
            executable = None
        else:
            command = [argv0 or "comterm"] + list(args)
            executable = harness.program
        self.process = subprocess.Popen(
            command, executable=executable, stdin=files[stdin], stdout=files[stdout],
            stderr=subprocess.PIPE, env=harness.program_env(env or {}), cwd=cwd or harness.tmp,
            start_new_session=True)
        harness.programs.append(self)
        self.keyboard = self.master if stdin == "pty" else None
        self.out = Stream(self.master if stdout == "pty" else self.process.stdout.fileno(),
                          "comterm stdout")
        self.err = Stream(self.process.stderr.fileno(), "comterm stderr")

    @property
    def argv0(self):
        """argv[0] as the program gets it when started without argv0."""
        if windows():
            return "Z:" + self.harness.program.replace("/", "\\")
        return "comterm"

    def press(self, keys):
        """Types keys on the program's terminal and waits until it has read them."""
        check(self.keyboard is not None, "this program has no terminal to type on")
        os.write(self.keyboard, keys)
        end = time.monotonic() + deadline_seconds()
        while time.monotonic() < end:
            waiting = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]
            if waiting == 0:
                return
            time.sleep(0.02)
        raise Failure("the program did not read the keys %r from its terminal" % keys)

    def settle_keyboard(self, device):
        """Waits until typed keys reach the device. The open message is printed just before the
        link counts as up, so a key typed at once after it may still be dropped, like any key typed
        while the link is down; and under Wine an Enter typed in the first moments after start-up
        arrives as LF, not CR. Probe keys (.) typed until one goes through end both uncertainties;
        a final , marks the end of the probes in the device's record, which is then skipped."""
        start = device.received_mark
        end = time.monotonic() + deadline_seconds()
        while True:
            self.press(b".")
            if device.wait_received_more(0.5):
                break
            check(time.monotonic() < end, "no typed key reached the device")
        self.press(b",")
        device.wait_received_more(None, until=b",")
        probes = device.received()[start:]
        check(probes.rstrip(b",").strip(b".") == b"" and probes.endswith(b","),
              "more than the probe keys reached the device: %r" % probes)
        device.received_mark = start + len(probes)

    def expect(self, text, timeout=None):
        return self.out.expect(gbk(text) if isinstance(text, str) else text, timeout)

    def expect_opened(self, name, baud):
        return self.expect(OPENED % (port_path(name), baud))

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def wait_exit(self, timeout=None):
        try:
            return self.process.wait(deadline_seconds() if timeout is None else timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end; its output %s"
                          % describe(self.out.since_mark()))

    def stop(self, signal_number=signal.SIGTERM):
        if self.process.poll() is None:
            # The whole process group: under Wine a program started through cmd is a child of it.
            os.killpg(self.process.pid, signal_number)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(10)
        # Everything the program wrote, to the end. With the terminal's last other holder gone,
        # reading its master side ends (EIO); only then is the master closed, so that the reading
        # thread never reads a descriptor number that is already reused.
        if self.slave is not None:
            os.close(self.slave)
        for stream in (self.out, self.err):
            stream.thread.join(5)
        if self.master is not None:
            os.close(self.master)
        self.master = self.slave = None


class Harness:
    """One scenario's world. Devices and programs started through it end with it."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="comterm-e2e-")
        self.devices = []
        self.programs = []
        self.claimed = []
        self.published = {}  # link path: target, for links made by publish()
        if windows():
            self.program = os.path.join(BUILD_DIR, "src", "console", "comterm.exe")
            self.device_dir = os.path.join(wine_env()["WINEPREFIX"], "dosdevices")
        else:
            self.program = os.path.join(BUILD_DIR, "src", "console", "comterm")
            self.device_dir = os.path.join(self.tmp, "dev")
            os.mkdir(self.device_dir)

    def link_path(self, name):
        # Wine's dosdevices names are lower case; COMTERM_DEVICE_DIR matches either.
        return os.path.join(self.device_dir, name.lower() if windows() else name)

    def new_port(self):
        """A COM name nobody uses. Under Wine the prefix is shared with the machine's own serial
        devices (which Wine links as COM1 and up) and maybe with other test runs, so the name is
        claimed with a dangling link, made atomically; vdev later replaces it with its line."""
        for number in range(5, 250):
            name = "COM%d" % number
            path = self.link_path(name)
            if not windows():
                if not os.path.lexists(path) and path not in self.claimed:
                    self.claimed.append(path)
                    return name
                continue
            target = "/nonexistent/comterm-e2e-claim-%d" % os.getpid()
            try:
                os.symlink(target, path)
            except FileExistsError:
                self._drop_stale_claim(path)
                continue
            self.claimed.append(path)
            return name
        raise Failure("no free COM name in " + self.device_dir)

    @staticmethod
    def _drop_stale_claim(path):
        try:
            target = os.readlink(path)
        except OSError:
            return
        prefix = "/nonexistent/comterm-e2e-claim-"
        if target.startswith(prefix) and not os.path.exists("/proc/" + target[len(prefix):]):
            os.unlink(path)

    def publish(self, name, target):
        """Points a COM name at any file (for ports that are not terminals)."""
        path = self.link_path(name)
        temporary = path + ".new"
        os.symlink(target, temporary)
        os.rename(temporary, path)
        self.published[path] = target

    def device(self, name=None, echo=False, extra=()):
        return Device(self, name or self.new_port(), echo, extra)

    def program_env(self, extra):
        if windows():
            env = wine_env()
        else:
            env = dict(os.environ)
            for name in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT"):
                env.pop(name, None)
            # A GBK terminal: the program's console bytes reach the harness unconverted.
            env["LANG"] = "zh_CN.GBK"
            env["COMTERM_DEVICE_DIR"] = self.device_dir
        env.update(extra)
        return env

    def start(self, args, **options):
        return Program(self, args, **options)

    def start_with_device(self, args_after_port=("-b", "9600"), echo=False, **options):
        """A device, and the program connected to it (its open message seen)."""
        device = self.device(echo=echo)
        program = self.start(["-p", device.name] + list(args_after_port), **options)
        baud = int(args_after_port[1]) if args_after_port[:1] == ("-b",) else None
        if baud is not None:
            program.expect_opened(device.name, baud)
        return device, program

    def close(self):
        for program in self.programs:
            program.stop()
        for device in self.devices:
            device.close()
        for path in self.claimed:
            try:
                target = os.readlink(path)
                if (target.startswith("/nonexistent/comterm-e2e-claim-")
                        or self.published.get(path) == target):
                    os.unlink(path)
            except OSError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)


def scenario(*targets):
    """Registers a scenario for the given targets (both when none is named)."""
    def register(function):
        SCENARIOS.append((function, targets or ("native", "windows")))
        return function
    return register


def skip(reason):
    raise Skip(reason)


def main():
    global TARGET, BUILD_DIR, NATIVE_BUILD_DIR
    parser = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__)
    parser.add_argument("--target", choices=("native", "windows"), default="native")
    parser.add_argument("--build-dir", required=True,
                        help="build folder of the program (the Windows one for --target windows)")
    parser.add_argument("--native-build-dir",
                        help="native build folder holding tools/vdev (default: --build-dir)")
    parser.add_argument("-k", dest="pattern", help="run only scenarios whose name contains this")
    options = parser.parse_args()
    TARGET = options.target
    BUILD_DIR = os.path.abspath(options.build_dir)
    NATIVE_BUILD_DIR = os.path.abspath(options.native_build_dir or options.build_dir)
    if windows():
        prepare_wine()

    failed = 0
    for function, targets in SCENARIOS:
        name = function.__name__
        if options.pattern and options.pattern not in name:
            continue
        if TARGET not in targets:
            print("SKIP %s (%s only)" % (name, ", ".join(targets)), flush=True)
            continue
        harness = Harness()
        started = time.monotonic()
        try:
            function(harness)
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        except Skip as reason:
            print("SKIP %s: %s" % (name, reason), flush=True)
        except Exception as failure:  # every failure is reported, the next scenario still runs
            failed += 1
            where = traceback.extract_tb(failure.__traceback__)
            line = next((frame for frame in reversed(where)
                         if not frame.filename.endswith("harness.py")), where[-1])
            print("FAIL %s (%s line %d)\n    %s" % (name, os.path.basename(line.filename),
                                                    line.lineno, failure), flush=True)
            if not isinstance(failure, Failure):
                traceback.print_exc()
        finally:
            harness.close()
    sys.exit(1 if failed else 0)
