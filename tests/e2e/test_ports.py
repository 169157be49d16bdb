import fcntl, os, pty, shutil, signal, subprocess, termios

import harness
from harness import OPEN_FAILED, OPENED, check, gbk, port_path, scenario, windows

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


# Wine runs only in a prefix its user owns: a thin one, drive and ports shared
def nobody_wine_prefix(h):
    prefix = h.tmp + "/nobody-prefix"
    os.makedirs(prefix + "/home")
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        shutil.copy(os.environ["WINEPREFIX"] + "/" + name, prefix)
    os.symlink(os.environ["WINEPREFIX"] + "/drive_c", prefix + "/drive_c")
    os.symlink(h.device_dir, prefix + "/dosdevices")
    subprocess.run(["chown", "-R", "65534:65534", prefix], check=True)
    os.chmod(os.path.dirname(os.environ["WINEPREFIX"]), 0o755)
    return dict(os.environ, WINEPREFIX=prefix, HOME=prefix + "/home")


def start_as_nobody(h, args):  # comterm by a user with no rights to the devices of root
    os.chmod(h.tmp, 0o755)
    env = h.shared("nobody-env", lambda: nobody_wine_prefix(h)) if windows() else dict(
        os.environ, LANG="zh_CN.GBK", COMTERM_DEVICE_DIR=h.device_dir)
    command = NOBODY + (["wine", h.program] if windows() else [h.program]) + args
    process = subprocess.Popen(command, env=env, cwd=h.tmp, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    out = harness.Stream(process.stdout.fileno(), "comterm stdout", False)
    err = harness.Stream(process.stderr.fileno(), "comterm stderr", False)
    return process, out, err, env


# The port is missing first, then held exclusively by another program (which root would not
# see), then let go: each reason is said once, when it changes.
@scenario()
def why_not_opened(h):
    reason = "held by another program"
    name = h.new_port()
    process, out, err, env = start_as_nobody(h, ["-p", name, "-b", "9600"])
    try:
        failed = OPEN_FAILED % (port_path(name), 9600)
        out.expect(failed * 2)
        master, line = pty.openpty()
        os.chmod(os.ttyname(line), 0o666)  # open to all, but for the flag
        fcntl.ioctl(line, termios.TIOCEXCL)
        os.symlink(os.ttyname(line), h.link_path(name))
        shown_path = port_path(name) if windows() else h.link_path(name)
        err.expect("comterm: %s: %s\n" % (shown_path, reason))
        out.expect(failed * 2)
        fcntl.ioctl(line, termios.TIOCNXCL)
        out.expect(OPENED % (port_path(name), 9600))
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(harness.deadline())
        if windows():
            subprocess.run(NOBODY + ["wineserver", "-k"], env=env)
    missing = "File not found." if windows() else "No such file or directory"
    expected = "comterm: %s: %s\ncomterm: %s: %s\n" % (port_path(name), missing, shown_path, reason)
    err.thread.join(harness.deadline())
    check("standard error", gbk(expected, False), bytes(err.data))
    os.close(master)
    os.close(line)


if __name__ == "__main__":
    harness.main()
