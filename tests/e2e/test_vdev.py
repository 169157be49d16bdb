"""The virtual serial device itself (tools/vdev), which the other scenarios, the demo and the
benchmarks rely on: a raw line under its name, recording, echo, hang-up on unplug, a new line on
replug, pacing, the once-a-second line, scripts, the control FIFO, and clean-up on every way out.
It is played against here by the scenario itself, as a program would open the port."""

import os
import select
import signal
import subprocess
import termios
import time

import harness
from harness import Stream, check, check_bytes, scenario


class Vdev:
    def __init__(self, h, *options, name="COM5"):
        self.link = os.path.join(h.device_dir, name)
        self.record = os.path.join(h.tmp, name + ".received")
        command = [os.path.join(harness.NATIVE_BUILD_DIR, "tools", "vdev"), "--record",
                   self.record] + list(options) + [self.link]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.status = Stream(self.process.stdout.fileno(), "vdev status")
        h.programs.append(self)  # stopped with the scenario's world
        self.status.expect(b"ready ")

    def command(self, line, answer=None):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        self.status.expect((answer or "ok " + line).encode() + b"\n")

    def received(self):
        with open(self.record, "rb") as record:
            return record.read()

    def stop(self, signal_number=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
            self.process.wait(10)


def open_port(path):
    """Opens the line as a program would, leaving its settings as vdev made them."""
    return os.open(path, os.O_RDWR | os.O_NOCTTY)


def read_exactly(fd, count, what):
    got = b""
    end = time.monotonic() + harness.deadline_seconds()
    while len(got) < count and time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            got += os.read(fd, count - len(got))
    check(len(got) == count, "%s: %d of %d bytes arrived: %r" % (what, len(got), count, got))
    return got


def wait_until(condition, what):
    end = time.monotonic() + harness.deadline_seconds()
    while not condition():
        check(time.monotonic() < end, what)
        time.sleep(0.02)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@scenario("native")
def line_is_raw_and_records(h):
    # Bytes sent before anyone set the line up arrive unchanged: the line is raw from the start.
    device = Vdev(h, "--echo")
    sent = bytes(range(256))
    device.command("send-hex " + sent.hex())
    port = open_port(device.link)
    check_bytes("bytes sent before the port was opened", sent, read_exactly(port, 256, "sent"))
    os.write(port, b"\r\n\x03\x00\xff")
    check_bytes("echo", b"\r\n\x03\x00\xff", read_exactly(port, 5, "echo"))
    wait_until(lambda: device.received() == b"\r\n\x03\x00\xff", "record: %r" % device.received())
    os.close(port)


@scenario("native")
def unplug_hangs_up_and_replug_gives_a_new_line(h):
    device = Vdev(h)
    port = open_port(device.link)
    device.status.expect(b"peer-open\n")
    device.command("unplug")
    check(not os.path.lexists(device.link), "the name is still there after unplug")
    # The program's liveness query: the line's settings can no longer be read.
    try:
        termios.tcgetattr(port)
        raise harness.Failure("the line still answers after unplug")
    except termios.error:
        pass
    os.close(port)
    device.command("send-text lost", "error send-text lost: unplugged, nothing sent")
    device.command("replug")
    port = open_port(device.link)
    device.command("send-text back")
    check_bytes("after replug", b"back", read_exactly(port, 4, "after replug"))
    os.close(port)


@scenario("native")
def survives_the_port_being_closed(h):
    # When the program closes the port the master reads EIO: vdev must wait for the next open,
    # neither ending nor spinning.
    device = Vdev(h)
    port = open_port(device.link)
    device.status.expect(b"peer-open\n")
    os.close(port)
    device.status.expect(b"peer-closed\n")
    before, started = cpu_seconds(device.process.pid), time.monotonic()
    time.sleep(1.0)
    busy = (cpu_seconds(device.process.pid) - before) / (time.monotonic() - started)
    check(busy < 0.3, "vdev kept a processor %.0f %% busy with nobody on the line" % (busy * 100))
    port = open_port(device.link)
    device.status.expect(b"peer-open\n")
    device.command("send-text again")
    check_bytes("after reopening", b"again", read_exactly(port, 5, "after reopening"))
    os.close(port)


@scenario("native")
def paced_sending_and_every_second(h):
    device = Vdev(h, "--baud", "9600", "--every-second", "tick %d%%\\n")
    port = open_port(device.link)
    # Two ticks with their counters (the pacing does not hold them up).
    check_bytes("the once-a-second line", b"tick 1%\ntick 2%\n",
                read_exactly(port, 16, "two ticks"))
    device.command("every-second off")
    # 960 bytes at 9600 baud (10 bits a byte) take a second at least: pacing never goes faster.
    started = time.monotonic()
    device.command("send-text " + "x" * 960)
    read_exactly(port, 960, "paced bytes")
    elapsed = time.monotonic() - started
    check(elapsed >= 0.9, "960 bytes at 9600 baud came in %.2f s" % elapsed)
    os.close(port)


@scenario("native")
def script_fifo_and_quit_on_byte(h):
    script = os.path.join(h.tmp, "script")
    with open(script, "w") as text:
        text.write("# a comment\n\nsend-text A\nsleep 10\nsend-hex 42\n")
    fifo = os.path.join(h.tmp, "control")
    device = Vdev(h, "--send-text", "0", "--script", script, "--control", fifo,
                  "--quit-on-byte", "71", "--no-stdin")
    port = open_port(device.link)
    check_bytes("options and script, in order", b"0AB", read_exactly(port, 3, "script"))
    with open(fifo, "w") as control:
        control.write("send-text C\\r\\n\n")
    check_bytes("a command through the FIFO", b"C\r\n", read_exactly(port, 3, "FIFO"))
    os.write(port, b"xq")
    check(device.process.wait(harness.deadline_seconds()) == 0, "exit status after the quit byte")
    check(not os.path.lexists(device.link), "the name is left after quitting")
    check(not os.path.exists(fifo), "the control FIFO is left after quitting")
    check_bytes("recorded up to the quit byte", b"xq", device.received())
    os.close(port)


@scenario("native")
def cleans_up_on_signals(h):
    for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        device = Vdev(h)
        device.stop(signal_number)
        check(device.process.returncode == 128 + signal_number,
              "exit status %d after %s" % (device.process.returncode,
                                           signal.Signals(signal_number).name))
        check(not os.path.lexists(device.link),
              "the name is left after %s" % signal.Signals(signal_number).name)


@scenario("native")
def refuses_to_replace_a_file(h):
    path = os.path.join(h.device_dir, "COM5")
    with open(path, "w") as keep:
        keep.write("mine")
    vdev = subprocess.run([os.path.join(harness.NATIVE_BUILD_DIR, "tools", "vdev"), "--no-stdin",
                           path], capture_output=True, timeout=10)
    check(vdev.returncode == 1, "exit status %d" % vdev.returncode)
    with open(path) as kept:
        check(kept.read() == "mine", "the file was changed")


if __name__ == "__main__":
    harness.main()
