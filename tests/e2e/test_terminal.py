"""The Linux program's terminal and port: given back on every way out that can be caught, never
taken by a standard descriptor closed at the start; and what a person sees on a UTF-8 terminal."""
import os, resource, signal, subprocess, sys, termios

import harness
from harness import TOOL_TITLE, check, deadline, port_path, scenario, wait_until

resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the fault signals leave no core file
ENDING = "TERM HUP INT QUIT PIPE USR1 USR2 ALRM VTALRM PROF XCPU XFSZ SEGV BUS FPE ILL ABRT TRAP SYS"
# (id, signal): each ending one ends the program, which first gives back its keyboard terminal and
# its port (line settings as they were, no lock left: an ordinary user opens it); a stop gives the
# terminal back until the program is continued. None: the terminal closes, which ends it as SIGHUP
# does (closing need not send it).
SIGNAL_ROWS = [(n, getattr(signal, "SIG" + n)) for n in ENDING.split() + ["RTMIN", "TSTP"]] + [
    ("terminal-closed", None)]


def line_settings(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    settings = termios.tcgetattr(fd)
    os.close(fd)
    return settings


@scenario("native", rows=SIGNAL_ROWS)
def given_back(h, number):
    device = h.device()
    path = os.path.realpath(h.link_path(device.name))
    os.chmod(path, 0o666)
    line = line_settings(path)
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number or signal.SIGHUP, signal.SIG_DFL)
    # Standard output into a pipe: closing the terminal's master closes it (no reader holds a copy).
    program = h.start(["-p", device.name, "-b", "115200"], stdout="pipe", group=True)
    signal.signal(number or signal.SIGHUP, previous)
    program.expect_opened(device.name, 115200)
    keys = lambda: termios.tcgetattr(program.slave)
    raw = wait_until(lambda: keys() != program.settings and keys(), "raw keys")
    if number is None:
        os.close(program.master)
        program.master = os.open(os.devnull, os.O_RDONLY)  # for stop() to close
    else:
        os.kill(program.process.pid, number)
    if number == signal.SIGTSTP:
        wait_until(lambda: keys() == program.settings, "the settings back while stopped")
        # Continued only once stopped, as a shell's fg is: a SIGCONT sent before the stop is lost.
        wait_until(lambda: open("/proc/%d/stat" % program.process.pid).read().rsplit(
            ")", 1)[1].split()[0] == "T", "the program stopped")
        os.kill(program.process.pid, signal.SIGCONT)
        return wait_until(lambda: keys() == raw, "raw keys once continued")
    check("how the program ended", -(number or signal.SIGHUP), program.process.wait(deadline()))
    number and check("terminal settings", program.settings, keys())
    check("the port opened by an ordinary user", 0, subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable, "-c",
         "import os, sys; os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)", path]).returncode)
    check("the port's line settings", line, line_settings(path))


# (id, descriptor closed at the start): the port must not take its number, where the messages and
# received bytes would go to the device, or keys be read from it.
@scenario("native", rows=[("stdin", 0, "closed", "pty"), ("stdout", 1, "pty", "closed")])
def standard_descriptor_closed(h, fd, stdin, stdout):
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin=stdin, stdout=stdout)
    program.settle_keyboard(device) if fd else program.expect_opened(device.name, 9600)
    check("descriptor %d" % fd, False, os.path.realpath(h.link_path(device.name)) ==
          os.readlink("/proc/%d/fd/%d" % (program.process.pid, fd)))


@scenario("native")
def utf8_terminal(h):
    env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_CTYPE", "TMUX")}
    tmux = lambda *args: subprocess.run(
        ["tmux", "-S", h.tmp + "/tmux.sock", "-f", "/dev/null", *args], text=True, check=True,
        env=dict(env, LANG="C.UTF-8"), capture_output=True).stdout
    device = h.device("测试")  # a name typed in UTF-8, shown as typed
    tmux("new-session", "-d", "-x", "120", "-y", "30", "env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s "
         "%s -p %s -b 9600; sleep 600" % (h.device_dir, h.program, device.name))
    try:
        wait_until(lambda: port_path(device.name) + "(9600) 打开成功" in tmux("capture-pane", "-p"),
                   "the open message on the screen")
        wait_until(lambda: port_path(device.name) + "——" + TOOL_TITLE in tmux(
            "display", "-p", "#{pane_title}"), "the port in the title")
        device.send("你好，世界！ 温度 25℃\n".encode())
        wait_until(lambda: "你好，世界！ 温度 25℃" in tmux("capture-pane", "-p"), "the text shown")
    finally:
        tmux("kill-server")


if __name__ == "__main__":
    harness.main()
