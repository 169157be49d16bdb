"""The command line: the usage text, the options with the GNU rules, and the option parser's own
messages, as a user sees them."""

import os
import shutil

import harness
from harness import (BAUD_MENU, INVALID_OPTION, MISSING_ARGUMENT, NAME_TOO_LONG, OPEN_FAILED,
                     OPENED, TOOL_TITLE, USAGE, gbk_pipe, port_path, scenario, windows)


def windows_copy(h, folder):
    """The Windows program copied to C:\\<folder>\\term.exe of the prefix, to be run by that name."""
    target = os.path.join(os.path.dirname(h.device_dir), "drive_c", folder)
    os.makedirs(target, exist_ok=True)
    shutil.copyfile(h.program, os.path.join(target, "term.exe"))


def check_usage(h, argv0, shown_name, via_cmd=False):
    program = h.start([], argv0=argv0, via_cmd=via_cmd)
    usage = gbk_pipe(USAGE % (TOOL_TITLE, shown_name, shown_name))
    program.err.wait_for(lambda text: text if len(text) >= len(usage) else None, None)
    program.stop()  # after the usage text come the menus; what matters here is standard error
    harness.check_bytes("usage text for argv[0] %r" % argv0, usage, program.err.since_mark())


@scenario("native")
def usage_text_native(h):
    # (argv[0], program name shown): only a backslash separates, a forward slash does not.
    for argv0, shown in [("comterm", "comterm"),
                         ("C:\\tools\\term.exe", "term.exe"),
                         ("C:/tools/term.exe", "C:/tools/term.exe"),
                         ("C:\\tools/sub/term", "tools/sub/term"),
                         ("/usr/local/bin/comterm", "/usr/local/bin/comterm"),
                         ("folder\\", ""),
                         ("x" * 300, "x" * 300)]:  # a long name is shown whole
        check_usage(h, argv0, shown)


@scenario("windows")
def usage_text_windows(h):
    # Wine builds argv[0] from the program's full path when it starts it itself; through cmd the
    # command word reaches the program as typed, as it does on Windows.
    check_usage(h, None, "comterm.exe")
    windows_copy(h, "comterm-e2e")
    for argv0, shown in [("C:\\comterm-e2e\\term.exe", "term.exe"),
                         ("C:/comterm-e2e/term.exe", "C:/comterm-e2e/term.exe"),
                         ("C:\\comterm-e2e/term.exe", "comterm-e2e/term.exe")]:
        check_usage(h, argv0, shown, via_cmd=True)


@scenario("native")
def no_arguments_and_no_port(h):
    # Usage text, then port discovery finds nothing in the (empty) device folder: the no-port
    # message, the pause, and after a key the program ends with status 0.
    program = h.start([])
    program.expect(">>当前没有可用串口\n")
    program.expect("请按任意键继续. . .\n")
    program.press(b"x")
    harness.check(program.wait_exit() == 0, "exit status after the no-port pause is not 0")


