import fcntl, os, signal, subprocess, termios

import harness
from harness import check, scenario, wait_until



def exclusive(port):
    return fcntl.ioctl(port, harness.TIOCGEXCL, bytes(4))[0]


def writing_output(pid):  # a thread of it blocked in write(2) on standard output
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/syscall" % (pid, task)) as call:
            if call.read().startswith("1 0x1 "):
                return True
    return False


def fill(pipe):  # until it takes no more
    os.set_blocking(pipe, False)
    try:
        while True:
            os.write(pipe, bytes(65536))
    except BlockingIOError:
        pass
    os.set_blocking(pipe, True)


# (id, signal): standard output a full pipe that nobody reads, as `comterm | tee log` with tee's
# terminal stopped by Ctrl+S. The signal ends the program all the same, the port given back; what
# it held for the pipe is dropped, and the pipe it shares with others is left blocking.
@scenario("native", rows=[("TERM", signal.SIGTERM), ("HUP", signal.SIGHUP), ("INT", signal.SIGINT)])
def stalled_output(h, number):
    device = h.device()
    port = os.open(h.link_path(device.name), os.O_RDWR | os.O_NOCTTY)
    line = termios.tcgetattr(port)
    reader, writer = os.pipe()
    fill(writer)
    env = dict(os.environ, LANG="zh_CN.GBK", COMTERM_DEVICE_DIR=h.device_dir)
    program = subprocess.Popen([h.program, "-p", device.name, "-b", "115200"], env=env,
                               stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        wait_until(lambda: exclusive(port), "the port taken")
        wait_until(lambda: writing_output(program.pid), "the program blocked on its output")
        os.kill(program.pid, number)
        check("how the program ended", -number, program.wait(harness.deadline()))
        check("the port's exclusive flag", 0, exclusive(port))
        check("the port's line settings", line, termios.tcgetattr(port))
        check("the pipe's own flags", 0, fcntl.fcntl(writer, fcntl.F_GETFL) & os.O_NONBLOCK)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        for fd in (port, reader, writer):
            os.close(fd)


if __name__ == "__main__":
    harness.main()
