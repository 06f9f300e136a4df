#!/usr/bin/env bash
# The lab: floodout beside variants of its own that differ in one respect
# at a time (bench_lab, bench/lab.cpp), through bench/run.py.
#   bench/lab.sh alone   1 MiB, 128 KiB, 64 KiB and 4 KiB readers, one flood
#   bench/lab.sh crowd   8 and 16 floods at once
# Further options go to bench/run.py.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-alone}
shift || true
lab=$PWD/build/bench/bench/bench_lab
[ -x "$lab" ] || { echo "build bench first: python3 bench/run.py --quick once, or cmake --build build/bench" >&2; exit 1; }
wrappers=$(mktemp -d)
trap 'rm -rf "$wrappers"' EXIT
# name: options, one respect each.
variants=(
    "asleep: wait=sleep"
    "fast: wait=fast"
    "poll: wait=poll reach=0"
    "ring: wait=emptied reach=0 spin=60"
    "ring-anywhere: wait=emptied reach=0 spin=60 marks=0"
    "to-end: wait=sleep reach=0"
    "emptied: wait=emptied spin=60"
    "narrow: wait=sleep reach=131072 span=65536 pipe=524288"
    "small: wait=sleep reach=131072 span=8192 pipe=524288"
    "emptied-small: wait=emptied spin=60 reach=131072 span=8192 pipe=524288"
)
binaries=()
names=()
for entry in "${variants[@]}"; do
    name=${entry%%:*}
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$lab" "${entry#*: }" >"$wrappers/$name"
    chmod +x "$wrappers/$name"
    binaries+=(--binary "$name=$wrappers/$name")
    names+=("$name")
done
writers=$(IFS=,; echo "floodout,ring-like,gnu-like,${names[*]}")
if [ "$what" = crowd ]; then
    python3 bench/run.py --no-build --pairs 3 --seconds 1 --at-once 8,16 --outputs read-1m+0,read-64k+0,read-4k+0 \
        --writers "$writers" "${binaries[@]}" "$@"
else
    python3 bench/run.py --no-build --pairs 5 --seconds 1 --texts 12 \
        --outputs read-1m+0,read-1m+16,read-128k+0,read-64k+0,read-4k+0 --writers "$writers" "${binaries[@]}" "$@"
fi
