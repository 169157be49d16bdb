"""The Linux program's terminal: its settings given back on every way out that can be caught, and
what a person sees on a UTF-8 terminal (tmux)."""
import os, signal, subprocess, termios, time

import harness
from harness import TOOL_TITLE, port_path, scenario

# (id, signal): each ends the program, which first gives its keyboard terminal back as it was.
SIGNAL_ROWS = [(s.name, s) for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT)]


@scenario("native", rows=SIGNAL_ROWS)
def settings_back_after_signal(h, number):
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number, signal.SIG_DFL)
    program = h.start(["-p", h.new_port(), "-b", "9600"])  # no device: the keys still go raw
    signal.signal(number, previous)
    harness.wait_until(lambda: not termios.tcgetattr(program.slave)[3] & termios.ICANON, "raw keys")
    os.kill(program.process.pid, number)
    harness.check("how the program ended", -number, program.process.wait(harness.deadline()))
    harness.check("terminal settings", program.settings, termios.tcgetattr(program.slave))


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
    device = h.device()
    tmux(h, "new-session", "-d", "-x", "120", "-y", "30", "env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s "
         "%s -p %s -b 9600; sleep 600" % (h.device_dir, h.program, device.name))
    try:
        screen = lambda: tmux(h, "capture-pane", "-p")
        shows("the screen", "打开成功", screen)
        shows("the title", port_path(device.name) + "——" + TOOL_TITLE,
              lambda: tmux(h, "display", "-p", "#{pane_title}"))
        device.send("你好，世界！ 温度 25℃\n".encode())
        shows("the screen", "你好，世界！ 温度 25℃", screen)
    finally:
        tmux(h, "kill-server")


if __name__ == "__main__":
    harness.main()
