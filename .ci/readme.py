#!/usr/bin/env python3
"""The shell commands that a Markdown file shows, for CI to run as written.

  readme.py block FILE PATTERN   prints, as a script, the ```sh block of FILE
                                 that has a line starting with PATTERN, and
                                 records that CI ran it
  readme.py check FILE...        fails unless every ```sh block of every FILE
                                 was printed by `block`, or every command in
                                 it says that CI does not run it

A command whose comment says "not run by CI" (and why), on any of its lines,
is left out of the script. Records go to $README_RAN (one line a block).
"""
import os
import sys

MARK = "not run by CI"


def blocks(path):
    """Each ```sh block: (first line number, [lines])."""
    found, lines, start = [], None, 0
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            stripped = line.strip()
            if lines is None and stripped == "```sh":
                lines, start = [], number
            elif lines is not None and stripped == "```":
                found.append((start, lines))
                lines = None
            elif lines is not None:
                lines.append(line.rstrip("\n"))
    if lines is not None:
        sys.exit(f"{path}:{start}: a ```sh block that never ends")
    return found


def commands(lines):
    """Commands with their continuation lines, comments and blanks apart."""
    result, current = [], []
    for line in lines:
        current.append(line)
        if not line.endswith("\\"):
            result.append(current)
            current = []
    if current:
        result.append(current)
    return result


def is_command(command):
    first = command[0].strip()
    return first != "" and not first.startswith("#")


def unmarked(command):
    return not any(MARK in line for line in command)


def record_file():
    path = os.environ.get("README_RAN")
    if not path:
        sys.exit("README_RAN names no file")
    return path


def block(path, pattern):
    chosen = [(start, lines) for start, lines in blocks(path) if any(line.startswith(pattern) for line in lines)]
    if len(chosen) != 1:
        sys.exit(f"{path}: {len(chosen)} ```sh blocks have a line starting with {pattern!r}, not one")
    start, lines = chosen[0]
    script = []
    for command in commands(lines):
        if not is_command(command):
            continue
        if unmarked(command):
            script.append(f"printf '+ %s\\n' {quote(command[0].strip())}")
            script.extend(command)
        else:
            script.append(f"printf '  (skipped: %s)\\n' {quote(command[0].strip())}")
    with open(record_file(), "a", encoding="utf-8") as f:
        f.write(f"{path}:{start}\n")
    print("\n".join(script))


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def check(paths):
    try:
        with open(record_file(), encoding="utf-8") as f:
            ran = set(f.read().split())
    except FileNotFoundError:
        ran = set()
    missed = []
    for path in paths:
        for start, lines in blocks(path):
            runnable = [c for c in commands(lines) if is_command(c) and unmarked(c)]
            if f"{path}:{start}" not in ran and runnable:
                missed.append(f"{path}:{start}: CI did not run: {runnable[0][0].strip()}")
    for line in missed:
        print(line, file=sys.stderr)
    if missed:
        sys.exit(1)
    print(f"every command of {', '.join(paths)} ran, or says why CI does not run it")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "block":
        block(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 3 and sys.argv[1] == "check":
        check(sys.argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
