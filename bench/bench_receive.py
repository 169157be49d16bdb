#!/usr/bin/env python3
"""Receive benchmark: what a person sees of a device's output, comterm against picocom and tio
(general-purpose serial terminals, run only as peers) in the same run; the conversion benchmark
(utf8_to_gbk against iconv) runs first and its figures are kept too. Every byte is checked.

The device is tools/vdev.py's (imported: its writes are timed here), published as COM3 in a
temporary folder. A terminal runs on a pseudo-terminal of its own with LANG=C.UTF-8, as on a
person's screen ("pty"), or into a pipe ("pipe"; not tio, which buffers a pipe until it ends).
  transfer  a 4 MiB log (ASCII lines, some with Chinese messages) from a steady producer (a process
            writing whenever the line takes more, like a streaming device) or a bursty one (one
            loop writing 64 KiB whenever the line is writable and reading the terminal in between,
            like a test rig; comterm and picocom only): time from the first write to the read that
            brings the end mark, the terminal's CPU time over it, peak RSS, bytes lost.
            "comterm+log" is comterm with --log FILE --timestamp (steady producer only): the stamps
            are taken off what it shows, and its log must hold the payload too.
  idle      CPU time (the task clock, as `perf stat -e task-clock` counts it) and context switches
            with the port open and nothing sent; the same for the floor, a bare loop of 5 ms polls
            (bench/idle_floor.cpp); then latency: one letter after 100 to 150 ms of silence, until
            it is on the screen.

usage: bench_receive.py COMTERM --conversion PROGRAM --idle-floor PROGRAM [--out FILE]
                        [--repeats N] [--quick]
"""

import argparse, ctypes, glob, json, os, platform, random, re, select, shutil, signal, statistics
import struct, subprocess, sys, tempfile, termios, time, types

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[1:1] = [os.path.join(SOURCE, "tools"), os.path.join(SOURCE, "tests", "e2e")]
import harness  # noqa: E402  (comterm's own message formats)
import report  # noqa: E402
import vdev  # noqa: E402

BAUD = 115200
KINDS = ("pty", "pipe")
PRODUCERS = ("steady", "bursty")
END_MARK = b"<<end of payload>>"
WAIT_SECONDS = 30.0  # start-up, or no progress on the screen: generous, the machine is shared
UNSET_RATE = termios.B50  # the device's line until the terminal under test sets it up
WRITE_CHUNK = 64 << 10
CELL_BUDGET_SECONDS = 20.0  # a cell whose runs took this long in all gets no more (tio is slow)
LATENCY_GAP = (0.100, 0.150)  # silence before each letter, drawn afresh so no phase locks in
PLANS = {"full": dict(payload_bytes=4 << 20, repeats=3, latency_samples=100, idle_seconds=10.0),
         "quick": dict(payload_bytes=256 << 10, repeats=1, latency_samples=20, idle_seconds=2.0)}
# Peers: no mapping of what they receive, no local echo, no banner, no reset at exit. Each with the
# output kinds and producers it is measured with.
TERMINALS = {
    "comterm": (["{comterm}", "-p", "COM3", "-b", str(BAUD)], KINDS, PRODUCERS),
    "comterm+log": (["{comterm}", "-p", "COM3", "-b", str(BAUD), "--log", "session.log",
                     "--timestamp"], KINDS, ("steady",)),
    "picocom": (["picocom", "-q", "-b", str(BAUD), "--noreset", "--imap", "", "--omap", "",
                 "--emap", "", "{tty}"], KINDS, PRODUCERS),
    "tio": (["tio", "--mute", "-b", str(BAUD), "-m", "", "{tty}"], ("pty",), ("steady",)),
}
STAMP = rb"\[\d\d:\d\d:\d\d\.\d\d\d\] "  # --timestamp's


class BenchError(Exception):
    pass


