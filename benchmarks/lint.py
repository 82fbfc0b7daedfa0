"""Lint a large real tree (the installed Django package's own sources) twice in one run:
with checker.get_messages and every registered checker, and with a bare pylint linter
that holds no checkers. Prints both times and their ratio.

    .venv/bin/python benchmarks/lint.py [--subset db] [--jobs 0] [--repeat 2]
"""
import argparse
import gc
import os
import sys
import time
from pathlib import Path

import astroid
from astroid.inference_tip import clear_inference_tip_cache
import django
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from vorlane.staticanalysis import checker


def python_files(root):
    return [
        str(path.resolve())
        for path in sorted(root.rglob("*.py"))
        if path.stat().st_size > 0
    ]


def timed(run):
    # Both runs start from an empty module cache: astroid keeps parsed modules
    # process-wide, and the second run would otherwise reuse the first one's trees.
    # (MANAGER.clear_cache would also drop every transform registered outside
    # astroid's brain, the package's Django shims among them.)
    astroid.MANAGER.astroid_cache.clear()
    clear_inference_tip_cache()
    # The trees of the run before are freed now, not during this run's collections.
    gc.collect()
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def lint_with_checker(root, files, jobs):
    selection = dict.fromkeys(files)
    return checker.get_messages(str(root), selection, jobs=jobs)


def lint_bare(files):
    linter = PyLinter(reporter=CollectingReporter())
    linter.check(files)
    return linter.reporter.messages


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--subset",
        default="",
        help="a directory below the django package, e.g. db (default: all)",
    )
    parser.add_argument("--jobs", type=int, default=0, help="pylint worker processes")
    parser.add_argument(
        "--repeat",
        type=int,
        default=2,
        help="timed runs of each linter, alternating; the best counts",
    )
    args = parser.parse_args(argv)

    root = Path(django.__file__).parent / args.subset
    files = python_files(root)
    if not files:
        sys.exit(f"no Python files below {root}")
    # The progress display and pylint's own output would blur the timing lines.
    with open(os.devnull, "w") as devnull:
        saved = sys.stdout
        sys.stdout = devnull
        try:
            # Whatever the first lint of a process loads lazily is paid here, by
            # neither of the timed runs.
            lint_bare(files[:5])
            lint_with_checker(root, files[:5], args.jobs)
            times = {"ours": float("inf"), "bare": float("inf")}
            runs = {
                "ours": lambda: lint_with_checker(root, files, args.jobs),
                "bare": lambda: lint_bare(files),
            }
            results = {}
            # Each linter goes first in every other round: a run after the other
            # one pays for the memory that one left behind.
            for round_ in range(max(args.repeat, 1)):
                order = ["ours", "bare"] if round_ % 2 == 0 else ["bare", "ours"]
                for name in order:
                    seconds, results[name] = timed(runs[name])
                    times[name] = min(times[name], seconds)
        finally:
            sys.stdout = saved
    print(f"tree:            {root} ({len(files)} files)")
    ours, bare = times["ours"], times["bare"]
    print(f"checker.get_messages: {ours:8.2f} s  ({len(results['ours'])} records)")
    print(f"bare pylint linter:   {bare:8.2f} s  ({len(results['bare'])} messages)")
    print(f"ratio:                {ours / bare:8.2f}")


if __name__ == "__main__":
    main()
