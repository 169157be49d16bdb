#!/usr/bin/env python3
"""Receive benchmark: what a person sees of a device's output (tools/vdev.py's, imported so that
its writes are timed here), comterm against picocom and tio (general-purpose serial terminals, run
only as peers) in the same run, every byte checked; the conversion benchmark (utf8_to_gbk against
iconv) runs first. docs/PERFORMANCE.md describes each figure and how it is taken.
"""

import argparse, contextlib, ctypes, glob, json, os, platform, random, re, select, signal
import struct, subprocess, sys, tempfile, termios, time, types

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[1:1] = [os.path.join(SOURCE, "tools"), os.path.join(SOURCE, "tests", "e2e")]
import harness  # noqa: E402  (comterm's own message formats and wait)
import report  # noqa: E402
import vdev  # noqa: E402

BAUD = 115200
END_MARK = b"<<end of payload>>"
WAIT_SECONDS = harness.deadline()  # start-up, or no progress on the screen: the machine is shared
UNSET_RATE = termios.B50  # the device's line until the terminal under test sets it up
CELL_BUDGET_SECONDS = 20.0  # a cell whose runs took this long in all gets no more (tio is slow)
LATENCY_GAP = (0.100, 0.150)  # silence before each letter, drawn afresh so no phase locks in
PLANS = {"full": dict(payload_bytes=4 << 20, repeats=5, latency_samples=100, idle_seconds=10.0),
         "quick": dict(payload_bytes=256 << 10, repeats=1, latency_samples=20, idle_seconds=2.0)}
# Peers: no mapping of what they receive, no local echo, no banner, no reset at exit.
TERMINALS = {
    "comterm": ["{comterm}", "-p", "COM3", "-b", str(BAUD)],
    "comterm+log": ["{comterm}", "-p", "COM3", "-b", str(BAUD), "--log", "session.log",
                    "--timestamp"],
    "picocom": ["picocom", "-q", "-b", str(BAUD), "--noreset", "--imap", "", "--omap", "",
                "--emap", "", "{tty}"],
    "tio": ["tio", "--mute", "-b", str(BAUD), "-m", "", "{tty}"],
}
# terminal/producer/kind, in the order they take turns. The log and tio with the steady producer
# only; tio not into a pipe, which it buffers until it ends.
CELLS = ("comterm/steady/pty", "comterm+log/steady/pty", "picocom/steady/pty", "tio/steady/pty",
         "comterm/steady/pipe", "comterm+log/steady/pipe", "picocom/steady/pipe",
         "comterm/bursty/pty", "picocom/bursty/pty", "comterm/bursty/pipe", "picocom/bursty/pipe")
OPENED = (harness.OPENED % (harness.port_path("COM3"), BAUD)).encode()  # comterm's open message
STAMPS = re.compile(rb"(?m)^\[\d\d:\d\d:\d\d\.\d\d\d\] ")  # --timestamp's, at each line's start


def log_payload(size):
    """Log lines of a sensor board, some with a Chinese message; then the end mark's line."""
    rng = random.Random(115200)
    messages = ["OK", "OK", "busy", "retry", "温度正常", "电压偏低，请检查电源", "通信超时，正在重试。"]
    payload, seq = bytearray(), 0
    while True:
        seq += 1
        line = ("%02d:%02d:%02d.%03d [%s] %s: seq=%06d temp=%.1f volt=%.3f %s crc=0x%04X\n" % (
            seq // 360000 % 24, seq // 6000 % 60, seq // 100 % 60, seq % 100 * 10,
            rng.choice(["INFO", "INFO", "DEBUG", "WARN"]), rng.choice(["adc", "uart1", "pwr"]),
            seq, 20 + rng.random() * 10, 3.2 + rng.random() * 0.2,
            rng.choice(messages), rng.randrange(65536))).encode()
        if len(payload) + len(line) > size:
            return bytes(payload) + b"\n" * (size - len(payload)) + END_MARK + b"\n"
        payload += line