def log_payload(size):
    """Log lines of a sensor board, some of them with a Chinese message (characters GBK has), LF
    line ends and no CR; then the end mark on a line of its own."""
    rng = random.Random(115200)
    messages = ["OK", "OK", "busy", "retry", "温度正常", "电压偏低，请检查电源", "通信超时，正在重试。"]
    lines, length, seq = [], 0, 0
    while True:
        seq += 1
        line = ("%02d:%02d:%02d.%03d [%s] %s: seq=%06d temp=%.1f volt=%.3f %s crc=0x%04X\n" % (
            seq // 360000 % 24, seq // 6000 % 60, seq // 100 % 60, seq % 100 * 10,
            rng.choice(["INFO", "INFO", "DEBUG", "WARN"]), rng.choice(["adc", "uart1", "pwr"]),
            seq, 20 + rng.random() * 10, 3.2 + rng.random() * 0.2,
            rng.choice(messages), rng.randrange(65536))).encode()
        if length + len(line) > size:
            return b"".join(lines) + b"\n" * (size - length) + END_MARK + b"\n"
        lines.append(line)
        length += len(line)


def counters(pid):
    """(CPU ns, context switches, peak RSS KiB) of a process: the run time of schedstat and the
    voluntary and involuntary switches of status summed over its threads, and VmHWM."""
    cpu, switches, peak = 0, 0, 0
    for task in glob.glob("/proc/%d/task/*" % pid):
        try:
            with open(task + "/schedstat") as stat:
                cpu += int(stat.read().split()[0])
            with open(task + "/status") as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")):
                        switches += int(line.split()[1])
                    elif line.startswith("VmHWM:"):
                        peak = int(line.split()[1])
        except (OSError, ValueError):  # a thread that has just ended
            pass
    return cpu, switches, peak


# perf_event_open(2): its number, and the task clock of one thread as perf_event_attr (its first
# version, 64 bytes: type software, size, config task clock, flags exclude_kernel and exclude_hv, so
# that an ordinary user may count their own processes; the task clock counts all of a thread's time
# on a CPU either way).
PERF_EVENT_OPEN = {"x86_64": 298, "aarch64": 241}.get(platform.machine())
TASK_CLOCK_ATTR = struct.pack("=IIQQQQQ", 1, 64, 1, 0, 0, 0, 1 << 5 | 1 << 6).ljust(64, b"\0")


def task_clocks(pid):
    """Descriptors counting the CPU time of each thread of a process from now on: the task clock,
    which starts when a thread is switched in and stops when it is switched out. The run time of
    schedstat (used for the transfers) also holds the switch into the thread, which on a virtual
    machine costs as much as the thread's own work when it wakes 200 times a second for nothing.
    None where the kernel will not count (another architecture, perf_event_paranoid)."""
    if PERF_EVENT_OPEN is None:
        return None
    libc = ctypes.CDLL(None, use_errno=True)
    fds = []
    for task in glob.glob("/proc/%d/task/*" % pid):
        attr = ctypes.create_string_buffer(TASK_CLOCK_ATTR, len(TASK_CLOCK_ATTR))
        fd = libc.syscall(PERF_EVENT_OPEN, attr, int(os.path.basename(task)), -1, -1,
                          8)  # PERF_FLAG_FD_CLOEXEC
        if fd < 0:
            for opened in fds:
                os.close(opened)
            return None
        fds.append(fd)
    return fds


def idle_cost(pid, seconds, wait):
    """CPU ms and context switches per second of a process over `seconds` of `wait(end)`: by the
    task clock where the kernel counts it, otherwise by schedstat; and the method used."""
    clocks = task_clocks(pid)
    before = counters(pid)
    end = time.monotonic() + seconds
    wait(end)
    after = counters(pid)
    cpu_ns, method = after[0] - before[0], "schedstat"
    if clocks is not None:
        cpu_ns, method = 0, "task clock"
        for fd in clocks:
            cpu_ns += struct.unpack("=Q", os.read(fd, 8))[0]
            os.close(fd)
    return {"cpu_ms_per_s": cpu_ns / 1e6 / seconds,
            "context_switches_per_s": (after[1] - before[1]) / seconds, "method": method}


LIVE = []  # terminals not yet stopped: the clean-up on any way out stops them


