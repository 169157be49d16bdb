#!/usr/bin/env python3
"""Receive benchmark: what a person sees of a device's output, comterm against picocom and tio
(general-purpose serial terminals, run only as peers) in the same run.

The device is a pseudo-terminal this script opens itself. Its terminal end is published as the
symbolic link COM3 in a temporary folder, so that comterm (COMTERM_DEVICE_DIR) finds it by its
Windows name; the peers are given the path. Each terminal runs in a pseudo-terminal of its own with
a UTF-8 locale (LANG=C.UTF-8), as on a person's screen, and once more with its standard output on a
pipe (standard input stays the pseudo-terminal, silent). The script reads everything the terminal
shows and checks every byte.

Measured for each terminal:
  transfer   per payload (ASCII log lines; mixed Chinese/ASCII UTF-8) and output kind (pty, pipe):
             MB/s shown = payload bytes / time from the first byte written by the device to the
             read that brings the payload's last byte; CPU seconds per MB over that time (the
             process's own accounting); peak RSS (VmHWM just before the terminal is stopped).
  idle       CPU and context switches (voluntary + involuntary, summed over threads) over 10 s
             with the port open and nothing sent (pty only).
  start-up   from the start of the process to comterm's open message on its screen; a peer prints
             none when quiet, so for a peer: to the device's line being set to 115200 and raw (which
             comterm also does, just before its message).
  latency    after at least 200 ms of silence the device sends one letter; the time until it is
             shown. Median and 99th percentile (nearest rank) of the samples.

Check of what is shown. The payloads hold only characters GBK can represent and end their lines
with LF alone (no CR anywhere). What a terminal shows after its ready point (comterm: after its open
message; a peer: everything, as it is quiet) is taken as UTF-8 (comterm on a pipe writes GBK, which
is decoded with Python's gbk codec), every CR LF is replaced by LF (comterm's pty maps LF to CR LF
as the console does; a peer may map or not), and the result must equal the payload byte for byte.

The clock and the CPU figures stop at the read that brings the payload's end mark; the bytes are
compared after that, outside the timed span.

The machine may be shared: a transfer cell keeps the best of up to --repeats runs (a terminal whose
first MIN_RUNS runs of a cell add up to CELL_BUDGET_SECONDS gets no more), terminals take turns
round by round, and `cat` relaying the device shows the most this harness can carry. tio is
measured on its own pseudo-terminal only (see terminal_specs). Every child and pseudo-terminal is cleaned up on any way
out (failure, Ctrl+C, SIGTERM).

Writes to --out: receive.json (every figure and sample), receive.md (the table), and the tables
behind bench/performance.gp (throughput.tsv, cpu.tsv, latency.tsv, idle.tsv).

usage: bench_receive.py COMTERM [--out DIR] [--repeats N] [--quick]
"""

import argparse
import fcntl
import glob
import json
import math
import os
import random
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time

BAUD = 115200
KINDS = ("pty", "pipe")  # the terminal's standard output: its own pseudo-terminal, or a pipe
PAYLOAD_BYTES = 4 << 20
END_MARK = b"<<end of payload>>"
READY_SECONDS = 30.0  # generous: the machine is shared
STALL_SECONDS = 30.0  # no progress at all for this long means the rest is not coming
IDLE_SECONDS = 10.0
LATENCY_SAMPLES = 40
LATENCY_GAP = (0.200, 0.250)  # silence before each sample, drawn afresh so no phase locks in
# A terminal that has had MIN_RUNS runs of a cell taking this long in all is not run again for that
# cell: a few runs of a slow one say enough, and `make bench` stays within a few minutes.
CELL_BUDGET_SECONDS = 20.0
MIN_RUNS = 2
WRITE_CHUNK = 64 << 10
STAMP = rb"\[\d\d:\d\d:\d\d\.\d\d\d\] "  # comterm's --timestamp
LOG_GOAL = 0.8
READ_CHUNK = 1 << 20

