#!/usr/bin/env python3
r"""A virtual serial device, so that comterm can be tried, tested and measured without hardware: a
pseudo-terminal whose terminal side is published as the symbolic link LINK (e.g.
$COMTERM_DEVICE_DIR/COM3 or $WINEPREFIX/dosdevices/com5), played as a device until quit, SIGTERM,
SIGINT or SIGHUP; LINK is removed on the way out.

Commands, from --script FILE then standard input, one a line (empty lines and # lines skipped), run
one after another; a send is done when its bytes are written to the line:
  send-text TEXT (escapes \n \r \t \e \0 \\ \xHH) | send-hex HEX (E4BDA0, E4 BD A0)
  sleep MS | drain (all queued is written) | wait-open (the program has the port open)
  wait-read (the program has read all sent; needs --hold if it opens the port exclusively)
  unplug (the port hangs up, LINK goes) | replug (a new pseudo-terminal as LINK) | quit
  every-second TEXT (%d: a counter from 1, %%: %) | every-second off
Status lines: "ready LINK TTY", and for each command "ok COMMAND" or "error COMMAND: REASON".
"""

import argparse
import collections
import fcntl
import os
import pathlib
import re
import select
import signal
import struct
import sys
import termios
import time
import tty
import types

NS_PER_MS, NS_PER_S = 1_000_000, 1_000_000_000
HANGUP_RECHECK_NS = 20 * NS_PER_MS  # a master nobody holds reports hang-up on every poll
# wait-read: bytes written to the master reach the terminal side's input queue a moment later (the
# kernel pushes them on from a work queue), so the queue must be seen empty on several looks.
READ_CHECK_NS, READ_CHECKS_NEEDED = 10 * NS_PER_MS, 3

# Everything vdev knows.
dev = types.SimpleNamespace(
    # The line: the published name, the pseudo-terminal, whether the program has it open.
    link="", tty="", master=-1, held=-1, hold=False, peer_open=False, hangup_recheck_at=0,
    # The device's behaviour.
    record=-1, echo=False, quit_byte=-1, quiet=False,
    # Bytes waiting to go out, the once-a-second line.
    out=bytearray(), tick_text=None, tick_counter=1, tick_next=0,
    # Commands waiting, the one running, what it waits for (sleep, drain, wait-open, wait-read)
    # until when, and wait-read's empty looks in a row.
    commands=collections.deque(), command="", step="", step_at=0, empty_looks=0,
    # Standard input and the way out.
    stdin_open=True, stdin_partial=b"", quit_on_eof=False, quit=False, stop_signal=0)


def report(line):
    """A status line, whole and at once: a test waits for it."""
    if not dev.quiet:
        try:
            sys.stdout.buffer.write(line.encode(errors="surrogateescape") + b"\n")
            sys.stdout.flush()
        except OSError:
            pass


# ---- texts of commands

ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|[nrte0\\]|)")
ESCAPED = {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"e": b"\x1b", b"0": b"\0", b"\\": b"\\"}


def unescape(text):
    """Bytes of TEXT with its escapes; any other byte (UTF-8 included) as it is. None when bad."""
    def one(match):
        code = match.group(1)
        if not code:
            raise ValueError
        return bytes([int(code[1:], 16)]) if code[:1] == b"x" else ESCAPED[code]
    try:
        return ESCAPE.sub(one, text.encode(errors="surrogateescape"))
    except ValueError:
        return None


def parse_hex(text):
    """ "E4BDA0", "E4 BD A0": blanks are allowed anywhere. None when not hex bytes."""
    digits = re.sub(r"[ \t]", "", text)
    return bytes.fromhex(digits) if re.fullmatch(r"(?:[0-9A-Fa-f]{2})*", digits) else None


def parse_count(text):
    return int(text) if re.fullmatch(r"[0-9]{1,12}", text) else None


# ---- the line: pseudo-terminal, link, hang-up, replug

