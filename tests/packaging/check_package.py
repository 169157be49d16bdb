#!/usr/bin/env python3
"""The Debian package of this build holds just the program and the manual page, and the program it
installs runs; the manual page renders without warnings, names this version and fits 80 columns.
usage: check_package.py CPACK CPACK_CONFIG MAN_PAGE VERSION"""
import glob, os, subprocess, sys, tempfile, unicodedata

cpack, config, page, version = sys.argv[1:5]
failures = []
run = lambda *command, **more: subprocess.run(command, capture_output=True, timeout=600, **more)
with tempfile.TemporaryDirectory(prefix="comterm-deb-") as scratch:
    run(cpack, "--config", config, "-G", "DEB", "-B", scratch, check=True)
    (deb,) = glob.glob(scratch + "/*.deb")
    fields = run("dpkg-deb", "--field", deb, "Package", "Version").stdout.decode()
    files = sorted(line.split()[-1] for line in run("dpkg-deb", "-c", deb).stdout.decode()
                   .splitlines() if not line.startswith("d"))
    run("dpkg-deb", "-x", deb, scratch + "/root", check=True)
    os.mkdir(scratch + "/no-ports")
    ended = run(scratch + "/root/usr/bin/comterm", stdin=subprocess.DEVNULL,
                env=dict(os.environ, COMTERM_DEVICE_DIR=scratch + "/no-ports"))
    packaged_page = open(scratch + "/root/usr/share/man/man1/comterm.1", "rb").read()
man = run("man", "--warnings=w", "-l", page, env=dict(
    {k: v for k, v in os.environ.items() if not k.startswith("MAN")}, LC_ALL="C.UTF-8",
    MANWIDTH="80"))
rendered = man.stdout.decode()
for what, expected, got in [
        ("control fields", "Package: comterm\nVersion: %s\n" % version, fields),
        ("files", ["./usr/bin/comterm", "./usr/share/man/man1/comterm.1"], files),
        ("the installed program, given no port", (0, True),
         (ended.returncode, ">>当前没有可用串口".encode("gbk") in ended.stdout)),
        ("the packaged manual page is docs/comterm.1", open(page, "rb").read(), packaged_page),
        ("man's status and warnings", (0, b""), (man.returncode, man.stderr)),
        ("comterm %s named in the page" % version, True, "comterm " + version in rendered),
        ("lines wider than 80 columns", [], [line for line in rendered.splitlines() if sum(
            2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line) > 80])]:
    if expected != got:
        failures.append("%s\n  expected %r\n  got      %r" % (what, expected, got))
print("\n".join(["FAIL: " + failure for failure in failures] or ["package: passed"]))
sys.exit(1 if failures else 0)