def counters(pid):
    """(CPU ns, context switches, peak RSS KiB): schedstat's run time and all switches of each
    thread, and VmHWM."""
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


# perf_event_open(2), and the task clock of a thread as perf_event_attr (first version, 64 bytes):
# exclude_kernel and exclude_hv let a user count their own processes, and change nothing here.
# The kernel only reads the attributes, so the bytes themselves are passed.
PERF_EVENT_OPEN = {"x86_64": 298, "aarch64": 241}.get(platform.machine())
TASK_CLOCK_ATTR = struct.pack("=IIQQQQQ", 1, 64, 1, 0, 0, 0, 1 << 5 | 1 << 6).ljust(64, b"\0")


def task_clocks(pid):
    """Descriptors counting each thread's time switched in from now on (schedstat's run time also
    holds the switch into it, on a virtual machine as costly as waking 200 times a second for
    nothing); None where the kernel will not count (another architecture, perf_event_paranoid)."""
    if PERF_EVENT_OPEN is None:
        return None
    libc = ctypes.CDLL(None, use_errno=True)
    fds = []
    for task in glob.glob("/proc/%d/task/*" % pid):
        tid = int(os.path.basename(task))
        fd = libc.syscall(PERF_EVENT_OPEN, TASK_CLOCK_ATTR, tid, -1, -1, 8)  # FD_CLOEXEC flag
        if fd < 0:
            for opened in fds:
                os.close(opened)
            return None
        fds.append(fd)
    return fds


def idle_cost(pid, seconds, wait):
    """CPU ms and context switches per second of a process over wait(seconds), and the method."""
    clocks = task_clocks(pid)
    before = counters(pid)
    wait(seconds)
    after = counters(pid)
    cpu_ns, method = after[0] - before[0], "schedstat"
    if clocks is not None:
        cpu_ns, method = 0, "task clock"
        for fd in clocks:
            cpu_ns += struct.unpack("=Q", os.read(fd, 8))[0]
            os.close(fd)
    return {"cpu_ms_per_s": cpu_ns / 1e6 / seconds,
            "context_switches_per_s": (after[1] - before[1]) / seconds, "method": method}


def read(term, timeout):
    """What the terminal shows within timeout seconds (b"" if nothing), added to term.shown."""
    if not select.select([term.out], [], [], max(timeout, 0))[0]:
        return b""
    try:
        chunk = os.read(term.out, 1 << 20)
    except OSError:  # EIO: the pty has no writer left
        chunk = b""
    if not chunk:
        raise RuntimeError("%s ended, status %s" % (term.label, term.process.poll()))
    term.shown += chunk
    return chunk


