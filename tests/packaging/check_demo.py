"""`make demo` in tmux: device lines show, keys come back as its echo, q ends it, its folder gone;
a terminal closed under make (no SIGHUP reaches it) leaves nothing running. Args: SOURCE BUILD"""
import os, re, shutil, subprocess, sys, tempfile, time

home = tempfile.mkdtemp(prefix="comterm-demo-")  # the terminals' servers, one each: a new session
server = [home + "/first"]  # on a server just killed may go down with it
out = lambda *command: subprocess.run(command, capture_output=True, text=True).stdout
tmux = lambda *args: out("tmux", "-S", server[0], "-f", "/dev/null", *args)
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
    tmux("kill-server")
    server[0] = home + "/second"
    tmux("new-session", "-d", "-x", "120", "-y", "40", demo)
    shown("device counter 1")
    pids = out("pgrep", "-t", tmux("display", "-p", "#{pane_tty}").strip()[5:]).split()
finally:
    tmux("kill-server")
    shutil.rmtree(home)


def alive():  # [pid, state, command] of each process left, zombies aside
    ps = out("ps", "-o", "pid=,stat=,args=", "-p", ",".join(pids) or "0").splitlines()
    return [row for row in map(lambda line: line.split(None, 2), ps) if row[1][0] != "Z"]


try:
    wait(lambda: "left running after the terminal closed: %s of %s" % (alive(), pids),
         lambda: pids and not alive())
finally:
    [os.kill(int(pid), 15) for pid, _, _ in alive()]
