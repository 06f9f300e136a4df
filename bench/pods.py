"""The flagship use: floods in containers at once, each read by its runtime's
log pipe (conmon under podman) into a k8s-file log, as a cluster's nodes
have them. Each writer's static binary is the entry point of a scratch
container (podman run --rootfs), 8 MiB and 1 CPU each, writing the Pod
example's JSON line; measured: the bytes a second that the log pipes (the
containers' conmon) wrote into their logs, all containers together, and the
CPU the whole machine spent a GB of log (/proc/stat). The logs are kept in
memory and rotated at 128 MiB, so that a disk's writeback, which throttles
whoever comes after it, is not what is measured."""
import os
import re
import shutil
import subprocess
import tempfile
import time

from outputs import Sample
from writers import REFERENCES, ROOT

POD = os.path.join(ROOT, "examples", "kubernetes", "floodout-pod.yaml")


def pod_line():
    """The Pod example's line, newline included."""
    with open(POD) as f:
        quoted = re.search(r'^ *- "(\{.*\})\\n"$', f.read(), re.MULTILINE).group(1)
    return quoted.replace('\\"', '"') + "\n"


def machine_busy():
    """CPU seconds the machine has spent busy (not idle, not waiting on I/O)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")


def rootfs(binary, where):
    """A directory holding only `binary`, as /writer."""
    os.makedirs(where, exist_ok=True)
    shutil.copy(binary, os.path.join(where, "writer"))
    os.chmod(os.path.join(where, "writer"), 0o755)
    return where


def quiet(bound=20.0):
    """Waits, at most `bound` seconds, until no podman or conmon runs: podman
    cleans up after a container in processes of its own, which would take
    the next run's CPU."""
    until = time.monotonic() + bound
    while time.monotonic() < until and subprocess.run(["pgrep", "--runstates", "D,R,S,T", "-x", "podman|conmon"],
                                                      stdout=subprocess.DEVNULL).returncode == 0:
        time.sleep(0.1)


def written(pids):
    """Bytes the processes have written, by write(2) and the like, in all."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/io") as io:
                total += next(int(line.split()[1]) for line in io if line.startswith("wchar:"))
        except (OSError, StopIteration):
            pass
    return total


def run_pods(writer, binary, n, seconds):
    """`n` containers of `writer` at once, measured for `seconds` once all
    run: log GB/s, and the machine's CPU ms a GB of log."""
    env = dict(os.environ)
    env.setdefault("CONTAINERS_CONF", os.path.join(ROOT, ".ci", "containers.conf"))
    line = pod_line()
    # floodout takes the line as it is; the yes-like writers add the newline.
    args = ["0", line] if writer not in REFERENCES else [line[:-1]]
    quiet()
    with tempfile.TemporaryDirectory(dir="/dev/shm") as scratch:
        root = rootfs(binary, os.path.join(scratch, "root"))
        names = [f"floodout-bench-{os.getpid()}-{i}" for i in range(n)]
        logs = [os.path.join(scratch, f"{name}.log") for name in names]
        try:
            # Started all at once: podman takes seconds for each.
            starting = [subprocess.Popen(["podman", "run", "-d", "--name", name, "--rootfs", "--log-driver", "k8s-file",
                                          "--log-opt", f"path={log}", "--log-opt", "max-size=128m", "--memory", "8m",
                                          "--cpus", "1", "--network",
                                          "none", root, "/writer"] + args, stdout=subprocess.DEVNULL, env=env)
                        for name, log in zip(names, logs)]
            if any(p.wait() != 0 for p in starting):
                raise RuntimeError("podman run failed")
            pids = subprocess.run(["podman", "inspect", "--format", "{{.State.ConmonPid}}"] + names, check=True,
                                  capture_output=True, text=True, env=env).stdout.split()
            time.sleep(1)  # podman's own processes are done with the CPUs
            b1, c1, t1 = written(pids), machine_busy(), time.monotonic()
            time.sleep(seconds)
            b2, c2, t2 = written(pids), machine_busy(), time.monotonic()
        finally:
            subprocess.run(["podman", "kill"] + names, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            subprocess.run(["podman", "rm", "-f", "-t", "0"] + names, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=env)
    nbytes = b2 - b1
    return Sample(nbytes / (t2 - t1) / 1e9, (c2 - c1) * 1e3 / (nbytes / 1e9) if nbytes > 0 else None)


def pods(rounds, counts, binaries, seconds):
    """(count, writer) -> [Sample], writers alternating round by round."""
    samples = {}
    writers = list(binaries)
    for rnd in range(rounds):
        for n in counts:
            for writer in writers if rnd % 2 == 0 else list(reversed(writers)):
                samples.setdefault((n, writer), []).append(run_pods(writer, binaries[writer], n, seconds))
    return samples
