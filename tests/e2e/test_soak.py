"""Reconnect soak (--cycles N, --seed S): numbered lines and keys both ways, the device unplugged
and replugged at random moments; every byte and key checked, descriptors and threads flat."""
import os, random, threading, time

import harness
from harness import LOST, RECONNECTED, check, gbk, port_path, scenario, wait_until


def type_keys(program, typed, stop):  # "0 1 2 ... 1234 ": a lost, doubled or moved key shows
    number = 0
    while not stop.is_set():
        for key in b"%d " % number:
            typed.append(key)  # first: once written, the key may reach the device at once
            os.write(program.master, bytes([key]))
            time.sleep(0.005)
        number += 1


def resources(pid):  # its descriptors and threads
    proc = "/proc/%d/" % pid
    return len(os.listdir(proc + "fd")), len(os.listdir(proc + "task"))


@scenario()
def soak(h):
    options = harness.OPTIONS
    native = not harness.windows()
    seed = random.randrange(1 << 32) if options.seed is None else options.seed
    print("soak: seed %d, %d cycles" % (seed, options.cycles), flush=True)
    rng = random.Random(seed)
    device, program = h.start_with_device()
    lost = gbk(LOST % (port_path(device.name), 9600))
    back = gbk(RECONNECTED % (port_path(device.name), 9600))
    failed = gbk("write to serial port fail\n")  # a key typed after the unplug, before the loss
    typed = bytearray()
    stop = threading.Event()
    line = 0  # the next line's number
    keys_end = 0  # where the keys the device has had end in typed
    samples = []
    typist = threading.Thread(target=type_keys, args=(program, typed, stop), daemon=True)
    typist.start()
    try:  # resources are sampled in every up-period, the last one included
        for cycle in range(options.cycles + 1):
            wait_until(device.received, "a key typed while up to reach the device")
            if native:
                samples.append(resources(program.process.pid))
            if cycle == options.cycles:
                break
            sent = ""
            for _ in range(rng.randint(1, 6)):  # bursts of lines, sometimes a pause between
                numbers = range(line, line + rng.randint(1, 40))
                burst = "".join("第%06d行 line %06d\n" % (n, n) for n in numbers)
                device.send(burst.encode())
                sent += burst
                line = numbers.stop
                time.sleep(rng.choice([0, 0, rng.uniform(0, 0.6)]))
            device.command("wait-read")  # what the device sent is taken before the cable goes
            time.sleep(rng.choice([0, rng.uniform(0, 1.5)]))
            device.command("unplug")
            run = device.received()  # the keys of this up-period: the typed ones after the last run
            start = bytes(typed).find(run, keys_end)
            assert start >= 0, "keys received are no run of the typed ones:\n  %r" % run[-200:]
            keys_end = start + len(run)
            device.mark += len(run)
            time.sleep(rng.choice([0, rng.uniform(0, 1), rng.uniform(1, 3)]))  # maybe unnoticed
            device.command("replug")
            check("shown while up", gbk(sent), program.out.expect(lost).replace(failed, b""))
            down = program.out.expect(back).replace(failed, b"")
            check("shown while down", b"", down.replace(lost, b""))
    except AssertionError as error:
        raise AssertionError("cycle %d: %s" % (cycle + 1, error)) from None
    finally:
        stop.set()
        typist.join()
    if native:
        check("descriptors and threads", samples[1], samples[-1])


if __name__ == "__main__":
    harness.main(cycles=5, seed=None)
