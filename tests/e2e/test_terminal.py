"""The Linux program's terminal and port: given back on every way out that can be caught, never
taken by a standard descriptor closed at the start; and what a person sees on a UTF-8 terminal."""
import os, resource, signal, subprocess, sys, termios, time

import harness
from harness import OPENED, TOOL_TITLE, gbk_pipe, port_path, scenario

resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the fault signals leave no core file
ENDING = "TERM HUP INT QUIT PIPE USR1 USR2 ALRM VTALRM PROF XCPU XFSZ SEGV BUS FPE ILL ABRT TRAP"
# (id, signal): each ending one ends the program, which first gives back its keyboard terminal
# and its port (line settings as they were, no lock left: an ordinary user opens it). A stop
# gives the terminal back until the program is continued.
SIGNAL_ROWS = [(n, getattr(signal, "SIG" + n)) for n in ENDING.split() + ["SYS", "RTMIN", "TSTP"]]


def free_port(h, device):  # the device's terminal side, open to all; its line settings now
    path = os.path.realpath(h.link_path(device.name))
    os.chmod(path, 0o666)
    return path, line_settings(path)


def line_settings(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    settings = termios.tcgetattr(fd)
    os.close(fd)
    return settings


def check_port_given_back(path, settings):
    harness.check("the port opened by an ordinary user", 0, subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable, "-c",
         "import os, sys; os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)", path]).returncode)
    harness.check("the port's line settings", settings, line_settings(path))


@scenario("native", rows=SIGNAL_ROWS)
def given_back_after_signal(h, number):
    device = h.device()
    path, line = free_port(h, device)
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number, signal.SIG_DFL)
    program = h.start(["-p", device.name, "-b", "115200"], group=True)
    signal.signal(number, previous)
    program.expect_opened(device.name, 115200)
    keys = lambda: termios.tcgetattr(program.slave)
    raw = harness.wait_until(lambda: keys() != program.settings and keys(), "raw keys")
    os.kill(program.process.pid, number)
    if number == signal.SIGTSTP:
        harness.wait_until(lambda: keys() == program.settings, "the settings back while stopped")
        # Continued only once stopped, as a shell's fg is: a SIGCONT sent before the stop is lost.
        harness.wait_until(lambda: open("/proc/%d/stat" % program.process.pid).read().rsplit(
            ")", 1)[1].split()[0] == "T", "the program stopped")
        os.kill(program.process.pid, signal.SIGCONT)
        return harness.wait_until(lambda: keys() == raw, "raw keys once continued")
    harness.check("how the program ended", -number, program.process.wait(harness.deadline()))
    harness.check("terminal settings", program.settings, keys())
    check_port_given_back(path, line)


@scenario("native")
def terminal_closed(h):  # ends as on SIGHUP, which closing a terminal need not send
    device = h.device()
    path, line = free_port(h, device)
    program = h.start(["-p", device.name, "-b", "9600"], stdout="pipe")
    program.out.expect(gbk_pipe(OPENED % (port_path(device.name), 9600)))
    harness.wait_until(lambda: termios.tcgetattr(program.slave) != program.settings, "raw keys")
    os.close(program.master)  # the terminal closed
    program.master = os.open(os.devnull, os.O_RDONLY)
    harness.check("how the program ended", -signal.SIGHUP, program.process.wait(harness.deadline()))
    check_port_given_back(path, line)


# (id, descriptor closed at the start): the port must not take its number, where the messages and
# received bytes would go to the device, or keys be read from it.
@scenario("native", rows=[("stdin", 0, "closed", "pty"), ("stdout", 1, "pty", "closed")])
def standard_descriptor_closed(h, fd, stdin, stdout):
    device = h.device()
    program = h.start(["-p", device.name, "-b", "9600"], stdin=stdin, stdout=stdout)
    program.settle_keyboard(device) if fd else program.expect_opened(device.name, 9600)
    harness.check("descriptor %d" % fd, False, os.path.realpath(h.link_path(device.name)) ==
                  os.readlink("/proc/%d/fd/%d" % (program.process.pid, fd)))


def tmux(h, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_CTYPE", "TMUX")}
    return subprocess.run(["tmux", "-S", h.tmp + "/tmux.sock", "-f", "/dev/null", *args], text=True,
                          env=dict(env, LANG="C.UTF-8"), capture_output=True, check=True).stdout


def shows(what, text, get):
    end = time.monotonic() + harness.deadline()
    while text not in (seen := get()):
        assert time.monotonic() < end, "%s: expected %r in\n%s" % (what, text, seen)
        time.sleep(0.05)


@scenario("native")
def utf8_terminal(h):
    device = h.device("测试")  # a name typed in UTF-8, shown as typed
    tmux(h, "new-session", "-d", "-x", "120", "-y", "30", "env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s "
         "%s -p %s -b 9600; sleep 600" % (h.device_dir, h.program, device.name))
    try:
        screen = lambda: tmux(h, "capture-pane", "-p")
        shows("the screen", port_path(device.name) + "(9600) 打开成功", screen)
        shows("the title", port_path(device.name) + "——" + TOOL_TITLE,
              lambda: tmux(h, "display", "-p", "#{pane_title}"))
        device.send("你好，世界！ 温度 25℃\n".encode())
        shows("the screen", "你好，世界！ 温度 25℃", screen)
    finally:
        tmux(h, "kill-server")


if __name__ == "__main__":
    harness.main()
