import os, pty, signal, subprocess, sys, termios

import harness
from harness import OPENED, check, port_path, scenario, wait_until

SANITIZER = os.environ.get("COMTERM_SANITIZER")


# (id, COMTERM_TEST_SIGNAL_AT for signal_shim.c, with a port): a SIGTERM while the terminal's
# settings change still gives them back. Without a port the menus' pause makes the keys raw (call
# 1) and gives them back (call 2); with one the first key read makes them raw, the link running.
@scenario("native", rows=[("raw-begins", "1 after", False), ("pause-ends", "2 before", False),
                          ("link-thread-takes-it", "1 other", True)])
def signal_while_settings_change(h, signal_at, with_port):
    shim = harness.BUILD_DIR + "/tests/e2e/libsignal_shim.so"
    args = []
    if with_port:
        device = h.device()
        args = ["-p", device.name, "-b", "9600"]
    env = {"COMTERM_TEST_SIGNAL_AT": signal_at, "LD_PRELOAD": shim}
    program = h.start(args, env=env, stdout="pipe", group=True)
    if signal_at.startswith("2"):  # a key ends the pause
        wait_until(lambda: termios.tcgetattr(program.slave) != program.settings, "raw keys")
        os.write(program.master, b"k")
    check("how the program ended", -signal.SIGTERM, program.process.wait(harness.deadline()))
    check("terminal settings", program.settings, termios.tcgetattr(program.slave))


# A job-control shell in a session of its own on the terminal (descriptor argv[1]) runs comterm
# (argv[2:]) as a job with SIGTTIN ignored; "bg" or "fg" on its input takes the terminal's
# foreground from it or gives it back, then continues it.
JOB_SHELL = r"""
import fcntl, os, signal, subprocess, sys, termios
tty = int(sys.argv[1])
fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
signal.signal(signal.SIGTTIN, signal.SIG_IGN)


def in_foreground():
    os.setpgid(0, 0)
    os.tcsetpgrp(tty, os.getpid())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)


job = subprocess.Popen(sys.argv[2:], stdin=tty, stdout=tty, pass_fds=(tty,),
                       preexec_fn=in_foreground)
print(job.pid, flush=True)
for line in sys.stdin:
    if line.strip() == "fg":
        os.tcsetpgrp(tty, job.pid)
    else:
        os.tcsetpgrp(tty, os.getpgrp())
    os.killpg(job.pid, signal.SIGCONT)
    print("ok", flush=True)
job.terminate()
job.wait()
"""


def key_arrives(master, device):
    os.write(master, b".")
    return wait_until(device.received, timeout=0.5)


# Continued in the background, the key read fails; brought back, keys reach the device again.
# Without TSan, which runs a handler only once the interrupted read returns: a restarted one never.
@scenario("native")
def background_and_back(h):
    if SANITIZER == "tsan":
        return
    device = h.device()
    master, slave = pty.openpty()
    # The job on a GBK terminal, as the harness runs the program (Python leaves its locale alone).
    env = dict(os.environ, LANG="zh_CN.GBK", COMTERM_DEVICE_DIR=h.device_dir,
               PYTHONCOERCECLOCALE="0")
    shell = subprocess.Popen(
        [sys.executable, "-c", JOB_SHELL, str(slave), h.program, "-p", device.name, "-b", "9600"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=(slave,), env=env, text=True,
        start_new_session=True)
    try:
        out = harness.Stream(master, "comterm stdout")
        pid = int(shell.stdout.readline())
        out.expect(OPENED % (port_path(device.name), 9600))
        wait_until(lambda: key_arrives(master, device), "a typed key to reach the device")
        syscall = lambda: open("/proc/%d/syscall" % pid).read().split()[0]
        reading = wait_until(lambda: syscall() != "running" and syscall(), "the key read")
        for command in ("bg", "fg"):
            shell.stdin.write(command + "\n")
            shell.stdin.flush()
            check("the shell's answer to " + command, "ok\n", shell.stdout.readline())
            if command == "bg":
                wait_until(lambda: syscall() not in (reading, "running"), "the read given up")
        os.write(master, b"back")
        wait_until(lambda: device.received().endswith(b"back"), "keys to reach the device")
    finally:
        shell.stdin.close()
        shell.wait(harness.deadline())
        os.close(slave)
        os.close(master)


if __name__ == "__main__":
    harness.main()