# struct termios2 of <asm/termbits.h>: four flag words, c_line, 19 control characters, the input
# and output rates in bits per second. TCGETS2 reports the real rate even when a program set it with
# BOTHER, which the classic tcgetattr() leaves as a flag.
TERMIOS2 = struct.Struct("4IB19s2I")
TCGETS2 = 0x80000000 | (TERMIOS2.size << 16) | (ord("T") << 8) | 0x2A


class BenchError(Exception):
    pass


# ---- payloads ------------------------------------------------------------------------------------

def common_hanzi():
    """The hanzi of GB2312 level 1 (leads 0xB0..0xD7), the common characters of running text."""
    found = []
    for lead in range(0xB0, 0xD8):
        for trail in range(0xA1, 0xFF):
            try:
                char = bytes((lead, trail)).decode("gb2312")
            except UnicodeDecodeError:
                continue
            if char >= "\u4e00":
                found.append(char)
    return found


def finish_payload(lines, size):
    """The lines joined, padded with LF to PAYLOAD_BYTES, then the end mark on a line of its own."""
    text = "".join(lines).encode("utf-8")
    return text + b"\n" * (PAYLOAD_BYTES - size) + END_MARK + b"\n"


def ascii_payload():
    """Log lines of a sensor board, plain ASCII."""
    rng = random.Random(115200)
    levels = ["INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"]
    modules = ["adc", "uart1", "i2c0", "pwr", "net", "ctrl"]
    states = ["OK", "OK", "busy", "retry", "timeout"]
    lines, size, seq = [], 0, 0
    while True:
        seq += 1
        line = ("%02d:%02d:%02d.%03d [%s] %s: seq=%06d temp=%.1f volt=%.3f status=%s "
                "crc=0x%04X\n") % (
            seq // 360000 % 24, seq // 6000 % 60, seq // 100 % 60, seq % 100 * 10,
            rng.choice(levels), rng.choice(modules), seq, 20 + rng.random() * 10,
            3.2 + rng.random() * 0.2, rng.choice(states), rng.randrange(65536))
        if size + len(line) > PAYLOAD_BYTES:
            return finish_payload(lines, size)
        lines.append(line)
        size += len(line)


def mixed_payload():
    """Log-like lines, ASCII words interleaved with short runs of hanzi and Chinese punctuation.
    Only characters with a GBK code, so comterm shows every one."""
    rng = random.Random(936)
    hanzi = common_hanzi()
    words = ["temp=", "23.5", "OK", "status", "0x1F", "rx:", "[INFO]", "ch3", "done", "volt",
             "1013hPa", "err=0"]
    lines, size = [], 0
    while True:
        pieces = []
        for _ in range(4 + rng.randrange(8)):
            if rng.randrange(2) == 0:
                pieces.append(rng.choice(words) + " ")
            else:
                pieces.append("".join(rng.choice(hanzi) for _ in range(2 + rng.randrange(6))))
                pieces.append(rng.choice(["", "", "，", "。"]))
        line = "".join(pieces) + "\n"
        length = len(line.encode("utf-8"))
        if size + length > PAYLOAD_BYTES:
            return finish_payload(lines, size)
        lines.append(line)
        size += length


# ---- process accounting --------------------------------------------------------------------------

def cpu_ns(pid):
    """CPU time the process has used, in ns: the run time of /proc/PID/task/*/schedstat summed over
    its threads (exact), or utime+stime of /proc/PID/stat (10 ms ticks) where that is missing."""
    total, found = 0, False
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as stat:
                total += int(stat.read().split()[0])
                found = True
        except (OSError, ValueError, IndexError):
            pass
    if found:
        return total
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 10**9 // os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    """Voluntary plus involuntary context switches, summed over the process's threads."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(path) as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches:",
                                        "nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except (OSError, ValueError):
            pass
    return total


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


# ---- terminals -----------------------------------------------------------------------------------

