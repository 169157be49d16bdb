#!/usr/bin/env python3
"""End-to-end receive benchmark: how fast the Linux program shows what a device sends, against
picocom (a general-purpose serial terminal, run only as a peer) on the same virtual device, in the
same run.

The device is tools/vdev.py, a pseudo-terminal published as $COMTERM_DEVICE_DIR/COM3; picocom is
given the terminal the link points at. Each terminal runs with its standard output on a pipe that
this script reads, and its standard input on a pipe that stays open and silent. Once the terminal
says its port is ready, vdev sends a 4 MiB corpus of mixed Chinese/ASCII UTF-8 lines, unpaced, and
the clock runs until the last expected byte has come out of the terminal: comterm shows GBK (on a
pipe the bytes go out unconverted), picocom passes the bytes through. Every byte is checked: a lost
or corrupted byte fails the run. Peak memory is the process's VmHWM just before it is stopped.

usage: bench_receive.py COMTERM VDEV
"""

import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CORPUS_BYTES = 4 << 20
REPEATS = 3
BAUD = 115200
START_SECONDS = 30.0  # generous: the machine is shared
STALL_SECONDS = 30.0  # no byte at all for this long means the rest is not coming
# What each terminal prints once its port is open and set up; what follows is the device's text.
COMTERM_READY = re.compile(re.escape("打开成功\n>>".encode("gbk")))
PICOCOM_READY = re.compile(re.escape(b"Terminal ready\r\n"))


class BenchError(Exception):
    pass


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


def mixed_corpus():
    """Log-like lines, ASCII words interleaved with short runs of hanzi, CORPUS_BYTES of UTF-8.
    Only ASCII and GB2312 hanzi, so every character has a GBK code and is shown."""
    rng = random.Random(936)
    hanzi = common_hanzi()
    words = ["temp=", "23.5", "OK", "status", "0x1F", "rx:", "[INFO]", "ch3", "done", "volt",
             "1013hPa", "err=0"]
    lines, size = [], 0
    while size + 256 < CORPUS_BYTES:
        pieces = []
        for _ in range(4 + rng.randrange(8)):
            if rng.randrange(2) == 0:
                pieces.append(rng.choice(words) + " ")
            else:
                pieces.append("".join(rng.choice(hanzi) for _ in range(2 + rng.randrange(6))))
        line = "".join(pieces) + "\r\n"
        lines.append(line)
        size += len(line.encode("utf-8"))
    lines.append("\n" * (CORPUS_BYTES - size))
    return "".join(lines)


def read_some(fd, timeout):
    """Bytes from fd within timeout seconds: b"" at its end, None when nothing came."""
    ready, _, _ = select.select([fd], [], [], max(timeout, 0))
    return os.read(fd, 1 << 20) if ready else None


def read_until(fd, pattern, what, buffer):
    """Reads fd into buffer until pattern matches; returns the offset after the match."""
    end = time.monotonic() + START_SECONDS
    while True:
        found = pattern.search(buffer)
        if found:
            return found.end()
        chunk = read_some(fd, end - time.monotonic())
        if not chunk:
            raise BenchError("%s: no %r within %.0f s (%s); got %r" % (
                what, pattern.pattern, START_SECONDS, "ended" if chunk == b"" else "silent",
                bytes(buffer[-300:])))
        buffer += chunk


def first_difference(expected, got):
    for offset in range(min(len(expected), len(got))):
        if expected[offset] != got[offset]:
            return offset
    return min(len(expected), len(got))


def check_shown(name, expected, got):
    """A lost, corrupted or extra byte fails the benchmark, with where it went wrong."""
    if got == expected:
        return
    offset = first_difference(expected, got)
    raise BenchError(
        "%s showed %d bytes where %d were expected; first difference at byte %d\n"
        "  expected %r\n  got      %r" % (name, len(got), len(expected), offset,
                                         expected[max(0, offset - 16):offset + 32],
                                         got[max(0, offset - 16):offset + 32]))


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def stop(process):
    """Ends a child (SIGTERM, then SIGKILL after 5 s) and closes our ends of its pipes."""
    if process is None:
        return
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for pipe in (process.stdin, process.stdout):
        if pipe is not None:
            try:
                pipe.close()
            except OSError:
                pass


def vdev_command(device, line, status):
    """Sends one command to vdev; for a command that finishes at once, waits for its "ok"."""
    device.stdin.write(line.encode() + b"\n")
    device.stdin.flush()
    if line.startswith("send-file"):
        return  # finished only once the line has taken every byte: the clock is running
    read_until(device.stdout.fileno(), re.compile(re.escape(b"ok " + line.encode() + b"\n")),
               "vdev", status)


