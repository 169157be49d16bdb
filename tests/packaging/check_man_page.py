#!/usr/bin/env python3
"""Checks the manual page: it renders without a warning through man-db and groff on a UTF-8
terminal, holds the sections a user looks for, names the project's version, and no rendered line is
wider than the 80 columns it is rendered for (Chinese characters take two columns each).

usage: check_man_page.py PAGE VERSION
"""
import os
import re
import subprocess
import sys
import unicodedata

REQUIRED_SECTIONS = [
    "NAME",
    "SYNOPSIS",
    "DESCRIPTION",
    "OPTIONS",
    "DEVICE NAMES",
    "ENVIRONMENT",
    "EXIT STATUS",
    "EXAMPLES",
    "BUGS",
]
WIDTH = 80

failures = []


def fail(message):
    failures.append(message)


def run_quiet(what, command, env):
    """Runs a renderer; anything on standard error is a warning, and a warning is a failure."""
    result = subprocess.run(command, env=env, capture_output=True, timeout=120)
    if result.returncode != 0:
        fail(f"{what} exited with {result.returncode}")
    if result.stderr:
        fail(f"{what} warned:\n{result.stderr.decode('utf-8', 'replace')}")
    return result.stdout.decode("utf-8", "replace")


def display_width(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


def main():
    page, version = sys.argv[1], sys.argv[2]
    # A UTF-8 locale makes man-db pick groff's utf8 device, the one that has glyphs for the
    # Chinese texts; the ASCII device of the C locale has none and would warn about each.
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH=str(WIDTH))
    for name in ("MANOPT", "MAN_KEEP_FORMATTING", "MANROFFOPT"):
        env.pop(name, None)

    rendered = run_quiet("man -l", ["man", "--warnings", "-l", page], env)
    run_quiet("groff", ["groff", "-k", "-Tutf8", "-man", "-ww", "-z", page], env)

    with open(page, encoding="utf-8") as source:
        text = source.read()

    sections = [m.group(1).strip('"') for m in re.finditer(r"^\.SH\s+(.+)$", text, re.M)]
    positions = []
    for name in REQUIRED_SECTIONS:
        if name not in sections:
            fail(f"section {name} is missing (sections: {sections})")
        else:
            positions.append(sections.index(name))
        if not re.search(rf"^{re.escape(name)}$", rendered, re.M):
            fail(f"section {name} is not in the rendered page")
    if positions != sorted(positions):
        fail(f"sections out of the usual order: {sections}")

    title = re.search(r"^\.TH\s+(.+)$", text, re.M)
    if not title or f'"comterm {version}"' not in title.group(1):
        fail(f'the .TH line does not name "comterm {version}": {title.group(0) if title else None}')

    for number, line in enumerate(rendered.splitlines(), 1):
        if display_width(line) > WIDTH:
            fail(f"rendered line {number} is wider than {WIDTH} columns: {line!r}")

    for message in failures:
        print("FAIL:", message, file=sys.stderr)
    if not failures:
        print(f"{page}: renders cleanly, {len(sections)} sections")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