def read_for(term, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        read(term, end - time.monotonic())


def as_sent(term):
    """What the terminal showed, as the device's bytes: comterm on a pipe writes GBK, a screen may
    show LF as CR LF, and --timestamp's stamps are taken off."""
    shown = bytes(term.shown)
    if term.name.startswith("comterm") and term.kind == "pipe":
        shown = shown.decode("gbk", errors="replace").encode()
    return STAMPS.sub(b"", shown.replace(b"\r\n", b"\n"))


@contextlib.contextmanager
def terminal(name, kind, comterm, folder):
    """A terminal on a fresh virtual device, ready: the line set up and, for comterm, its open
    message shown (what came before is its own). Everything is undone on the way out."""
    term = types.SimpleNamespace(name=name, kind=kind, label="%s (%s)" % (name, kind),
                                 shown=bytearray(), process=None, log=folder + "/session.log")
    # The line's terminal side held too, so it never hangs up between writes; the odd rate shows
    # when the terminal has set the line up.
    vdev.dev.link, vdev.dev.hold, vdev.dev.quiet = os.path.join(folder, "COM3"), True, True
    screen, screen_tty = os.openpty()
    term.out, stdout = screen, screen_tty
    if kind == "pipe":
        term.out, stdout = os.pipe()
    fds = {screen, screen_tty, term.out, stdout}
    try:
        if not vdev.plug():
            raise RuntimeError("cannot publish the virtual device")
        term.device, term.line = vdev.dev.master, vdev.dev.held
        attributes = termios.tcgetattr(term.line)
        attributes[4] = attributes[5] = UNSET_RATE
        termios.tcsetattr(term.line, termios.TCSANOW, attributes)
        if os.path.exists(term.log):
            os.unlink(term.log)  # each run's log on its own
        command = [arg.format(comterm=comterm, tty=vdev.dev.tty) for arg in TERMINALS[name]]
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": folder, "TERM": "xterm",
               "LANG": "C.UTF-8", "COMTERM_DEVICE_DIR": folder}
        # A session of its own with the screen as controlling terminal, as in a terminal window.
        term.process = subprocess.Popen(command, stdin=screen_tty, stdout=stdout, stderr=screen_tty,
                                        cwd=folder, env=env, start_new_session=True)
        os.close(stdout)  # its end is the terminal's alone: an ended terminal reads as EOF
        fds.remove(stdout)
        opened = OPENED if name.startswith("comterm") else b""
        deadline = time.monotonic() + WAIT_SECONDS
        while termios.tcgetattr(term.line)[5] == UNSET_RATE or opened not in as_sent(term):
            if time.monotonic() > deadline:
                raise RuntimeError("%s not ready; it showed %r" % (term.label, term.shown[-300:]))
            read(term, 0.001)
        term.shown.clear()
        yield term
    finally:
        if term.process is not None:  # measured already: nothing it does on the way out counts
            term.process.kill()
            term.process.wait()
        for fd in fds:
            os.close(fd)
        vdev.unplug()  # also drops what a producer left unwritten


def transfer(term, payload, producer):
    """One run's figures: the payload sent through vdev, the screen read to the end mark's line."""
    pid = term.process.pid
    watched = select.poll()
    watched.register(term.out, select.POLLIN)
    vdev.dev.out += payload
    cpu_before = counters(pid)[0]
    start = last = time.monotonic()
    # The steady producer is a process of its own, as a device is; it only ever ends here.
    writer = os.fork() if producer == "steady" else -1
    if writer < 0:
        watched.register(term.device, select.POLLOUT)
    if writer == 0:
        try:
            while vdev.dev.out:
                select.select([], [term.device], [], 0.1)
                vdev.write_out()
        finally:
            os._exit(0)
    try:
        while not term.shown.endswith((END_MARK + b"\n", END_MARK + b"\r\n")):
            for fd, _ in watched.poll(100):
                if fd == term.device:
                    vdev.write_out()
                    if not vdev.dev.out:
                        watched.unregister(fd)
                elif read(term, 0):
                    last = time.monotonic()
            if time.monotonic() - last > WAIT_SECONDS:
                raise RuntimeError("%s: %d bytes shown, then nothing for %.0f s" % (
                    term.label, len(term.shown), WAIT_SECONDS))
    finally:
        if writer > 0:
            os.kill(writer, signal.SIGKILL)
            os.waitpid(writer, 0)
    cpu, _, peak = counters(pid)
    got = as_sent(term)
    term.shown.clear()
    run = {"seconds": last - start, "cpu_seconds": (cpu - cpu_before) / 1e9, "peak_rss_kib": peak,
           "bytes_lost": max(0, len(payload) - len(got)), "intact": got == payload}
    seen = [("shown", got)]
    if term.name == "comterm+log":
        # Written before the screen: the session line, the open message, the payload stamped.
        with open(term.log, "rb") as log:
            seen.append(("logged", STAMPS.sub(b"", log.read().split(b"\n", 2)[2])))
    for what, data in seen:
        summary = "%s: %d bytes %s for %d sent" % (term.label, len(data), what, len(payload))
        try:
            harness.check(summary, payload, data)
        except AssertionError as difference:  # counted, shown, and the bench goes on
            run["intact"] = False
            print(difference)
    return run


