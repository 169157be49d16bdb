"""`make demo` in tmux: device lines show, keys come back as its echo, q ends it, its folder gone.
Args: SOURCE BUILD"""
import os, re, shutil, subprocess, sys, tempfile, time

home = tempfile.mkdtemp(prefix="comterm-demo-")  # the tmux server's socket
demo = "env -u MAKEFLAGS -u MAKELEVEL LANG=C.UTF-8 make -C %s -o demo-deps -o program demo " \
       "BUILD_DIR=%s" % (sys.argv[1], os.path.relpath(sys.argv[2], sys.argv[1]))


def tmux(*args):
    command = ["tmux", "-S", home + "/tmux", "-f", "/dev/null"] + list(args)
    return subprocess.run(command, capture_output=True, text=True).stdout


def shown(pattern, keys=()):  # the match once the screen shows pattern, after keys are sent
    tmux("send-keys", *keys)
    end = time.monotonic() + 60 * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))
    while time.monotonic() < end:
        match = re.search(pattern, tmux("capture-pane", "-p", "-J"))
        if match:
            return match
        time.sleep(0.1)
    sys.exit("FAIL: %r not shown:\n%s" % (pattern, tmux("capture-pane", "-p", "-J")))


try:
    tmux("new-session", "-d", "-x", "120", "-y", "40", demo + "; sleep 600")  # the screen stays
    shown("device counter 1")
    shown("xyz", ("-l", "xyz"))
    folder = shown(r"demo: ended; the virtual device and (\S+) are gone\.", ("q",))[1]
    if os.path.exists(folder):
        sys.exit("FAIL: the device folder %s is left behind" % folder)
finally:
    tmux("kill-server")
    shutil.rmtree(home)
