#!/usr/bin/env python3
"""Prints the notes of a release: its version's section of the changelog.

    release_notes.py VERSION [CHANGELOG]

prints the body of the section of CHANGELOG (CHANGELOG.md at the top of the source tree unless
named) whose heading is `## VERSION` or `## VERSION - YYYY-MM-DD`, without the heading and without
the blank lines around it; `Unreleased` is a version here too. Where the changelog has no such
section, two of them, or an empty one, it prints nothing on standard output and fails, so that the
release workflow stops before it publishes a tag whose changes nobody wrote down.
"""

import os
import re
import sys


def fail(reason):
    sys.exit(f"release_notes.py: {reason}")


def section(lines, version):
    """The lines of each section headed with `version`, heading left out."""
    heading = re.compile(rf"## {re.escape(version)}( - .*)?")
    found = []
    body = None
    for line in lines:
        if line.startswith("## ") or line.startswith("# "):
            body = [] if heading.fullmatch(line.rstrip()) else None
            if body is not None:
                found.append(body)
        elif body is not None:
            body.append(line)
    return found


def main(argv):
    if len(argv) not in (2, 3):
        fail("usage: release_notes.py VERSION [CHANGELOG]")
    version = argv[1]
    if len(argv) == 3:
        path = shown = argv[2]
    else:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CHANGELOG.md")
        shown = "CHANGELOG.md"
    try:
        with open(path, encoding="utf-8") as file:
            lines = file.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        fail(f"{shown}: {error}")

    found = section(lines, version)
    if not found:
        fail(f"{shown} has no section for {version}")
    if len(found) > 1:
        fail(f"{shown} has {len(found)} sections for {version}")
    body = found[0]
    while body and not body[0].strip():
        body.pop(0)
    while body and not body[-1].strip():
        body.pop()
    if not body:
        fail(f"{shown}: the section for {version} is empty")
    sys.stdout.buffer.write("".join(line + "\n" for line in body).encode("utf-8"))


if __name__ == "__main__":
    main(sys.argv)
