#!/usr/bin/env python3
"""Builds the .deb, has lintian check it (any error fails), unpacks it into a scratch root
(dpkg-deb -x) and runs the installed program: it must hold exactly the program, the gzipped man page,
the bash completion, the copyright file and a changelog naming this version, print the usage text,
find no port in an empty COMTERM_DEVICE_DIR, say so, pause until the end of its input and exit 0."""
import glob
import gzip
import os
import subprocess
import sys
import tempfile

cpack, cpack_config, man_page, version = sys.argv[1:5]
USAGE = "串口调试工具(by comterm)\n参数说明:comterm [-p 串口名] [-b 波特率]\n例如：comterm -p COM3 -b 9600\n"
failures = []


def run(*command):
    return subprocess.run(command, capture_output=True, check=True, timeout=300).stdout.decode()


with tempfile.TemporaryDirectory(prefix="comterm-deb-") as scratch:
    run(cpack, "--config", cpack_config, "-G", "DEB", "-B", scratch)
    (deb,) = glob.glob(os.path.join(scratch, "*.deb"))
    lintian = subprocess.run(["lintian", "--tag-display-limit", "0", deb], capture_output=True, text=True,
                             timeout=600).stdout
    failures += [f"lintian: {line}" for line in lintian.splitlines() if line.startswith("E:")]
    fields = run("dpkg-deb", "--field", deb, "Package", "Version", "Depends")
    if "Package: comterm" not in fields or f"Version: {version}-" not in fields or "libc6" not in fields:
        failures.append(f"control fields: {fields}")
    files = {line.split()[-1] for line in run("dpkg-deb", "--contents", deb).splitlines()
             if not line.startswith("d")}
    doc = "./usr/share/doc/comterm/"
    if files != {"./usr/bin/comterm", "./usr/share/man/man1/comterm.1.gz", doc + "copyright",
                 doc + "changelog.Debian.gz", "./usr/share/bash-completion/completions/comterm"}:
        failures.append(f"package files: {sorted(files)}")
    root = os.path.join(scratch, "root")
    run("dpkg-deb", "-x", deb, root)
    if gzip.open(os.path.join(root, "usr/share/man/man1/comterm.1.gz")).read() != open(man_page, "rb").read():
        failures.append("the packaged man page differs from docs/comterm.1")
    changelog = gzip.open(os.path.join(root, doc, "changelog.Debian.gz")).readline().decode()
    package_version = fields.split("Version: ")[1].split()[0]
    if not changelog.startswith(f"comterm ({package_version}) "):
        failures.append(f"the changelog's latest entry is not {package_version}: {changelog}")
    os.mkdir(os.path.join(scratch, "no-ports"))
    env = dict(os.environ, COMTERM_DEVICE_DIR=os.path.join(scratch, "no-ports"))
    # argv[0] as a user types it, so the usage text names "comterm".
    result = subprocess.run(["comterm"], executable=os.path.join(root, "usr/bin/comterm"), env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if result.stderr != USAGE.encode("gbk"):
        failures.append(f"usage text: {result.stderr!r}")
    if result.returncode != 0 or result.stdout != ">>当前没有可用串口\n请按任意键继续. . .\n".encode("gbk"):
        failures.append(f"no-port ending: status {result.returncode}, output {result.stdout!r}")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
