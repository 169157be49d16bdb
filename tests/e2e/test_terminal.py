import fcntl, os, resource, signal, subprocess, termios

import harness
from harness import OPENED, check, port_path, scenario, wait_until

TSAN = os.environ.get("COMTERM_SANITIZER") == "tsan"


def exclusive(port):
    return fcntl.ioctl(port, harness.TIOCGEXCL, bytes(4))[0]


def writing_output(pid):  # a thread of it blocked in write(2) on standard output
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/syscall" % (pid, task)) as call:
            if call.read().startswith("1 0x1 "):
                return True
    return False


resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the fault signal leaves no core file
# (id, signal, how): the program gives back its terminal and port (line settings, exclusive flag)
# and ends, or until continued; one row per path: an ending signal, a fault signal, a stop, the
# terminal closed (which need not send SIGHUP), and output stalled in a full pipe nobody reads (as
# `comterm | tee log` with tee's terminal stopped by Ctrl+S), what it held for the pipe dropped and
# the pipe it shares left blocking. TSan runs a handler only once the key read returns, which a
# stop's (SA_RESTART) never does: no stop row then.
SIGNAL_ROWS = [("TERM", signal.SIGTERM, "pipe"), ("SEGV", signal.SIGSEGV, "pipe"),
               ("terminal-closed", signal.SIGHUP, "closed"),
               ("stalled-TERM", signal.SIGTERM, "stalled")]
if not TSAN:
    SIGNAL_ROWS.append(("TSTP", signal.SIGTSTP, "pipe"))


@scenario("native", rows=SIGNAL_ROWS)
def given_back(h, number, how):
    device = h.device()
    port = os.fdopen(os.open(h.link_path(device.name), os.O_RDWR | os.O_NOCTTY), "rb", 0)
    line = termios.tcgetattr(port)
    # Standard output into a pipe: no reader holds a copy of the terminal's master.
    reader, writer = os.pipe()
    stdout = "pipe"
    if how == "stalled":
        stdout = writer
        os.set_blocking(writer, False)
        try:
            while True:
                os.write(writer, bytes(65536))
        except BlockingIOError:
            os.set_blocking(writer, True)
    # Not as it may have come to the harness (ignored by nohup or a script's '&'): then it stays so.
    previous = signal.signal(number, signal.SIG_DFL)
    program = h.start(["-p", device.name, "-b", "115200"], stdout=stdout, group=True)
    signal.signal(number, previous)

    def keys():
        return termios.tcgetattr(program.slave)

    if how == "stalled":
        wait_until(lambda: exclusive(port), "the port taken")
        wait_until(lambda: writing_output(program.process.pid), "the program blocked on its output")
    else:
        program.expect_opened(device.name, 115200)
        wait_until(lambda: keys() != program.settings, "raw keys")
    raw = keys()
    if how == "closed":  # its last master closed, replaced by a copy of the slave: a hang-up
        os.dup2(program.slave, program.master)
    else:
        os.kill(program.process.pid, number)
    if number == signal.SIGTSTP:
        wait_until(lambda: keys() == program.settings, "the settings back while stopped")
        # Continued only once stopped, as a shell's fg is: a SIGCONT sent before the stop is lost.
        wait_until(lambda: os.waitpid(program.process.pid, os.WUNTRACED | os.WNOHANG)[0], "a stop")
        os.kill(program.process.pid, signal.SIGCONT)
        wait_until(lambda: keys() == raw, "raw keys once continued")
        return
    check("how the program ended", -number, program.process.wait(harness.deadline()))
    if how != "closed":
        check("terminal settings", program.settings, keys())
    check("the port's exclusive flag", 0, exclusive(port))
    check("the port's line settings", line, termios.tcgetattr(port))
    check("the pipe's own flags", 0, fcntl.fcntl(writer, fcntl.F_GETFL) & os.O_NONBLOCK)
    os.close(reader)
    os.close(writer)


# (id, COMTERM_TEST_SIGNAL_AT for the preload shim): a SIGTERM while the terminal's settings change
# still gives them back. With no port given, the menus' pause makes the keys raw (call 1) and gives
# them back (call 2).
@scenario("native", rows=[("raw-begins", "1 after"), ("pause-ends", "2 before")])
def signal_while_settings_change(h, signal_at):
    shim = harness.BUILD_DIR + "/tests/e2e/libpreload_shim.so"
    env = {"COMTERM_TEST_SIGNAL_AT": signal_at, "LD_PRELOAD": shim}
    program = h.start([], env=env, stdout="pipe", group=True)
    if signal_at.startswith("2"):  # a key ends the pause
        wait_until(lambda: termios.tcgetattr(program.slave) != program.settings, "raw keys")
        os.write(program.master, b"k")
    check("how the program ended", -signal.SIGTERM, program.process.wait(harness.deadline()))
    check("terminal settings", program.settings, termios.tcgetattr(program.slave))


# On a UTF-8 terminal a port name typed, text received and keys echoed show as they would on a GBK
# one, the port in the title; keys are sent as typed.
@scenario("native")
def utf8_terminal(h):
    def tmux(*args):  # its programs run with the server's environment
        env = dict(os.environ, LC_ALL="C.UTF-8", COMTERM_DEVICE_DIR=h.device_dir)
        command = ["tmux", "-S", h.tmp + "/tmux", "-f", "/dev/null"] + list(args)
        return subprocess.run(command, capture_output=True, text=True, check=True, env=env).stdout

    def key_arrived():
        tmux("send-keys", "-l", ".")
        return wait_until(device.received, timeout=0.5)

    device = h.device("测试")
    command = "%s -p 测试 -b 9600 --echo; sleep 600" % h.program
    tmux("new-session", "-d", "-x", "120", "-y", "30", command)
    try:
        opened = port_path(device.name) + "(9600) 打开成功"
        wait_until(lambda: opened in tmux("capture-pane", "-p"), "the message")
        title = port_path(device.name) + "——串口调试工具(by comterm)"
        wait_until(lambda: title in tmux("display", "-p", "#{pane_title}"), "the port in the title")
        wait_until(key_arrived, "a typed key to reach the device")
        tmux("send-keys", "-l", "你好 ok")
        wait_until(lambda: device.received().endswith("你好 ok".encode()), "the keys at the device")
        device.send("你好，世界！ 温度 25℃\n".encode())
        for text in ("你好 ok", "你好，世界！ 温度 25℃"):
            wait_until(lambda: text in tmux("capture-pane", "-p"), "%r on the screen" % text)
    finally:
        tmux("kill-server")


if __name__ == "__main__":
    harness.main()
