import fcntl, os, re, termios

import harness
from harness import OPEN_FAILED, OPENED, check, deadline, port_path, scenario, windows


USAGE = "串口调试工具(by comterm)\n参数说明:%s [-p 串口名] [-b 波特率]\n例如：%s -p COM3 -b 9600\n"
VERSION = "comterm %s\n" % re.search(r"project\(comterm VERSION ([^ )]+)",
                                     open(harness.SOURCE_DIR + "/CMakeLists.txt").read())[1]
LONG_NAME = "x" * 300 + "/c"


# (id, argv[0], arguments, exit status (None: it goes on), standard output, standard error). Only
# a backslash cuts argv[0]; under Wine it is the full Windows path.
def word_rows():
    if windows():
        usage = ("usage", None, [], None, "", USAGE.replace("%s", "comterm.exe"))
    else:
        usage = ("usage", "C:\\a\\" + LONG_NAME, [], None, "", USAGE % (LONG_NAME, LONG_NAME))
    return [usage,
            ("version-first", "comterm", "-x -b 9600 --version --help -p".split(), 0, VERSION,
             "{argv0}: invalid option -- x\n"),
            # refused before a port or a menu, which would wait
            ("log-folder-missing", "comterm", ["--log", "no/such/session.log"], 1, "",
             "{argv0}: cannot open the log no/such/session.log: {no_folder}\n"),
            ("encoding", "comterm", ["-p", "COM3", "--encoding=latin1"], 2, "",
             "{argv0}: invalid argument 'latin1' for '--encoding' (utf-8 or gbk)\n")]


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
    ("no-rate", "-p {port} -b x -b", {}, BAUD_MENU, "{argv0}: option requires an argument -- b\n"),
    ("name-length", "-b 9600 -p %s -p %sN" % ("N" * 27, "N" * 27), {}, FAILED % ("N" * 27) * 2,
     "{argv0}: port name too long -- %s\ncomterm: {tried}%s: {missing}\n" % ("N" * 28, "N" * 27)),
    ("regular-file", "-p {file} -b 9600", {}, OPEN_FAILED % ("{file}", 9600) * 2,
     "comterm: {file}: not a serial port\n"),
    # --hel: a long option cut short
    ("invalid-letters", "--hel -xp {port} -b9600 -- --help", {}, UP,
     "{argv0}: unrecognized option '--hel'\n{argv0}: invalid option -- x\n" + IGNORED % "--help"),
    ("read-otherwise", "{port} 115200 -p {port} -b 115k", {}, OPENED % ("{path}", 115),
     "{argv0}: -b 115k: read as 115\n" + IGNORED % "{port} 115200"),
]
# Under Wine '/' begins a name; natively '/' begins a device path,
# kept as typed however long (the device's link is longer than 31 characters), and the device
# refuses the rate -1 (which is read as written): a configuration failure only delays the link.
WINE_ROWS = [
    ("slash-is-a-name", "-b 9600 -p /dev/x", {}, FAILED % "/dev/x" * 2,
     "comterm: \\\\.\\/dev/x: Path not found.\n"),
]
NATIVE_ROWS = [
    ("long-link", "-b 9600 -p {link} -p /%s" % ("x" * 4095), {}, OPENED % ("{link}", 9600),
     "{argv0}: port name too long -- /%s\n" % ("x" * 4095)),
    ("rate-refused", "-p {port} -b -1", {}, "SetCommState fail\n" + OPENED % ("{path}", -1), ""),
]
PORT_MENU = "===================\n>>当前有 %d 个串口可用，请输入数字并回车来选择串口：\n"
# (id, answers, port and rate chosen): a number out of range picks the first entry, an answer
# without a number the last one and stays in the input for the next menu; blank lines are skipped.
MENU_ROWS = [("in-range", "\n \n2 3\n", "COM7", 74880), ("no-number", "x\n", "COM7", 250000),
             ("out-of-range", "4294967298\n0\n", "COM3", 9600)]


@scenario(rows=word_rows)
def usage_version_refusals(h, argv0, args, status, out, error):
    program = h.start(args, argv0=argv0, stdout="pipe")
    if status is not None:
        check("exit status", status, program.process.wait(deadline()))
        program.out.expect(out, "output")
    error = error.format(argv0=program.argv0, no_folder="No such file or directory")
    program.err.expect(error, "the messages")


@scenario(rows=lambda: OPTION_ROWS + (WINE_ROWS if windows() else NATIVE_ROWS))
def options(h, args, env, shown, error):
    device = h.shared("device", h.device)
    fill = {"port": device.name, "path": port_path(device.name), "link": h.link_path(device.name),
            "file": h.tmp + "/k", "tried": "/dev/", "missing": "No such file or directory"}
    if windows():  # Wine's texts; a name beginning with '/' is no path there
        fill.update({"tried": "\\\\.\\", "missing": "File not found.",
                     "file": h.tmp.replace("/", "\\") + "\\k"})
    open(os.path.join(h.tmp, "k"), "w").close()
    program = h.start(args.format(**fill).split(" "), env=env)
    program.out.expect(shown.format(**fill))
    program.stop()
    program.err.expect(error.format(argv0=program.argv0, **fill), "the messages")


@scenario(rows=MENU_ROWS)
def menus(h, answers, port, rate):
    # Answers through a pipe (scanf reads them as from a keyboard); the output into one, unchanged.
    h.shared("devices", lambda: [h.device("COM3"), h.device("COM7")])
    program = h.start([], stdin="pipe", stdout="pipe")
    program.process.stdin.write(answers.encode())
    program.out.expect(PORT_MENU % 2 + "1=COM3\t2=COM7\t\n\n>>已选择串口：%s\n" % port + BAUD_MENU)
    program.out.expect(">>已选择波特率：%d\n%s" % (rate, OPENED % (port_path(port), rate)))
    program.stop()


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
    if windows():  # cmd's pause
        program.out.expect("Press any key")
    else:  # blocked reading its input (call 0 on descriptor 0); a program gone has no such file
        syscall = "/proc/%d/syscall" % program.process.pid
        harness.wait_until(lambda: open(syscall).read().startswith("0 0x0 "), "the pause")
    check("the program waiting at the pause", None, program.process.poll())
    program.process.stdin.write(b"k")
    check("exit status", 0, program.process.wait(deadline()))


if __name__ == "__main__":
    harness.main()
