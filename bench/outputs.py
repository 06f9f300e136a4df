"""The outputs that bench/run.py drains, as a registry: each runs one writer
into its kind of stdout and returns one Sample."""
import dataclasses
import os
import socket
import subprocess
import tempfile
import time
from typing import Optional

from writers import HELPERS, REFERENCES, command, finish, reap, start, way_of


@dataclasses.dataclass(frozen=True)
class Sample:
    """One run: what the reader took, and what it cost."""
    rate: Optional[float]  # GB/s, None where it cannot be counted
    cpu_ms_per_gb: Optional[float] = None  # writer and reader, where the bytes carried in all are known
    datagrams: Optional[float] = None  # a second, into a datagram socket
    loops_kept: Optional[float] = None  # beside busy loops: the share of the CPUs they kept
    ways: tuple = ()  # the way each flood of floodout wrote its pipe with at the end


READS = [(f"read-{name}+{offset}", size, offset)
         for name, size in (("4k", 4096), ("64k", 65536), ("128k", 131072), ("1m", 1 << 20)) for offset in (0, 16)]
# Not in the default matrix: the other offsets a 1 MiB reader's buffer may have.
READS += [(f"read-1m+{offset}", 1 << 20, offset) for offset in (32, 48)]
DATAGRAMS = ["udp", "unixgram"]
OUTPUTS = [r[0] for r in READS if r[2] in (0, 16)] + ["splice", "pv", "cat", "dd", "wc", "tcp", "unix", "devnull",
                                                      "file"] + DATAGRAMS
# Pipes drained by a reader of ours or by pv, which start_pair() starts.
PIPE_READERS = [r[0] for r in READS] + ["splice", "pv"]
AT_ONCE_OUTPUTS = ["read-1m+0", "read-64k+0", "read-4k+0", "splice", "pv"]
TMPFS_FILE = f"/dev/shm/floodout-bench-{os.getpid()}"
TMPFS_BYTES = 8 << 30


def ms_per_gb(cpu_seconds, nbytes):
    """CPU milliseconds a GB carried; None where nothing was counted."""
    return cpu_seconds * 1e3 / (nbytes / 1e9) if nbytes > 0 else None


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


def sample_rate(pid, key, seconds):
    """Bytes per second counted by the kernel for `pid` between 20% and 70%
    of the run; key "pos" counts by stdout's offset."""
    def count():
        return stdout_position(pid) if key == "pos" else proc_io(pid, key)
    time.sleep(seconds * 0.2)
    b1, t1 = count(), time.monotonic()
    time.sleep(seconds * 0.5)
    b2, t2 = count(), time.monotonic()
    return (b2 - b1) / (t2 - t1)


def start_pair(writer, output, binaries, seconds, text):
    """One writer | reader pipeline, started; collect_pair() waits for it."""
    argv, timed = command(writer, binaries, seconds, text)
    w = start(writer, argv, stdout=subprocess.PIPE)
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


def pipe_reader(writer, output, binaries, seconds, text):
    started = time.monotonic()
    w, timed, r = start_pair(writer, output, binaries, seconds, text)
    cpu = finish(w, timed, seconds, started)
    rate, nbytes, reader_cpu = collect_pair(output, seconds, r)
    return Sample(rate, ms_per_gb(cpu + reader_cpu, nbytes), ways=tuple(filter(None, [way_of(w)])))


def socket_pair(kind):
    if kind == "unix":
        return socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        client = socket.create_connection(listener.getsockname())
        server, _ = listener.accept()
    return server, client


