#!/usr/bin/env python3
"""Checks the release's OCI archive: one index of the seven platforms, each
image's entry point /floodout.
  image.py ARCHIVE
"""
import json
import sys
import tarfile

WANT = ["linux/386", "linux/amd64", "linux/arm/v7", "linux/arm64", "linux/ppc64le", "linux/riscv64", "linux/s390x"]


def main(archive):
    with tarfile.open(archive) as tar:
        def blob(digest):
            return json.load(tar.extractfile("./blobs/" + digest.replace(":", "/")))
        index = json.load(tar.extractfile("./index.json"))
        (entry,) = index["manifests"]
        listed = blob(entry["digest"])
        platforms = sorted(p["platform"]["os"] + "/" + p["platform"]["architecture"]
                           + ("/" + p["platform"]["variant"] if p["platform"].get("variant") else "")
                           for p in listed["manifests"])
        if platforms != WANT:
            sys.exit(f"platforms {platforms}, not {WANT}")
        for m in listed["manifests"]:
            config = blob(blob(m["digest"])["config"]["digest"])
            if config["config"]["Entrypoint"] != ["/floodout"]:
                sys.exit(f"entry point {config['config']['Entrypoint']}")
    print("platforms:", " ".join(platforms))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
