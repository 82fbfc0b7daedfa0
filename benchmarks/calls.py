"""Time checker.get_messages called again in one process after one file changed, next
to the first call; prints both times and their ratio.

    .venv/bin/python benchmarks/calls.py [--tree DIR] [--repeat 3]

The tree is, by default, a copy of the sample project (sample/). In one fresh
interpreter it is linted once (the first call parses Django's modules too), one of its
model files is rewritten with one more field, and it is linted again, --repeat times,
each after a further change. The later calls parse only what changed: astroid keeps the
trees of unchanged modules, the project's and the libraries', between calls.
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
root, changed, repeat = sys.argv[1], Path(sys.argv[2]), int(sys.argv[3])
sys.path.insert(0, root)
from vorlane.staticanalysis import checker, meta

def lint():
    files = meta.get_files_to_check_in_project([root], project_root=root)
    start = time.perf_counter()
    with contextlib.redirect_stdout(sys.stderr):
        records = checker.get_messages(root, files)
    return time.perf_counter() - start, len(records)

first, found = lint()
again = []
original = changed.read_text()
for i in range(repeat):
    changed.write_text(original + f"\\n\\nEXTRA_{i} = {i}\\n")
    seconds, _ = lint()
    again.append(seconds)
print(first, min(again), found)
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
        root = Path(scratch) / args.tree.name
        shutil.copytree(args.tree, root)
        run = subprocess.run(
            [
                sys.executable,
                "-c",
                CHILD,
                str(root),
                str(root / args.changed),
                str(args.repeat),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
    first, again, found = run.stdout.split()
    first, again = float(first), float(again)
    print(f"first call:  {first:.3f} s ({found} records)")
    print(f"after a change: {again:.3f} s (best of {args.repeat})")
    print(f"ratio: {again / first:.2f}")


if __name__ == "__main__":
    main()
