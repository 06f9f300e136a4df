#!/usr/bin/env python3
"""Side-by-side throughput of floodout, a previous floodout, coreutils yes,
two writers that work the way newer yes programs do (bench/gnu_yes_like.cpp:
vmsplice, as GNU yes 9.11; bench/uutils_like.cpp: tee(2) and splice, as
uutils yes), a plain stdio loop and, into datagram sockets, syslog-ng's
loggen, over a matrix of outputs and texts.

Builds a Release floodout and the helpers in bench/ (and, with --previous REV,
floodout as it was at git revision REV), then runs the writers in alternation,
at least 3 pairs, through the same outputs:
  read-4k+0 ... read-1m+16  a pipe drained by read(2) in 4 KiB, 64 KiB or
                            1 MiB pieces into a buffer at a page boundary
                            (+0) or 16 bytes past one (+16, as from malloc);
                            read-1m+32 and read-1m+48 on request
  splice                    a pipe drained by splice(2) into /dev/null
  pv, cat, dd, wc           the real clients on a pipe: pv (-n -b -t: its
                            own count, one line a period on stderr; -q would
                            silence it too), cat and dd bs=1M into /dev/null,
                            wc -c
  tcp, unix                 stdout a TCP loopback or a Unix stream socket,
                            drained by read(2) in 1 MiB pieces
  devnull, file             /dev/null, and a tmpfs file overwritten in place
  udp, unixgram             stdout a UDP socket connected to 127.0.0.1, or a
                            Unix datagram socket, drained by recvmmsg(2):
                            datagrams and bytes a second delivered; loggen
                            (--dgram, 127-byte messages or the text's size)
                            writes beside the others

pv is a Debian package (apt-get install pv), loggen comes with syslog-ng-core;
without them their cells are skipped. Prints each cell's median, minimum and
maximum, beside it the CPU that writer and reader spent a GB carried (from
getrusage of each process, user and system; where the bytes carried in all
are known), the worst and the median ratio over the matrix, the
machine with its copy rate at misalignments 0, 8, 16 and 32, the first byte,
how long after its alarm a run ends, and the peak memory of floodout.
With --at-once N,M it runs only N (then M) writer|reader pairs of the same
kind at once (1 MiB, 64 KiB and 4 KiB readers, splice, pv unless --outputs
names others of the pipe readers) and reports what all the pairs' readers
took together and the CPU that all of them and their writers spent a GB,
with one row of a pair beside a busy loop on every CPU; --quick adds those
rows for N = the CPUs and twice that.
Usage:
  bench/run.py [--previous REV] [--quick] [--seconds S] [--pairs N]
               [--texts 1,12,4097,131071] [--outputs read-1m+16,splice,...]
               [--at-once N,M] [--writers floodout,previous,...]
               [--binary NAME=PATH]
"""
import argparse
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
HELPERS = os.path.join(BUILD, "bench")
TEXTS = (1, 12, 4097, 131071)
READS = [(f"read-{name}+{offset}", size, offset)
         for name, size in (("4k", 4096), ("64k", 65536), ("1m", 1 << 20)) for offset in (0, 16)]
# Not in the default matrix: the other offsets a 1 MiB reader's buffer may have.
READS += [(f"read-1m+{offset}", 1 << 20, offset) for offset in (32, 48)]
DATAGRAMS = ["udp", "unixgram"]
OUTPUTS = [r[0] for r in READS if r[2] in (0, 16)] + ["splice", "pv", "cat", "dd", "wc", "tcp", "unix", "devnull",
                                                      "file"] + DATAGRAMS
# Texts for the datagram outputs: loggen's smallest message, and what yes
# puts in one write of 8 KiB.
DATAGRAM_TEXTS = (127, 8190)
PEERS = {"gnu-like": "bench_gnu_yes_like", "uutils-like": "bench_uutils_like"}
TMPFS_FILE = f"/dev/shm/floodout-bench-{os.getpid()}"
TMPFS_BYTES = 8 << 30


