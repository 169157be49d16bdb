#!/usr/bin/env python3
"""`make demo` as a newcomer runs it, in a real terminal (tmux): the device's lines appear, typed
keys come back as its echo, the key q ends the demo and its device folder is gone.
usage: check_demo.py SOURCE_DIR BUILD_DIR"""
import os, re, subprocess, sys, time

source_dir, build_dir = sys.argv[1:3]
tmux = lambda *args: subprocess.run(["tmux", "-S", "/tmp/comterm-demo-%d" % os.getpid(), "-f",
                                     "/dev/null", *args], capture_output=True, text=True).stdout


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
    sys.exit("FAIL: the device folder %s is left behind" % folder if os.path.exists(folder) else 0)
finally:
    tmux("kill-server")
