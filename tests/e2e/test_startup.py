import fcntl, os, re, termios

import harness
from harness import OPEN_FAILED, OPENED, check, deadline, port_path, scenario, windows


USAGE = "串口调试工具(by comterm)\n参数说明:%s [-p 串口名] [-b 波特率]\n例如：%s -p COM3 -b 9600\n"
HELP = ("  --help                 show this text and end\n"
        "  --version              show the version and end\n"
        "  --list                 list the ports the menu would offer and end\n"
        "  --echo                 show each key sent as it is typed\n"
        "  --enter cr|lf|crlf     what the Enter key sends (cr)\n"
        "  --char-delay MS        at least MS milliseconds between bytes sent\n"
        "  --dtr on|off           set DTR at every open (as the driver leaves it)\n"
        "  --rts on|off           set RTS at every open (as the driver leaves it)\n"
        "  --exit-key KEY         end with KEY (^], ctrl-] or hex 1d), not sent\n"
        "  --log FILE             append the session to FILE\n"
        "  --timestamp            begin every line with the local time\n"
        "  --hex                  show received bytes in hexadecimal\n"
        "  --encoding utf-8|gbk   what the device sends (default utf-8)\n")
VERSION = "comterm %s\n" % re.search(r"project\(comterm VERSION ([^ )]+)",
                                     open(harness.SOURCE_DIR + "/CMakeLists.txt").read())[1]
LONG_NAME = "x" * 300 + "/c"


# (id, argv[0], arguments, standard output till the end with status 0 (None: it goes on), standard
# error). Only a backslash cuts argv[0]; under Wine it is the full Windows path.
def word_rows():
    if windows():
        usage = ("usage", None, [], None, USAGE.replace("%s", "comterm.exe"))
    else:
        usage = ("usage", "C:\\a\\" + LONG_NAME, [], None, USAGE % (LONG_NAME, LONG_NAME))
    return [usage, ("help", "comterm", ["--help"], USAGE % ("{name}", "{name}") + HELP, ""),
            ("version-first", "comterm", "-x -b 9600 --version --help -p".split(), VERSION,
             "{argv0}: invalid option -- x\n")]


UP, FAILED = OPENED % ("{path}", 9600), OPEN_FAILED % ("\\\\.\\%s", 9600)
BAUD_MENU = "===================\n>>请选择波特率：\n"
IGNORED = "{argv0}: ignored: %s; use -p PORT -b RATE\n"
# (id, arguments split at single spaces, environment, standard output shows, standard error shows).
# A port that fails shows twice: the reason for the first failure is out by then, once.
OPTION_ROWS = [
    ("joined-full-path-later-wins", "-p COM3 -b 9600 -p\\\\.\\{port} -b99999999999", {},
     OPENED % ("{path}", 2147483647), "{argv0}: -b 99999999999: read as 2147483647\n"),
    ("permuted-option-as-value", "COM3 -b 9600 -p -b", {}, FAILED % "-b" * 2,
     IGNORED % "COM3" + "comterm: {tried}-b: {missing}\n"),
    ("posixly-correct", "-p {port} COM3 -b 9600", {"POSIXLY_CORRECT": "1"}, BAUD_MENU,
     IGNORED % "COM3 -b 9600"),
    ("empty-port", "-p  -b 9600", {}, FAILED % "" * 2, "comterm: \\\\.\\: {no_name}\n"),
    ("no-rate", "-p {port} -b x -b", {}, BAUD_MENU, "{argv0}: option requires an argument -- b\n"),
    ("name-length", "-b 9600 -p %s -p %sN" % ("N" * 27, "N" * 27), {}, FAILED % ("N" * 27) * 2,
     "{argv0}: port name too long -- %s\ncomterm: {tried}%s: {missing}\n" % ("N" * 28, "N" * 27)),
    ("regular-file", "-p {file} -b 9600", {}, OPEN_FAILED % ("{file}", 9600) * 2,
     "comterm: {file}: {file_refused}\n"),  # no port
    # --hel: a long option cut short
    ("invalid-letters", "--hel -xp {port} -b9600 -- --help", {}, UP,
     "{argv0}: unrecognized option '--hel'\n{argv0}: invalid option -- x\n" + IGNORED % "--help"),
    ("read-otherwise", "{port} 115200 -p {port} -b 115k", {}, OPENED % ("{path}", 115),
     "{argv0}: -b 115k: read as 115\n" + IGNORED % "{port} 115200"),
]
# Under Wine '/' begins a name, "96*" names the file 9600 ("7*" nothing), /dev/null has no line
# settings; natively '/' begins a device path, kept as typed however long, and the device refuses
# the rate -1 (which is read as written). A configuration failure only delays the link.
WINE_ROWS = [
    ("slash-is-a-name", "-b 9600 -p /dev/x", {}, FAILED % "/dev/x" * 2,
     "comterm: \\\\.\\/dev/x: Path not found.\n"),
    ("settings-unreadable", "-p {null} -b 9600", {},
     "GetCommState fail\n" + OPENED % ("\\\\.\\{null}", 9600), ""),
    ("wildcard", "-p {port} -b 96*", {}, UP, ""),
    ("no-wildcard-match", "-p {port} -b 7*", {}, OPENED % ("{path}", 7),
     "{argv0}: -b 7*: read as 7\n"),
]
NATIVE_ROWS = [
    ("long-link", "-b 9600 -p {by_id} -p /%s" % ("x" * 4095), {}, OPENED % ("{by_id}", 9600),
     "{argv0}: port name too long -- /%s\n" % ("x" * 4095)),
    ("rate-refused", "-p {port} -b -1", {}, "SetCommState fail\n" + OPENED % ("{path}", -1), ""),
]
PORT_MENU = "===================\n>>当前有 %d 个串口可用，请输入数字并回车来选择串口：\n"
TABLE = ("1=9600\t2=115200\t3=74880\t4=300\t\n5=1200\t6=2400\t7=4800\t8=19200\t\n"
         "9=38400\t10=57600\t11=230400\t12=250000\t\n\n")
