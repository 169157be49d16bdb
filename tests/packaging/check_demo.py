"""`make demo` in tmux: device lines show, keys come back as its echo, q ends it, its folder gone.
Args: SOURCE BUILD"""
import os, re, shutil, subprocess, sys, tempfile, time

home = tempfile.mkdtemp(prefix="comterm-demo-")  # the tmux server's socket
tmux = lambda *args: subprocess.run(["tmux", "-S", home + "/tmux", "-f", "/dev/null", *args],
                                    capture_output=True, text=True).stdout
demo = "env -u MAKEFLAGS -u MAKELEVEL LANG=C.UTF-8 make -C %s -o demo-deps -o program demo " \
       "BUILD_DIR=%s" % (sys.argv[1], os.path.relpath(sys.argv[2], sys.argv[1]))


def wait(what, done):  # done's result once true, or a failure after a generous while
    end = time.monotonic() + 60 * float(os.environ.get("COMTERM_TEST_TIMEOUT_SCALE", "1"))
    while not (result := done()) and time.monotonic() < end:
        time.sleep(0.1)
    return result or sys.exit("FAIL: " + what())


def shown(pattern, keys=()):
    tmux("send-keys", *keys)
    screen = lambda: tmux("capture-pane", "-p", "-J")
    return wait(lambda: "%r not shown:\n%s" % (pattern, screen()),
                lambda: re.search(pattern, screen()))


try:
    tmux("new-session", "-d", "-x", "120", "-y", "40", demo + "; sleep 600")  # the screen stays
    shown("device counter 1")
    shown("xyz", ("-l", "xyz"))
    folder = shown(r"demo: ended; the virtual device and (\S+) are gone\.", ("q",))[1]
    os.path.exists(folder) and sys.exit("FAIL: the device folder %s is left behind" % folder)
finally:
    tmux("kill-server")
    shutil.rmtree(home)

