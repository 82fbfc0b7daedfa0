"""Lint a large real tree (the installed Django package's own sources) with
checker.get_messages and every registered checker, and the same files with a bare pylint
linter that holds no checkers, in one run; prints both times, their ratio, and how many
fatal records (files that could not be checked at all) each run gave.

    .venv/bin/python benchmarks/lint.py [--subset db] [--jobs 0] [--repeat 2]
                                        [--default-collector]

The package makes the cyclic garbage collector's runs rare while it lints a project
(astroid's trees are long-lived); --default-collector lints with the interpreter's
default thresholds instead, which shows how much of the ratio that tuning makes.

CPU time is the measuring process's own, so it leaves out worker processes (--jobs);
under a busy machine it is the steadier figure.

Each measurement runs in a fresh interpreter: astroid keeps parsed modules and
inference results process-wide (its caches also hold on to earlier trees), so a lint
that follows another one in the same process is neither cold nor comparable. The bare
linter's interpreter never loads this package, so its time is pylint's and astroid's
alone, without the package's Django inference transforms.
"""
import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path


def python_files(root):
    return [
        str(path.resolve())
        for path in sorted(root.rglob("*.py"))
        if path.stat().st_size > 0
    ]


def lint_with_checker(root, files, jobs, default_collector=False):
    from vorlane.staticanalysis import checker

    if default_collector:
        checker.COLLECTOR_THRESHOLDS = None

    return checker.get_messages(str(root), dict.fromkeys(files), jobs=jobs)


def lint_bare(files, jobs):
    from pylint.lint import PyLinter
    from pylint.reporters import CollectingReporter

    linter = PyLinter(reporter=CollectingReporter())
    if jobs:
        linter.set_option("jobs", jobs)
    linter.check(files)
    return linter.reporter.messages


def fatal_count(which, results):
    """Records of files whose check crashed: dicts for the checker, pylint messages for
    the bare linter."""
    if which == "checker":
        return sum(1 for record in results if record.get("type") == "fatal")
    return sum(1 for message in results if message.category == "fatal")


def measure(which, root, jobs, default_collector):
    """One lint in this interpreter; prints its times and result counts as JSON."""
    import warnings

    # pylint warns once per checker made about __implements__, which the checkers
    # still need.
    warnings.filterwarnings("ignore", "Using the __implements__", DeprecationWarning)
    files = python_files(root)
    out = sys.stdout
    # The progress display and pylint's own output would mix with the result line.
    with open(os.devnull, "w") as devnull:
        sys.stdout = devnull
        try:
            start, cpu_start = time.perf_counter(), time.process_time()
            if which == "checker":
                results = lint_with_checker(root, files, jobs, default_collector)
            else:
                results = lint_bare(files, jobs)
            seconds = time.perf_counter() - start
            cpu = time.process_time() - cpu_start
        finally:
            sys.stdout = out
    print(
        json.dumps(
            {
                "seconds": seconds,
                "cpu": cpu,
                "results": len(results),
                "fatal": fatal_count(which, results),
                "files": len(files),
            }
        )
    )


def run_child(which, root, jobs, default_collector):
    command = [sys.executable, __file__, "--measure", which, "--root", str(root)]
    command += ["--jobs", str(jobs)]
    if default_collector:
        command.append("--default-collector")
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{which} run failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--subset",
        default="",
        help="a directory below the django package, e.g. db (default: all of it)",
    )
    parser.add_argument("--jobs", type=int, default=0, help="pylint worker processes")
    parser.add_argument(
        "--repeat",
        type=int,
        default=2,
        help="runs of each linter, alternating which goes first; the best counts",
    )
    parser.add_argument(
        "--default-collector",
        action="store_true",
        help="keep the garbage collector's default thresholds in the package's run",
    )
    parser.add_argument(
        "--measure", choices=["checker", "bare"], help=argparse.SUPPRESS
    )
    parser.add_argument("--root", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.measure:
        measure(args.measure, Path(args.root), args.jobs, args.default_collector)
        return

    import django

    root = Path(django.__file__).parent / args.subset
    if not python_files(root):
        sys.exit(f"no Python files below {root}")
    best = {"checker": None, "bare": None}
    for round_ in range(max(args.repeat, 1)):
        order = ["checker", "bare"] if round_ % 2 == 0 else ["bare", "checker"]
        for which in order:
            result = run_child(which, root, args.jobs, args.default_collector)
            if best[which] is None or result["seconds"] < best[which]["seconds"]:
                best[which] = result
    ours, bare = best["checker"], best["bare"]
    print(f"tree: {root} ({ours['files']} files)")
    print(
        f"checker.get_messages: {ours['seconds']:8.2f} s ({ours['cpu']:.2f} s CPU)"
        f"  {ours['results']} records, {ours['fatal']} fatal"
    )
    print(
        f"bare pylint linter:   {bare['seconds']:8.2f} s ({bare['cpu']:.2f} s CPU)"
        f"  {bare['results']} messages, {bare['fatal']} fatal"
    )
    print(
        f"ratio:                {ours['seconds'] / bare['seconds']:8.2f}"
        f" ({ours['cpu'] / bare['cpu']:.2f} CPU)"
    )


if __name__ == "__main__":
    main()
