"""Scenario harness: comterm, natively or under Wine, against virtual serial devices (vdev.py).

The program's keyboard is a pseudo-terminal of the harness. Under Wine its output is a pipe, where
Wine passes the bytes through unchanged (on a terminal Wine re-renders them). Every wait polls
against a generous deadline; no check depends on how long something takes.
"""

import argparse
import atexit
import fcntl
import glob
import os
import pty
import re
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
TOOL_TITLE = "串口调试工具(by comterm)"
OPENED = ">>串口 %s(%d) 打开成功\n>>"
OPEN_FAILED = ">>串口 %s(%d) 打开失败，正在重连...\n"
LOST = ">>串口 %s(%d) 已断开，正在重连...\n"
RECONNECTED = ">>串口 %s(%d) 重连成功\n>>"
BAUD_MENU = "===================\n>>请选择波特率：\n"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
TARGET, BUILD_DIR, SCENARIOS = "native", None, []


def windows():
    return TARGET == "windows"


def deadline():
    return 30.0 if windows() else 10.0  # Wine starts slowly and the machine is shared


def gbk(text):
    """Console bytes of a text: GBK, LF as CR LF (natively the terminal adds the CR)."""
    return text.replace("\n", "\r\n").encode("gbk")


def gbk_pipe(text):
    """Bytes of a text written into a pipe: the Windows runtime adds CR there, Linux does not."""
    return gbk(text) if windows() else text.encode("gbk")


def port_path(name):
    return "\\\\.\\" + name


def check_bytes(what, expected, got):
    assert bytes(expected) == bytes(got), "%s\n  expected %r\n  got      %r" % (
        what, bytes(expected), bytes(got)[-600:])


def wine_env():
    env = dict(os.environ, WINEDEBUG="-all", LANG="C")
    env.setdefault("WINEPREFIX", os.path.join(BUILD_DIR, "wineprefix"))
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def prepare_wine():
    """Runs the scenarios in a private copy of the build's prefix, without its COM links: a menu
    offers every port of the prefix, so none may come from elsewhere. The wineserver is started
    here, detached and silent, so that it does not inherit (and hold open) the standard error pipe
    of a program under test. A warm-up run lets Wine's device manager link the machine's own ports,
    which scripts/wine-prefix then sets aside again."""
    script = os.path.join(SOURCE_DIR, "scripts", "wine-prefix")
    subprocess.run([script], env=wine_env(), check=True, stdout=subprocess.DEVNULL)
    folder = tempfile.mkdtemp(prefix="comterm-e2e-wine-")
    subprocess.run(["cp", "-a", wine_env()["WINEPREFIX"], folder + "/wineprefix"], check=True)
    for link in filter(os.path.islink, glob.glob(folder + "/wineprefix/dosdevices/com*")):
        os.unlink(link)
    os.environ["WINEPREFIX"] = folder + "/wineprefix"
    atexit.register(end_wine, folder)
    # -p30 attached (a separate number keeps it for ever): it outlasts the gaps between programs.
    subprocess.run(["wineserver", "-p30"], env=wine_env(), start_new_session=True, **QUIET)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=wine_env(), timeout=120, **QUIET)
    subprocess.run([script], env=wine_env(), check=True, **QUIET)


def end_wine(folder):
    subprocess.run(["wineserver", "-k"], env=wine_env(), **QUIET)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)
    shutil.rmtree(folder, ignore_errors=True)


