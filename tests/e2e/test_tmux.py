"""What a person sees on a UTF-8 terminal (tmux): the window title, Chinese text, and a terminal
given back as it was when the program is killed. Linux program only."""

import os
import shlex
import shutil
import signal
import subprocess
import time

import harness
from harness import TOOL_TITLE, port_path, scenario


class Tmux:
    """A tmux server of the scenario's own (its own socket), on a UTF-8 locale."""

    def __init__(self, h):
        if shutil.which("tmux") is None:
            harness.skip("tmux is not installed")
        self.h = h
        self.socket = os.path.join(h.tmp, "tmux.sock")
        self.env = dict(os.environ, LANG="C.UTF-8")
        for name in ("LC_ALL", "LC_CTYPE", "TMUX", "POSIXLY_CORRECT"):
            self.env.pop(name, None)

    def run(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null"] + list(args),
                              env=self.env, capture_output=True, check=True).stdout.decode()

    def start(self, session, shell_command):
        self.run("new-session", "-d", "-s", session, "-c", self.h.tmp, "-x", "120", "-y", "30",
                 shell_command)

    def program_command(self, name):
        return "env LANG=C.UTF-8 COMTERM_DEVICE_DIR=%s %s -p %s -b 9600" % (
            shlex.quote(self.h.device_dir), shlex.quote(self.h.program), name)

    def screen(self):
        return self.run("capture-pane", "-p", "-t", "main")

    def wait_screen(self, text, what):
        end = time.monotonic() + harness.deadline_seconds()
        while time.monotonic() < end:
            if text in self.screen():
                return
            time.sleep(0.05)
        raise harness.Failure("%s: %r not on the screen within %.0f s; the screen:\n%s"
                              % (what, text, harness.deadline_seconds(), self.screen()))

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], env=self.env,
                       capture_output=True)


def wait_file(path, what):
    end = time.monotonic() + harness.deadline_seconds()
    while time.monotonic() < end:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            with open(path) as content:
                return content.read().strip()
        time.sleep(0.05)
    raise harness.Failure("%s: %s was not written" % (what, path))


@scenario("native")
def title_and_chinese_on_utf8_terminal(h):
    tmux = Tmux(h)
    try:
        device = h.device()
        tmux.start("main", tmux.program_command(device.name))
        tmux.wait_screen(">>串口 %s(9600) 打开成功" % port_path(device.name), "open message")
        title = tmux.run("display", "-p", "-t", "main", "#{pane_title}").rstrip("\n")
        harness.check(title == port_path(device.name) + "——" + TOOL_TITLE,
                      "window title is %r" % title)
        device.send("你好，世界！ 温度 25℃\n".encode())
        tmux.wait_screen("你好，世界！ 温度 25℃", "Chinese text received as UTF-8")
    finally:
        tmux.close()


@scenario("native")
def terminal_restored_after_kill(h):
    tmux = Tmux(h)
    try:
        device = h.device()
        for signal_number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
            what = "after %s" % signal.Signals(signal_number).name
            files = {key: os.path.join(h.tmp, "%s-%d" % (key, signal_number))
                     for key in ("before", "after", "pid")}
            # The shell notes the terminal's settings, runs the program in the foreground (its
            # process number noted), and notes the settings again once the program is gone.
            session = "killed-by-%d" % signal_number
            tmux.start(session, "stty -g > {before}; sh -c 'echo $$ > {pid}; exec {program}'; "
                       "stty -g > {after}; sleep 60".format(
                           program=tmux.program_command(device.name).replace("'", "'\\''"),
                           **files))
            before = wait_file(files["before"], what)
            pid = int(wait_file(files["pid"], what))
            tty = tmux.run("display", "-p", "-t", session, "#{pane_tty}").strip()
            # The program has the terminal in its key-reading mode before it is killed.
            end = time.monotonic() + harness.deadline_seconds()
            while subprocess.run(["stty", "-g", "-F", tty], capture_output=True,
                                 text=True).stdout.strip() == before:
                harness.check(time.monotonic() < end, "%s: the terminal never left its "
                              "settings while the program ran" % what)
                time.sleep(0.05)
            os.kill(pid, signal_number)
            after = wait_file(files["after"], what)
            harness.check(after == before, "%s: terminal settings not restored\n    before %s\n"
                          "    after  %s" % (what, before, after))
            tmux.run("kill-session", "-t", session)
    finally:
        tmux.close()


if __name__ == "__main__":
    harness.main()