class Terminal:
    """A terminal process on a fresh virtual device, its output read from its screen (a pty) or a
    pipe into self.shown. stop() undoes it all."""

    def __init__(self, name, kind, comterm, folder):
        LIVE.append(self)
        self.name, self.kind, self.shown, self.fds, self.process = name, kind, bytearray(), [], None
        self.label = "%s (%s)" % (name, kind)
        # The bench keeps the line's terminal side open too (--hold), so it never hangs up between
        # writes; the odd rate shows when the terminal has set the line up.
        vdev.dev.link, vdev.dev.hold, vdev.dev.quiet = os.path.join(folder, "COM3"), True, True
        if not vdev.plug():
            raise BenchError("cannot publish the virtual device")
        self.device, self.line = vdev.dev.master, vdev.dev.held
        attributes = termios.tcgetattr(self.line)
        attributes[4] = attributes[5] = UNSET_RATE
        termios.tcsetattr(self.line, termios.TCSANOW, attributes)
        screen, screen_tty = os.openpty()
        self.fds += [screen, screen_tty]
        if kind == "pty":
            self.out, stdout = screen, screen_tty
        else:
            self.out, stdout = os.pipe()
            self.fds += [self.out, stdout]
        os.set_blocking(self.out, False)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": folder, "TERM": "xterm",
               "LANG": "C.UTF-8", "COMTERM_DEVICE_DIR": folder}
        self.log = os.path.join(folder, "session.log")
        if os.path.exists(self.log):
            os.unlink(self.log)  # each run's log on its own
        command = [arg.replace("{tty}", vdev.dev.tty).replace("{comterm}", comterm)
                   for arg in TERMINALS[name][0]]
        # A session of its own with the screen as controlling terminal, as in a terminal window.
        self.process = subprocess.Popen(command, stdin=screen_tty,
            stdout=stdout, stderr=screen_tty, cwd=folder, env=env, start_new_session=True)
        os.close(stdout)
        self.fds.remove(stdout)
        self.wait_ready()

    def read(self, timeout):
        """What the terminal shows within timeout seconds, added to self.shown; b"" when nothing
        came. A terminal that has ended is an error."""
        if not select.select([self.out], [], [], max(timeout, 0))[0]:
            return b""
        try:
            chunk = os.read(self.out, 1 << 20)
        except OSError:  # EIO: the pty has no writer left
            chunk = b""
        if not chunk:
            raise BenchError("%s ended, status %s" % (self.label, self.process.poll()))
        self.shown += chunk
        return chunk

    def wait_ready(self):
        """Until the line is set up and, for comterm, its open message is on the screen: what the
        terminal showed until then is its own, not the device's."""
        opened = harness.OPENED % (harness.port_path("COM3"), BAUD)  # comterm's open message
        if self.kind == "pty":
            opened = opened.replace("\n", "\r\n").encode()
        opened = opened.encode("gbk") if self.kind == "pipe" else opened
        opened = opened if self.name.startswith("comterm") else b""
        # With --timestamp the prompt after the message is stamped.
        opened = re.escape(opened).replace(b"\n", b"\n(?:%s)?" % STAMP)
        deadline = time.monotonic() + WAIT_SECONDS
        while termios.tcgetattr(self.line)[5] == UNSET_RATE or not re.search(opened, self.shown):
            if time.monotonic() > deadline:
                raise BenchError("%s not ready; it showed %r" % (self.label, self.shown[-300:]))
            self.read(0.001)
        self.shown.clear()

    def stop(self):
        LIVE.remove(self)
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in self.fds:
            os.close(fd)
        vdev.unplug()


def steady_writer(fd, payload):
    """A device streaming on its own: writes whenever the line takes more, until all is written."""
    view = memoryview(payload)
    while view:
        select.select([], [fd], [], 0.1)
        try:
            view = view[os.write(fd, view[:WRITE_CHUNK]):]
        except BlockingIOError:
            pass


