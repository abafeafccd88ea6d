#!/usr/bin/env python3
"""Plants each mistake listed in tests/mutants.txt in the product's sources, one at a time, and
runs the suite on it: a mistake that no test catches is a line of the safety code that the suite
does not guard. The sources are always put back as they were, also when interrupted.

    tests/mutants.py [--build build/dev] [--kind KIND]... [--only NAME-PART]... [--except NAME-PART]...

Needs a configured build folder (cmake --preset dev). For each mistake it rebuilds the programs the
tests run, then runs the tests without the label "slow", then the crash states, then the other
slow ones, each stopping at its first failure. It prints one line per mistake (caught, and by which
test; or SURVIVED) and exits with 1 when any survived or no longer applies to the sources.
"""

import argparse
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGETS = ["jassrewrite", "jassrewrite_with_faults", "unit_tests", "end_to_end_tests"]


def read_mistakes(path):
    """Blocks of '## kind: name', 'file: <path>', then '- ' lines to find and '+ ' lines to put."""
    mistakes = []
    for block in path.read_text().split("\n## ")[1:]:
        lines = block.rstrip("\n").split("\n")
        kind, _, name = lines[0].partition(": ")
        source = lines[1].removeprefix("file: ")
        find = "\n".join(line[2:] for line in lines[2:] if line.startswith("- ") or line == "-")
        put = "\n".join(line[2:] for line in lines[2:] if line.startswith("+ ") or line == "+")
        mistakes.append({"kind": kind, "name": name, "file": source, "find": find, "put": put})
    return mistakes


def run(command, cwd=ROOT):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=False)


def ctest(build, *selection):
    return run(["ctest", "--test-dir", str(build), "--stop-on-failure", "-j2", "--timeout", "300",
                *selection])


def first_failure(build):
    """The first test that fails, fast ones first, or None. A test that fails once and passes when
    run again alone is passed over as flaky, so that it is never named as what caught a mistake."""
    flaky = []
    # The crash states come before the other slow tests: they take seconds, and see every sync.
    for chosen, left_out in ((["-LE", "slow"], []), (["-R", "CrashStates"], []),
                             (["-L", "slow"], ["CrashStates"])):
        while True:
            skipped = left_out + flaky
            result = ctest(build, *chosen, *(["-E", "|".join(skipped)] if skipped else []))
            if result.returncode == 0:
                break
            names = re.findall(r"Test +#\d+: (\S+) [^\n]*\*\*\*(?:Failed|Timeout|Exception)",
                               result.stdout)
            if not names:
                return "ctest, which failed without naming a test"
            # Parameterised tests carry "  # GetParam() = ..." in their names.
            exact = "^" + re.sub(r"([.*+?()\[\]|^$])", r"\\\1", names[0]) + "( |$)"
            if ctest(build, "-R", exact).returncode != 0:
                return names[0]
            flaky.append(exact)
    return None


def try_mistake(mistake, build):
    source = ROOT / mistake["file"]
    original = source.read_text()
    if original.count(mistake["find"]) != 1:
        return "STALE (the text to change is not found once)"
    try:
        source.write_text(original.replace(mistake["find"], mistake["put"]))
        built = run(["cmake", "--build", str(build), "--target", *TARGETS])
        if built.returncode != 0:
            return "STALE (does not build)"
        caught_by = first_failure(build)
        return f"caught by {caught_by}" if caught_by else "SURVIVED"
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build/dev", help="a configured build folder")
    parser.add_argument("--only", metavar="NAME-PART", action="append", default=[],
                        help="only mistakes whose name holds this (repeatable)")
    parser.add_argument("--kind", metavar="KIND", action="append", default=[],
                        help="only mistakes of this kind, the word before ':' (repeatable)")
    parser.add_argument("--except", dest="leave_out", metavar="NAME-PART", action="append", default=[],
                        help="not the mistakes whose name holds this (repeatable)")
    args = parser.parse_args()
    # A run stopped from outside (a time limit, a closed terminal) puts the sources back too.
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, frame: sys.exit(128 + number))
    build = (ROOT / args.build).resolve()
    mistakes = read_mistakes(ROOT / "tests" / "mutants.txt")
    if args.kind:
        mistakes = [m for m in mistakes if m["kind"] in args.kind]
    if args.only:
        mistakes = [m for m in mistakes if any(part in m["name"] for part in args.only)]
    mistakes = [m for m in mistakes if not any(part in m["name"] for part in args.leave_out)]
    bad = 0
    try:
        for mistake in mistakes:
            started = time.monotonic()
            verdict = try_mistake(mistake, build)
            bad += not verdict.startswith("caught")
            print(f"{mistake['kind']:12} {mistake['name']}: {verdict} "
                  f"({time.monotonic() - started:.0f} s)", flush=True)
    finally:
        run(["cmake", "--build", str(build), "--target", *TARGETS])
    print(f"{len(mistakes) - bad} of {len(mistakes)} caught")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
