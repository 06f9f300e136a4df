"""Which cells bench/run.py measures, and in what order: writers alternate,
so that none always runs first."""
import os
import shutil
import sys

from outputs import AT_ONCE_OUTPUTS, DATAGRAMS, PIPE_READERS, TMPFS_BYTES, TMPFS_FILE, run_at_once, run_once
from writers import text_of


def cells(outputs, sizes, datagram_sizes, quick):
    """(output, text size) pairs; --quick gives each output one text, the
    texts taking turns."""
    found = []
    for i, output in enumerate(outputs):
        texts = datagram_sizes if output in DATAGRAMS else sizes
        found += [(output, size) for size in ([texts[i % len(texts)]] if quick else texts)]
    return found


def one_flood(pairs, cells_, writers, datagram_writers, binaries, seconds):
    """(output, size, writer) -> [Sample], `pairs` runs each."""
    if any(output == "file" for output, _ in cells_):
        # Written once in full: pages that were only fallocated cost more on
        # their first write, which would favour whoever runs later.
        with open(TMPFS_FILE, "wb") as f:
            chunk = bytes(8 << 20)
            for _ in range(TMPFS_BYTES // len(chunk)):
                f.write(chunk)
    samples = {}
    try:
        for pair in range(pairs):
            for output, size in cells_:
                who = datagram_writers if output in DATAGRAMS else writers
                for writer in who if pair % 2 == 0 else list(reversed(who)):
                    samples.setdefault((output, size, writer), []).append(
                        run_once(writer, output, binaries, seconds, text_of(size)))
                print(f"pair {pair + 1}/{pairs} {output} {size} B done", file=sys.stderr)
    finally:
        if os.path.exists(TMPFS_FILE):
            os.unlink(TMPFS_FILE)
    return samples


def at_once_rows(counts, asked):
    """(label, pairs at once, beside busy loops, output) for each row."""
    outputs = [o for o in (asked or AT_ONCE_OUTPUTS) if o in PIPE_READERS]
    if "pv" in outputs and shutil.which("pv") is None:
        outputs.remove("pv")
    rows = [(f"{n} pairs", n, False, output) for n in counts for output in outputs]
    return rows + [("1 pair, a busy loop per CPU", 1, True, output) for output in outputs[:1]]


def at_once(rounds, rows, writers, binaries, seconds, text):
    """(label, output) -> writer -> [Sample], `rounds` runs each."""
    totals = {}
    for rnd in range(rounds):
        for label, n, busy, output in rows:
            for writer in writers if rnd % 2 == 0 else list(reversed(writers)):
                totals.setdefault((label, output), {}).setdefault(writer, []).append(
                    run_at_once(writer, output, binaries, seconds, text, n, busy))
            print(f"round {rnd + 1}/{rounds} {label} {output} done", file=sys.stderr)
    return totals