def transfer(terminal, payload, producer):
    """Sends the payload and reads the screen until its end mark: one run's figures."""
    pid = terminal.process.pid
    watched = select.poll()
    watched.register(terminal.out, select.POLLIN)
    view = memoryview(payload)
    cpu_before = counters(pid)[0]
    start = last = time.monotonic()
    # The steady producer is a process of its own, as a device is; it only ever ends here.
    writer = os.fork() if producer == "steady" else -1
    if writer == 0:
        try:
            steady_writer(terminal.device, payload)
        finally:
            os._exit(0)
    if writer < 0:
        watched.register(terminal.device, select.POLLOUT)
    end = None
    try:
        while end is None:
            for fd, _ in watched.poll(100):
                if fd == terminal.device:
                    try:
                        view = view[os.write(fd, view[:WRITE_CHUNK]):]
                    except BlockingIOError:
                        continue
                    if not view:
                        watched.unregister(fd)
                    continue
                before = len(terminal.shown)
                if terminal.read(0):
                    last = time.monotonic()
                    if terminal.shown.find(END_MARK, max(0, before - len(END_MARK))) >= 0:
                        end = last
            if time.monotonic() - last > WAIT_SECONDS:
                raise BenchError("%s: %d bytes shown, then nothing for %.0f s" % (
                    terminal.label, len(terminal.shown), WAIT_SECONDS))
    finally:
        if writer > 0:
            os.kill(writer, signal.SIGKILL)
            os.waitpid(writer, 0)
    cpu, _, peak = counters(pid)
    while not terminal.shown.endswith(b"\n") and time.monotonic() - end < WAIT_SECONDS:
        terminal.read(0.05)  # the rest of the end mark's line
    # As the payload's bytes: comterm on a pipe writes GBK; a screen may show LF as CR LF.
    got = bytes(terminal.shown)
    if terminal.name.startswith("comterm") and terminal.kind == "pipe":
        got = got.decode("gbk", errors="replace").encode()
    got = re.sub(b"(?m)^" + STAMP, b"", got.replace(b"\r\n", b"\n"))
    terminal.shown.clear()
    run = {"seconds": end - start, "cpu_seconds": (cpu - cpu_before) / 1e9, "peak_rss_kib": peak,
           "bytes_lost": max(0, len(payload) - len(got)), "intact": got == payload}
    differences = [("shown", got)]
    if terminal.name == "comterm+log":
        # The log, written out before the screen: after the session line and the open message,
        # the payload, each line stamped.
        with open(terminal.log, "rb") as log:
            logged = re.sub(b"(?m)^" + STAMP, b"", log.read().split(b"\n", 2)[2])
        run["intact"] = run["intact"] and logged == payload
        differences.append(("logged", logged))
    for what, bytes_seen in differences:
        if bytes_seen != payload:
            at = len(os.path.commonprefix([payload, bytes_seen]))
            print("  %s: %d bytes %s for %d sent; from byte %d on sent %r, %s %r" % (
                terminal.label, len(bytes_seen), what, len(payload), at, payload[at:at + 40],
                what, bytes_seen[at:at + 40]))
    return run


def idle_and_latency(terminal, plan, rng):
    """CPU ms and context switches per second with the port open and nothing sent; then the
    milliseconds from each letter written by the device on an idle line to its display."""
    terminal.read(0.5)  # settled after start-up
    terminal.shown.clear()

    def watch_screen(end):
        while time.monotonic() < end:
            terminal.read(end - time.monotonic())

    idle = idle_cost(terminal.process.pid, plan.idle_seconds, watch_screen)
    samples = []
    for index in range(plan.latency_samples):
        quiet_until = time.monotonic() + rng.uniform(*LATENCY_GAP)
        while time.monotonic() < quiet_until:
            terminal.read(quiet_until - time.monotonic())
        letter = bytes([ord("a") + index % 26])
        if terminal.shown:
            raise BenchError("%s showed %r unasked" % (terminal.label, terminal.shown[:80]))
        start = time.monotonic()
        os.write(terminal.device, letter)
        while not terminal.shown and time.monotonic() - start < WAIT_SECONDS:
            terminal.read(1.0)
        samples.append((time.monotonic() - start) * 1e3)
        if terminal.shown != letter:
            raise BenchError("%s showed %r for %r" % (terminal.label, terminal.shown, letter))
        terminal.shown.clear()
    return idle, samples


def idle_floor(program, plan):
    """The idle cost of a bare loop of 5 ms polls on a pseudo-terminal of its own, measured as
    comterm's is."""
    device, line = os.openpty()
    process = subprocess.Popen([program, os.ttyname(line)])
    try:
        time.sleep(0.5)  # settled after start-up, as the terminals are
        if process.poll() is not None:
            raise BenchError("%s ended, status %s" % (program, process.returncode))
        return idle_cost(process.pid, plan.idle_seconds,
                         lambda end: time.sleep(end - time.monotonic()))
    finally:
        process.kill()
        process.wait()
        os.close(device)
        os.close(line)


def conversion(program):
    """Runs the conversion benchmark, its lines shown as they come; {corpus: figures}."""
    found = {}
    with subprocess.Popen([program], stdout=subprocess.PIPE, text=True) as process:
        for line in process.stdout:
            print(line, end="", flush=True)
            match = re.match(r"(\w+) +([\d.]+) MB/s utf8_to_gbk +([\d.]+) MB/s iconv", line)
            if match:
                found[match[1]] = {"mb_per_s": float(match[2]), "iconv_mb_per_s": float(match[3])}
    if process.returncode != 0 or not found:
        raise BenchError("%s failed (status %d)" % (program, process.returncode))
    return found