def cmake_build(source, build, bench_helpers):
    flags = ["-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
    if bench_helpers:
        flags.append("-DFLOODOUT_BENCH=ON")
    subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja"] + flags, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)


def build_previous(rev):
    """floodout as it was at `rev`, built apart from the work tree."""
    sha = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", rev], check=True, capture_output=True,
                         text=True).stdout.strip()
    build = os.path.join(ROOT, "build", f"bench-previous-{sha}")
    binary = os.path.join(build, "floodout")
    if not os.path.exists(binary):
        with tempfile.TemporaryDirectory() as source:
            archive = subprocess.run(["git", "-C", ROOT, "archive", sha], check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
            cmake_build(source, build, False)
    return binary, sha


def text_of(size):
    return "".join(chr(ord("a") + i % 26) for i in range(size))


def command(writer, binaries, seconds, text):
    """argv, and whether it ends by itself after `seconds`."""
    if writer in binaries:
        return [binaries[writer], str(seconds), text], True
    if writer == "stdio":
        return [os.path.join(HELPERS, "bench_stdio_loop"), str(seconds), text], True
    # yes and the writers that work like newer ones add a newline: one byte
    # less of text gives lines of the same size.
    if writer in PEERS:
        return [os.path.join(HELPERS, PEERS[writer]), text[:-1]], False
    return ["yes", text[:-1]], False


def proc_io(pid, key):
    try:
        with open(f"/proc/{pid}/io") as io:
            for line in io:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def stdout_position(pid):
    """Where stdout's file offset is: write(2) and splice(2) both move it."""
    try:
        with open(f"/proc/{pid}/fdinfo/1") as info:
            for line in info:
                if line.startswith("pos:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def sample(pid, key, seconds):
    """Bytes per second counted by the kernel for `pid` between 20% and 70%
    of the run; key "pos" counts by stdout's offset."""
    def count():
        return stdout_position(pid) if key == "pos" else proc_io(pid, key)
    time.sleep(seconds * 0.2)
    b1, t1 = count(), time.monotonic()
    time.sleep(seconds * 0.5)
    b2, t2 = count(), time.monotonic()
    return (b2 - b1) / (t2 - t1)


def reap(proc):
    """Waits for `proc` and returns the CPU seconds it spent (getrusage of
    that process: user and system). Its pipes keep what it wrote."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def finish(writer_proc, timed, seconds, started):
    """The writer's CPU seconds, once it has ended."""
    if not timed:
        time.sleep(max(0.0, seconds - (time.monotonic() - started)))
        # Not Popen.send_signal, which reaps a writer that has ended already
        # and so loses what it spent.
        os.kill(writer_proc.pid, signal.SIGTERM)
    return reap(writer_proc)


def ms_per_gb(cpu_seconds, nbytes):
    """CPU milliseconds a GB carried; None where nothing was counted."""
    return cpu_seconds * 1e3 / (nbytes / 1e9) if nbytes > 0 else None


def socket_pair(kind):
    if kind == "unix":
        return socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        client = socket.create_connection(listener.getsockname())
        server, _ = listener.accept()
    return server, client


def run_datagrams(writer, output, binaries, seconds, text):
    """Datagrams and bytes a second delivered to a recvmmsg receiver."""
    path = os.path.join(tempfile.gettempdir(), f"floodout-bench-{os.getpid()}.sock")
    reader = [os.path.join(HELPERS, "bench_dgram_reader")] + (["unix", path] if output == "unixgram" else ["udp"])
    r = subprocess.Popen(reader, stdout=subprocess.PIPE, text=True)
    where = r.stdout.readline().strip()
    started = time.monotonic()
    if writer == "loggen":
        target = ["--unix", path] if output == "unixgram" else ["--inet", "127.0.0.1", where]
        argv = ["loggen", "--dgram", "-Q", "-r", "100000000", "-I", str(seconds), "-s", str(len(text))]
        subprocess.run(argv + target, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    else:
        family = socket.AF_UNIX if output == "unixgram" else socket.AF_INET
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.connect(path if output == "unixgram" else ("127.0.0.1", int(where)))
            argv, timed = command(writer, binaries, seconds, text)
            w = subprocess.Popen(argv, stdout=s.fileno())
        finish(w, timed, seconds, started)
    datagrams, nbytes, took = r.communicate()[0].split()
    took = float(took)
    return (int(datagrams) / took, int(nbytes) / took / 1e9) if took > 0 else (0.0, 0.0)


def run_once(writer, output, binaries, seconds, text):
    """(GB/s, CPU ms per GB of writer and reader, or None where the bytes
    carried in all are not known); for a datagram output, datagrams a second
    and GB/s."""
    if output in DATAGRAMS:
        return run_datagrams(writer, output, binaries, seconds, text)
    argv, timed = command(writer, binaries, seconds, text)
    started = time.monotonic()
    if output in ("tcp", "unix"):
        ours, theirs = socket_pair(output)
        w = subprocess.Popen(argv, stdout=ours.fileno())
        r = subprocess.Popen([os.path.join(HELPERS, "bench_reader"), "read", str(1 << 20), "0"],
                             stdin=theirs.fileno(), stdout=subprocess.PIPE, text=True)
        ours.close()
        theirs.close()
        cpu = finish(w, timed, seconds, started)
        rate, nbytes, reader_cpu = collect_pair(output, seconds, r)
        return rate, ms_per_gb(cpu + reader_cpu, nbytes)
    if output in PIPE_READERS:
        w, timed, r = start_pair(writer, output, binaries, seconds, text)
        cpu = finish(w, timed, seconds, started)
        rate, nbytes, reader_cpu = collect_pair(output, seconds, r)
        return rate, ms_per_gb(cpu + reader_cpu, nbytes)
    if output in ("cat", "dd", "wc"):
        client = {"cat": ["cat"], "dd": ["dd", "bs=1M", "status=none"], "wc": ["wc", "-c"]}[output]
        w = subprocess.Popen(argv, stdout=subprocess.PIPE)
        # Only wc says how many bytes it took in all; cat's output goes nowhere.
        r = subprocess.Popen(client, stdin=w.stdout, stdout=subprocess.PIPE if output == "wc" else subprocess.DEVNULL,
                             text=True)
        w.stdout.close()
        rate = sample(r.pid, "rchar", seconds)
        cpu = finish(w, timed, seconds, started) + reap(r)
        counted = (r.communicate()[0] or "").split()
        nbytes = int(counted[0]) if output == "wc" and counted else 0
        return rate / 1e9, ms_per_gb(cpu, nbytes)
    # The tmpfs file's pages exist already and are overwritten in place: a
    # new page costs these VMs far more than the copy into it.
    # The kernel counts only write(2) in wchar; a file's offset also moves
    # by splice. Bytes spliced into /dev/null are counted nowhere.
    if output == "devnull" and writer in PEERS:
        return None, None
    path = "/dev/null" if output == "devnull" else TMPFS_FILE
    with open(path, "r+b" if output == "file" else "wb") as out:
        w = subprocess.Popen(argv, stdout=out)
        rate = sample(w.pid, "pos" if output == "file" else "wchar", seconds)
        cpu = finish(w, timed, seconds, started)
        # Where the file's offset ended, for the file: all it was given.
        nbytes = os.lseek(out.fileno(), 0, os.SEEK_CUR) if output == "file" else 0
    return rate / 1e9, ms_per_gb(cpu, nbytes)


AT_ONCE_OUTPUTS = ["read-1m+0", "read-64k+0", "read-4k+0", "splice", "pv"]
# Pipes drained by a reader of ours or by pv, which start_pair() starts.
PIPE_READERS = [r[0] for r in READS] + ["splice", "pv"]


def start_pair(writer, output, binaries, seconds, text):
    """One writer | reader pipeline, started; collect_pair() waits for it."""
    argv, timed = command(writer, binaries, seconds, text)
    w = subprocess.Popen(argv, stdout=subprocess.PIPE)
    if output == "pv":
        reader = ["pv", "-n", "-b", "-t", "-f", "-i", str(seconds / 8)]
        r = subprocess.Popen(reader, stdin=w.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    else:
        how = ["splice"] if output == "splice" else ["read"] + [str(x) for x in
                                                                 next((s, o) for n, s, o in READS if n == output)]
        r = subprocess.Popen([os.path.join(HELPERS, "bench_reader")] + how, stdin=w.stdout, stdout=subprocess.PIPE,
                             text=True)
    w.stdout.close()
    return w, timed, r


def collect_pair(output, seconds, r):
    """GB/s that the pair's reader took, the bytes it took in all and the
    CPU seconds it spent."""
    cpu = reap(r)
    if output == "pv":
        samples = [tuple(map(float, line.split())) for line in r.communicate()[1].splitlines() if line.strip()]
        inside = [s for s in samples if seconds * 0.2 <= s[0] <= seconds * 0.75] or samples
        (t1, b1), (t2, b2) = inside[0], inside[-1]
        return ((b2 - b1) / (t2 - t1) / 1e9 if t2 > t1 else 0.0), int(samples[-1][1]), cpu
    nbytes, took = r.communicate()[0].split()
    return (int(nbytes) / float(took) / 1e9 if float(took) > 0 else 0.0), int(nbytes), cpu


def run_at_once(writer, output, binaries, seconds, text, n, busy):
    """(GB/s that `n` pairs of the same kind carried together, started at
    once, the CPU ms a GB that all their writers and readers spent, and with
    `busy`, beside a busy loop on every CPU, the share of their CPUs that the
    loops kept)."""
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(os.cpu_count() if busy else 0)]
    loops_started = time.monotonic()
    try:
        started = time.monotonic()
        pairs = [start_pair(writer, output, binaries, seconds, text) for _ in range(n)]
        cpu = sum(finish(w, timed, seconds, started) for w, timed, _ in pairs)
        collected = [collect_pair(output, seconds, r) for _, _, r in pairs]
    finally:
        for loop in loops:
            loop.kill()
        loops_cpu = sum(reap(loop) for loop in loops)
    kept = loops_cpu / (len(loops) * (time.monotonic() - loops_started)) if loops else None
    return (sum(c[0] for c in collected), ms_per_gb(cpu + sum(c[2] for c in collected), sum(c[1] for c in collected)),
            kept)


def at_once_matrix(args, binaries, seconds, writers):
    """Rows of concurrent pairs: (label, output) -> writer -> totals."""
    cpus = os.cpu_count()
    counts = [int(c) for c in args.at_once.split(",")] if args.at_once else [cpus, 2 * cpus]
    # --quick takes the usual four.
    asked = args.outputs.split(",") if args.at_once and args.outputs != ",".join(OUTPUTS) else AT_ONCE_OUTPUTS
    outputs = [o for o in asked if o in PIPE_READERS]
    if "pv" in outputs and shutil.which("pv") is None:
        outputs.remove("pv")
    rows = [(f"{n} pairs", n, False, output) for n in counts for output in outputs]
    rows += [("1 pair, a busy loop per CPU", 1, True, output) for output in outputs[:1]]
    text = text_of(int(args.texts.split(",")[0]) if args.texts != ",".join(map(str, TEXTS)) else 12)
    totals = {}
    for rnd in range(args.pairs):
        for label, n, busy, output in rows:
            order = writers if rnd % 2 == 0 else list(reversed(writers))
            for writer in order:
                totals.setdefault((label, output), {}).setdefault(writer, []).append(
                    run_at_once(writer, output, binaries, seconds, text, n, busy))
            print(f"round {rnd + 1}/{args.pairs} {label} {output} done", file=sys.stderr)
    print(f"machine: {machine()}")
    print(f"{args.pairs} alternating rounds of {seconds} s, text of {len(text)} B; each cell the GB/s that all the "
          f"pairs took together, median (minimum-maximum), then [the CPU ms that all the writers and readers spent "
          f"a GB carried, median] and, beside busy loops, the median share of the CPUs that the loops kept; best "
          f"peer = the better of gnu-like and uutils-like by GB/s\n")
    uutils = "uutils-like" in writers
    print("| pairs at once | reader | " + " | ".join(f"{w} GB/s [ms/GB]" for w in writers) + " | vs best peer |"
          + (" CPU vs uutils-like |" if uutils else "") + (" vs previous |" if "previous" in writers else ""))
    print("|---|---|" + "---:|" * (len(writers) + 1 + uutils + ("previous" in writers)))
    ratios, cpu_ratios = [], []
    for label, _, _, output in rows:
        cell = totals[(label, output)]
        ours = median_rate(cell["floodout"])
        best = max((median_rate(cell[p]) for p in PEERS if p in cell), default=0)
        ratios.append((ours / best if best else float("inf"), label, output))
        row = f"| {label} | {output} | " + " | ".join(cell_text(cell[w]) for w in writers)
        row += f" | {ratios[-1][0]:.2f}x |"
        if uutils:
            theirs, mine = median_cpu(cell["uutils-like"]), median_cpu(cell["floodout"])
            if theirs and mine:
                cpu_ratios.append((mine / theirs, label, output))
                row += f" {mine / theirs:.2f}x |"
            else:
                row += " - |"
        if "previous" in writers:
            other = median_rate(cell["previous"])
            row += f" {ours / other if other else float('inf'):.2f}x |"
        print(row)
    worst = min(ratios)
    print(f"\nvs best peer: worst {worst[0]:.2f}x ({worst[1]}, {worst[2]}), median "
          f"{statistics.median(r[0] for r in ratios):.2f}x over {len(ratios)} rows")
    if cpu_ratios:
        most = max(cpu_ratios)
        print(f"CPU a GB against uutils-like (lower is better): most {most[0]:.2f}x ({most[1]}, {most[2]}), median "
              f"{statistics.median(r[0] for r in cpu_ratios):.2f}x over {len(cpu_ratios)} rows")


def machine():
    """The CPU (vendor's name, family, model, caches, whether a VM), the
    kernel and what it sets for pipes and huge pages, and the copy rate."""
    model, family, number, flags = platform.processor() or "unknown CPU", "?", "?", []
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key, value = key.strip(), value.strip()
                if key == "model name":
                    model = value
                elif key == "cpu family":
                    family = value
                elif key == "model":
                    number = value
                elif key == "flags":
                    flags = value.split()
                    break
    except OSError:
        pass

    def read(path):
        try:
            with open(path) as f:
                return f.read().strip()
        except OSError:
            return "?"

    def cache(name):
        size = subprocess.run(["getconf", name], capture_output=True, text=True).stdout.strip()
        if not size.isdigit() or int(size) == 0:
            return "?"
        kib = int(size) // 1024
        return f"{kib // 1024} MiB" if kib >= 1024 and kib % 1024 == 0 else f"{kib} KiB"
    caches = (f"L1d {cache('LEVEL1_DCACHE_SIZE')}, L2 {cache('LEVEL2_CACHE_SIZE')}, "
              f"L3 {cache('LEVEL3_CACHE_SIZE')} as the CPU reports them")
    thp = read("/sys/kernel/mm/transparent_hugepage/enabled")
    copy = subprocess.run([os.path.join(HELPERS, "bench_copy_rate"), "0", "8", "16", "32"], capture_output=True,
                          text=True, check=True).stdout.split()
    copies = ", ".join(f"+{c.split(':')[0]} {c.split(':')[1]}" for c in copy)
    return (f"{model} (cpu family {family}, model {number}), {os.cpu_count()} cores, {caches}, "
            f"{'a virtual machine' if 'hypervisor' in flags else 'no hypervisor seen'}; Linux {platform.release()}, "
            f"transparent huge pages {thp}, pipe-max-size {read('/proc/sys/fs/pipe-max-size')}; copy rate (rep movsb "
            f"of 4 KiB pages, GB/s) at destination - source mod 64 = {copies}")


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def first_byte_us(argv):
    out = subprocess.run([os.path.join(HELPERS, "bench_first_byte")] + argv, capture_output=True, text=True,
                         check=True)
    return float(out.stdout)


def end_lag_ms(binary, sink):
    out = subprocess.run([os.path.join(HELPERS, "bench_end_lag"), binary, sink, "1"], capture_output=True, text=True,
                         check=True)
    return float(out.stdout.split()[0])


def peak_kib(binary, text):
    """VmHWM of floodout once it has filled a pipe nobody reads."""
    r, w = os.pipe()
    p = subprocess.Popen([binary, "0", text], stdout=w)
    os.close(w)
    time.sleep(0.3)
    kib = 0
    with open(f"/proc/{p.pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                kib = int(line.split()[1])
    p.kill()
    p.wait()
    os.close(r)
    return kib


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--previous", metavar="REV", help="git revision of the floodout to compare with")
    parser.add_argument("--quick", action="store_true", help="one text per output, 1-second runs")
    parser.add_argument("--seconds", type=int)
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--texts", default=",".join(map(str, TEXTS)))
    parser.add_argument("--datagram-texts", default=",".join(map(str, DATAGRAM_TEXTS)))
    parser.add_argument("--outputs", default=",".join(OUTPUTS))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--at-once", metavar="N,M", help="only runs of N (then M...) writer|reader pairs at once")
    parser.add_argument("--writers", metavar="W,W", help="only these writers (floodout, previous, gnu-like, "
                        "uutils-like, yes, stdio and the names of --binary)")
    parser.add_argument("--binary", metavar="NAME=PATH", action="append", default=[],
                        help="another floodout build to measure beside the others")
    args = parser.parse_args()
    if args.pairs < 3:
        parser.error("at least 3 pairs")
    seconds = args.seconds or (1 if args.quick else 2)
    if not args.no_build:
        cmake_build(ROOT, BUILD, True)
    binaries = {"floodout": os.path.join(BUILD, "floodout")}
    writers = ["floodout"]
    previous = None
    if args.previous:
        binaries["previous"], previous = build_previous(args.previous)
        writers.append("previous")
    for extra in args.binary:
        name, path = extra.split("=", 1)
        binaries[name] = os.path.abspath(path)
        writers.append(name)
    chosen = args.writers.split(",") if args.writers else None
    if args.at_once:
        at_once_matrix(args, binaries, seconds, [w for w in writers + list(PEERS) if not chosen or w in chosen])
        return
    writers += ["gnu-like", "uutils-like", "yes", "stdio"]
    if chosen:
        writers = [w for w in writers if w in chosen]
    sizes = [int(s) for s in args.texts.split(",")]
    datagram_sizes = [int(s) for s in args.datagram_texts.split(",")]
    outputs = args.outputs.split(",")
    if "pv" in outputs and shutil.which("pv") is None:
        print("pv is not installed (apt-get install pv): its cells are skipped", file=sys.stderr)
        outputs.remove("pv")
    datagram_writers = writers + (["loggen"] if shutil.which("loggen") else [])
    if len(datagram_writers) == len(writers) and any(o in DATAGRAMS for o in outputs):
        print("loggen is not installed (apt-get install syslog-ng-core): it is not measured", file=sys.stderr)
    # --quick: each output gets one text, the texts taking turns.
    cells = []
    for i, output in enumerate(outputs):
        texts = datagram_sizes if output in DATAGRAMS else sizes
        cells += [(output, size) for size in ([texts[i % len(texts)]] if args.quick else texts)]
    # Killed or hung up, still remove the multi-GB file from memory.
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda *_: sys.exit(1))
    if "file" in outputs:
        # Written once in full: pages that were only fallocated cost more on
        # their first write, which would favour whoever runs later.
        with open(TMPFS_FILE, "wb") as f:
            chunk = bytes(8 << 20)
            for _ in range(TMPFS_BYTES // len(chunk)):
                f.write(chunk)
    try:
        rates = {}
        for pair in range(args.pairs):
            for output, size in cells:
                # Alternate the order so that no writer always runs first.
                who = datagram_writers if output in DATAGRAMS else writers
                order = who if pair % 2 == 0 else list(reversed(who))
                for writer in order:
                    rates.setdefault((output, size, writer), []).append(
                        run_once(writer, output, binaries, seconds, text_of(size)))
                print(f"pair {pair + 1}/{args.pairs} {output} {size} B done", file=sys.stderr)
    finally:
        if os.path.exists(TMPFS_FILE):
            os.unlink(TMPFS_FILE)
    report(args, seconds, cells, writers, datagram_writers, rates, binaries, previous, sizes)
    if args.quick:
        print()
        at_once_matrix(args, binaries, seconds, [w for w in writers if w not in ("yes", "stdio")])


def median_rate(values):
    """The median GB/s of (GB/s, ms/GB) results; None where not measured."""
    rates = [v[0] for v in values]
    return None if None in rates else statistics.median(rates)


def median_cpu(values):
    """The median CPU ms a GB of (GB/s, ms/GB) results, of those counted."""
    counted = [v[1] for v in values if v[1] is not None]
    return statistics.median(counted) if counted else None


def cell_text(values):
    """GB/s median (min-max) [ms/GB], and the loops' share of the CPUs where
    there were busy loops."""
    rates = [v[0] for v in values]
    cpu = median_cpu(values)
    text = spread(rates) + (f" [{cpu:.0f}]" if cpu is not None and None not in rates else "")
    kept = [v[2] for v in values if len(v) > 2 and v[2] is not None]
    return text + (f" loops {100 * statistics.median(kept):.0f}%" if kept else "")


def spread(values, scale=1.0, digits=2):
    """median (min-max); "-" where it could not be measured"""
    if None in values:
        return "-"
    return (f"{statistics.median(values) * scale:.{digits}f} ({min(values) * scale:.{digits}f}-"
            f"{max(values) * scale:.{digits}f})")


def worst_and_median(name, ratios):
    if ratios:
        worst = min(ratios)
        print(f"vs {name}: worst {worst[0]:.2f}x ({worst[1]}, {worst[2]} B), median "
              f"{statistics.median(r[0] for r in ratios):.2f}x over {len(ratios)} cells")


def report(args, seconds, cells, writers, datagram_writers, rates, binaries, previous, sizes):
    print(f"machine: {machine()}")
    print(f"{args.pairs} pairs of {seconds} s runs, writers alternating; each cell GB/s median (minimum-maximum), "
          f"then [the CPU ms that writer and reader spent a GB carried, median; where the bytes carried in all are "
          f"known]; previous = {previous or 'not measured'}; gnu-like and uutils-like: bench/gnu_yes_like.cpp and "
          f"bench/uutils_like.cpp; best peer = the better of those two\n")
    streams = [(o, s) for o, s in cells if o not in DATAGRAMS]
    med = {key: median_rate(v) for key, v in rates.items() if key[0] not in DATAGRAMS}
    vs_yes, vs_previous, vs_peer = [], [], []
    if streams:
        head = "| output | text | " + " | ".join(f"{w} GB/s [ms/GB]" for w in writers) + " | vs best peer | vs yes |"
        if previous:
            head += " vs previous |"
        print(head)
        print("|---|---:|" + "---:|" * (len(writers) + 2 + (1 if previous else 0)))
        for output, size in streams:
            row = f"| {output} | {size} B | " + " | ".join(cell_text(rates[(output, size, w)]) for w in writers)
            ours = med[(output, size, "floodout")]
            peers = [med[(output, size, p)] for p in PEERS if med.get((output, size, p)) is not None]
            for ratios, other in ((vs_peer, max(peers, default=None)), (vs_yes, med.get((output, size, "yes")))):
                if other is None:
                    row += " | -"
                    continue
                ratios.append((ours / other if other > 0 else float("inf"), output, size))
                row += f" | {ratios[-1][0]:.2f}x"
            if previous:
                other = med[(output, size, "previous")]
                vs_previous.append((ours / other if other > 0 else float("inf"), output, size))
                row += f" | {vs_previous[-1][0]:.2f}x"
            print(row + " |")
        print()
        for name, ratios in (("best peer", vs_peer), ("yes", vs_yes), ("previous", vs_previous)):
            worst_and_median(name, ratios)
    datagrams = [(o, s) for o, s in cells if o in DATAGRAMS]
    if datagrams:
        print("\ndatagrams: thousands of datagrams a second delivered (GB/s beside each median)\n")
        head = "| output | text | " + " | ".join(datagram_writers)
        head += " | vs loggen, datagrams | vs yes, bytes |" if "loggen" in datagram_writers else " | vs yes, bytes |"
        print(head)
        print("|---|---:|" + "---:|" * (len(datagram_writers) + (2 if "loggen" in datagram_writers else 1)))
        for output, size in datagrams:
            cells_text = []
            for w in datagram_writers:
                values = rates[(output, size, w)]
                counts = [v[0] for v in values]
                cells_text.append(f"{spread(counts, 1e-3, 0)} {statistics.median(v[1] for v in values):.2f}")
            ours = rates[(output, size, "floodout")]
            row = f"| {output} | {size} B | " + " | ".join(cells_text)
            if "loggen" in datagram_writers:
                other = statistics.median(v[0] for v in rates[(output, size, "loggen")])
                row += f" | {statistics.median(v[0] for v in ours) / other if other else float('inf'):.2f}x"
            other = statistics.median(v[1] for v in rates[(output, size, "yes")])
            row += f" | {statistics.median(v[1] for v in ours) / other if other else float('inf'):.2f}x |"
            print(row)
    print()

    firsts = {"floodout": [], "yes": []}
    for _ in range(30):
        firsts["floodout"].append(first_byte_us([binaries["floodout"], "1"]))
        firsts["yes"].append(first_byte_us([shutil.which("yes") or "/usr/bin/yes"]))
    f, y = (statistics.median(firsts[n]) for n in ("floodout", "yes"))
    print(f"first byte into a pipe, 30 starts each: floodout median {f:.0f} us (99th percentile "
          f"{percentile(firsts['floodout'], 99):.0f}), yes median {y:.0f} us (99th percentile "
          f"{percentile(firsts['yes'], 99):.0f}); {f / y:.2f}x")
    lags = {"pipe": [], "/dev/null": [], "tmpfs": []}
    lag_file = f"/dev/shm/floodout-lag-{os.getpid()}"
    for _ in range(7):
        for sink in lags:
            lags[sink].append(end_lag_ms(binaries["floodout"], lag_file if sink == "tmpfs" else sink))
    if os.path.exists(lag_file):
        os.unlink(lag_file)
    print("end after the alarm, start-up included (floodout 1, 7 runs each): " + "; ".join(
        f"{sink} median {statistics.median(v):.1f} ms, max {max(v):.1f} ms" for sink, v in lags.items()))
    print("peak resident memory of floodout: " + ", ".join(
        f"{size} B text {peak_kib(binaries['floodout'], text_of(size)) / 1024:.1f} MiB" for size in sizes))


if __name__ == "__main__":
    main()