def publish_link():
    """Made beside LINK and renamed over it, so a reader never sees a missing or half-made name.
    Something at LINK that is not a symbolic link is left alone."""
    if os.path.lexists(dev.link) and not os.path.islink(dev.link):
        print("vdev: %s exists and is not a symbolic link" % dev.link, file=sys.stderr)
        return False
    temporary = "%s.vdev.%d" % (dev.link, os.getpid())
    try:
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(dev.tty, temporary)
        os.replace(temporary, dev.link)
        return True
    except OSError as error:
        print("vdev: cannot publish %s: %s" % (dev.link, error.strerror), file=sys.stderr)
        if os.path.lexists(temporary):
            os.unlink(temporary)
        return False


def plug():
    dev.master, terminal = os.openpty()
    # Raw from the start, so that bytes sent before the program sets the line up pass unchanged.
    # The master's own side is raw already (termios calls on it reach the terminal side).
    tty.setraw(terminal)
    dev.tty = os.ttyname(terminal)
    # The terminal side is normally left to the program, so that its opening and closing show as
    # hang-up on the master; what is written meanwhile waits in the line's input queue.
    if dev.hold:
        dev.held = terminal
    else:
        os.close(terminal)
    os.set_blocking(dev.master, False)
    dev.peer_open, dev.hangup_recheck_at = dev.hold, 0
    if not publish_link():
        os.close(dev.master)
        dev.master = -1
        return False
    report("ready %s %s" % (dev.link, dev.tty))
    return True


def unplug():
    if dev.master < 0:
        return
    if dev.peer_open:
        read_from_line()  # what the program wrote before the cable went is still recorded
    if dev.held >= 0:
        os.close(dev.held)
        dev.held = -1
    os.close(dev.master)  # hangs up the terminal side: the program's port stops answering
    dev.master, dev.peer_open = -1, False
    if os.path.islink(dev.link) and os.readlink(dev.link) == dev.tty:  # only while it is ours
        os.unlink(dev.link)
    dev.out.clear()


def check_peer(now):
    """Whether the program holds the terminal side (then the master stops reporting hang-up).
    Written bytes are kept by the line meanwhile, so they are pushed on here as well."""
    if dev.master < 0 or dev.peer_open or now < dev.hangup_recheck_at:
        return
    line = select.poll()
    line.register(dev.master, select.POLLIN)
    if any(events & select.POLLHUP for _, events in line.poll(0)):
        write_out()
        dev.hangup_recheck_at = now + HANGUP_RECHECK_NS
    else:
        dev.peer_open = True


def write_out():
    """Writes what the line takes now; a full line keeps the bytes for later."""
    if dev.master < 0 or not dev.out:
        return
    try:
        written = os.write(dev.master, dev.out)
    except OSError:  # EAGAIN: the line is full; EIO: nobody on the other side
        return
    del dev.out[:written]


def read_from_line():
    while True:
        try:
            chunk = os.read(dev.master, 65536)
        except OSError:  # EAGAIN: nothing more now; EIO: the terminal side is closed
            return
        if not chunk:
            return
        view = memoryview(chunk)
        while dev.record >= 0 and view:
            view = view[os.write(dev.record, view):]
        if dev.echo:
            dev.out += chunk
        if dev.quit_byte >= 0 and dev.quit_byte in chunk:
            dev.quit = True
            return