def run(comterm, floor, plan, folder):
    payload = log_payload(plan.payload_bytes)
    megabytes = len(payload) / 1e6
    cells = {"%s/%s/%s" % (name, producer, kind): [] for producer in PRODUCERS for kind in KINDS
             for name, (_, kinds, producers) in TERMINALS.items()
             if kind in kinds and producer in producers}
    results = {"payload_bytes": len(payload), "transfers": cells, "idle": {}, "latency_ms": {}}
    # Rounds over every cell in turn, so that noise on the shared machine hits every terminal.
    for round_number in range(plan.repeats):
        for cell, runs in cells.items():
            if sum(one["seconds"] for one in runs) > CELL_BUDGET_SECONDS:
                continue
            name, producer, kind = cell.split("/")
            terminal = Terminal(name, kind, comterm, folder)
            try:
                runs.append(transfer(terminal, payload, producer))
            finally:
                terminal.stop()
            print("  %-24s run %d: %8.2f MB/s  %7.4f CPU s/MB  %5d KiB peak" % (
                cell, round_number + 1, megabytes / runs[-1]["seconds"],
                runs[-1]["cpu_seconds"] / megabytes, runs[-1]["peak_rss_kib"]), flush=True)
    rng = random.Random(5)
    for name in report.TERMINALS:  # the log's idle cost is comterm's
        terminal = Terminal(name, "pty", comterm, folder)
        try:
            idle, samples = idle_and_latency(terminal, plan, rng)
        finally:
            terminal.stop()
        results["idle"][name], results["latency_ms"][name] = idle, samples
        print("  %-8s idle %.3f CPU ms/s, %.1f wake-ups/s; first-byte latency median %.3f ms" % (
            name, idle["cpu_ms_per_s"], idle["context_switches_per_s"],
            statistics.median(samples)), flush=True)
    results["idle_floor"] = idle = idle_floor(floor, plan)
    print("  %-8s idle %.3f CPU ms/s, %.1f wake-ups/s (%s)" % (
        "5 ms poll loop", idle["cpu_ms_per_s"], idle["context_switches_per_s"], idle["method"]),
        flush=True)
    return results


def first_line(command):
    return subprocess.run(command, capture_output=True, text=True).stdout.split("\n")[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("comterm")
    parser.add_argument("--conversion", required=True, help="the conversion benchmark program")
    parser.add_argument("--idle-floor", required=True, help="the idle floor program")
    parser.add_argument("--out", default="bench.json", help="the result file (JSON)")
    parser.add_argument("--repeats", type=int, help="transfer runs per cell (the best is kept)")
    parser.add_argument("--quick", action="store_true", help="a try-out: small and few")
    args = parser.parse_args()
    plan = types.SimpleNamespace(**PLANS["quick" if args.quick else "full"])
    plan.repeats = max(1, args.repeats or plan.repeats)
    # SIGTERM and SIGHUP end the bench as Ctrl+C does: through the clean-up below.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda signum, _: sys.exit(128 + signum))
    folder = tempfile.mkdtemp(prefix="comterm-bench-")
    started = time.monotonic()
    try:
        converted = conversion(args.conversion)
        print("receive: %s; %d KiB payload, best of up to %d runs a cell" % (
            ", ".join(TERMINALS), plan.payload_bytes >> 10, plan.repeats), flush=True)
        results = run(os.path.abspath(args.comterm), os.path.abspath(args.idle_floor), plan,
                      folder)
    except (BenchError, OSError) as error:  # OSError: a peer missing (scripts/install-deps)
        print("bench_receive: FAILED: %s" % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("bench_receive: interrupted", file=sys.stderr)
        return 130
    finally:
        for terminal in list(LIVE):
            terminal.stop()
        shutil.rmtree(folder, ignore_errors=True)
    results.update(conversion=converted, quick=args.quick, seconds=time.monotonic() - started,
                   load_average=os.getloadavg(), cpus=os.cpu_count(),
                   commit=first_line(["git", "-C", SOURCE, "describe", "--always", "--dirty"]),
                   versions=[first_line(["picocom", "--help"]), first_line(["tio", "--version"])])
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=1)
    print()
    print(report.text(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