def stream_socket(writer, output, binaries, seconds, text):
    """stdout a TCP loopback or a Unix stream socket, drained 1 MiB a read."""
    argv, timed = command(writer, binaries, seconds, text)
    started = time.monotonic()
    ours, theirs = socket_pair(output)
    w = subprocess.Popen(argv, stdout=ours.fileno())
    r = subprocess.Popen([os.path.join(HELPERS, "bench_reader"), "read", str(1 << 20), "0"],
                         stdin=theirs.fileno(), stdout=subprocess.PIPE, text=True)
    ours.close()
    theirs.close()
    cpu = finish(w, timed, seconds, started)
    rate, nbytes, reader_cpu = collect_pair(output, seconds, r)
    return Sample(rate, ms_per_gb(cpu + reader_cpu, nbytes))


def client(writer, output, binaries, seconds, text):
    """The real cat, dd or wc on a pipe."""
    argv, timed = command(writer, binaries, seconds, text)
    started = time.monotonic()
    reader = {"cat": ["cat"], "dd": ["dd", "bs=1M", "status=none"], "wc": ["wc", "-c"]}[output]
    w = start(writer, argv, stdout=subprocess.PIPE)
    # Only wc says how many bytes it took in all; cat's output goes nowhere.
    r = subprocess.Popen(reader, stdin=w.stdout, stdout=subprocess.PIPE if output == "wc" else subprocess.DEVNULL,
                         text=True)
    w.stdout.close()
    rate = sample_rate(r.pid, "rchar", seconds)
    cpu = finish(w, timed, seconds, started) + reap(r)
    counted = (r.communicate()[0] or "").split()
    nbytes = int(counted[0]) if output == "wc" and counted else 0
    return Sample(rate / 1e9, ms_per_gb(cpu, nbytes), ways=tuple(filter(None, [way_of(w)])))


def file(writer, output, binaries, seconds, text):
    """/dev/null, or a tmpfs file overwritten in place: its pages exist
    already, since a new page costs these VMs far more than the copy into it.
    The kernel counts only write(2) in wchar; a file's offset also moves by
    splice. Bytes spliced into /dev/null are counted nowhere."""
    if output == "devnull" and writer in REFERENCES:
        return Sample(None)
    argv, timed = command(writer, binaries, seconds, text)
    started = time.monotonic()
    path = "/dev/null" if output == "devnull" else TMPFS_FILE
    with open(path, "r+b" if output == "file" else "wb") as out:
        w = subprocess.Popen(argv, stdout=out)
        rate = sample_rate(w.pid, "pos" if output == "file" else "wchar", seconds)
        cpu = finish(w, timed, seconds, started)
        # Where the file's offset ended, for the file: all it was given.
        nbytes = os.lseek(out.fileno(), 0, os.SEEK_CUR) if output == "file" else 0
    return Sample(rate / 1e9, ms_per_gb(cpu, nbytes))


def datagrams(writer, output, binaries, seconds, text):
    """Datagrams a second and GB/s delivered to a recvmmsg receiver; loggen
    (--dgram) writes beside the others."""
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
    count, nbytes, took = r.communicate()[0].split()
    took = float(took)
    return Sample(int(nbytes) / took / 1e9 if took > 0 else 0.0, datagrams=int(count) / took if took > 0 else 0.0)


REGISTRY = {name: pipe_reader for name in PIPE_READERS}
REGISTRY.update({"tcp": stream_socket, "unix": stream_socket, "cat": client, "dd": client, "wc": client,
                 "devnull": file, "file": file, "udp": datagrams, "unixgram": datagrams})


def run_once(writer, output, binaries, seconds, text):
    return REGISTRY[output](writer, output, binaries, seconds, text)


def run_at_once(writer, output, binaries, seconds, text, n, busy):
    """`n` pairs of the same kind started at once: what they carried
    together, what all their writers and readers spent a GB, and with `busy`,
    beside a busy loop on every CPU, the share of their CPUs the loops kept."""
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
    return Sample(sum(c[0] for c in collected),
                  ms_per_gb(cpu + sum(c[2] for c in collected), sum(c[1] for c in collected)), loops_kept=kept,
                  ways=tuple(filter(None, (way_of(w) for w, _, _ in pairs))))