def terminal_input_queued():
    """Bytes sent but not yet read by the program, or why the line cannot be looked at."""
    try:
        fd = dev.held if dev.held >= 0 else os.open(
            dev.tty, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        return "cannot look at the line: " + error.strerror
    try:
        return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
    except OSError as error:
        return "FIONREAD: " + error.strerror
    finally:
        if fd != dev.held:
            os.close(fd)


# ---- the command queue

def start_send(name, argument):
    data = unescape(argument) if name == "send-text" else parse_hex(argument)
    if data is None:
        return "bad escape" if name == "send-text" else "not hex bytes"
    if dev.master < 0:
        return "unplugged, nothing sent"
    dev.out += data
    dev.step = "drain"
    return None


def start(name, argument):
    """Starts one command: None when it is started (or done), else why it failed."""
    count = parse_count(argument)
    match name:
        case "send-text" | "send-hex":
            return start_send(name, argument)
        case "sleep" if count is None:
            return "not a number of milliseconds"
        case "sleep":
            dev.step, dev.step_at = name, time.monotonic_ns() + count * NS_PER_MS
        case "wait-open" | "drain":
            dev.step = name
        case "wait-read" if dev.master < 0:
            return "unplugged"
        case "wait-read":
            dev.step, dev.step_at, dev.empty_looks = name, 0, 0
        case "unplug" | "replug":
            unplug()
            if name == "replug" and not plug():
                return "cannot make or publish the line"
        case "every-second" if argument == "off":
            dev.tick_text = None
        case "every-second" if not argument or unescape(argument) is None:
            return "bad text"
        case "every-second":
            dev.tick_text, dev.tick_counter = unescape(argument), 1
            dev.tick_next = time.monotonic_ns() + NS_PER_S
        case "quit":
            dev.quit = True
        case _:
            return "unknown command"
    return None


def acknowledge(reason):
    report("error %s: %s" % (dev.command, reason) if reason else "ok " + dev.command)


def start_command(line):
    """A command that finishes at once is acknowledged here; one that takes time leaves dev.step
    set and is acknowledged by advance_commands."""
    text = line.rstrip("\r ").lstrip(" \t")
    if not text or text.startswith("#"):
        return
    # Only the one blank after the name separates: the rest, blanks included, is the argument.
    name, _, argument = text.partition(" ")
    dev.command = text
    reason = start(name, argument)
    if reason:
        dev.step = ""
    if reason or not dev.step:
        acknowledge(reason)


def wait_read_result(now):
    if dev.master < 0:
        return "unplugged"
    if dev.out or now < dev.step_at:
        return None
    dev.step_at = now + READ_CHECK_NS
    queued = terminal_input_queued()
    if isinstance(queued, str):
        return queued
    dev.empty_looks = dev.empty_looks + 1 if queued == 0 else 0
    return "" if dev.empty_looks >= READ_CHECKS_NEEDED else None


def step_result(now):
    """None while the running command waits; then "" when it is done, or why it failed."""
    if dev.step == "wait-read":
        return wait_read_result(now)
    done = {"sleep": now >= dev.step_at, "wait-open": dev.peer_open,
            "drain": dev.master < 0 or not dev.out}[dev.step]
    return "" if done else None


def advance_commands():
    while not dev.quit:
        if dev.step:
            result = step_result(time.monotonic_ns())
            if result is None:
                return
            dev.step = ""
            acknowledge(result)
        if not dev.commands:
            return
        start_command(dev.commands.popleft())


def send_tick(now):
    if dev.tick_text is None or now < dev.tick_next:
        return
    counter = str(dev.tick_counter).encode()
    line = re.sub(rb"%[d%]", lambda m: counter if m.group() == b"%d" else b"%", dev.tick_text)
    if dev.master >= 0:  # an unplugged device keeps counting; its lines are lost
        dev.out += line
    dev.tick_counter += 1
    dev.tick_next += NS_PER_S
    if dev.tick_next <= now:
        dev.tick_next = now + NS_PER_S


# ---- options, scripts and standard input

def take_lines(data, partial=b"", last=False):
    """Queues the whole lines of partial + data; returns the unfinished rest (queued if last)."""
    lines = (partial + data).split(b"\n")
    rest = lines.pop()
    if last and rest:
        lines.append(rest)
    dev.commands.extend(line.decode(errors="surrogateescape") for line in lines)
    return b"" if last else rest


def read_stdin():
    try:
        data = os.read(0, 16384)
    except BlockingIOError:
        return
    except OSError:
        data = b""
    dev.stdin_partial = take_lines(data, dev.stdin_partial, last=not data)
    if not data:
        dev.stdin_open = False
        if dev.quit_on_eof:  # what came before the end is carried out, sent data written first
            dev.commands.extend(["drain", "quit"])


def opened(how):
    """An option's file, opened by how(path); a failure is a usage error."""
    def open_it(path):
        try:
            return how(path)
        except OSError as error:
            raise argparse.ArgumentTypeError("%s: %s" % (path, error.strerror))
    return open_it


def one_byte(text):
    byte = parse_hex(text)
    if byte is None or len(byte) != 1:
        raise argparse.ArgumentTypeError("one hex byte, e.g. 71")
    return byte[0]


def parse_options():
    parser = argparse.ArgumentParser(prog="vdev", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add = parser.add_argument
    add("link", metavar="LINK")
    add("--record", metavar="FILE", default=-1, help="append every received byte to FILE at once",
        type=opened(lambda path: os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)))
    add("--echo", action="store_true", help="send every received byte back")
    add("--quit-on-byte", metavar="HEX", type=one_byte, default=-1,
        help="quit when this byte (e.g. 71 for q) is received")
    add("--script", metavar="FILE", type=opened(lambda path: pathlib.Path(path).read_bytes()),
        help="run the commands in FILE first")
    add("--no-stdin", action="store_true", help="read no commands from standard input")
    add("--quit-on-eof", action="store_true",
        help="quit once standard input has ended and its commands are done")
    add("--hold", action="store_true", help="keep the terminal side open as well: the line never "
        "hangs up for vdev (wait-open returns at once)")
    add("--quiet", action="store_true", help="no status lines")
    options = parser.parse_args()
    dev.link, dev.record, dev.echo = options.link, options.record, options.echo
    dev.quit_byte, dev.hold, dev.quiet = options.quit_on_byte, options.hold, options.quiet
    dev.quit_on_eof, dev.stdin_open = options.quit_on_eof, not options.no_stdin
    if options.script is not None:
        take_lines(options.script, last=True)


# ---- the poll loop

def poll_timeout(now):
    """Milliseconds until the next thing that is due, -1 when nothing is."""
    if dev.step not in ("", "wait-read") and step_result(now) is not None:
        return 0
    due = [dev.step_at] if dev.step == "sleep" or (dev.step == "wait-read" and not dev.out) else []
    due += [dev.tick_next] if dev.tick_text is not None else []
    due += [dev.hangup_recheck_at] if dev.master >= 0 and not dev.peer_open else []
    return max(0, -((now - min(due)) // NS_PER_MS)) if due else -1  # rounded up: never too early


def on_stop_signal(number, _):
    dev.stop_signal = number


def run():
    # A signal writes to this pipe, so that a poll started just before it returns at once.
    wake_read, wake_write = os.pipe()
    os.set_blocking(wake_write, False)
    signal.set_wakeup_fd(wake_write)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, on_stop_signal)
    if not plug():
        return 1
    while not dev.quit and not dev.stop_signal:
        now = time.monotonic_ns()
        check_peer(now)
        send_tick(now)
        advance_commands()
        if dev.quit:
            break
        if dev.peer_open:
            write_out()
        watched = select.poll()
        watched.register(wake_read, select.POLLIN)
        line = dev.master if dev.peer_open else -1
        if line >= 0:
            watched.register(line, select.POLLIN | (select.POLLOUT if dev.out else 0))
        if dev.stdin_open:
            watched.register(0, select.POLLIN)
        ready = dict(watched.poll(poll_timeout(now)))
        if ready.get(line, 0) & select.POLLIN:
            read_from_line()
        if ready.get(line, 0) & select.POLLOUT:
            write_out()
        if ready.get(line, 0) & select.POLLHUP:
            dev.peer_open = False
            dev.hangup_recheck_at = time.monotonic_ns() + HANGUP_RECHECK_NS
        if 0 in ready and dev.stdin_open:
            read_stdin()
    return 128 + dev.stop_signal if dev.stop_signal else 0


def main():
    parse_options()
    try:
        return run()
    finally:
        unplug()


if __name__ == "__main__":
    sys.exit(main())
