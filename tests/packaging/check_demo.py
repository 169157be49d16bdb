#!/usr/bin/env python3
"""`make demo` as a newcomer runs it, in a real terminal (tmux): the device's lines appear, typed
keys come back as its echo, the key q ends the demo and its device folder is gone; and a terminal
closed under make (which waits for what it runs: no hang-up signal reaches the demo) leaves nothing.
usage: check_demo.py SOURCE_DIR BUILD_DIR"""
import os, re, subprocess, sys, time

source_dir, build_dir = sys.argv[1:3]
socket = "/tmp/comterm-demo-%d" % os.getpid()
tmux = lambda *args: subprocess.run(["tmux", "-S", socket, "-f", "/dev/null", *args],
                                    capture_output=True, text=True).stdout
demo = "env -u MAKEFLAGS -u MAKELEVEL LANG=C.UTF-8 make -C %s -o demo-deps -o program demo " \
       "BUILD_DIR=%s" % (source_dir, os.path.relpath(build_dir, source_dir))


def wait(what, done):  # done's result once true, or a failure after a generous while
    end = time.monotonic() + 60 * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))
    while not (result := done()):
        if time.monotonic() > end:
            sys.exit("FAIL: " + what())
        time.sleep(0.1)
    return result


def shown(pattern):
    return wait(lambda: "%r not shown on the screen:\n%s" % (pattern, tmux("capture-pane", "-p")),
                lambda: re.search(pattern, tmux("capture-pane", "-p", "-J")))


def start(command):  # in a new terminal, until the device's first line shows
    tmux("kill-server")
    tmux("new-session", "-d", "-x", "120", "-y", "40", command)
    shown(r"device counter 1")


try:
    start(demo + "; sleep 600")  # the screen stays when the demo ends
    tmux("send-keys", "-l", "xyz")
    shown(r"xyz")
    tmux("send-keys", "q")
    folder = shown(r"demo: ended; the virtual device and (\S+) are gone\.").group(1)
    if os.path.exists(folder):
        sys.exit("FAIL: the device folder %s is left behind" % folder)
    start(demo)
    tty = tmux("display", "-p", "#{pane_tty}").strip()[len("/dev/"):]
    pids = subprocess.run(["pgrep", "-t", tty], capture_output=True, text=True).stdout.split()
finally:
    tmux("kill-server")
    os.path.exists(socket) and os.unlink(socket)


def alive():  # (pid, command line) of each process left, zombies aside
    ps = subprocess.run(["ps", "-o", "pid=,stat=,args=", "-p", ",".join(pids) or "0"],
                        capture_output=True, text=True).stdout.splitlines()
    return [(pid, args) for pid, stat, args in (line.split(None, 2) for line in ps) if stat[0] != "Z"]


try:
    wait(lambda: "left running after the terminal closed: %s of %s" % (alive(), pids),
         lambda: pids and not alive())
finally:
    [os.kill(int(pid), 15) for pid, _ in alive()]
