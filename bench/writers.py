"""The writers that bench/run.py measures: how each is built and started."""
import os
import signal
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
HELPERS = os.path.join(BUILD, "bench")
# Writers that work as newer yes programs do: bench/gnu_yes_like.cpp
# (vmsplice, as GNU yes 9.11) and bench/uutils_like.cpp (tee and splice).
PEERS = {"gnu-like": "bench_gnu_yes_like", "uutils-like": "bench_uutils_like"}
# A lab writer that beat floodout alone (bench/ring_like.cpp): vmsplice of a
# ring of one huge page, without blocking, into a 1 MiB pipe.
REFERENCES = dict(PEERS, **{"ring-like": "bench_ring_like"})


def cmake_build(source, build, bench_helpers, static=False):
    flags = ["-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", f"-DFLOODOUT_STATIC={'ON' if static else 'OFF'}"]
    if bench_helpers:
        flags += ["-DFLOODOUT_BENCH=ON", "-DFLOODOUT_REPORT_WAY=ON"]
    subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja"] + flags, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)


def build_previous(rev, static=False):
    """floodout as it was at `rev`, built apart from the work tree: (binary, short sha)."""
    sha = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", rev], check=True, capture_output=True,
                         text=True).stdout.strip()
    build = os.path.join(ROOT, "build", f"bench-previous-{sha}" + ("-static" if static else ""))
    binary = os.path.join(build, "floodout")
    if not os.path.exists(binary):
        with tempfile.TemporaryDirectory() as source:
            archive = subprocess.run(["git", "-C", ROOT, "archive", sha], check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
            cmake_build(source, build, False, static)
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
    if writer in REFERENCES:
        return [os.path.join(HELPERS, REFERENCES[writer]), text[:-1]], False
    return ["yes", text[:-1]], False


def start(writer, argv, **streams):
    """A writer, started; floodout's stderr is kept for way_of()."""
    return subprocess.Popen(argv, stderr=subprocess.PIPE if writer == "floodout" else None, text=True, **streams)


def way_of(proc):
    """The way a bench build of floodout said it wrote a pipe with at the
    end of its run; None for other writers, or where it said nothing."""
    said = proc.stderr.read().split() if proc.stderr else []
    return said[-1] if len(said) >= 2 and said[-2] == "way" else None


def reap(proc):
    """Waits for `proc` and returns the CPU seconds it spent (getrusage of
    that process: user and system). Its pipes keep what it wrote."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def finish(proc, timed, seconds, started):
    """The writer's CPU seconds, once it has ended."""
    if not timed:
        time.sleep(max(0.0, seconds - (time.monotonic() - started)))
        # Not Popen.send_signal, which reaps a writer that has ended already
        # and so loses what it spent.
        os.kill(proc.pid, signal.SIGTERM)
    return reap(proc)