# (id, answers, port and rate chosen): a number out of range picks the first entry, an answer
# without a number the last one and stays in the input for the next menu; blank lines are skipped.
MENU_ROWS = [
    ("in-range", "\n \n2 3\n", "COM7", 74880), ("no-number", "x\n", "COM7", 250000),
    ("below", "0\n12\n", "COM3", 250000), ("negative", "-1\n0\n", "COM3", 9600),
    ("above", "3\n13\n", "COM3", 9600), ("above-32-bits", "4294967298\n" * 2, "COM3", 9600),
]


@scenario(rows=word_rows)
def usage_help_version(h, argv0, args, out, error):
    program = h.start(args, argv0=argv0, stdout="pipe")
    if out is not None:
        check("exit status", 0, program.process.wait(deadline()))
        program.out.expect(out.format(name=program.argv0.rsplit("\\")[-1]), "output")
    program.err.expect(error.format(argv0=program.argv0), "the messages")


def option_rows():
    return OPTION_ROWS + (WINE_ROWS if windows() else NATIVE_ROWS)


@scenario(rows=option_rows)
def options(h, args, env, shown, error):
    device = h.shared("device", h.device)
    link = h.link_path(device.name)
    fill = {"port": device.name, "path": port_path(device.name),
            "by_id": h.tmp + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
            "file": h.tmp.replace("/", "\\") + "\\k", "null": h.shared("null", h.new_port)}
    # Why a port did not open: Wine's texts, or the C library's for the file tried natively.
    if windows():
        fill.update({"tried": "\\\\.\\", "missing": "File not found.", "no_name": "Invalid name.",
                     "file_refused": "not a serial port"})
    else:
        fill.update({"tried": "/dev/", "missing": "No such file or directory",
                     "no_name": "No such file or directory",
                     "file_refused": "No such file or directory"})
    for file in ("k", "9600"):
        open(os.path.join(h.tmp, file), "w").close()
    # null by way of the temporary folder: once it is gone, a link to nothing, which no menu offers
    for path, target in ((fill["by_id"], link), (h.tmp + "/null", "/dev/null"),
                         (h.link_path(fill["null"]), h.tmp + "/null")):
        if not os.path.lexists(path):
            os.symlink(target, path)
    program = h.start(args.format(**fill).split(" "), env=env)
    program.out.expect(shown.format(**fill))
    program.stop()
    program.err.expect(error.format(argv0=program.argv0, **fill), "the messages")


@scenario(rows=MENU_ROWS)
def menus(h, answers, port, rate):
    # Answers through a pipe (scanf reads them as from a keyboard); the output into one, unchanged.
    devices = h.shared("devices", lambda: {name: h.device(name) for name in ("COM3", "COM7")})
    program = h.start([], stdin="pipe", stdout="pipe")
    program.process.stdin.write(answers.encode())
    shown = PORT_MENU % 2 + "1=COM3\t2=COM7\t\n\n>>已选择串口：%s\n" % port + BAUD_MENU + TABLE
    program.out.expect(shown + ">>已选择波特率：%d\n%s" % (rate, OPENED % (port_path(port), rate)), "menu")
    program.stop()
    # Only a probe can have reached the other port (the chosen one: the rest of an answer line too).
    other = "COM7" if port == "COM3" else "COM3"
    check("what reached the other port", b"", devices[other].received())
    devices[port].mark += len(devices[port].received())


# COM3 held by a program that set only the exclusive flag, which does not keep root out and which
# no probe of comterm may clear (another comterm's hold: the Linux serial unit test's second open).
@scenario("native")  # Wine shares ports
def held_port_not_offered(h):
    h.device("COM3")
    h.device("COM7")
    holder = os.fdopen(os.open(h.link_path("COM3"), os.O_NOCTTY), "rb", 0)  # closed when unused
    fcntl.ioctl(holder, termios.TIOCEXCL)
    program = h.start([], stdin="pipe", stdout="pipe")
    program.out.expect(PORT_MENU % 1 + "1=COM7\t\n", "COM3 held")
    program.stop()
    check("the holder's flag", 1, fcntl.ioctl(holder, harness.TIOCGEXCL, bytes(4))[0])


@scenario()
def no_port_pauses_then_ends(h):
    h.device("COM256")  # above the probed range
    program = h.start([], stdin="pipe", stdout="pipe")
    program.out.expect(">>当前没有可用串口\n" + ("" if windows() else "请按任意键继续. . .\n"), "no port")

    def paused():  # Wine: cmd's pause; natively blocked reading its input (call 0 on descriptor 0)
        if windows():
            return b"Press any key" in program.out.since_mark()
        if program.process.poll() is not None:
            return True
        return open("/proc/%d/syscall" % program.process.pid).read().startswith("0 0x0 ")

    harness.wait_until(paused, "the pause")
    check("the program waiting at the pause", None, program.process.poll())
    program.process.stdin.write(b"k")
    check("exit status", 0, program.process.wait(deadline()))


if __name__ == "__main__":
    harness.main()