def terminal_specs(comterm):
    """(name, command with {tty} for the device path, ready text or None, output kinds) for each
    terminal. Peers: no mapping of what they receive, no local echo, no banners, no reset at exit.
    tio is not run on a pipe: there its output is block-buffered and the last partial block shows
    only when it exits, so the end of a transfer (and any single byte) would never be shown."""
    return [
        ("comterm", [comterm, "-p", "COM3", "-b", str(BAUD)], "打开成功", KINDS),
        # The session log (in the run's folder) and time stamps together: the goal is at least
        # LOG_GOAL of plain comterm's throughput.
        ("comterm+log", [comterm, "-p", "COM3", "-b", str(BAUD), "--log", "session.log",
                         "--timestamp"], "打开成功", KINDS),
        ("picocom", ["picocom", "-q", "-b", str(BAUD), "--noreset", "--imap", "", "--omap", "",
                     "--emap", "", "{tty}"], None, KINDS),
        ("tio", ["tio", "--mute", "-b", str(BAUD), "-m", "", "{tty}"], None, ("pty",)),
    ]


# Not a terminal: cat relaying the device to the screen, the most any terminal can show through
# this harness (its pseudo-terminals and pipes, and this script's own reading).
CEILING_SPEC = ("cat", ["sh", "-c", "stty raw -echo %d <'{tty}' && exec cat '{tty}'" % BAUD], None,
                KINDS)


def line_settings(fd):
    """(local flags, output rate) of the device's line."""
    buffer = bytearray(TERMIOS2.size)
    fcntl.ioctl(fd, TCGETS2, buffer)
    fields = TERMIOS2.unpack(buffer)
    return fields[3], fields[7]


def line_configured(fd):
    lflag, rate = line_settings(fd)
    return rate == BAUD and not lflag & (termios.ICANON | termios.ECHO)


LIVE = []  # every terminal not yet closed, for the clean-up on any way out


