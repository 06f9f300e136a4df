#!/usr/bin/env python3
"""The shell commands that a Markdown file shows, for CI to run as written.

  readme.py block FILE PATTERN   prints, as a script, the ```sh block of FILE
                                 that has a line starting with PATTERN
  readme.py check RUN FILE...    fails unless every ```sh block of every FILE
                                 is one that a step of the CI script RUN runs
                                 (a line `readme FILE 'PATTERN' ...` there), or
                                 every command in it says that CI does not
                                 run it

A command whose comment says "not run by CI" (and why), on any of its lines,
is left out of the script.
"""
import re
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


def chosen(path, pattern):
    """The one block of `path` with a line starting with `pattern`."""
    found = [(start, lines) for start, lines in blocks(path) if any(line.startswith(pattern) for line in lines)]
    if len(found) != 1:
        sys.exit(f"{path}: {len(found)} ```sh blocks have a line starting with {pattern!r}, not one")
    return found[0]


def block(path, pattern):
    _, lines = chosen(path, pattern)
    script = []
    for command in commands(lines):
        if not is_command(command):
            continue
        if unmarked(command):
            script.append(f"printf '+ %s\\n' {quote(command[0].strip())}")
            script.extend(command)
        else:
            script.append(f"printf '  (skipped: %s)\\n' {quote(command[0].strip())}")
    print("\n".join(script))


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def check(run, paths):
    with open(run, encoding="utf-8") as f:
        calls = re.findall(r"""^\s*readme\s+(\S+)\s+(["'])(.*?)\2""", f.read(), re.MULTILINE)
    ran = {f"{path}:{chosen(path, pattern)[0]}" for path, _, pattern in calls}
    missed = []
    for path in paths:
        for start, lines in blocks(path):
            runnable = [c for c in commands(lines) if is_command(c) and unmarked(c)]
            if f"{path}:{start}" not in ran and runnable:
                missed.append(f"{path}:{start}: no step of {run} runs: {runnable[0][0].strip()}")
    for line in missed:
        print(line, file=sys.stderr)
    if missed:
        sys.exit(1)
    print(f"every command of {', '.join(paths)} is run by a step of {run}, or says why CI does not run it")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "block":
        block(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
