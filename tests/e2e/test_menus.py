"""Port and baud selection as a user meets them: discovery of the ports that can be opened, the two
menus byte for byte, the answer rules, and the ending when no port can be opened."""

import atexit
import fcntl
import os
import re
import shutil
import subprocess
import tempfile
import termios
import time

import harness
from harness import (BAUD_MENU, OPENED, check, check_bytes, deadline_seconds, gbk_pipe,
                     port_path, scenario, windows)

PORT_MENU = "===================\n>>当前有 %d 个串口可用，请输入数字并回车来选择串口：\n"
# Two entries a line, each with a tab; an empty line after the last.
TWO_PORTS_MENU = PORT_MENU % 2 + "1=COM3\t2=COM7\t\n\n"
ONE_PORT_MENU = PORT_MENU % 1 + "1=COM7\t\n"
BAUD_TABLE = ("1=9600\t2=115200\t3=74880\t4=300\t\n"
              "5=1200\t6=2400\t7=4800\t8=19200\t\n"
              "9=38400\t10=57600\t11=230400\t12=250000\t\n"
              "\n")
PORT_CHOSEN = ">>已选择串口：%s\n"
BAUD_CHOSEN = ">>已选择波特率：%d\n"
NO_PORT = ">>当前没有可用串口\n"
PAUSE_LINUX = "请按任意键继续. . .\n"
# cmd's pause: "Press any key to continue . . ." on Windows,
# "Press any key to continue... " in Wine.
PAUSE_WINDOWS = re.compile(rb"Press any key to continue ?\.( ?\.){2} ?$")

PRIVATE_PREFIX = []  # the Windows scenarios' own Wine prefix, made on first use


def private_wine_prefix():
    """A menu lists every port its prefix offers, so under Wine these scenarios run in a prefix of
    their own, where no other run publishes ports: a copy of the shared one without its COM names,
    made once and removed at the end. scripts/wine-prefix sets the machine's own serial devices
    aside in it (Wine links them again as its server starts)."""
    if not PRIVATE_PREFIX:
        shared = harness.wine_env()["WINEPREFIX"]
        folder = tempfile.mkdtemp(prefix="comterm-e2e-menus-")
        prefix = os.path.join(folder, "wineprefix")
        subprocess.run(["cp", "-a", shared, prefix], check=True)
        dosdevices = os.path.join(prefix, "dosdevices")
        for entry in os.listdir(dosdevices):
            path = os.path.join(dosdevices, entry)
            if not entry.startswith("com"):
                continue
            if os.path.islink(path):
                os.unlink(path)
            else:
                os.rmdir(path)  # a machine's port set aside by scripts/wine-prefix
        os.environ["WINEPREFIX"] = prefix
        PRIVATE_PREFIX.append(prefix)
        atexit.register(remove_private_prefix, folder)
        harness.prepare_wine()
        subprocess.run([os.path.join(harness.SOURCE_DIR, "scripts", "wine-prefix")],
                       env=harness.wine_env(), check=True, stdout=subprocess.DEVNULL)
    return PRIVATE_PREFIX[0]