def run_once(terminal_spec, vdev, folder, corpus_path):
    """One transfer through one terminal; returns (seconds, peak RSS in KiB)."""
    name, args, ready_pattern, expected = terminal_spec
    link = os.path.join(folder, "COM3")
    device = terminal = None
    keys_read, keys_write = os.pipe()
    stderr_path = os.path.join(folder, name + ".stderr")
    try:
        # Each child in a session of its own: picocom passes a deadly signal on to its whole process
        # group, which would otherwise include this script and make.
        device = subprocess.Popen([vdev, link], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        status = bytearray()
        ready = re.compile(rb"ready \S+ (\S+)\n")
        read_until(device.stdout.fileno(), ready, "vdev", status)
        tty = ready.search(status).group(1).decode()
        # LANG names a GBK locale, so even a terminal on standard error would not make the
        # platform layer convert; standard output is a pipe, which it never converts.
        env = dict(os.environ, COMTERM_DEVICE_DIR=folder, LANG="zh_CN.GBK")
        env.pop("LC_ALL", None)
        env.pop("LC_CTYPE", None)
        command = [arg.replace("{tty}", tty) for arg in args]
        with open(stderr_path, "wb") as stderr:
            terminal = subprocess.Popen(command, stdin=keys_read, stdout=subprocess.PIPE,
                                        stderr=stderr, cwd=folder, env=env,
                                        start_new_session=True)
        os.close(keys_read)
        keys_read = -1
        vdev_command(device, "wait-open", status)
        out_fd = terminal.stdout.fileno()
        shown = bytearray()
        start_of_data = read_until(out_fd, ready_pattern, name, shown)
        wanted = start_of_data + len(expected)

        start = time.monotonic()
        vdev_command(device, "send-file " + corpus_path, status)
        finish = start
        while len(shown) < wanted:
            chunk = read_some(out_fd, STALL_SECONDS)
            if not chunk:
                got = bytes(shown[start_of_data:])
                check_shown(name, expected[:len(got)], got)
                raise BenchError("%s showed %d of %d bytes (all correct so far), then %s" % (
                    name, len(got), len(expected),
                    "ended" if chunk == b"" else "nothing for %.0f s" % STALL_SECONDS))
            shown += chunk
            finish = time.monotonic()
        peak = peak_rss_kib(terminal.pid)
        check_shown(name, expected, bytes(shown[start_of_data:]))
        return finish - start, peak
    except BenchError:
        if terminal is not None and os.path.exists(stderr_path):
            with open(stderr_path, "rb") as stderr:
                text = stderr.read()
            if text:
                print("%s standard error: %r" % (name, text[-600:]), file=sys.stderr)
        raise
    finally:
        stop(terminal)
        stop(device)  # vdev removes its link on SIGTERM
        if os.path.lexists(link):
            os.unlink(link)
        for fd in (keys_read, keys_write):
            if fd >= 0:
                os.close(fd)


def main():
    if len(sys.argv) != 3:
        print("usage: bench_receive.py COMTERM VDEV", file=sys.stderr)
        return 2
    comterm, vdev = (os.path.abspath(path) for path in sys.argv[1:])
    picocom = shutil.which("picocom")
    if picocom is None:
        print("bench_receive: picocom is missing (scripts/install-deps installs it)",
              file=sys.stderr)
        return 1
    # A SIGTERM still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))

    text = mixed_corpus()
    utf8, gbk = text.encode("utf-8"), text.encode("gbk")
    terminals = [
        ("comterm", [comterm, "-p", "COM3", "-b", str(BAUD)], COMTERM_READY, gbk),
        # No mappings either way, no reset of the line at exit; its own keys stay silent.
        ("picocom", [picocom, "-b", str(BAUD), "--noreset", "--imap", "", "--omap", "",
                     "--emap", "", "{tty}"], PICOCOM_READY, utf8),
    ]
    print("receive: comterm vs picocom, %d MiB mixed UTF-8 unpaced from a virtual device, "
          "best time of %d runs, highest peak RSS" % (len(utf8) >> 20, REPEATS))
    folder = tempfile.mkdtemp(prefix="comterm-bench-")
    best = {terminal[0]: (float("inf"), 0) for terminal in terminals}
    try:
        corpus_path = os.path.join(folder, "corpus.txt")
        with open(corpus_path, "wb") as corpus:
            corpus.write(utf8)
        # Alternating rounds, so that noise on the shared machine hits both alike.
        for _ in range(REPEATS):
            for terminal in terminals:
                seconds, peak = run_once(terminal, vdev, folder, corpus_path)
                best[terminal[0]] = (min(best[terminal[0]][0], seconds), max(best[terminal[0]][1], peak))
    except BenchError as error:
        print("bench_receive: FAILED: %s" % error, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    mb = len(utf8) / 1e6
    for name, _, _, expected in terminals:
        seconds, peak = best[name]
        print("%-8s %8.3f s  %8.2f MB/s  %8d bytes shown  peak RSS %6d KiB" % (
            name, seconds, mb / seconds, len(expected), peak))
    comterm_s, comterm_rss = best["comterm"]
    picocom_s, picocom_rss = best["picocom"]
    print("throughput comterm/picocom  %6.3fx" % (picocom_s / comterm_s))
    print("peak RSS   comterm/picocom  %6.2fx" % (comterm_rss / picocom_rss))
    return 0


if __name__ == "__main__":
    sys.exit(main())
