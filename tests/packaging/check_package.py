"""The Debian package: no lintian error, its files, the changelog's version, hardening marks, a man
page man renders without warnings in both locales, titled, versioned, in 80 columns, the completion
as bash calls it. Args: CPACK CONFIG VERSION FLAG..."""
import glob, gzip, os, re, subprocess, sys, tempfile, unicodedata

cpack, config, version, flags = *sys.argv[1:4], sys.argv[4:]
marks = {"-Wl,-z,now": r"\(FLAGS\) +BIND_NOW|Flags: NOW", "-Wl,-z,relro": r"^ +GNU_RELRO",
         "-pie": r"\(FLAGS_1\) .*Flags:.* PIE", "-fstack-protector-strong": r" __stack_chk_fail",
         "-D_FORTIFY_SOURCE=2": r" __[a-z]+_chk(@| )"}  # each flag's mark in readelf's output
run = lambda *args, **more: subprocess.run(args, capture_output=True, text=True, **more)
with tempfile.TemporaryDirectory() as root:
    run(cpack, "--config", config, "-G", "DEB", "-B", root, check=True)
    (deb,) = glob.glob(root + "/*.deb")
    lintian = run("lintian", "--tag-display-limit", "0", deb).stdout
    files = sorted(line.split()[-1][len("./usr/"):]
                   for line in run("dpkg-deb", "-c", deb).stdout.splitlines() if line[0] != "d")
    run("dpkg-deb", "-x", deb, root, check=True)
    elf = run("readelf", "-W", "-l", "-d", "--dyn-syms", root + "/usr/bin/comterm").stdout
    package = run("dpkg-deb", "--field", deb, "Version").stdout.strip()
    changelog = gzip.open(root + "/usr/share/doc/comterm/changelog.Debian.gz", "rt").readline().split()
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAN")}  # as a reader's
    man = {locale: run("man", "--warnings=w", "-l", root + "/usr/share/man/man1/comterm.1.gz",
                       env=dict(env, LC_ALL=locale, MANWIDTH="80")) for locale in ("C.UTF-8", "C")}
    # The completion as bash calls it, /dev a folder of ours: its devices by path and COM name.
    for name in "ttyS0 ttyS31 ttyS32 ttyUSB0 ttyACM31 ttyAMA0 ../ports/COM3".split():
        os.makedirs(os.path.dirname(root + "/dev/" + name), exist_ok=True)
        open(root + "/dev/" + name, "w").close()
    os.symlink(root + "/gone", root + "/ports/COM12")  # an unplugged device's link counts
    script = open(root + "/usr/share/bash-completion/completions/comterm").read().replace(
        "/dev/", root + "/dev/") + '\nCOMP_WORDS=($1 "$2"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))'
    complete = lambda words, cur="", folder="": sorted(run(
        "bash", "-c", script + '; _comterm; echo "${COMPREPLY[@]}"', "-", words, cur,
        env=dict(os.environ, COMTERM_DEVICE_DIR=folder)).stdout.replace(root + "/dev/", "").split())
    completions = [complete("comterm -p"), complete("comterm -b 2 -p", folder=root + "/ports"),
                   complete("comterm -p COM3 -b"), complete("comterm", "-")]
width = lambda line: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)
failures = ["%s\n  expected %r\n  got      %r" % row for row in [
    ("lintian errors", [], re.findall(r"^E:.*", lintian, re.M)),
    ("package version, changelog's latest", (True, "(%s)" % package),
     (package.startswith(version + "-"), changelog[1])),
    ("files", sorted("bin/comterm share/man/man1/comterm.1.gz share/doc/comterm/copyright share/"
                     "doc/comterm/changelog.Debian.gz share/bash-completion/completions/comterm"
                     .split()), files),
    ("hardening without its mark", [], [flag for flag, mark in marks.items()
                                        if flag in flags and not re.search(mark, elf, re.M)]),
    ("man: status, warnings, title, version", [(0, "", True, True)] * 2,
     [(man[locale].returncode, man[locale].stderr, title in man[locale].stdout,
       "comterm " + version in man[locale].stdout)
      for locale, title in (("C.UTF-8", "串口调试工具"), ("C", "(by comterm)"))]),
    ("completions: -p, -p in a device folder, -b, a dash", [sorted(
        "COM1 COM32 COM33 COM96 COM97 ttyACM31 ttyAMA0 ttyS0 ttyS31 ttyS32 ttyUSB0".split()),
        ["COM12", "COM3"], sorted("9600 115200 74880 300 1200 2400 4800 19200 38400 57600 230400 "
                                  "250000".split()), sorted("--help --version --log --timestamp --hex --encoding -b -p"
                                               .split())], completions),
    ("lines wider than 80 columns", [],
     [line for result in man.values() for line in result.stdout.splitlines() if width(line) > 80]),
] if row[1] != row[2]]
print("\n".join(["FAIL: " + failure for failure in failures] or ["package: passed"]))
sys.exit(1 if failures else 0)
