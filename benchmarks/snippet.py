"""Time checker.check_code against checker.get_messages on the same file: two 1 MB
one-row list literals and a few large modules of the installed Django package; prints
both times per input and their ratio.

    .venv/bin/python benchmarks/snippet.py [--inputs names,ints,query,base]
                                           [--repeat 2] [--profile check_code]

Inputs: "names" is `DATA = [x, x, ...]` on one row of 1 MB, "ints" is
`DATA = [0, 1, 2, ...]` on one row of 1 MB, and "query", "base", "fields", "options" are
django/db/models/query.py, base.py, fields/__init__.py and options.py. Each is written
into a scratch project as app/<input>.py; check_code lints its text under that path
and get_messages lints the file itself, so both see the same text under the same name.

Each measurement runs in a fresh interpreter (astroid keeps parsed modules and
inference results process-wide, so a second lint in one process is neither cold nor
comparable); the imports are made before the clock starts. CPU time is the measuring
process's own, the steadier figure on a busy machine. --profile runs one input's
chosen call under cProfile instead and prints where its time goes.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ONE_MB = 1_000_000
DJANGO_MODULES = {
    "query": "db/models/query.py",
    "base": "db/models/base.py",
    "fields": "db/models/fields/__init__.py",
    "options": "db/models/options.py",
}
CALLS = ("check_code", "get_messages")


def one_row_list(item_text):
    """`DATA = [item, item, ...]` on one row of about 1 MB."""
    items, size, i = [], 0, 0
    while size < ONE_MB:
        items.append(item_text(i))
        size += len(items[-1]) + 2
        i += 1
    return "DATA = [" + ", ".join(items) + "]\n"


def source_of(name):
    if name == "names":
        return "x = 1\n" + one_row_list(lambda i: "x")
    if name == "ints":
        return one_row_list(str)
    import django

    return (Path(django.__file__).parent / DJANGO_MODULES[name]).read_text()


def write_project(scratch, name):
    """A project holding the input as app/<name>.py; answers (root, path)."""
    root = Path(scratch) / name
    (root / "app").mkdir(parents=True)
    (root / "app" / "__init__.py").write_text("")
    path = root / "app" / f"{name}.py"
    path.write_text(source_of(name))
    return root, path


def run_call(which, root, path):
    from vorlane.staticanalysis import checker

    if which == "check_code":
        return checker.check_code(path.read_text(), str(path), None)
    return checker.get_messages(str(root), {str(path): None})


def record_count(which, result):
    if which == "check_code":  # the renderer's grouping by code
        return sum(len(records) for records in result.values())
    return len(result)


def measure(which, root, path, profile):
    """One call in this interpreter; prints its times as JSON (or the profile)."""
    import warnings

    # pylint warns once per checker made about __implements__, which the checkers
    # still need.
    warnings.filterwarnings("ignore", "Using the __implements__", DeprecationWarning)
    from vorlane.staticanalysis import checker  # noqa: F401  (loaded before the clock)

    sys.path.insert(0, str(root))
    out = sys.stdout
    with open(os.devnull, "w") as devnull:  # the progress display
        sys.stdout = devnull
        try:
            if profile:
                import cProfile
                import pstats

                profiler = cProfile.Profile()
                profiler.runcall(run_call, which, root, path)
                sys.stdout = out
                pstats.Stats(profiler).sort_stats("cumulative").print_stats(40)
                pstats.Stats(profiler).sort_stats("tottime").print_stats(25)
                return
            start, cpu_start = time.perf_counter(), time.process_time()
            result = run_call(which, root, path)
            seconds = time.perf_counter() - start
            cpu = time.process_time() - cpu_start
        finally:
            sys.stdout = out
    print(json.dumps({"seconds": seconds, "cpu": cpu, "records": record_count(which, result)}))


def run_child(which, root, path, profile=False):
    command = [sys.executable, __file__, "--measure", which]
    command += ["--root", str(root), "--path", str(path)]
    if profile:
        command.append("--profile-child")
        subprocess.run(command, check=True)
        return None
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{which} run on {path.name} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--inputs",
        default="names,ints,query,base",
        help="comma-separated, from names, ints, " + ", ".join(DJANGO_MODULES),
    )
    parser.add_argument(
        "--repeat",
        type=int,
        default=2,
        help="runs of each call, alternating which goes first; the best counts",
    )
    parser.add_argument(
        "--profile", choices=CALLS, help="profile this call on each input instead"
    )
    parser.add_argument("--measure", choices=CALLS, help=argparse.SUPPRESS)
    parser.add_argument("--root", help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    parser.add_argument("--profile-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.measure:
        measure(args.measure, Path(args.root), Path(args.path), args.profile_child)
        return

    names = [name for name in args.inputs.split(",") if name]
    for name in names:
        if name not in ("names", "ints", *DJANGO_MODULES):
            sys.exit(f"unknown input {name!r}")
    print(f"{'input':8} {'size':>9}  {'check_code':>17}  {'get_messages':>17}  ratio (CPU)")
    with tempfile.TemporaryDirectory() as scratch:
        for name in names:
            root, path = write_project(scratch, name)
            if args.profile:
                print(f"--- {name}: {args.profile}", flush=True)
                run_child(args.profile, root, path, profile=True)
                continue
            best = dict.fromkeys(CALLS)
            for round_ in range(max(args.repeat, 1)):
                order = CALLS if round_ % 2 == 0 else CALLS[::-1]
                for which in order:
                    result = run_child(which, root, path)
                    if best[which] is None or result["seconds"] < best[which]["seconds"]:
                        best[which] = result
            ours, project = best["check_code"], best["get_messages"]
            print(
                f"{name:8} {path.stat().st_size:9d}"
                f"  {ours['seconds']:7.2f} s ({ours['cpu']:5.2f})"
                f"  {project['seconds']:7.2f} s ({project['cpu']:5.2f})"
                f"  {ours['seconds'] / project['seconds']:5.2f}"
                f" ({ours['cpu'] / project['cpu']:.2f})",
                flush=True,
            )


if __name__ == "__main__":
    main()
