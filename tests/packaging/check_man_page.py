#!/usr/bin/env python3
"""The man page renders without warnings, in a UTF-8 locale (the Chinese texts shown) and in the C
locale (ASCII), has the usual sections in order and fits 80 columns."""
import os
import re
import subprocess
import sys
import unicodedata

page, version = sys.argv[1], sys.argv[2]
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DEVICE NAMES", "ENVIRONMENT",
            "EXIT STATUS", "EXAMPLES", "BUGS"]
env = {k: v for k, v in os.environ.items() if k not in ("MANOPT", "MANROFFOPT")}
failures = []
# locale | groff's device for it | a text that must be shown
for locale, device, title in (("C.UTF-8", "utf8", "串口调试工具(by comterm)"), ("C", "ascii", "(by comterm)")):
    env.update(LC_ALL=locale, MANWIDTH="80")
    rendered = ""
    for command in (["man", "--warnings", "-l", page], ["groff", "-k", f"-T{device}", "-man", "-ww", "-z", page]):
        result = subprocess.run(command, env=env, capture_output=True, timeout=120)
        if result.returncode != 0 or result.stderr:
            failures.append(f"{locale}: {command[0]}: status {result.returncode}: {result.stderr.decode()}")
        rendered = rendered or result.stdout.decode()
    shown = [line for line in rendered.splitlines() if line in SECTIONS]
    if shown != SECTIONS or title not in rendered:
        failures.append(f"{locale}: sections rendered {shown}, expected {SECTIONS} and {title}")
    for line in rendered.splitlines():
        if sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line) > 80:
            failures.append(f"{locale}: wider than 80 columns: {line!r}")
if f'"comterm {version}"' not in open(page, encoding="utf-8").read():
    failures.append(f"the page does not name comterm {version}")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