def idle_and_latency(term, plan, rng):
    """The idle cost with the port open and nothing sent; then each letter's ms to the screen."""
    read_for(term, 0.5)  # settled after start-up
    term.shown.clear()
    idle = idle_cost(term.process.pid, plan.idle_seconds, lambda seconds: read_for(term, seconds))
    samples = []
    for index in range(plan.latency_samples):
        read_for(term, rng.uniform(*LATENCY_GAP))
        letter = bytes([ord("a") + index % 26])
        start = time.monotonic()
        os.write(term.device, letter)
        while not term.shown and time.monotonic() - start < WAIT_SECONDS:
            read(term, 1.0)
        samples.append((time.monotonic() - start) * 1e3)
        if term.shown != letter:  # what it showed unasked too
            raise RuntimeError("%s showed %r for %r" % (term.label, term.shown, letter))
        term.shown.clear()
    return idle, samples


def idle_floor(program, plan):
    """The idle cost of a bare loop of 5 ms polls on a pseudo-terminal, measured as comterm's."""
    device, line = os.openpty()
    process = subprocess.Popen([program, os.ttyname(line)])
    try:
        time.sleep(0.5)  # settled after start-up, as the terminals are
        if process.poll() is not None:
            raise RuntimeError("%s ended, status %s" % (program, process.returncode))
        return idle_cost(process.pid, plan.idle_seconds, time.sleep)
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
            print(line, end="")
            match = re.match(r"(\w+) +([\d.]+) MB/s utf8_to_gbk +([\d.]+) MB/s iconv", line)
            if match:
                found[match[1]] = {"mb_per_s": float(match[2]), "iconv_mb_per_s": float(match[3])}
    if process.returncode != 0 or not found:
        raise RuntimeError("%s failed (status %d)" % (program, process.returncode))
    return found


def run(comterm, floor, plan, folder):
    payload = log_payload(plan.payload_bytes)
    cells = {cell: [] for cell in CELLS}
    results = {"payload_bytes": len(payload), "transfers": cells, "idle": {}, "latency_ms": {}}
    # Rounds over every cell in turn, so that noise on the shared machine hits every terminal.
    for number in range(1, plan.repeats + 1):
        for cell, runs in cells.items():
            if sum(one["seconds"] for one in runs) > CELL_BUDGET_SECONDS:
                continue
            name, producer, kind = cell.split("/")
            with terminal(name, kind, comterm, folder) as term:
                runs.append(transfer(term, payload, producer))
            print(report.run_line(cell, number, runs[-1], len(payload)))
    rng = random.Random(5)
    for name in report.TERMINALS:  # the log's idle cost is comterm's
        with terminal(name, "pty", comterm, folder) as term:
            idle, samples = idle_and_latency(term, plan, rng)
        results["idle"][name], results["latency_ms"][name] = idle, samples
        print(report.idle_line(name, idle, samples))
    results["idle_floor"] = idle_floor(floor, plan)
    print(report.idle_line("5 ms poll loop", results["idle_floor"]))
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
    sys.stdout.reconfigure(line_buffering=True)  # each figure seen as it comes
    # Ctrl+C, SIGTERM and SIGHUP end the bench through the clean-up of each step.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda signum, _: sys.exit(128 + signum))
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="comterm-bench-") as folder:
        try:
            converted = conversion(args.conversion)
            print("receive: %s; %d KiB payload, best of up to %d runs a cell" % (
                ", ".join(TERMINALS), plan.payload_bytes >> 10, plan.repeats))
            results = run(os.path.abspath(args.comterm), os.path.abspath(args.idle_floor), plan,
                          folder)
        except (RuntimeError, OSError) as error:  # OSError: a peer missing (install-deps)
            print("bench_receive: FAILED: %s" % error, file=sys.stderr)
            return 1
    results.update(conversion=converted, quick=args.quick, seconds=time.monotonic() - started,
                   load_average=os.getloadavg(), cpus=os.cpu_count(),
                   commit=first_line(["git", "-C", SOURCE, "describe", "--always", "--dirty"]),
                   versions=[first_line(["picocom", "--help"]), first_line(["tio", "--version"])])
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=1)
    print("\n" + report.text(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
