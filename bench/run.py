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
rows for N = the CPUs, twice that, 8 and 16. With --pods N,M it runs only N
(then M) containers at once under podman (bench/pods.py): the static binary
of each writer as the entry point of a scratch container, 8 MiB and 1 CPU
each, writing the Pod example's JSON line into a k8s-file log; it reports
the log's MB/s and the CPU the whole machine spent a GB of log.
Usage:
  bench/run.py [--previous REV] [--quick] [--seconds S] [--pairs N]
               [--texts 1,12,4097,131071] [--outputs read-1m+16,splice,...]
               [--at-once N,M] [--writers floodout,previous,...]
               [--binary NAME=PATH] [--pods 1,6,12]
"""
import argparse
import os
import shutil
import signal
import sys

import machine
import matrix
import pods
import report
from outputs import DATAGRAMS, OUTPUTS
from writers import BUILD, REFERENCES, ROOT, build_previous, cmake_build, text_of

TEXTS = (1, 12, 4097, 131071)
# Texts for the datagram outputs: loggen's smallest message, and what yes
# puts in one write of 8 KiB.
DATAGRAM_TEXTS = (127, 8190)


def at_once(args, binaries, seconds, writers):
    """The rows of several floods at once, measured and printed."""
    cpus = os.cpu_count()
    # --quick: a flood a CPU, two, and crowds of 8 and 16.
    counts = [int(c) for c in args.at_once.split(",")] if args.at_once else sorted({cpus, 2 * cpus, 8, 16})
    # --quick takes the usual readers.
    asked = args.outputs.split(",") if args.at_once and args.outputs != ",".join(OUTPUTS) else None
    rows = matrix.at_once_rows(counts, asked)
    text = text_of(int(args.texts.split(",")[0]) if args.texts != ",".join(map(str, TEXTS)) else 12)
    totals = matrix.at_once(args.pairs, rows, writers, binaries, seconds, text)
    print(f"machine: {machine.describe(machine.copy_limit())}")
    print("\n".join(report.at_once(args.pairs, seconds, len(text), [(r[0], r[3]) for r in rows], writers, totals)))


def containers(args, seconds):
    """The rows of containers at once, measured and printed: static builds
    of floodout and the previous one, and the static peers."""
    static = os.path.join(ROOT, "build", "bench-static")
    if not args.no_build:
        cmake_build(ROOT, BUILD, True)
        cmake_build(ROOT, static, True, static=True)
    binaries = {"floodout": os.path.join(static, "floodout")}
    if args.previous:
        binaries["previous"] = build_previous(args.previous, static=True)[0]
    binaries.update({w: os.path.join(static, "bench", REFERENCES[w]) for w in ("gnu-like", "ring-like")})
    if args.writers:
        binaries = {w: b for w, b in binaries.items() if w == "floodout" or w in args.writers.split(",")}
    counts = [int(c) for c in args.pods.split(",")]
    samples = pods.pods(args.pairs, counts, binaries, seconds)
    print(f"machine: {machine.describe(machine.copy_limit())}")
    print("\n".join(report.pods(args.pairs, seconds, counts, list(binaries), samples)))


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
    parser.add_argument("--writers", metavar="W,W", help="only floodout and these writers (previous, gnu-like, "
                        "uutils-like, yes, stdio and the names of --binary)")
    parser.add_argument("--binary", metavar="NAME=PATH", action="append", default=[],
                        help="another floodout build to measure beside the others")
    parser.add_argument("--pods", metavar="N,M", help="only N (then M...) containers at once under podman, each "
                        "writing the Pod example's line into its k8s-file log")
    args = parser.parse_args()
    if args.pairs < 3:
        parser.error("at least 3 pairs")
    seconds = args.seconds or (1 if args.quick else 2)
    if args.pods:
        containers(args, seconds)
        return
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
    # Every table is floodout against the others: it is always among them.
    chosen = ["floodout"] + args.writers.split(",") if args.writers else None
    if args.at_once:
        at_once(args, binaries, seconds, [w for w in writers + list(REFERENCES) if not chosen or w in chosen])
        return
    writers += list(REFERENCES) + ["yes", "stdio"]
    if chosen:
        writers = [w for w in writers if w in chosen]
    sizes = [int(s) for s in args.texts.split(",")]
    outputs = args.outputs.split(",")
    if "pv" in outputs and shutil.which("pv") is None:
        print("pv is not installed (apt-get install pv): its cells are skipped", file=sys.stderr)
        outputs.remove("pv")
    datagram_writers = writers + (["loggen"] if shutil.which("loggen") else [])
    if len(datagram_writers) == len(writers) and any(o in DATAGRAMS for o in outputs):
        print("loggen is not installed (apt-get install syslog-ng-core): it is not measured", file=sys.stderr)
    cells = matrix.cells(outputs, sizes, [int(s) for s in args.datagram_texts.split(",")], args.quick)
    # Killed or hung up, still remove the multi-GB file from memory.
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda *_: sys.exit(1))
    samples = matrix.one_flood(args.pairs, cells, writers, datagram_writers, binaries, seconds)
    limit = machine.copy_limit()
    print(f"machine: {machine.describe(limit)}")
    print("\n".join(report.matrix(args.pairs, seconds, cells, writers, datagram_writers, samples, previous, limit)))
    firsts, lags, peaks = machine.start_and_end(binaries["floodout"], {size: text_of(size) for size in sizes})
    print("\n".join(report.start_and_end(firsts, lags, peaks)))
    if args.quick:
        print()
        at_once(args, binaries, seconds, [w for w in writers if w not in ("yes", "stdio")])


if __name__ == "__main__":
    main()
