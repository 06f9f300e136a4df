#!/usr/bin/env python3
"""Side-by-side throughput of floodout, coreutils yes and a plain stdio loop.

Builds a Release floodout and the helpers in bench/, then runs the three
commands in alternation (at least 3 pairs) through the same readers:
  pipe-read    a pipe drained by read(2) in 1 MiB pieces
  pipe-splice  a pipe drained by splice(2) into /dev/null
  devnull      /dev/null, bytes from the kernel's count in /proc/PID/io
  tmpfs        a file on /dev/shm, overwritten in place, bytes from /proc/PID/io
and prints medians in GB/s, ratios, the time to the first byte and how long
after its alarm a floodout run ends. Usage:
  bench/run.py [--seconds S] [--pairs N] [--texts 1,12,4097,131071] [--sinks ...]
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
SINKS = ("pipe-read", "pipe-splice", "devnull", "tmpfs")
TMPFS_FILE = f"/dev/shm/floodout-bench-{os.getpid()}"
TMPFS_BYTES = 6 << 30


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DFLOODOUT_BENCH=ON", "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD], check=True, stdout=subprocess.DEVNULL)


def text_of(size):
    return "".join(chr(ord("a") + i % 26) for i in range(size))


def command(name, seconds, text):
    """argv, and whether it ends by itself after `seconds`."""
    if name == "floodout":
        return [os.path.join(BUILD, "floodout"), str(seconds), text], True
    if name == "stdio":
        return [os.path.join(BUILD, "bench", "bench_stdio_loop"), str(seconds), text], True
    # yes adds a newline: one byte less of text gives lines of the same size.
    return ["yes", text[:-1]], False


def wchar(proc):
    with open(f"/proc/{proc.pid}/io") as io:
        for line in io:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


def sample(proc, seconds):
    """Bytes per second written between 20% and 70% of the run, from the
    kernel's count."""
    time.sleep(seconds * 0.2)
    b1, t1 = wchar(proc), time.monotonic()
    time.sleep(seconds * 0.5)
    b2, t2 = wchar(proc), time.monotonic()
    return (b2 - b1) / (t2 - t1)


def run_once(name, sink, seconds, text):
    """GB/s."""
    argv, timed = command(name, seconds, text)
    if sink.startswith("pipe"):
        writer = subprocess.Popen(argv, stdout=subprocess.PIPE)
        reader = subprocess.Popen([os.path.join(BUILD, "bench", "bench_reader"),
                                   "splice" if sink == "pipe-splice" else "read"],
                                  stdin=writer.stdout, stdout=subprocess.PIPE, text=True)
        writer.stdout.close()
        if not timed:
            time.sleep(seconds)
            writer.send_signal(signal.SIGTERM)
        writer.wait()
        nbytes, took = reader.communicate()[0].split()
        rate = int(nbytes) / float(took)
    else:
        # The tmpfs file's pages exist already and are overwritten in place:
        # a new page costs this VM far more than the copy into it.
        path = "/dev/null" if sink == "devnull" else TMPFS_FILE
        with open(path, "r+b" if sink == "tmpfs" else "wb") as out:
            writer = subprocess.Popen(argv, stdout=out)
            rate = sample(writer, seconds)
            if not timed:
                writer.send_signal(signal.SIGTERM)
            writer.wait()
    return rate / 1e9


def first_byte_us(argv):
    out = subprocess.run([os.path.join(BUILD, "bench", "bench_first_byte")] + argv,
                         capture_output=True, text=True, check=True)
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=2)
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--texts", default="1,12,4097,131071")
    parser.add_argument("--sinks", default=",".join(SINKS))
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    if args.pairs < 3:
        parser.error("at least 3 pairs")
    if not args.no_build:
        build()
    sizes = [int(s) for s in args.texts.split(",")]
    sinks = args.sinks.split(",")
    names = ["floodout", "yes", "stdio"]
    if "tmpfs" in sinks:
        # Written once in full: pages that were only fallocated cost more on
        # their first write, which would favour whoever runs later.
        with open(TMPFS_FILE, "wb") as f:
            chunk = bytes(8 << 20)
            for _ in range(TMPFS_BYTES // len(chunk)):
                f.write(chunk)
    try:
        rates = measure(args, sizes, sinks, names)
    finally:
        if os.path.exists(TMPFS_FILE):
            os.unlink(TMPFS_FILE)
    report(args, sizes, sinks, names, rates)


def measure(args, sizes, sinks, names):
    rates = {}
    for pair in range(args.pairs):
        for sink in sinks:
            for size in sizes:
                # Alternate the order so that neither side always runs first.
                order = names if pair % 2 == 0 else list(reversed(names))
                for name in order:
                    rates.setdefault((sink, size, name), []).append(run_once(name, sink, args.seconds, text_of(size)))
                print(f"pair {pair + 1}/{args.pairs} {sink} {size} B done", file=sys.stderr)
    return rates


def report(args, sizes, sinks, names, rates):
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}; {args.pairs} pairs of "
          f"{args.seconds} s runs; medians\n")
    print("| output | text | floodout GB/s | yes GB/s | stdio GB/s | vs yes | vs stdio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for sink in sinks:
        for size in sizes:
            f, y, s = (statistics.median(rates[(sink, size, n)]) for n in names)
            print(f"| {sink} | {size} B | {f:.2f} | {y:.2f} | {s:.3f} | {f / y:.1f}x | {f / s:.0f}x |")

    firsts = {"floodout": [], "yes": []}
    for _ in range(15):
        firsts["floodout"].append(first_byte_us([os.path.join(BUILD, "floodout"), "1"]))
        firsts["yes"].append(first_byte_us(["/usr/bin/yes"]))
    f, y = (statistics.median(firsts[n]) for n in ("floodout", "yes"))
    print(f"\nfirst byte: floodout {f:.0f} us, yes {y:.0f} us ({f / y:.2f}x), median of 15 each")
    lags = {"pipe": [], "/dev/null": [], "tmpfs": []}
    for _ in range(7):
        for sink in lags:
            lags[sink].append(end_lag_ms("/dev/shm/floodout-lag" if sink == "tmpfs" else sink))
    if os.path.exists("/dev/shm/floodout-lag"):
        os.unlink("/dev/shm/floodout-lag")
    print("end after the alarm, start-up included (floodout 1, 7 runs each): " + "; ".join(
        f"{sink} median {statistics.median(v):.1f} ms, max {max(v):.1f} ms" for sink, v in lags.items()))


def end_lag_ms(sink):
    out = subprocess.run([os.path.join(BUILD, "bench", "bench_end_lag"), os.path.join(BUILD, "floodout"), sink, "1"],
                         capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0])

if __name__ == "__main__":
    main()
