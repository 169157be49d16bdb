#!/usr/bin/env python3
"""The Debian package of this build passes lintian (no error), holds just the program, the gzipped
manual page, the completion, the copyright file and a changelog naming its version, and the program
it installs runs; the manual page renders without warnings in a UTF-8 and in the C locale, names this
version and fits 80 columns.
usage: check_package.py CPACK CPACK_CONFIG MAN_PAGE VERSION"""
import glob, gzip, os, subprocess, sys, tempfile, unicodedata

cpack, config, page, version = sys.argv[1:5]
failures = []
run = lambda *command, **more: subprocess.run(command, capture_output=True, timeout=600, **more)
doc = "./usr/share/doc/comterm/"
with tempfile.TemporaryDirectory(prefix="comterm-deb-") as scratch:
    run(cpack, "--config", config, "-G", "DEB", "-B", scratch, check=True)
    (deb,) = glob.glob(scratch + "/*.deb")
    lintian = run("lintian", "--tag-display-limit", "0", deb).stdout.decode()
    package_version = run("dpkg-deb", "--field", deb, "Version").stdout.decode().strip()
    files = sorted(line.split()[-1] for line in run("dpkg-deb", "-c", deb).stdout.decode()
                   .splitlines() if not line.startswith("d"))
    run("dpkg-deb", "-x", deb, scratch + "/root", check=True)
    os.mkdir(scratch + "/no-ports")
    ended = run(scratch + "/root/usr/bin/comterm", stdin=subprocess.DEVNULL,
                env=dict(os.environ, COMTERM_DEVICE_DIR=scratch + "/no-ports"))
    packaged_page = gzip.open(scratch + "/root/usr/share/man/man1/comterm.1.gz").read()
    changelog = gzip.open(scratch + "/root" + doc[1:] + "changelog.Debian.gz").readline().decode()
rendered = {}
for locale, device in (("C.UTF-8", "utf8"), ("C", "ascii")):
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("MAN")}, LC_ALL=locale,
               MANWIDTH="80")
    for command in (["man", "--warnings", "-l", page], ["groff", "-k", "-T" + device, "-man", "-ww",
                                                         "-z", page]):
        result = run(*command, env=env)
        rendered.setdefault(locale, result.stdout.decode())
        if result.returncode != 0 or result.stderr:
            failures.append("%s %s: %r" % (locale, command[0], result.stderr))
for what, expected, got in [
        ("lintian errors", [], [line for line in lintian.splitlines() if line.startswith("E:")]),
        ("package version", True, package_version.startswith(version + "-")),
        ("changelog's latest entry", True, changelog.startswith("comterm (%s) " % package_version)),
        ("files", sorted(["./usr/bin/comterm", "./usr/share/man/man1/comterm.1.gz",
                          doc + "copyright", doc + "changelog.Debian.gz",
                          "./usr/share/bash-completion/completions/comterm"]), files),
        ("the installed program, given no port", (0, True),
         (ended.returncode, ">>当前没有可用串口".encode("gbk") in ended.stdout)),
        ("the packaged manual page is docs/comterm.1", open(page, "rb").read(), packaged_page),
        ("the title in both locales", [True, True], ["串口调试工具" in rendered["C.UTF-8"],
                                                     "(by comterm)" in rendered["C"]]),
        ("comterm %s named in the page" % version, True, "comterm " + version in rendered["C"]),
        ("lines wider than 80 columns", [], [line for text in rendered.values() for line in
                                             text.splitlines() if sum(2 if unicodedata.east_asian_width(c)
                                                                      in "WF" else 1 for c in line) > 80])]:
    if expected != got:
        failures.append("%s\n  expected %r\n  got      %r" % (what, expected, got))
print("\n".join(["FAIL: " + failure for failure in failures] or ["package: passed"]))
sys.exit(1 if failures else 0)