class Stream:
    """Bytes from one descriptor, gathered by a thread; expectations consume them from a mark on."""

    def __init__(self, fd, label):
        self.label, self.data, self.mark, self.ended = label, bytearray(), 0, False
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._collect, args=(fd,), daemon=True)
        self.thread.start()

    def _collect(self, fd):
        chunk = True
        while chunk:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's other side is gone
                chunk = b""
            with self.changed:
                self.data += chunk
                self.ended = not chunk
                self.changed.notify_all()

    def since_mark(self):
        with self.changed:
            return bytes(self.data[self.mark:])

    def wait_for(self, predicate, timeout=None):
        """The first result of predicate(bytes since the mark) that is not None, or None."""
        end = time.monotonic() + (timeout or deadline())
        with self.changed:
            while True:
                result = predicate(bytes(self.data[self.mark:]))
                if result is not None or self.ended or time.monotonic() > end:
                    return result
                self.changed.wait(0.2)

    def expect(self, needle, timeout=None):
        """Waits for needle (bytes or pattern), moves the mark past it; returns what came before."""
        pattern = needle if isinstance(needle, re.Pattern) else re.compile(re.escape(needle))
        found = self.wait_for(pattern.search, timeout)
        assert found, "%s: expected %r\n  got %r" % (self.label, needle, self.since_mark()[-600:])
        before = self.since_mark()[:found.start()]
        self.mark += found.end()
        return before

    def expect_exactly(self, expected, what):
        """Waits for as many bytes as expected and checks they are these, with nothing more."""
        got = self.wait_for(lambda text: text if len(text) >= len(expected) else None)
        check_bytes("%s: %s" % (self.label, what), expected, got or self.since_mark())
        self.mark += len(expected)

    def expect_quiet(self, seconds, what):
        got = self.wait_for(lambda text: text or None, seconds)
        check_bytes("%s: %s" % (self.label, what), b"", got or b"")


class Device:
    """A running vdev published under a COM name; what it receives is recorded to a file."""

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
        """Runs one vdev command (send-hex, wait-read, unplug, replug...) and waits until done."""
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        self.status.expect(("ok %s\n" % line).encode())

    def send(self, data):
        self.command("send-hex " + data.hex())

    def received(self):
        with open(self.record, "rb") as record:
            return record.read()[self.mark:]

    def wait_received(self, enough, timeout=None):
        end = time.monotonic() + (timeout or deadline())
        while not enough(self.received()) and time.monotonic() < end:
            time.sleep(0.02)
        return self.received()

    def expect_received(self, expected, what):
        got = self.wait_received(lambda got: len(got) >= len(expected))
        check_bytes("vdev %s: %s" % (self.name, what), expected, got)
        self.mark += len(expected)

    def stop(self):
        self.process.stdin.close()  # --quit-on-eof: vdev ends and removes its link
        self.process.wait(10)


class Program:
    """A running comterm. stdin and stdout are "pty" (one terminal of the harness), "pipe" or
    "null"; standard error is a pipe."""

    def __init__(self, h, args, argv0="comterm", env=(), stdin="pty", stdout=None):
        stdout = stdout or ("pipe" if windows() else "pty")
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
        files = {"pty": self.slave, "pipe": subprocess.PIPE, "null": subprocess.DEVNULL}
        self.argv0 = "Z:" + h.program.replace("/", "\\") if windows() else argv0
        self.process = subprocess.Popen(
            (["wine", h.program] if windows() else [argv0]) + list(args),
            executable=None if windows() else h.program, stdin=files[stdin], stdout=files[stdout],
            stderr=subprocess.PIPE, env=dict(h.program_env(), **dict(env)), cwd=h.tmp,
            start_new_session=True)
        h.programs.append(self)
        label = "comterm %r " % (args,)
        self.out = Stream(self.master if stdout == "pty" else self.process.stdout.fileno(),
                          label + "stdout")
        self.err = Stream(self.process.stderr.fileno(), label + "stderr")

    def write(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def press(self, keys):
        """Types keys on the program's terminal and waits until it has read them."""
        os.write(self.master, keys)
        end = time.monotonic() + deadline()
        while struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]:
            assert time.monotonic() < end, "the program did not read the keys %r" % keys
            time.sleep(0.02)

    def settle_keyboard(self, device):
        """Types probe keys (.) until one reaches the device, then a , ending them. The open message
        comes just before the link counts as up, so a key typed at once may still be dropped; and
        under Wine an Enter typed in the first moments after start-up arrives as LF, not CR."""
        end = time.monotonic() + deadline()
        self.press(b".")
        while not device.wait_received(bool, 0.5):
            assert time.monotonic() < end, "no typed key reached the device"
            self.press(b".")
        self.press(b",")
        got = device.wait_received(lambda got: b"," in got)
        assert got.strip(b".") == b",", "more than the probe keys reached the device: %r" % got
        device.mark += len(got)

    def expect(self, text, timeout=None):
        return self.out.expect(gbk(text) if isinstance(text, str) else text, timeout)

    def expect_opened(self, name, baud):
        return self.expect(OPENED % (port_path(name), baud))

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)  # the group: Wine's processes too
            try:
                self.process.wait(deadline())
            except subprocess.TimeoutExpired:  # test_tmux checks the ending by SIGTERM
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        if self.slave is not None:
            # The master is closed only once its reader has seen the end, so that the reader never
            # reads a descriptor number already reused.
            os.close(self.slave)
            self.out.thread.join(5)
            self.err.thread.join(5)
            os.close(self.master)
            self.slave = None