def remove_private_prefix(folder):
    subprocess.run(["wineserver", "-k"], env=harness.wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    try:
        subprocess.run(["wineserver", "-w"], env=harness.wine_env(), timeout=60)
    except subprocess.TimeoutExpired:
        pass  # the folder goes all the same
    shutil.rmtree(folder, ignore_errors=True)


def only_our_ports(h, names):
    """Natively the scenario's device folder is its own. Under Wine the scenario moves to the
    private prefix, which must offer no port but the scenario's."""
    if not windows():
        return
    h.device_dir = os.path.join(private_wine_prefix(), "dosdevices")
    others = []
    for entry in os.listdir(h.device_dir):
        number = re.fullmatch(r"com([0-9]+)", entry)
        path = os.path.join(h.device_dir, entry)
        if number and 1 <= int(number.group(1)) <= 255 and os.path.islink(path):
            others.append("%s -> %s" % (entry, os.readlink(path)))
    check(not others, "COM names in the private Wine prefix before the scenario's own: %s"
          % others)


def devices(h, *names):
    only_our_ports(h, names)
    return [h.device(name) for name in names]


def start(h, args=()):
    """The program with its answers on a pipe (scanf reads them as from a keyboard) and its output
    on a pipe too, so that what it writes is compared unchanged: no terminal, no title."""
    return h.start(list(args), stdin="pipe", stdout="pipe")


def answer(program, text):
    program.process.stdin.write(text.encode())
    program.process.stdin.flush()


def shows(program, text):
    """Waits for text (anywhere after what was matched before)."""
    return program.out.expect(gbk_pipe(text))


def shows_exactly(program, text, what):
    program.out.expect_exactly(gbk_pipe(text), what)


@scenario()
def two_free_ports_menu(h):
    com3, com7 = devices(h, "COM3", "COM7")
    program = start(h)
    # Discovery prints nothing of its own: the first byte of output is the menu's.
    shows_exactly(program, TWO_PORTS_MENU, "the port menu")
    answer(program, "2\n")
    shows_exactly(program, PORT_CHOSEN % "COM7" + BAUD_MENU + BAUD_TABLE, "the baud menu")
    answer(program, "1\n")
    shows_exactly(program, BAUD_CHOSEN % 9600 + OPENED % (port_path("COM7"), 9600),
                  "the choice and the open")
    # The port opened is the device behind COM7, and probing wrote nothing to COM3.
    com7.send(b"seven")
    program.out.expect(b"seven")
    check_bytes("bytes the probe sent to COM3", b"", com3.received())


# (answer at the port menu, port chosen, answer at the baud menu, rate chosen). An answer without a
# number is met again at once by the baud menu, which then takes the last rate without waiting.
PORT_ANSWER_ROWS = [
    ("0", "COM3", "1", 9600),
    ("-1", "COM3", "1", 9600),
    ("3", "COM3", "1", 9600),  # above the count
    ("4294967298", "COM3", "1", 9600),  # narrowed to 32 bits it would be 2
    ("99999999999999999999", "COM3", "1", 9600),  # too large for any long
    ("1", "COM3", "1", 9600),
    ("x", "COM7", None, 250000),
    ("2x", "COM7", None, 250000),  # the x stays in the input for the baud menu
]


@scenario()
def port_menu_answers(h):
    devices(h, "COM3", "COM7")
    for port_answer, port, baud_answer, rate in PORT_ANSWER_ROWS:
        what = "port answer %r" % port_answer
        program = start(h)
        shows_exactly(program, TWO_PORTS_MENU, what + ": the port menu")
        answer(program, port_answer + "\n" + (baud_answer + "\n" if baud_answer else ""))
        shows_exactly(program, PORT_CHOSEN % port + BAUD_MENU + BAUD_TABLE + BAUD_CHOSEN % rate
                      + OPENED % (port_path(port), rate), what)
        program.stop()


# (answer at the baud menu, rate chosen).
BAUD_ANSWER_ROWS = [
    ("0", 9600),
    ("13", 9600),
    ("12", 250000),
    ("x", 250000),
    ("4294967298", 9600),  # narrowed to 32 bits it would be 2 (115200)
    ("-4294967284", 9600),  # narrowed to 32 bits it would be 12 (250000)
    ("3", 74880),
]


@scenario()
def baud_menu_answers(h):
    devices(h, "COM3")
    for baud_answer, rate in BAUD_ANSWER_ROWS:
        what = "baud answer %r" % baud_answer
        program = start(h, ["-p", "COM3"])
        shows_exactly(program, BAUD_MENU + BAUD_TABLE, what + ": the baud menu")
        answer(program, baud_answer + "\n")
        shows_exactly(program, BAUD_CHOSEN % rate + OPENED % (port_path("COM3"), rate), what)
        program.stop()


@scenario()
def one_line_answers_both_menus(h):
    devices(h, "COM3", "COM7")
    program = start(h)
    shows(program, TWO_PORTS_MENU)
    answer(program, "2 5\n")
    shows_exactly(program, PORT_CHOSEN % "COM7" + BAUD_MENU + BAUD_TABLE + BAUD_CHOSEN % 1200
                  + OPENED % (port_path("COM7"), 1200), "both answers from one line")


@scenario()
def empty_lines_do_not_answer(h):
    devices(h, "COM3", "COM7")
    program = start(h)
    shows(program, TWO_PORTS_MENU)
    answer(program, "\n\n  \n")
    program.out.expect_quiet(1.0, "no choice after empty lines at the port menu")
    answer(program, "2\n")
    shows(program, PORT_CHOSEN % "COM7" + BAUD_MENU + BAUD_TABLE)
    answer(program, "\n")
    program.out.expect_quiet(1.0, "no choice after an empty line at the baud menu")
    answer(program, "3\n")
    shows_exactly(program, BAUD_CHOSEN % 74880 + OPENED % (port_path("COM7"), 74880),
                  "the answers after the empty lines")


def console_ready(program):
    """Wine takes the terminal over as its console (raw, no echo) some time after start-up, and
    keys typed before that are lost: under Wine the keys wait for it. Natively the line is read
    through the terminal's own line editing, ready from the start."""
    if not windows():
        return
    end = time.monotonic() + deadline_seconds()
    while termios.tcgetattr(program.slave)[3] & termios.ECHO:
        check(time.monotonic() < end, "Wine did not take the terminal over as its console")
        time.sleep(0.05)


@scenario()
def answers_typed_at_a_terminal(h):
    # A user at a terminal: the answers are typed, Enter ends each line.
    devices(h, "COM3", "COM7")
    program = h.start([])
    program.expect(TWO_PORTS_MENU)
    console_ready(program)
    program.press(b"2\r")
    program.expect(PORT_CHOSEN % "COM7" + BAUD_MENU + BAUD_TABLE)
    program.press(b"5\r")
    program.expect(BAUD_CHOSEN % 1200)
    program.expect_opened("COM7", 1200)


class exclusive_holder:
    """Another program holding a port the way a careful serial program does: an exclusive flock
    and the tty's exclusive mode (TIOCEXCL)."""

    def __init__(self, h, name):
        self.fd = os.open(os.path.realpath(h.link_path(name)), os.O_RDWR | os.O_NOCTTY |
                          os.O_NONBLOCK)
        fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.ioctl(self.fd, termios.TIOCEXCL)

    def release(self):
        fcntl.ioctl(self.fd, termios.TIOCNXCL)  # the mode is the tty's: it outlives our descriptor
        os.close(self.fd)


def held_port_is_not_offered(h, hold, release):
    devices(h, "COM3", "COM7")
    holder = hold()
    program = start(h)
    if windows():
        # Windows refuses a second open of a port; Wine (8.0) lets it through, even in the same
        # process, so there the probe cannot tell a held port from a free one.
        menu = gbk_pipe(TWO_PORTS_MENU)
        if program.out.wait_for(lambda text: text if len(text) >= len(menu) else None,
                                None) == menu:
            harness.skip("Wine opens a COM port that another program holds with share mode 0")
    shows_exactly(program, ONE_PORT_MENU, "the menu while COM3 is held")
    program.stop()
    release(holder)
    # Released, it is offered again: the probe itself left nothing behind.
    program = start(h)
    shows_exactly(program, TWO_PORTS_MENU, "the menu once COM3 is free")


@scenario()
def port_held_by_another_comterm_is_not_offered(h):
    def hold():
        holder = start(h, ["-p", "COM3", "-b", "9600"])
        shows(holder, OPENED % (port_path("COM3"), 9600))
        return holder

    held_port_is_not_offered(h, hold, lambda holder: holder.stop())


@scenario("native")
def port_held_exclusively_by_another_program_is_not_offered(h):
    held_port_is_not_offered(h, lambda: exclusive_holder(h, "COM3"),
                             lambda holder: holder.release())


@scenario()
def no_port_at_all(h):
    # Nothing to open but a port numbered above the probed range, which is never discovered.
    devices(h, "COM256")
    program = start(h)
    if windows():
        shows_exactly(program, NO_PORT, "the no-port message")
        pause = program.out.wait_for(lambda text: PAUSE_WINDOWS.search(text), None)
        check(pause is not None, "no pause text: %r" % program.out.since_mark())
        program.out.skip_all()
    else:
        shows_exactly(program, NO_PORT + PAUSE_LINUX, "the no-port message and the pause")
    # The pause waits for a key; then the program ends with status 0.
    program.out.expect_quiet(1.0, "nothing while the pause waits")
    check(program.process.poll() is None, "the program did not wait at the pause")
    answer(program, "k")
    status = program.wait_exit()
    check(status == 0, "exit status %r after the no-port pause, expected 0" % status)


if __name__ == "__main__":
    harness.main()
