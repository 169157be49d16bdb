#!/usr/bin/env python3
"""The Debian package of this build passes lintian (no error), holds just the program, the gzipped
manual page, the completion, the copyright file and a changelog naming its version, and the program
it installs runs and carries the hardening the build added, as readelf shows it; the manual page
renders without any warning in a UTF-8 and in the C locale, names this version and fits 80 columns.
usage: check_package.py CPACK CPACK_CONFIG MAN_PAGE VERSION [HARDENING_FLAG...]"""
import glob, gzip, os, re, subprocess, sys, tempfile, unicodedata

cpack, config, page, version, flags = *sys.argv[1:5], sys.argv[5:]
hardening = {  # flag: its mark in the program, as readelf shows it
    "-Wl,-z,now": r"\(FLAGS\) +BIND_NOW|Flags: NOW", "-Wl,-z,relro": r"^ +GNU_RELRO",
    "-pie": r"\(FLAGS_1\) .*Flags:.* PIE", "-fstack-protector-strong": r" __stack_chk_fail",
    "-D_FORTIFY_SOURCE=2": r" __[a-z]+_chk(@| )"}
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
    elf = run("readelf", "-W", "--program-headers", "--dynamic", "--dyn-syms",
              scratch + "/root/usr/bin/comterm").stdout.decode()
    os.mkdir(scratch + "/no-ports")
    ended = run(scratch + "/root/usr/bin/comterm", stdin=subprocess.DEVNULL,
                env=dict(os.environ, COMTERM_DEVICE_DIR=scratch + "/no-ports"))
    packaged_page = gzip.open(scratch + "/root/usr/share/man/man1/comterm.1.gz").read()
    changelog = gzip.open(scratch + "/root" + doc[1:] + "changelog.Debian.gz").readline().decode()
# The page as man shows it in each locale; --warnings=w turns on every warning of groff.
env = {k: v for k, v in os.environ.items() if not k.startswith("MAN")}
man = {locale: run("man", "--warnings=w", "-l", page, env=dict(env, LC_ALL=locale, MANWIDTH="80"))
       for locale in ("C.UTF-8", "C")}
rendered = {locale: result.stdout.decode() for locale, result in man.items()}
width = lambda line: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)
failures = ["%s\n  expected %r\n  got      %r" % row for row in [
    ("lintian errors", [], [line for line in lintian.splitlines() if line.startswith("E:")]),
    ("package version", True, package_version.startswith(version + "-")),
    ("changelog's latest entry", True, changelog.startswith("comterm (%s) " % package_version)),
    ("files", sorted(["./usr/bin/comterm", "./usr/share/man/man1/comterm.1.gz", doc + "copyright",
                      doc + "changelog.Debian.gz", "./usr/share/bash-completion/completions/comterm"]),
     files),
    ("the installed program, given no port", (0, True),
     (ended.returncode, ">>当前没有可用串口".encode("gbk") in ended.stdout)),
    ("hardening without its mark", [], [flag for flag, mark in hardening.items()
                                        if flag in flags and not re.search(mark, elf, re.M)]),
    ("the packaged manual page is docs/comterm.1", open(page, "rb").read(), packaged_page),
    ("man's status and warnings", {locale: (0, b"") for locale in man},
     {locale: (result.returncode, result.stderr) for locale, result in man.items()}),
    ("the title in both locales", [True, True], ["串口调试工具" in rendered["C.UTF-8"],
                                                 "(by comterm)" in rendered["C"]]),
    ("comterm %s named in the page" % version, True, "comterm " + version in rendered["C"]),
    ("lines wider than 80 columns", [],
     [line for text in rendered.values() for line in text.splitlines() if width(line) > 80]),
] if row[1] != row[2]]
print("\n".join(["FAIL: " + failure for failure in failures] or ["package: passed"]))
sys.exit(1 if failures else 0)