class Harness:
    """One scenario's world: a temporary folder, COM names, and the devices and programs started."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="comterm-e2e-")
        self.devices, self.programs, self.names, self.links = [], [], set(), []
        self.program = os.path.join(BUILD_DIR, "src", "console",
                                    "comterm.exe" if windows() else "comterm")
        self.device_dir = (os.path.join(wine_env()["WINEPREFIX"], "dosdevices") if windows()
                           else os.path.join(self.tmp, "dev"))
        os.makedirs(self.device_dir, exist_ok=True)

    def link_path(self, name):
        return os.path.join(self.device_dir, name.lower() if windows() else name)  # Wine: com3

    def new_port(self):
        """A COM name nobody uses (under Wine the machine's own ports hold some)."""
        name = next(name for name in ("COM%d" % n for n in range(5, 250)) if name not in
                    self.names and not os.path.lexists(self.link_path(name)))
        self.names.add(name)
        return name

    def device(self, name=None):
        return Device(self, name or self.new_port())

    def program_env(self):
        # Natively a GBK terminal: the program's console bytes reach the harness unconverted.
        env = wine_env() if windows() else dict(
            os.environ, LANG="zh_CN.GBK", COMTERM_DEVICE_DIR=self.device_dir)
        for name in ("LC_ALL", "LC_CTYPE", "POSIXLY_CORRECT"):
            env.pop(name, None)
        return env

    def start(self, args, **options):
        return Program(self, args, **options)

    def start_with_device(self):
        device = self.device()
        program = self.start(["-p", device.name, "-b", "9600"])
        program.expect_opened(device.name, 9600)
        return device, program

    def close(self):
        for running in self.programs + self.devices:
            running.stop()
        for link in self.links:
            os.unlink(link)
        shutil.rmtree(self.tmp, ignore_errors=True)


def scenario(*targets):
    """Registers a scenario for the targets named (both when none is)."""
    targets = targets or ("native", "windows")
    return lambda function: SCENARIOS.append((function, targets)) or function


def main():
    global TARGET, BUILD_DIR
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=("native", "windows"), default="native")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("-k", dest="pattern", default="", help="only scenarios named with this")
    options = parser.parse_args()
    TARGET, BUILD_DIR = options.target, os.path.abspath(options.build_dir)
    if windows():
        prepare_wine()
    failed = 0
    for function, targets in SCENARIOS:
        if options.pattern not in function.__name__ or TARGET not in targets:
            continue
        h, started = Harness(), time.monotonic()
        try:
            function(h)
            print("PASS %s (%.1f s)" % (function.__name__, time.monotonic() - started), flush=True)
        except Exception:  # reported; the next scenario still runs
            failed += 1
            print("FAIL " + function.__name__, flush=True)
            traceback.print_exc(file=sys.stdout)
        finally:
            h.close()
    sys.exit(1 if failed else 0)
