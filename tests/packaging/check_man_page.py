#!/usr/bin/env python3
"""The man page renders without warnings, has the usual sections in order and fits 80 columns."""
import os
import re
import subprocess
import sys
import unicodedata

page, version = sys.argv[1], sys.argv[2]
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DEVICE NAMES", "ENVIRONMENT",
            "EXIT STATUS", "EXAMPLES", "BUGS"]
# The UTF-8 device is the one with glyphs for the Chinese texts; the C locale's would warn on each.
env = {k: v for k, v in os.environ.items() if k not in ("MANOPT", "MANROFFOPT")}
env.update(LC_ALL="C.UTF-8", MANWIDTH="80")
failures = []
rendered = ""
for command in (["man", "--warnings", "-l", page], ["groff", "-k", "-Tutf8", "-man", "-ww", "-z", page]):
    result = subprocess.run(command, env=env, capture_output=True, timeout=120)
    if result.returncode != 0 or result.stderr:
        failures.append(f"{command[0]}: status {result.returncode}: {result.stderr.decode()}")
    rendered = rendered or result.stdout.decode()
shown = [line for line in rendered.splitlines() if line in SECTIONS]
if shown != SECTIONS:
    failures.append(f"sections rendered {shown}, expected {SECTIONS}")
if f'"comterm {version}"' not in open(page, encoding="utf-8").read():
    failures.append(f"the page does not name comterm {version}")
for line in rendered.splitlines():
    if sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line) > 80:
        failures.append(f"wider than 80 columns: {line!r}")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