# (what, arguments with {port} for the device's COM name, extra environment, what standard output
# shows ({path} is the device path), what standard error shows ({argv0} is argv[0])).
OPTION_ROWS = [
    ("attached values", ["-p{port}", "-b9600"], {}, OPENED % ("{path}", 9600), ""),
    ("separate values", ["-p", "{port}", "-b", "9600"], {}, OPENED % ("{path}", 9600), ""),
    ("options after a word (permutation)", ["COM3", "-b", "9600", "-p", "{port}"], {},
     OPENED % ("{path}", 9600), ""),
    ("POSIXLY_CORRECT stops at the first word", ["-p", "{port}", "COM3", "-b", "9600"],
     {"POSIXLY_CORRECT": "1"}, BAUD_MENU, ""),
    ("without POSIXLY_CORRECT the same words", ["-p", "{port}", "COM3", "-b", "9600"], {},
     OPENED % ("{path}", 9600), ""),
    ("-- ends the options", ["-p", "{port}", "--", "-b", "9600"], {}, BAUD_MENU, ""),
    ("-p given a full device path", ["-p", "\\\\.\\{port}", "-b", "9600"], {},
     OPENED % ("{path}", 9600), ""),
    ("a later -b replaces an earlier one", ["-p", "{port}", "-b", "9600", "-b", "115200"], {},
     OPENED % ("{path}", 115200), ""),
    ("a later -p replaces an earlier one", ["-p", "COM3", "-b", "9600", "-p", "{port}"], {},
     OPENED % ("{path}", 9600), ""),
    ("a value that looks like an option", ["-b", "9600", "-p", "-b"], {},
     OPEN_FAILED % ("\\\\.\\-b", 9600), ""),
    ("-p with an empty value: the bare prefix keeps failing", ["-p", "", "-b", "9600"], {},
     OPEN_FAILED % ("\\\\.\\", 9600) * 2, ""),
    ("an invalid option", ["-x", "-p", "{port}", "-b", "9600"], {}, OPENED % ("{path}", 9600),
     INVALID_OPTION % ("{argv0}", "x")),
    ("an invalid letter grouped before -p", ["-xp", "{port}", "-b", "9600"], {},
     OPENED % ("{path}", 9600), INVALID_OPTION % ("{argv0}", "x")),
    ("a missing value", ["-p", "{port}", "-b"], {}, BAUD_MENU,
     MISSING_ARGUMENT % ("{argv0}", "b")),
    ("a -b beyond 32 bits is clamped", ["-p", "{port}", "-b", "99999999999"], {},
     OPENED % ("{path}", 2147483647), ""),
    ("a -p that fits exactly (31 bytes)", ["-b", "9600", "-p", "N" * 27], {},
     OPEN_FAILED % ("\\\\.\\" + "N" * 27, 9600), ""),
    ("a -p too long is refused, the earlier one stays",
     ["-b", "9600", "-p", "{port}", "-p", "N" * 28], {}, OPENED % ("{path}", 9600),
     NAME_TOO_LONG % ("{argv0}", "N" * 28)),
]


@scenario()
def option_cases(h):
    device = h.device()
    for what, args, env, shown, error in OPTION_ROWS:
        fill = {"port": device.name, "path": port_path(device.name)}
        program = h.start([word.format(**fill) for word in args], env=env)
        try:
            program.expect(shown.format(**fill))
        except harness.Failure as failure:
            raise harness.Failure("%s: %s" % (what, failure))
        program.stop()
        expected_error = gbk_pipe(error.format(argv0=program.argv0))
        harness.check_bytes(what + ": standard error", expected_error, program.err.since_mark())


@scenario()
def baud_menu_when_rate_is_not_a_number(h):
    device = h.device()
    program = h.start(["-p", device.name, "-b", "fast"])
    program.expect(BAUD_MENU)
    program.expect("1=9600\t2=115200\t3=74880\t4=300\t\n")
    program.press(b"2\r")
    if windows():
        # Wine's console does not end the line with an Enter that was typed before the program
        # began to read it (a real console does): a second Enter finishes the answer there.
        selected = harness.gbk(">>已选择波特率：")
        if program.out.wait_for(lambda text: True if selected in text else None, 3) is None:
            program.press(b"\r")
    program.expect(">>已选择波特率：115200\n")
    program.expect_opened(device.name, 115200)


@scenario("windows")
def wildcards_expanded(h):
    # The Windows program expands wildcards itself: "96*" names the file 9600 in its folder,
    # "7*" matches nothing and stays as typed (7 as a rate).
    open(os.path.join(h.tmp, "9600"), "w").close()
    device = h.device()
    for pattern, rate in [("96*", 9600), ("7*", 7)]:
        program = h.start(["-p", device.name, "-b", pattern], cwd=h.tmp)
        program.expect_opened(device.name, rate)
        program.stop()


if __name__ == "__main__":
    harness.main()
