"""The tables bench/run.py prints: pure functions of the samples measured."""
import collections
import statistics

from outputs import DATAGRAMS
from writers import PEERS


def median_rate(samples):
    """The median GB/s; None where it was not measured."""
    rates = [s.rate for s in samples]
    return None if None in rates else statistics.median(rates)


def median_cpu(samples):
    """The median CPU ms a GB, of those counted."""
    counted = [s.cpu_ms_per_gb for s in samples if s.cpu_ms_per_gb is not None]
    return statistics.median(counted) if counted else None


def spread(values, scale=1.0, digits=2):
    """median (min-max); "-" where it could not be measured"""
    if None in values:
        return "-"
    return (f"{statistics.median(values) * scale:.{digits}f} ({min(values) * scale:.{digits}f}-"
            f"{max(values) * scale:.{digits}f})")


def cell_text(samples):
    """GB/s median (min-max) [ms/GB], the loops' share of the CPUs where
    there were busy loops, and the ways floodout's floods ended with."""
    rates = [s.rate for s in samples]
    cpu = median_cpu(samples)
    text = spread(rates) + (f" [{cpu:.0f}]" if cpu is not None and None not in rates else "")
    kept = [s.loops_kept for s in samples if s.loops_kept is not None]
    ways = collections.Counter(way for s in samples for way in s.ways)
    return (text + (f" loops {100 * statistics.median(kept):.0f}%" if kept else "")
            + (" (" + ", ".join(f"{way} {n}" for way, n in ways.most_common()) + ")" if ways else ""))


def ratio(ours, other):
    return ours / other if other else float("inf")


def worst_and_median(name, ratios, unit=" B"):
    if not ratios:
        return []
    worst = min(ratios)
    return [f"vs {name}: worst {worst[0]:.2f}x ({worst[1]}, {worst[2]}{unit}), median "
            f"{statistics.median(r[0] for r in ratios):.2f}x over {len(ratios)} cells"]


def of_limit(output, size, med, limit, ring):
    """A read cell's median as a share of the copy limit at its reader's
    offset: floodout's, and the ring-like writer's after a slash."""
    if not output.startswith("read-"):
        return "-"
    top = limit[0 if output.endswith("+0") else 16]
    shares = [med.get((output, size, w)) for w in ("floodout", "ring-like") if w == "floodout" or ring]
    return " / ".join("-" if s is None else f"{s / top:.2f}" for s in shares)


def matrix(pairs, seconds, cells, writers, datagram_writers, samples, previous, limit):
    """The one-flood tables: `samples` maps (output, text size, writer) to
    that cell's samples; `limit`, the copy limit by the reader's offset from
    a page. Returns the lines to print."""
    lines = [f"{pairs} pairs of {seconds} s runs, writers alternating; each cell GB/s median (minimum-maximum), "
             f"then [the CPU ms that writer and reader spent a GB carried, median; where the bytes carried in all "
             f"are known]; previous = {previous or 'not measured'}; gnu-like and uutils-like: "
             f"bench/gnu_yes_like.cpp and bench/uutils_like.cpp; best peer = the better of those two", ""]
    streams = [(o, s) for o, s in cells if o not in DATAGRAMS]
    med = {key: median_rate(v) for key, v in samples.items() if key[0] not in DATAGRAMS}
    vs_yes, vs_previous, vs_peer, vs_ring = [], [], [], []
    ring = "ring-like" in writers
    if streams:
        head = "| output | text | " + " | ".join(f"{w} GB/s [ms/GB]" for w in writers) + " | vs best peer | vs yes |"
        lines.append(head + (" vs ring-like |" if ring else "") + (" vs previous |" if previous else "")
                     + " of the copy limit |")
        lines.append("|---|---:|" + "---:|" * (len(writers) + 3 + ring + (1 if previous else 0)))
        for output, size in streams:
            row = f"| {output} | {size} B | " + " | ".join(cell_text(samples[(output, size, w)]) for w in writers)
            ours = med[(output, size, "floodout")]
            peers = [med[(output, size, p)] for p in PEERS if med.get((output, size, p)) is not None]
            others = [(vs_peer, max(peers, default=None)), (vs_yes, med.get((output, size, "yes")))]
            if ring:
                others.append((vs_ring, med.get((output, size, "ring-like"))))
            for ratios, other in others:
                if other is None:
                    row += " | -"
                    continue
                ratios.append((ratio(ours, other), output, size))
                row += f" | {ratios[-1][0]:.2f}x"
            if previous:
                vs_previous.append((ratio(ours, med[(output, size, "previous")]), output, size))
                row += f" | {vs_previous[-1][0]:.2f}x"
            lines.append(row + f" | {of_limit(output, size, med, limit, ring)} |")
        lines.append("")
        for name, ratios in (("best peer", vs_peer), ("yes", vs_yes), ("ring-like", vs_ring), ("previous", vs_previous)):
            lines += worst_and_median(name, ratios)
    datagrams = [(o, s) for o, s in cells if o in DATAGRAMS]
    if datagrams:
        loggen = "loggen" in datagram_writers
        lines += ["", "datagrams: thousands of datagrams a second delivered (GB/s beside each median)", ""]
        lines.append("| output | text | " + " | ".join(datagram_writers)
                     + (" | vs loggen, datagrams | vs yes, bytes |" if loggen else " | vs yes, bytes |"))
        lines.append("|---|---:|" + "---:|" * (len(datagram_writers) + (2 if loggen else 1)))
        for output, size in datagrams:
            def median_of(writer, field):
                return statistics.median(getattr(s, field) for s in samples[(output, size, writer)])
            texts = [f"{spread([s.datagrams for s in samples[(output, size, w)]], 1e-3, 0)} "
                     f"{median_of(w, 'rate'):.2f}" for w in datagram_writers]
            row = f"| {output} | {size} B | " + " | ".join(texts)
            if loggen:
                row += f" | {ratio(median_of('floodout', 'datagrams'), median_of('loggen', 'datagrams')):.2f}x"
            row += f" | {ratio(median_of('floodout', 'rate'), median_of('yes', 'rate')):.2f}x |"
            lines.append(row)
    return lines + [""]


