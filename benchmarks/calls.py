"""Time checker.get_messages called again in one process after one file changed, and
on a second checkout of the same tree, next to the first call; prints the times and
their ratios.

    .venv/bin/python benchmarks/calls.py [--tree DIR] [--repeat 3]

The tree is, by default, the sample project (sample/), copied twice, as a review
service checks out two pull requests. In one fresh interpreter the first copy is linted
once (the first call parses Django's modules too), one of its model files is rewritten
with one more field, and it is linted again, --repeat times, each after a further
change: those calls parse only what changed. Then the two copies are linted in turn,
--repeat times, each call with its own root alone on the module search path: each
parses its root's files again, since the other root's trees of the same module names
are not its own, while Django's trees stay parsed.
"""
import argparse
import contextlib
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

CHILD = """
import contextlib, sys, time
from pathlib import Path
roots, changed, repeat = sys.argv[1:3], Path(sys.argv[3]), int(sys.argv[4])
from vorlane.staticanalysis import checker, meta

def lint(root):
    for other in roots:
        if other in sys.path:
            sys.path.remove(other)
    sys.path.insert(0, root)
    files = meta.get_files_to_check_in_project([root], project_root=root)
    start = time.perf_counter()
    with contextlib.redirect_stdout(sys.stderr):
        records = checker.get_messages(root, files)
    return time.perf_counter() - start, len(records)

first, found = lint(roots[0])
again = []
original = changed.read_text()
for i in range(repeat):
    changed.write_text(original + f"\\n\\nEXTRA_{i} = {i}\\n")
    seconds, _ = lint(roots[0])
    again.append(seconds)
other = [lint(roots[(i + 1) % 2]) for i in range(repeat)]
print(first, min(again), min(other)[0], found, other[0][1])
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=REPO / "sample")
    parser.add_argument(
        "--changed",
        default="shop/models.py",
        help="the file rewritten between calls, below the tree",
    )
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        roots = [Path(scratch) / name / args.tree.name for name in ("pr-1", "pr-2")]
        for root in roots:
            shutil.copytree(args.tree, root)
        run = subprocess.run(
            [
                sys.executable,
                "-c",
                CHILD,
                *map(str, roots),
                str(roots[0] / args.changed),
                str(args.repeat),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
    first, again, other, found, found_other = run.stdout.split()
    first, again, other = float(first), float(again), float(other)
    print(f"first call:  {first:.3f} s ({found} records)")
    print(f"after a change: {again:.3f} s (best of {args.repeat})")
    print(f"ratio: {again / first:.2f}")
    print(
        f"second checkout: {other:.3f} s ({found_other} records, best of {args.repeat})"
    )
    print(f"second checkout ratio: {other / first:.2f}")


if __name__ == "__main__":
    main()
