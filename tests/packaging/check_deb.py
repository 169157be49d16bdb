#!/usr/bin/env python3
"""Builds the Debian package of this build with cpack into a scratch folder, unpacks it into a
scratch root with dpkg-deb -x (no root rights, nothing installed on the machine), and checks it:
its control fields, that it holds the program and the manual page and nothing else, and that the
installed program runs: without arguments it writes the usage text (GBK) on standard error, finds
no port in an empty COMTERM_DEVICE_DIR, says so, pauses until the end of its input and exits 0.

usage: check_deb.py CPACK CPACK_CONFIG MAN_PAGE VERSION
"""
import glob
import os
import subprocess
import sys
import tempfile
import time

# What the program writes: its texts are GBK bytes.
USAGE_TEXT = (
    "串口调试工具(by comterm)\n参数说明:comterm [-p 串口名] [-b 波特率]\n例如：comterm -p COM3 -b 9600\n"
).encode("gbk")
NO_PORT_TEXT = ">>当前没有可用串口\n".encode("gbk")
PAUSE_TEXT = "请按任意键继续. . .".encode("gbk")

EXPECTED_FILES = {"./usr/bin/comterm", "./usr/share/man/man1/comterm.1"}
# The program probes 255 port names and then pauses; a generous deadline on a shared machine.
RUN_DEADLINE_SECONDS = 60

failures = []


def fail(message):
    failures.append(message)


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, timeout=300, **kwargs)
    if result.returncode != 0:
        sys.exit(
            f"FAIL: {' '.join(command)} exited with {result.returncode}\n"
            f"{result.stdout.decode(errors='replace')}{result.stderr.decode(errors='replace')}"
        )
    return result.stdout.decode("utf-8", "replace")


def check_control(deb, version):
    fields = {}
    for line in run(["dpkg-deb", "--field", deb]).splitlines():
        if line and not line[0].isspace() and ":" in line:
            name, value = line.split(":", 1)
            fields[name] = value.strip()
    expected = {"Package": "comterm", "Version": version, "Section": "utils"}
    for name, value in expected.items():
        if fields.get(name) != value:
            fail(f"control field {name} is {fields.get(name)!r}, expected {value!r}")
    for name in ("Maintainer", "Description", "Architecture"):
        if not fields.get(name):
            fail(f"control field {name} is missing")
    depends = fields.get("Depends", "")
    for library in ("libc6", "libstdc++6"):
        if library not in depends:
            fail(f"Depends does not name {library}: {depends!r}")


def check_contents(deb):
    listing = run(["dpkg-deb", "--contents", deb])
    files = set()
    for line in listing.splitlines():
        path = line.split()[-1]
        if not line.startswith("d"):
            files.add(path)
    if files != EXPECTED_FILES:
        fail(f"package files {sorted(files)}, expected {sorted(EXPECTED_FILES)}")


def run_installed_program(program, device_dir):
    """Runs the program as a user would type `comterm`, with no port to find and no keys to read."""
    env = dict(os.environ, COMTERM_DEVICE_DIR=device_dir)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(
            ["comterm"],  # argv[0] as typed, so the usage text names "comterm"
            executable=program,
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=err,
            env=env,
        )
        try:
            status = process.wait(timeout=RUN_DEADLINE_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = None
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def check_program(root, man_page):
    program = os.path.join(root, "usr/bin/comterm")
    if not os.access(program, os.X_OK):
        fail(f"{program} is not an executable")
        return
    installed_page = os.path.join(root, "usr/share/man/man1/comterm.1")
    with open(installed_page, "rb") as installed, open(man_page, "rb") as source:
        if installed.read() != source.read():
            fail("the packaged manual page differs from docs/comterm.1")

    device_dir = os.path.join(root, "no-ports")
    os.mkdir(device_dir)
    started = time.monotonic()
    status, stdout, stderr = run_installed_program(program, device_dir)
    elapsed = time.monotonic() - started
    print(f"installed comterm: status {status} after {elapsed:.1f} s")
    print(f"  stderr: {stderr!r}")
    print(f"  stdout: {stdout!r}")

    if stderr != USAGE_TEXT:
        fail(f"usage text on standard error is {stderr!r}, expected {USAGE_TEXT!r}")
    if status is None:
        fail(f"the program did not end within {RUN_DEADLINE_SECONDS} s with no port to open")
        return
    if status != 0:
        fail(f"exit status {status}, expected 0 when no port can be opened")
    if not stdout.startswith(NO_PORT_TEXT):
        fail(f"standard output {stdout!r} does not begin with the no-port message")
    if PAUSE_TEXT not in stdout:
        fail(f"standard output {stdout!r} lacks the pause prompt")


def main():
    cpack, cpack_config, version = sys.argv[1], sys.argv[2], sys.argv[4]
    man_page = os.path.abspath(sys.argv[3])
    with tempfile.TemporaryDirectory(prefix="comterm-deb-") as scratch:
        output = os.path.join(scratch, "out")
        run([cpack, "--config", cpack_config, "-G", "DEB", "-B", output])
        debs = glob.glob(os.path.join(output, "*.deb"))
        if len(debs) != 1:
            sys.exit(f"FAIL: cpack made {debs}, expected one .deb")
        deb = debs[0]
        print(f"built {os.path.basename(deb)}")
        check_control(deb, version)
        check_contents(deb)

        root = os.path.join(scratch, "root")
        run(["dpkg-deb", "-x", deb, root])
        check_program(root, man_page)

    for message in failures:
        print("FAIL:", message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