def at_once(rounds, seconds, text_size, rows, writers, totals):
    """The tables of floods at once: `totals` maps (label, output) to each
    writer's samples. Returns the lines to print."""
    lines = [f"{rounds} alternating rounds of {seconds} s, text of {text_size} B; each cell the GB/s that all the "
             f"pairs took together, median (minimum-maximum), then [the CPU ms that all the writers and readers "
             f"spent a GB carried, median] and, beside busy loops, the median share of the CPUs that the loops kept; "
             f"best peer = the better of gnu-like and uutils-like by GB/s", ""]
    uutils = "uutils-like" in writers
    lines.append("| pairs at once | reader | " + " | ".join(f"{w} GB/s [ms/GB]" for w in writers)
                 + " | vs best peer |" + (" CPU vs uutils-like |" if uutils else "")
                 + (" vs previous |" if "previous" in writers else ""))
    lines.append("|---|---|" + "---:|" * (len(writers) + 1 + uutils + ("previous" in writers)))
    ratios, cpu_ratios, previous_ratios = [], [], []
    for label, output in rows:
        cell = totals[(label, output)]
        ours = median_rate(cell["floodout"])
        row = f"| {label} | {output} | " + " | ".join(cell_text(cell[w]) for w in writers)
        if any(p in cell for p in PEERS):
            best = max(median_rate(cell[p]) for p in PEERS if p in cell)
            ratios.append((ratio(ours, best), label, output))
            row += f" | {ratios[-1][0]:.2f}x |"
        else:
            row += " | - |"
        if uutils:
            theirs, mine = median_cpu(cell["uutils-like"]), median_cpu(cell["floodout"])
            if theirs and mine:
                cpu_ratios.append((mine / theirs, label, output))
                row += f" {mine / theirs:.2f}x |"
            else:
                row += " - |"
        if "previous" in writers:
            previous_ratios.append((ratio(ours, median_rate(cell["previous"])), label, output))
            row += f" {previous_ratios[-1][0]:.2f}x |"
        lines.append(row)
    lines.append("")
    for name, these in (("best peer", ratios), ("previous", previous_ratios)):
        if these:
            worst = min(these)
            lines.append(f"vs {name}: worst {worst[0]:.2f}x ({worst[1]}, {worst[2]}), median "
                         f"{statistics.median(r[0] for r in these):.2f}x over {len(these)} rows")
    if cpu_ratios:
        most = max(cpu_ratios)
        lines.append(f"CPU a GB against uutils-like (lower is better): most {most[0]:.2f}x ({most[1]}, {most[2]}), "
                     f"median {statistics.median(r[0] for r in cpu_ratios):.2f}x over {len(cpu_ratios)} rows")
    return lines


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def start_and_end(firsts, lags, peaks):
    """The first byte (microseconds after start, by writer), the end after
    the alarm (ms, by sink) and the peak memory (KiB, by text size)."""
    f, y = (statistics.median(firsts[n]) for n in ("floodout", "yes"))
    return [f"first byte into a pipe, {len(firsts['floodout'])} starts each: floodout median {f:.0f} us "
            f"(99th percentile {percentile(firsts['floodout'], 99):.0f}), yes median {y:.0f} us (99th percentile "
            f"{percentile(firsts['yes'], 99):.0f}); {f / y:.2f}x",
            f"end after the alarm, start-up included (floodout 1, {len(next(iter(lags.values())))} runs each): "
            + "; ".join(f"{sink} median {statistics.median(v):.1f} ms, max {max(v):.1f} ms" for sink, v in lags.items()),
            "peak resident memory of floodout: " + ", ".join(
                f"{size} B text {kib / 1024:.1f} MiB" for size, kib in peaks.items())]


def pods(rounds, seconds, counts, writers, samples):
    """The rows of containers at once: `samples` maps (count, writer) to
    that cell's samples. Returns the lines to print."""
    lines = [f"{rounds} alternating rounds of {seconds} s; each cell the MB/s of log that all the containers' logs "
             f"grew by together, median (minimum-maximum), then [the CPU ms the whole machine spent a GB of log, "
             f"median]; best = the better of previous and gnu-like", ""]
    others = [w for w in ("previous", "gnu-like") if w in writers]
    lines.append("| containers | " + " | ".join(f"{w} MB/s [ms/GB]" for w in writers) + " | vs best | CPU vs best |")
    lines.append("|---:|" + "---:|" * (len(writers) + 2))
    for n in counts:
        row = f"| {n} | " + " | ".join(
            spread([s.rate * 1e3 for s in samples[(n, w)]], digits=0)
            + (f" [{median_cpu(samples[(n, w)]):.0f}]" if median_cpu(samples[(n, w)]) else "") for w in writers)
        best = max(others, key=lambda w: median_rate(samples[(n, w)]), default=None)
        if best and "floodout" in writers:
            ours, theirs = samples[(n, "floodout")], samples[(n, best)]
            row += f" | {ratio(median_rate(ours), median_rate(theirs)):.2f}x ({best})"
            row += f" | {ratio(median_cpu(ours), median_cpu(theirs)):.2f}x |"
        else:
            row += " | - | - |"
        lines.append(row)
    return lines
