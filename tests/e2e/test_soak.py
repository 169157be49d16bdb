"""Reconnect soak: the device is unplugged and replugged at random moments (seeded) while it sends
numbered lines and numbered keys are typed. Every byte shown and every key the device received is
checked, every loss and return announced, and the program's descriptors, memory and threads stay
flat. `test_soak.py --cycles N [--seed S]` besides the harness options; ctest runs 5 cycles."""
import argparse, os, random, re, sys, threading, time

import harness
from harness import LOST, RECONNECTED, check, gbk, port_path, scenario, wait_until

OPTIONS = argparse.Namespace(cycles=5, seed=None)
WRITE_FAILED = "write to serial port fail\n"  # a key typed after the unplug, before the loss shows
RSS_NOISE_KIB = 512


def type_keys(program, typed, stop):  # "0 1 2 ... 1234 ": a lost, doubled or moved byte shows
    number = 0
    while not stop.is_set():
        for key in b"%d " % number:
            os.write(program.master, bytes([key]))
            typed.append(key)
            time.sleep(0.005)
        number += 1


def resources(program, device):  # fds, VmRSS (KiB), threads; only the device's port held
    proc = "/proc/%d/" % program.process.pid
    links = [os.readlink(proc + "fd/" + fd) for fd in os.listdir(proc + "fd")]
    current = re.findall(rb"ready \S+ (\S+)\n", device.status.data)[-1].decode()
    ports = {link for link in links if link.startswith("/dev/pts/")} - {os.ttyname(program.slave)}
    check("device ports held", [current], sorted(ports))
    rss = int(re.search(r"VmRSS:\s+(\d+)", open(proc + "status").read()).group(1))
    return len(links), rss, len(os.listdir(proc + "task"))


@scenario()
def soak(h):
    seed = OPTIONS.seed if OPTIONS.seed is not None else random.randrange(1 << 32)
    print("soak: seed %d, %d cycles" % (seed, OPTIONS.cycles), flush=True)
    assert OPTIONS.cycles > 0, "no cycles"
    rng, native = random.Random(seed), not harness.windows()
    device, program = h.start_with_device()
    path = port_path(device.name)
    lost, back = gbk(LOST % (path, 9600)), gbk(RECONNECTED % (path, 9600))
    failed = gbk(WRITE_FAILED)
    typed, stop = bytearray(), threading.Event()
    typist = threading.Thread(target=type_keys, args=(program, typed, stop), daemon=True)
    typist.start()
    line, shown, keys, keys_end, losses, samples = 0, 0, 0, 0, 0, []

    def keys_run():  # this up-period's keys, and where they start in the typed stream (or -1)
        run = device.received()
        return run, bytes(typed).find(run, keys_end)

    cycle = 0
    try:  # the program's resources are sampled in every up-period, the last one included
        for cycle in range(1, OPTIONS.cycles + 2):
            mark = len(typed)  # keys flow while up: one typed from now on arrives
            wait_until(lambda: (lambda run, start: start < 0 or start + len(run) > mark)(
                *keys_run()), "a key typed while up to reach the device")
            if native:
                samples.append(resources(program, device))
            if cycle > OPTIONS.cycles:
                break
            sent = ""
            for _ in range(rng.randint(1, 6)):  # bursts of lines, sometimes a pause between
                numbers = range(line, line + rng.randint(1, 40))
                burst = "".join("第%06d行 line %06d\n" % (n, n) for n in numbers)
                device.send(burst.encode())
                sent, line = sent + burst, numbers.stop
                time.sleep(rng.choice([0, 0, rng.uniform(0, 0.6)]))
            device.command("wait-read")  # what the device sent is taken before the cable goes
            time.sleep(rng.choice([0, rng.uniform(0, 1.5)]))
            device.command("unplug")
            run, start = keys_run()
            assert start >= 0, "keys received while up are no run of the typed ones:\n  %r" % (
                run[-200:])
            keys_end, device.mark, keys = start + len(run), device.mark + len(run), keys + len(run)
            time.sleep(rng.choice([0, rng.uniform(0, 1), rng.uniform(1, 3)]))  # maybe unnoticed
            device.command("replug")
            check("shown while up", gbk(sent), program.expect(lost).replace(failed, b""))
            down = program.expect(back).replace(failed, b"")
            losses += 1 + down.count(lost)
            check("shown while down", b"", down.replace(lost, b""))
            shown += len(sent.encode())
    except AssertionError as error:
        raise AssertionError("cycle %d: %s" % (cycle, error)) from None
    finally:
        stop.set()
        typist.join()
    if native:
        (fds, rss, threads), (fds2, rss2, threads2) = samples[1], samples[-1]
        check("descriptors after the first and the last cycle", fds, fds2)
        check("threads after the first and the last cycle", threads, threads2)
        # A sanitizer's allocator keeps freed memory in quarantine; it finds leaks itself.
        assert rss2 - rss <= RSS_NOISE_KIB or os.environ.get("COMTERM_SANITIZER"), (
            "VmRSS grew from %d to %d KiB" % (rss, rss2))
        print("soak: fds %d -> %d, VmRSS %d -> %d KiB, threads %d -> %d" % (
            fds, fds2, rss, rss2, threads, threads2))
    print("soak: %d cycles, %d bytes (%d lines) received and shown, %d keys sent in order, %d loss "
          "messages and %d returns" % (OPTIONS.cycles, shown, line, keys, losses,
                                       OPTIONS.cycles), flush=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--cycles", type=int, default=OPTIONS.cycles)
    parser.add_argument("--seed", type=int)
    OPTIONS, sys.argv[1:] = parser.parse_known_args()
    harness.main()
