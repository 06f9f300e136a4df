"""What bench/run.py prints beside its tables: the machine, the first byte,
the end after the alarm, the peak memory."""
import os
import platform
import shutil
import subprocess
import time

from writers import HELPERS


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return "?"


def cpu_info():
    """The CPU's name, family, model and flags, from /proc/cpuinfo."""
    model, family, number, flags = platform.processor() or "unknown CPU", "?", "?", []
    for line in read("/proc/cpuinfo").splitlines():
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
    return model, family, number, flags


def cache(name):
    size = subprocess.run(["getconf", name], capture_output=True, text=True).stdout.strip()
    if not size.isdigit() or int(size) == 0:
        return "?"
    kib = int(size) // 1024
    return f"{kib // 1024} MiB" if kib >= 1024 and kib % 1024 == 0 else f"{kib} KiB"


def copy_limit():
    """GB/s at which the CPU copies 4 KiB pages from a cache-hot 64 KiB source
    into a 1 MiB destination, by the destination's offset from a page (0 and
    16): the most that a reader of a pipe can take."""
    out = subprocess.run([os.path.join(HELPERS, "bench_copy_rate"), "limit", "0", "16"], capture_output=True,
                         text=True, check=True).stdout.split()
    return {int(c.split(":")[0]): float(c.split(":")[1]) for c in out}


def describe(limit):
    """The CPU (vendor's name, family, model, caches, whether a VM), the
    kernel and what it sets for pipes and huge pages, and the copy rate."""
    model, family, number, flags = cpu_info()
    caches = (f"L1d {cache('LEVEL1_DCACHE_SIZE')}, L2 {cache('LEVEL2_CACHE_SIZE')}, "
              f"L3 {cache('LEVEL3_CACHE_SIZE')} as the CPU reports them")
    thp = read("/sys/kernel/mm/transparent_hugepage/enabled")
    copy = subprocess.run([os.path.join(HELPERS, "bench_copy_rate"), "0", "8", "16", "32"], capture_output=True,
                          text=True, check=True).stdout.split()
    copies = ", ".join(f"+{c.split(':')[0]} {c.split(':')[1]}" for c in copy)
    return (f"{model} (cpu family {family}, model {number}), {os.cpu_count()} cores, {caches}, "
            f"{'a virtual machine' if 'hypervisor' in flags else 'no hypervisor seen'}; Linux {platform.release()}, "
            f"transparent huge pages {thp}, pipe-max-size {read('/proc/sys/fs/pipe-max-size')}; copy rate (rep movsb "
            f"of 4 KiB pages, GB/s) at destination - source mod 64 = {copies}; copy limit (from a cache-hot 64 KiB "
            f"into 1 MiB, GB/s) at page+0 {limit[0]:.1f}, page+16 {limit[16]:.1f}")


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
    for line in read(f"/proc/{p.pid}/status").splitlines():
        if line.startswith("VmHWM:"):
            kib = int(line.split()[1])
    p.kill()
    p.wait()
    os.close(r)
    return kib


def start_and_end(binary, texts):
    """First bytes (us, 50 starts of floodout and yes, in turns, each first
    half the time), ends after the alarm (ms, 7 runs into each sink) and peak
    memory (KiB, by text size)."""
    firsts = {"floodout": [], "yes": []}
    argv = {"floodout": [binary, "1"], "yes": [shutil.which("yes") or "/usr/bin/yes"]}
    for start in range(50):
        for name in ("floodout", "yes") if start % 2 == 0 else ("yes", "floodout"):
            firsts[name].append(first_byte_us(argv[name]))
    lags = {"pipe": [], "/dev/null": [], "tmpfs": []}
    lag_file = f"/dev/shm/floodout-lag-{os.getpid()}"
    for _ in range(7):
        for sink in lags:
            lags[sink].append(end_lag_ms(binary, lag_file if sink == "tmpfs" else sink))
    if os.path.exists(lag_file):
        os.unlink(lag_file)
    return firsts, lags, {size: peak_kib(binary, text) for size, text in texts.items()}
