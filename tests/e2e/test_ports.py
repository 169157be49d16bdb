import fcntl, os, pty, signal, subprocess, termios

import harness
from harness import (LOST, OPEN_FAILED, OPENED, RECONNECTED, check, gbk, port_path, scenario,
                     wait_until)

BY_ID = "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"  # longer than 31 characters
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def by_id_link(h, target):  # a by-id folder of the test's own, its link leading to target
    path = h.tmp + BY_ID
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(target, path)
    return path


def take_number(tty, terminals):  # a new pseudo-terminal into terminals if it is numbered tty
    master, line = pty.openpty()
    if os.ttyname(line) == tty:
        terminals.extend((master, line))
        return True
    os.close(master)
    os.close(line)
    return False


# The link moves to another device between an unplug and a replug, while someone else holds the
# old device's number and sends through it: only the new device may be heard.
@scenario("native")
def by_id_followed_anew(h):
    device = h.device()
    by_id = by_id_link(h, h.link_path(device.name))
    program = h.start(["-p", by_id, "-b", "9600"])
    program.out.expect(OPENED % (by_id, 9600))
    program.settle_keyboard(device)
    old_tty = os.readlink(h.link_path(device.name))
    device.command("unplug")
    program.out.expect(LOST % (by_id, 9600))  # the old device closed: its number is free
    # The kernel frees the number a moment after the last close, then gives it to the next
    # pseudo-terminal made: someone else takes the old device's place.
    terminals = []
    wait_until(lambda: take_number(old_tty, terminals), "a new terminal numbered " + old_tty)
    holder, held = terminals
    os.write(holder, b"HOLDER\n")
    device.command("replug")
    program.out.expect(RECONNECTED % (by_id, 9600))
    device.send(b"device\n")
    before = program.out.expect("device\n")
    check("the holder heard", False, b"HOLDER" in before)
    os.close(holder)
    os.close(held)


def start_as_nobody(h, args):  # comterm by a user with no rights to the devices of root
    os.chmod(h.tmp, 0o755)
    env = dict(os.environ, LANG="zh_CN.GBK", COMTERM_DEVICE_DIR=h.device_dir)
    process = subprocess.Popen(NOBODY + [h.program] + args, env=env, cwd=h.tmp,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    out = harness.Stream(process.stdout.fileno(), "comterm stdout", False)
    err = harness.Stream(process.stderr.fileno(), "comterm stderr", False)
    return process, out, err


# (id, the device's mode, held exclusively by another program, the reason given). The port is
# missing first, then there but refused, then let go: each reason is said once, when it changes.
REASON_ROWS = [("held", 0o666, True, "held by another program"),
               ("refused", 0o600, False, "Permission denied (add your user to the dialout group)")]


@scenario("native", rows=REASON_ROWS)
def why_not_opened(h, mode, exclusive, reason):
    name = h.new_port()
    process, out, err = start_as_nobody(h, ["-p", name, "-b", "9600"])
    try:
        failed = OPEN_FAILED % (port_path(name), 9600)
        out.expect(failed)
        out.expect(failed)
        master, line = pty.openpty()
        os.chmod(os.ttyname(line), mode)
        if exclusive:
            fcntl.ioctl(line, termios.TIOCEXCL)
        os.symlink(os.ttyname(line), h.link_path(name))
        err.expect("comterm: %s: %s\n" % (h.link_path(name), reason))
        out.expect(failed)
        out.expect(failed)
        fcntl.ioctl(line, termios.TIOCNXCL)
        os.chmod(os.ttyname(line), 0o666)
        out.expect(OPENED % (port_path(name), 9600))
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(harness.deadline())
    expected = "comterm: %s: No such file or directory\ncomterm: %s: %s\n" % (
        port_path(name), h.link_path(name), reason)
    err.thread.join(harness.deadline())
    check("standard error", gbk(expected, False), bytes(err.data))
    os.close(master)
    os.close(line)


if __name__ == "__main__":
    harness.main()
