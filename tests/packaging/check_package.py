"""The Debian package: no lintian error, its files, the changelog's version, Recommends, a man page
man renders without warnings in both locales, titled and versioned, what it installs under
/usr/local, the C++ runtime linked in.
Args: CPACK CONFIG VERSION"""
import glob, gzip, os, re, subprocess, sys, tempfile

cpack, config, version = sys.argv[1:4]
FILES = ["bin/comterm", "share/man/man1/comterm.1.gz", "share/doc/comterm/copyright",
         "share/doc/comterm/changelog.Debian.gz", "share/bash-completion/completions/comterm"]
failures = []


def run(*args, **more):
    return subprocess.run(args, capture_output=True, text=True, **more)


def check(what, expected, got):
    if expected != got:
        failures.append("%s\n  expected %r\n  got      %r" % (what, expected, got))


def files_under(folder):
    files = []
    for parent, _, names in os.walk(folder):
        for name in names:
            files.append(os.path.relpath(os.path.join(parent, name), folder))
    return sorted(files)


with tempfile.TemporaryDirectory() as root:
    run(cpack, "--config", config, "-G", "DEB", "-B", root, check=True)
    (deb,) = glob.glob(root + "/*.deb")
    lintian = run("lintian", "--tag-display-limit", "0", deb).stdout
    check("lintian errors", [], re.findall(r"^E:.*", lintian, re.M))
    run("dpkg-deb", "-x", deb, root, check=True)
    check("files", sorted(FILES), files_under(root + "/usr"))
    fields = run("dpkg-deb", "--field", deb, "Version", "Recommends").stdout.split()
    package = fields[1]
    check("package version, Recommends", [version + "-", "bash-completion"],
          [package[:len(version) + 1], fields[3]])
    changelog = gzip.open(root + "/usr/share/doc/comterm/changelog.Debian.gz", "rt").readline()
    check("changelog's latest version", "(%s)" % package, changelog.split()[1])
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAN")}  # as a reader's
    for locale, title in (("C.UTF-8", "串口调试工具"), ("C", "(by comterm)")):
        man = run("man", "--warnings=w", "-l", root + "/usr/share/man/man1/comterm.1.gz",
                  env=dict(env, LC_ALL=locale, MANWIDTH="80"))
        check("man in %s: status, warnings, title, version" % locale, (0, "", True, True),
              (man.returncode, man.stderr, title in man.stdout, "comterm " + version in man.stdout))
    # What `make install` puts under /usr/local; the C++ runtime linked in, so no libstdc++ needed.
    build = os.path.dirname(config)
    run("cmake", "--install", build, "--prefix", "/usr/local",
        env=dict(os.environ, DESTDIR=root + "/staged"), check=True)
    installed = files_under(root + "/staged/usr/local")
    check("installed under /usr/local", sorted(FILES[:2] + FILES[4:]), installed)
    needed = run("readelf", "-d", build + "/src/console/comterm").stdout
    check("C++ runtime linked in", False, "libstdc++.so.6" in needed)
for failure in failures:
    print("FAIL: " + failure)
if not failures:
    print("package: passed")
sys.exit(1 if failures else 0)
