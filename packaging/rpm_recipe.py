#!/usr/bin/env python3
"""The .rpm's build recipe: packaging/floodout.rpm.in with its @NAMES@ filled in,
the summary and description of the .deb's description.txt, and the entries
of the Debian changelog as an rpm %changelog, newest first.
  rpm_recipe.py TEMPLATE VERSION MAINTAINER DESCRIPTION CHANGELOG
"""
import email.utils
import re
import sys


def entries(text):
    """(version, maintainer, date, [items]) of each entry."""
    found = []
    for block in re.split(r"\n(?=\S)", text.strip()):
        head = re.match(r"\S+ \(([^)]+)\)", block)
        trailer = re.search(r"^ -- (.+?)  (.+)$", block, re.MULTILINE)
        if not head or not trailer:
            sys.exit(f"not a changelog entry: {block[:60]!r}")
        items = re.findall(r"^  \* (.+(?:\n    .+)*)", block, re.MULTILINE)
        found.append((head.group(1), trailer.group(1), email.utils.parsedate_to_datetime(trailer.group(2)),
                      [" ".join(line.strip() for line in item.splitlines()) for item in items]))
    return found


def changelog(text):
    lines = []
    for version, maintainer, date, items in entries(text):
        lines.append(f"* {date.strftime('%a %b %d %Y')} {maintainer} - {version}-1")
        lines += [f"- {item}" for item in items] + [""]
    return "\n".join(lines).rstrip("\n")


def main(template, version, maintainer, description, log):
    def read(path):
        with open(path, encoding="utf-8") as f:
            return f.read()
    summary, _, body = read(description).partition("\n\n")
    fields = {"VERSION": version, "MAINTAINER": maintainer, "SUMMARY": summary.strip(), "DESCRIPTION": body.strip(),
              "CHANGELOG": changelog(read(log))}
    sys.stdout.write(re.sub(r"@([A-Z]+)@", lambda m: fields[m.group(1)], read(template)))


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