class Terminal:
    """One terminal process, its device and its screen (a pty) or pipe. close() undoes it all."""

    def __init__(self, term, kind, folder):
        LIVE.append(self)  # from here on, whatever fails, the clean-up finds all of it
        self.name, command, ready_text, _ = term
        self.kind = kind
        self.process = None
        self.fds = []
        self.link = os.path.join(folder, "COM3")
        self.shown = bytearray()
        self.stderr_path = os.path.join(folder, "%s-%s.stderr" % (self.name, kind))
        # The device. The script keeps its terminal end open too, so that the master never sees a
        # hang-up between terminals. Cooked at 9600 until the terminal under test sets it up.
        self.device, device_tty = self.own(os.openpty())
        os.set_blocking(self.device, False)
        attributes = termios.tcgetattr(device_tty)
        attributes[4] = attributes[5] = termios.B9600
        termios.tcsetattr(device_tty, termios.TCSANOW, attributes)
        tty_path = os.ttyname(device_tty)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(tty_path, self.link)

        screen, screen_tty = self.own(os.openpty())
        fcntl.ioctl(screen_tty, termios.TIOCSWINSZ, struct.pack("4H", 40, 132, 0, 0))
        if kind == "pty":
            self.out, stdout, stderr = screen, screen_tty, screen_tty
        else:
            self.out, stdout = self.own(os.pipe())
            stderr = self.own([os.open(self.stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)])[0]
        os.set_blocking(self.out, False)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": folder,
               "XDG_CONFIG_HOME": folder, "TERM": "xterm", "LANG": "C.UTF-8",
               "COMTERM_DEVICE_DIR": folder}
        if ready_text is None:
            self.ready = None
        else:
            encoding = "utf-8" if kind == "pty" else "gbk"
            self.ready = re.compile(re.escape(ready_text.encode(encoding)) + rb"\r?\n(?:%s)?>>" % STAMP)
        self.started = time.monotonic()
        # A session of its own with the screen as controlling terminal, as in a terminal window;
        # it also keeps a signal the terminal passes to its process group away from this script.
        self.process = subprocess.Popen(
            [arg.replace("{tty}", tty_path) for arg in command], stdin=screen_tty, stdout=stdout,
            stderr=stderr, cwd=folder, env=env, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        for fd in (screen_tty, stdout, stderr):
            self.close_fd(fd)
        self.ready_seconds = self.configured_seconds = None
        self.wait_ready()

    def own(self, fds):
        self.fds.extend(fds)
        return fds

    def close_fd(self, fd):
        if fd in self.fds:
            self.fds.remove(fd)
            os.close(fd)

    def read_screen(self, timeout):
        """Reads what the terminal shows within timeout seconds into self.shown; returns the new
        bytes (b"" when none came). A terminal that has ended is an error."""
        ready, _, _ = select.select([self.out], [], [], max(timeout, 0))
        if not ready:
            return b""
        try:
            chunk = os.read(self.out, READ_CHUNK)
        except BlockingIOError:
            return b""
        except OSError:  # EIO: the pty has no more writer
            chunk = b""
        if not chunk:  # the status says whether a signal (which) or the program itself ended it
            try:
                status = self.process.wait(5)
            except subprocess.TimeoutExpired:
                status = "none yet"
            raise BenchError("%s (%s) ended, status %s%s" % (self.name, self.kind, status,
                                                            self.stderr_text()))
        self.shown += chunk
        return chunk

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as stderr:
                text = stderr.read()[-600:]
        except OSError:
            text = b""
        return "; its standard error: %r" % text if text else "; its screen: %r" % bytes(
            self.shown[-300:])

    def wait_ready(self):
        """Until the terminal has the port open and set up: comterm says so, a peer is quiet and
        only the line's settings tell. Polls those every millisecond."""
        deadline = self.started + READY_SECONDS
        while True:
            now = time.monotonic()
            if self.configured_seconds is None and line_configured(self.device):
                self.configured_seconds = now - self.started
            if self.ready is None:
                if self.configured_seconds is not None:
                    self.ready_seconds = self.configured_seconds
                    break
            else:
                found = self.ready.search(self.shown)
                if found:
                    self.ready_seconds = now - self.started
                    del self.shown[:found.end()]  # the banner: what follows is the device's text
                    break
            if now > deadline:
                raise BenchError("%s (%s) not ready within %.0f s%s" % (
                    self.name, self.kind, READY_SECONDS, self.stderr_text()))
            self.read_screen(0.001)
        # A peer is quiet: anything it showed so far is not the device's text, and is left out.
        if self.ready is None:
            self.shown.clear()

    def close(self):
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for fd in list(self.fds):
            self.close_fd(fd)
        if os.path.lexists(self.link):
            os.unlink(self.link)


def stop_terminal(terminal):
    if terminal in LIVE:
        LIVE.remove(terminal)
    terminal.close()


# ---- measurements --------------------------------------------------------------------------------

def normalised(name, kind, shown):
    text = bytes(shown).replace(b"\r\n", b"\n")
    if name.startswith("comterm") and kind == "pipe":
        text = text.decode("gbk", errors="replace").encode("utf-8")
    return re.sub(rb"(?<=\n)" + STAMP, b"", text) if name == "comterm+log" else text


def log_goal_lines(results):
    """comterm with --log and --timestamp against plain comterm, cell by cell."""
    lines = []
    for cell in ("%s/%s" % (p, k) for p in ("ascii", "mixed") for k in KINDS):
        plain = results["transfer"].get("comterm/" + cell)
        logged = results["transfer"].get("comterm+log/" + cell)
        if plain and logged:
            ratio = logged["mb_per_s"] / plain["mb_per_s"]
            lines.append("goal --log FILE --timestamp >= %.1fx plain comterm, %s: %.2fx, %s" % (
                LOG_GOAL, cell, ratio, "met" if ratio >= LOG_GOAL else "NOT MET"))
    return lines


def check_shown(terminal, payload):
    """A lost, corrupted or extra byte fails the benchmark, with where it went wrong."""
    got = normalised(terminal.name, terminal.kind, terminal.shown)
    if got == payload:
        return
    offset = next((i for i, (a, b) in enumerate(zip(payload, got)) if a != b),
                  min(len(payload), len(got)))
    raise BenchError(
        "%s (%s) showed %d bytes (normalised) where %d were sent; first difference at byte %d\n"
        "  sent  %r\n  shown %r" % (terminal.name, terminal.kind, len(got), len(payload), offset,
                                    payload[max(0, offset - 24):offset + 40],
                                    got[max(0, offset - 24):offset + 40]))


def transfer(terminal, payload):
    """Sends the payload as fast as the device takes it while reading the screen; returns
    (seconds, CPU ns, peak RSS KiB) of the terminal."""
    pid = terminal.process.pid
    poller = select.poll()
    poller.register(terminal.device, select.POLLOUT)
    poller.register(terminal.out, select.POLLIN)
    view = memoryview(payload)
    sent = 0
    cpu_before = cpu_ns(pid)
    start = last_progress = time.monotonic()
    finish = None
    while finish is None:
        for fd, _ in poller.poll(100):
            if fd == terminal.device:
                try:
                    sent += os.write(fd, view[sent:sent + WRITE_CHUNK])
                except BlockingIOError:
                    continue
                last_progress = time.monotonic()
                if sent == len(payload):
                    poller.unregister(fd)
            else:
                before = len(terminal.shown)
                if not terminal.read_screen(0):
                    continue
                last_progress = time.monotonic()
                if terminal.shown.find(END_MARK, max(0, before - len(END_MARK))) >= 0:
                    finish = last_progress
        if finish is None and time.monotonic() - last_progress > STALL_SECONDS:
            check_prefix(terminal, payload)
            raise BenchError("%s (%s): %d of %d bytes sent, %d shown, then nothing for %.0f s" % (
                terminal.name, terminal.kind, sent, len(payload), len(terminal.shown),
                STALL_SECONDS))
    cpu = cpu_ns(pid) - cpu_before
    peak = peak_rss_kib(pid)
    # Whatever follows the end mark (the rest of its line) arrives at once.
    deadline = time.monotonic() + 5
    while not terminal.shown.endswith(b"\n") and time.monotonic() < deadline:
        terminal.read_screen(0.05)
    check_shown(terminal, payload)
    terminal.shown.clear()
    return finish - start, cpu, peak


def check_prefix(terminal, payload):
    got = normalised(terminal.name, terminal.kind, terminal.shown)
    if payload[:len(got)] != got:
        check_shown(terminal, payload)


def idle_cost(terminal):
    """(CPU ns, context switches) of the terminal over IDLE_SECONDS of silence."""
    pid = terminal.process.pid
    terminal.read_screen(0.5)  # settle after start-up
    cpu, switches = cpu_ns(pid), context_switches(pid)
    end = time.monotonic() + IDLE_SECONDS
    while time.monotonic() < end:
        terminal.read_screen(end - time.monotonic())
    if terminal.shown:
        raise BenchError("%s (%s) showed %r with nothing sent" % (
            terminal.name, terminal.kind, bytes(terminal.shown[:100])))
    return cpu_ns(pid) - cpu, context_switches(pid) - switches


def first_byte_latencies(terminal, rng):
    """Seconds from one letter written by the device after >= 200 ms of silence to its display."""
    samples = []
    for index in range(LATENCY_SAMPLES):
        quiet_until = time.monotonic() + rng.uniform(*LATENCY_GAP)
        while time.monotonic() < quiet_until:
            terminal.read_screen(quiet_until - time.monotonic())
        terminal.shown.clear()
        letter = bytes((ord("a") + index % 26,))
        start = time.monotonic()
        os.write(terminal.device, letter)
        while letter not in terminal.shown:
            if time.monotonic() - start > STALL_SECONDS:
                raise BenchError("%s (%s) did not show %r within %.0f s" % (
                    terminal.name, terminal.kind, letter, STALL_SECONDS))
            terminal.read_screen(1.0)
        samples.append(time.monotonic() - start)
        if terminal.shown != letter:
            raise BenchError("%s (%s) showed %r for %r" % (
                terminal.name, terminal.kind, bytes(terminal.shown), letter))
    return samples


def percentile(values, fraction):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


# ---- the run -------------------------------------------------------------------------------------

def run(comterm, repeats, folder, log):
    specs = terminal_specs(comterm)
    names = [term[0] for term in specs]
    payloads = {"ascii": ascii_payload(), "mixed": mixed_payload()}
    for name, payload in payloads.items():
        text = payload.decode("utf-8")
        assert text.encode("gbk").decode("gbk") == text and b"\r" not in payload, name
    results = {"terminals": names, "payload_bytes": {k: len(v) for k, v in payloads.items()},
               "kinds": {term[0]: list(term[3]) for term in specs},
               "transfer": {}, "idle": {}, "startup": {n: [] for n in names},
               "startup_line_set": {n: [] for n in names}, "latency": {}}

    def started(term, kind):
        terminal = Terminal(term, kind, folder)
        results["startup"][term[0]].append(terminal.ready_seconds)
        results["startup_line_set"][term[0]].append(terminal.configured_seconds)
        return terminal

    # Transfers, in alternating rounds so that noise on the shared machine hits every terminal.
    results["ceiling"] = {}
    for payload_name, payload in payloads.items():
        megabytes = len(payload) / 1e6
        for kind in KINDS:
            best = float("inf")
            for _ in range(3):
                terminal = Terminal(CEILING_SPEC, kind, folder)
                try:
                    best = min(best, transfer(terminal, payload)[0])
                finally:
                    stop_terminal(terminal)
            results["ceiling"]["%s/%s" % (payload_name, kind)] = megabytes / best
            log("  harness ceiling (cat) %s %s: %.1f MB/s" % (payload_name, kind,
                                                              megabytes / best))
            cells = {term[0]: [] for term in specs if kind in term[3]}
            for round_index in range(repeats):
                for term in specs:
                    runs = cells.get(term[0])
                    if runs is None or (len(runs) >= MIN_RUNS and sum(
                            r["seconds"] for r in runs) > CELL_BUDGET_SECONDS):
                        continue
                    terminal = started(term, kind)
                    try:
                        seconds, cpu, peak = transfer(terminal, payload)
                    finally:
                        stop_terminal(terminal)
                    runs.append({"seconds": seconds, "cpu_seconds": cpu / 1e9,
                                 "peak_rss_kib": peak})
                    log("  %-7s %-5s %-4s run %d: %7.3f s  %8.2f MB/s  %7.3f CPU s/MB  %6d KiB" % (
                        term[0], payload_name, kind, round_index + 1, seconds,
                        megabytes / seconds, cpu / 1e9 / megabytes, peak))
            for name, runs in cells.items():
                best = min(runs, key=lambda r: r["seconds"])
                results["transfer"]["%s/%s/%s" % (name, payload_name, kind)] = {
                    "runs": runs, "best_seconds": best["seconds"],
                    "mb_per_s": megabytes / best["seconds"],
                    "cpu_s_per_mb": min(r["cpu_seconds"] for r in runs) / megabytes,
                    "peak_rss_kib": max(r["peak_rss_kib"] for r in runs)}

    # Idle cost (pty) and first-byte latency, one terminal process each.
    rng = random.Random(5)
    for kind in KINDS:
        for term in specs:
            if kind not in term[3]:
                continue
            terminal = started(term, kind)
            try:
                if kind == "pty":
                    cpu, switches = idle_cost(terminal)
                    results["idle"][term[0]] = {
                        "seconds": IDLE_SECONDS, "cpu_ms_per_s": cpu / 1e6 / IDLE_SECONDS,
                        "context_switches_per_s": switches / IDLE_SECONDS}
                    log("  %-7s idle: %.3f CPU ms/s, %.1f context switches/s" % (
                        term[0], cpu / 1e6 / IDLE_SECONDS, switches / IDLE_SECONDS))
                samples = first_byte_latencies(terminal, rng)
            finally:
                stop_terminal(terminal)
            median, p99 = statistics.median(samples) * 1e3, percentile(samples, 0.99) * 1e3
            results["latency"]["%s/%s" % (term[0], kind)] = {
                "samples_ms": [s * 1e3 for s in samples], "median_ms": median, "p99_ms": p99}
            log("  %-7s latency %-4s: median %.2f ms, p99 %.2f ms (%d samples)" % (
                term[0], kind, median, p99, len(samples)))
    for name in names:
        values = results["startup"][name]
        results["startup"][name] = {"median_ms": statistics.median(values) * 1e3,
                                    "samples": len(values)}
        results["startup_line_set"][name] = statistics.median(
            results["startup_line_set"][name]) * 1e3
    return results


# ---- the report ----------------------------------------------------------------------------------

def ratio_text(value):
    if value is None:
        return "-"
    if value == 0:
        return "0"
    if value < 0.1:
        return "1/%.0f" % (1 / value)
    return "%.2fx" % value if value < 10 else "%.0fx" % value


def table_rows(results):
    """(label, {terminal: value or None}, format, better): better is "high" or "low"."""
    names = results["terminals"]

    def cell(table, key, field):
        return {n: table[key % n][field] if key % n in table else None for n in names}

    rows = []
    for field, label, form, better in (("mb_per_s", "MB/s shown", "%.2f", "high"),
                                       ("cpu_s_per_mb", "CPU s per MB", "%.4f", "low")):
        for payload in ("ascii", "mixed"):
            for kind in KINDS:
                rows.append(("%s, %s, %s" % (label, payload, kind),
                             cell(results["transfer"], "%%s/%s/%s" % (payload, kind), field),
                             form, better))
    rows.append(("peak RSS MiB, any transfer",
                 {n: max(v["peak_rss_kib"] for k, v in results["transfer"].items()
                         if k.startswith(n + "/")) / 1024 for n in names}, "%.1f", "low"))
    rows.append(("idle CPU ms per s", cell(results["idle"], "%s", "cpu_ms_per_s"), "%.3f",
                 "low"))
    rows.append(("idle context switches per s",
                 cell(results["idle"], "%s", "context_switches_per_s"), "%.1f", "low"))
    rows.append(("start-up ms, median", cell(results["startup"], "%s", "median_ms"), "%.1f",
                 "low"))
    for kind in KINDS:
        for field, label in (("median_ms", "median"), ("p99_ms", "p99")):
            rows.append(("first-byte latency ms, %s, %s" % (kind, label),
                         cell(results["latency"], "%%s/%s" % kind, field), "%.2f", "low"))
    return rows


def markdown_table(results):
    """The table in Markdown, and the ratios: comterm/peer for throughput, peer/comterm for
    costs, so that above 1 comterm is better throughout."""
    peers = [n for n in results["terminals"] if not n.startswith("comterm")]
    header = ["measure"] + results["terminals"] + ["comterm vs %s" % p for p in peers]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    ratios = {}
    for label, values, form, better in table_rows(results):
        cells = [label] + ["n/a" if values[n] is None else form % values[n]
                           for n in results["terminals"]]
        for peer in peers:
            ours, theirs = values["comterm"], values[peer]
            ratio = None
            if ours is not None and theirs is not None:
                if better == "high" and theirs:
                    ratio = ours / theirs
                elif better == "low" and ours:
                    ratio = theirs / ours
            ratios["%s; %s" % (label, peer)] = ratio
            cells.append(ratio_text(ratio))
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("Ceiling of the harness (cat relaying the device), MB/s: " + ", ".join(
        "%s %.1f" % (cell, value) for cell, value in results["ceiling"].items()))
    return "\n".join(lines) + "\n", ratios


def write_plot_data(results, out):
    """Tab-separated tables for bench/performance.gp, one file per panel; "-" marks a cell that
    was not measured."""
    rows = {label: values for label, values, _, _ in table_rows(results)}
    names = results["terminals"]
    panels = {
        "throughput.tsv": [("%s/%s" % (p, k), "MB/s shown, %s, %s" % (p, k))
                           for p in ("ascii", "mixed") for k in KINDS],
        "cpu.tsv": [("%s/%s" % (p, k), "CPU s per MB, %s, %s" % (p, k))
                    for p in ("ascii", "mixed") for k in KINDS],
        "latency.tsv": [("%s %s" % (k, q), "first-byte latency ms, %s, %s" % (k, q))
                        for k in KINDS for q in ("median", "p99")],
        "idle.tsv": [("CPU ms/s", "idle CPU ms per s"),
                     ("context switches/s", "idle context switches per s")],
    }
    for file_name, panel in panels.items():
        # Throughput also shows the harness's ceiling, as a last column.
        ceiling = file_name == "throughput.tsv"
        with open(os.path.join(out, file_name), "w") as data:
            data.write("label\t" + "\t".join(names) + ("\tceiling (cat)" if ceiling else "") + "\n")
            for short, label in panel:
                values = rows[label]
                data.write('"%s"\t' % short + "\t".join(
                    "-" if values[n] is None else "%.6g" % values[n] for n in names))
                data.write("\t%.6g\n" % results["ceiling"][short] if ceiling else "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("comterm")
    parser.add_argument("--out", default=".", help="folder for receive.json, receive.md, *.tsv")
    parser.add_argument("--repeats", type=int, default=3, help="transfer runs per cell (best)")
    parser.add_argument("--quick", action="store_true",
                        help="a try-out: small payloads, one run per cell, few samples")
    args = parser.parse_args()
    comterm = os.path.abspath(args.comterm)
    repeats = 1 if args.quick else max(1, args.repeats)
    if args.quick:
        global PAYLOAD_BYTES, IDLE_SECONDS, LATENCY_SAMPLES
        PAYLOAD_BYTES, IDLE_SECONDS, LATENCY_SAMPLES = 256 << 10, 2.0, 10
    for peer in ("picocom", "tio"):
        if shutil.which(peer) is None:
            print("bench_receive: %s is missing (scripts/install-deps installs it)" % peer,
                  file=sys.stderr)
            return 1
    # SIGTERM and SIGHUP end the script like Ctrl+C does: through the clean-up below.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda signum, _: sys.exit(128 + signum))

    print("receive: comterm vs picocom and tio; %d MiB payloads sent unpaced from a "
          "pseudo-terminal; best of up to %d transfers per cell" % (PAYLOAD_BYTES >> 20, repeats),
          flush=True)
    folder = tempfile.mkdtemp(prefix="comterm-bench-")
    started = time.monotonic()
    try:
        results = run(comterm, repeats, folder, lambda text: print(text, flush=True))
    except BenchError as error:
        print("bench_receive: FAILED: %s" % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("bench_receive: interrupted", file=sys.stderr)
        return 130
    finally:
        for terminal in list(LIVE):
            stop_terminal(terminal)
        shutil.rmtree(folder, ignore_errors=True)
    results["bench_seconds"] = time.monotonic() - started
    results["machine"] = {"cpus": os.cpu_count(), "load_average": os.getloadavg()}
    results["log_goal"] = log_goal_lines(results)
    table, ratios = markdown_table(results)
    results["ratios_comterm_better_above_1"] = ratios
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "receive.json"), "w") as out:
        json.dump(results, out, indent=1)
    with open(os.path.join(args.out, "receive.md"), "w") as out:
        out.write(table)
    write_plot_data(results, args.out)
    print()
    print("Ratios: comterm/peer for MB/s, peer/comterm for costs: above 1, comterm is better.")
    print(table)
    print("\n".join(results["log_goal"]))
    print("bench took %.0f s; load average %.1f %.1f %.1f" % (
        results["bench_seconds"], *results["machine"]["load_average"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
