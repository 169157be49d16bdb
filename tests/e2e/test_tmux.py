"""What a person sees on a UTF-8 terminal (tmux): the title, Chinese text, and the terminal given
back after SIGTERM. Linux program only."""

import os
import signal
import subprocess
import time

import harness
from harness import TOOL_TITLE, port_path, scenario


def tmux(h, *args):
    env = dict(os.environ, LANG="C.UTF-8")
    for name in ("LC_ALL", "LC_CTYPE", "TMUX"):
        env.pop(name, None)
    return subprocess.run(["tmux", "-S", h.tmp + "/tmux.sock", "-f", "/dev/null"] + list(args),
                          env=env, capture_output=True, check=True, text=True).stdout.strip()


def wait_until(what, condition):
    end = time.monotonic() + harness.deadline()
    while not condition():
        assert time.monotonic() < end, what
        time.sleep(0.05)


def on_screen(h, text):
    wait_until(text + " on the screen", lambda: text in tmux(h, "capture-pane", "-p"))


def written(path):
    wait_until(path + " written", lambda: os.path.exists(path) and os.path.getsize(path) > 0)
    with open(path) as content:
        return content.read().strip()


@scenario("native")
def utf8_terminal(h):
    device = h.device()
    before, after, pid = (h.tmp + name for name in ("/before", "/after", "/pid"))
    # The shell notes the terminal's settings, runs the program (noting its process number), and
    # notes the settings again once the program is gone.
    tmux(h, "new-session", "-d", "-s", "main", "-x", "120", "-y", "30",
         "stty -g >%s; sh -c 'echo $$ >%s; exec env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s %s -p %s "
         "-b 9600'; stty -g >%s; sleep 60" % (before, pid, h.device_dir, h.program, device.name,
                                              after))
    try:
        on_screen(h, "打开成功")
        title = tmux(h, "display", "-p", "-t", "main", "#{pane_title}")
        assert title == port_path(device.name) + "——" + TOOL_TITLE, title
        device.send("你好，世界！ 温度 25℃\n".encode())
        on_screen(h, "你好，世界！ 温度 25℃")
        settings = written(before)
        tty = tmux(h, "display", "-p", "-t", "main", "#{pane_tty}")
        wait_until("the program's own terminal settings", lambda: subprocess.run(
            ["stty", "-g", "-F", tty], capture_output=True, text=True).stdout.strip() != settings)
        os.kill(int(written(pid)), signal.SIGTERM)
        assert written(after) == settings, "terminal settings not restored"
    finally:
        tmux(h, "kill-server")


if __name__ == "__main__":
    harness.main()
