#!/usr/bin/env python3
"""Runs the demo as a newcomer would, in a real terminal (tmux), and checks what they would see and
what is left behind: the device's greeting shown as Chinese text, the typed key echoed, the demo
ended by the key it names (and, in a second run, by comterm being killed), the device folder gone and
the terminal's settings as they were.

usage: check_demo.py SOURCE_DIR BUILD_DIR
"""
import os
import re
import subprocess
import sys
import time

DEADLINE_SECONDS = 30
source_dir, build_dir = sys.argv[1], sys.argv[2]
session = f"comterm-demo-check-{os.getpid()}"
failures = []


def tmux(*args):
    return subprocess.run(["tmux", *args], capture_output=True, text=True, check=False).stdout


def screen():
    return tmux("capture-pane", "-p", "-J", "-t", session)


def wait_for(pattern, what):
    deadline = time.monotonic() + DEADLINE_SECONDS
    while time.monotonic() < deadline:
        text = screen()
        match = re.search(pattern, text)
        if match:
            return match
        time.sleep(0.1)
    failures.append(f"{what}: not seen on the screen:\n{screen()}")
    return None


def run_demo(end_it):
    stty_before = f"/tmp/{session}.before"
    stty_after = f"/tmp/{session}.after"
    command = (f"stty -a > {stty_before}; BUILD_DIR={build_dir} LANG=C.UTF-8 "
               f"{source_dir}/scripts/demo; stty -a > {stty_after}; echo DEMO-SCRIPT-DONE; sleep 60")
    tmux("new-session", "-d", "-s", session, "-x", "120", "-y", "40", command)
    try:
        wait_for(r"你好！这是 comterm 的演示设备", "the device's Chinese greeting")
        wait_for(r"设备计数 / device counter 1", "the counter line")
        tmux("send-keys", "-t", session, "-l", "xyz")
        wait_for(r"xyz", "the echo of typed keys")
        end_it()
        ended = wait_for(r"demo: ended; the virtual device and (\S+) are gone\.", "the end message")
        wait_for(r"DEMO-SCRIPT-DONE", "the end of the demo script")
        if ended and os.path.exists(ended.group(1)):
            failures.append(f"the device folder {ended.group(1)} is left behind")
        if open(stty_before).read() != open(stty_after).read():
            failures.append("the terminal's settings changed")
    finally:
        tmux("kill-session", "-t", session)
        for path in (stty_before, stty_after):
            if os.path.exists(path):
                os.unlink(path)


def kill_comterm():
    subprocess.run(["pkill", "-TERM", "-f", f"^{build_dir}/src/console/comterm -p COM3"], check=False)


run_demo(lambda: tmux("send-keys", "-t", session, "q"))
run_demo(kill_comterm)

for failure in failures:
    print("FAIL:", failure)
print(f"demo: {'failed' if failures else 'passed'}")
sys.exit(1 if failures else 0)
