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


def shown(pattern):
    end = time.monotonic() + 60 * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))
    while not (found := re.search(pattern, screen := tmux("capture-pane", "-p", "-J"))):
        if time.monotonic() > end:
            sys.exit("FAIL: %r not shown on the screen:\n%s" % (pattern, screen))
        time.sleep(0.1)
    return found


tmux("new-session", "-d", "-x", "120", "-y", "40", "BUILD_DIR=%s LANG=C.UTF-8 %s/scripts/demo; "
     "echo DEMO-DONE; sleep 600" % (build_dir, source_dir))
try:
    shown(r"device counter 1")
    tmux("send-keys", "-l", "xyz")
    shown(r"xyz")
    tmux("send-keys", "q")
    folder = shown(r"demo: ended; the virtual device and (\S+) are gone\.").group(1)
    shown(r"DEMO-DONE")
    if os.path.exists(folder):
        sys.exit("FAIL: the device folder %s is left behind" % folder)
finally:
    tmux("kill-server")



def state(pid):  # its scheduler state letter; "" once gone
    try:
        return open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return ""


socket += "-closed"
try:
    tmux("new-session", "-d", "env -u MAKEFLAGS -u MAKELEVEL make -C %s -o demo-deps -o program "
         "demo BUILD_DIR=%s" % (source_dir, os.path.relpath(build_dir, source_dir)))
    shown(r"device counter 1")
    pids = subprocess.run(["pgrep", "-t", tmux("display", "-p", "#{pane_tty}").strip()[5:]],
                          capture_output=True, text=True).stdout.split()
finally:
    tmux("kill-server")
    os.path.exists(socket) and os.unlink(socket)
alive = lambda: [pid for pid in pids if state(pid) not in ("", "Z")]
end = time.monotonic() + 60 * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))
while alive() and time.monotonic() < end:
    time.sleep(0.1)
left = [open("/proc/%s/cmdline" % pid).read().replace("\0", " ") for pid in alive()]
[os.kill(int(pid), 15) for pid in alive()]
sys.exit("FAIL: left running after the terminal closed: %s" % left if left or not pids else 0)
