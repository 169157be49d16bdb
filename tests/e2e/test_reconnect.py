"""The link: opening, a device that goes away and comes back, a port that never appears, a port
held by another program, and configuration failures that still bring the link up."""

import harness
from harness import LOST, OPEN_FAILED, OPENED, RECONNECTED, gbk, port_path, scenario


@scenario()
def unplug_and_replug(h):
    device, program = h.start_with_device()
    path = port_path(device.name)
    device.unplug()
    # Lost while idle: the lost-link message, repeated before every new attempt.
    program.out.expect_count(gbk(LOST % (path, 9600)), 2)
    device.replug()
    # One more lost-link message before the attempt that succeeds, then the reconnection.
    before = program.expect(RECONNECTED % (path, 9600))
    harness.check(before.endswith(gbk(LOST % (path, 9600))),
                  "the reconnected message does not follow a lost-link message:\n    "
                  + harness.describe(before))
    harness.check(gbk(OPEN_FAILED % (path, 9600)) not in before,
                  "an open-failed message after the first open")
    device.send("回来了 back\n".encode())
    program.out.expect_exactly(gbk("回来了 back\n"), "bytes sent after the reconnection")
    # And the link is watched again: a second loss is noticed too.
    device.unplug()
    program.expect(LOST % (path, 9600))
    device.replug()
    program.expect(RECONNECTED % (path, 9600))


@scenario()
def port_never_appears(h):
    name = h.new_port()
    program = h.start(["-p", name, "-b", "9600"])
    program.out.expect_count(gbk(OPEN_FAILED % (port_path(name), 9600)), 3)
    seen = program.out.data
    harness.check(gbk(">>串口 %s(9600) 打开成功" % port_path(name)) not in seen,
                  "a port that does not exist was announced as open")


@scenario()
def port_appears_later(h):
    name = h.new_port()
    program = h.start(["-p", name, "-b", "9600"])
    program.expect(OPEN_FAILED % (port_path(name), 9600))
    device = h.device(name)
    # The first success is an opening, not a reconnection.
    before = program.expect_opened(name, 9600)
    harness.check(gbk("重连成功") not in before, "the first open was announced as a reconnection")
    device.send(b"ok\n")
    program.out.expect_exactly(b"ok\r\n", "bytes after the open")


# Wine does not keep a second process out of a serial port opened with share mode 0 (Windows does),
# so this runs natively only.
@scenario("native")
def port_held_by_another_program(h):
    # The port is opened exclusively: a second terminal on it keeps failing until the first ends.
    device, first = h.start_with_device()
    second = h.start(["-p", device.name, "-b", "9600"])
    second.out.expect_count(gbk(OPEN_FAILED % (port_path(device.name), 9600)), 2)
    first.stop()
    second.expect_opened(device.name, 9600)
    device.send(b"second\n")
    second.out.expect_exactly(b"second\r\n", "bytes shown by the second terminal")


# Wine sets any rate on a pseudo-terminal, -1 (4294967295) included, where a Windows serial driver
# refuses it: natively only. Under Wine, settings_unreadable_link_still_comes_up covers the
# configuration failure.
@scenario("native")
def rate_refused_link_still_comes_up(h):
    # A negative rate goes to the line settings unchanged, and the device refuses it.
    device = h.device()
    program = h.start(["-p", device.name, "-b", "-1"])
    before = program.expect_opened(device.name, -1)
    harness.check(before.endswith(gbk("SetCommState fail\n")),
                  "no SetCommState failure before the open message:\n    "
                  + harness.describe(before))
    program.settle_keyboard(device)
    program.press(b"k")
    device.expect_received(b"k", "a key sent on the link that came up")


@scenario("windows")
def settings_unreadable_link_still_comes_up(h):
    # A COM name that leads to something other than a terminal: Wine opens it, but reading the
    # line settings fails. (The Linux layer refuses such a file at the open itself.)
    name = h.new_port()
    h.publish(name, "/dev/null")
    program = h.start(["-p", name, "-b", "9600"])
    before = program.expect(OPENED % (port_path(name), 9600))
    harness.check(before.endswith(gbk("GetCommState fail\n")),
                  "no GetCommState failure before the open message:\n    "
                  + harness.describe(before))


@scenario("native")
def not_a_terminal_is_not_opened(h):
    # The Linux layer opens terminals only: a COM name leading to a plain file keeps failing.
    name = h.new_port()
    with open(h.link_path(name), "w") as plain:
        plain.write("not a device")
    program = h.start(["-p", name, "-b", "9600"])
    program.out.expect_count(gbk(OPEN_FAILED % (port_path(name), 9600)), 2)


if __name__ == "__main__":
    harness.main()
