"""How fast meta lists the files of a large tree, next to a plain os.walk of it.

Walks the installed Django package (its sources and templates) with
meta.get_files_to_check_in_project and with os.walk, best of several alternating
runs after a warm-up (so both see a warm file system cache), and prints files per
second for each and the ratio of the two times.

    python benchmarks/files.py [--repeat N] [--tree DIR]
"""
import argparse
import importlib.util
import os
import sys
import time
from pathlib import Path

from vorlane.staticanalysis import meta


def django_tree():
    spec = importlib.util.find_spec("django")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("Django is not installed in this interpreter")
    return Path(list(spec.submodule_search_locations)[0])


def walk_meta(tree):
    # The tree's own directory holds no pyproject.toml: no configuration applies.
    return len(meta.get_files_to_check_in_project([str(tree)], set(), str(tree)))


def walk_plain(tree):
    return sum(len(files) for _, _, files in os.walk(tree))


def best(run, tree, repeat):
    times, count = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        count = run(tree)
        times.append(time.perf_counter() - start)
    return min(times), count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--tree", type=Path, default=None)
    args = parser.parse_args()
    tree = (args.tree or django_tree()).resolve()
    walk_meta(tree), walk_plain(tree)  # warm-up
    results = {"meta": [], "os.walk": []}
    for _ in range(args.repeat):
        results["meta"].append(best(walk_meta, tree, 1))
        results["os.walk"].append(best(walk_plain, tree, 1))
    meta_time, listed = min(results["meta"])
    plain_time, seen = min(results["os.walk"])
    print(f"tree: {tree}")
    print(
        f"meta.get_files_to_check_in_project: {listed} files listed "
        f"in {meta_time * 1000:.1f} ms, {listed / meta_time:,.0f} files/s "
        f"({seen / meta_time:,.0f} of the tree's files examined per second)"
    )
    print(
        f"os.walk: {seen} files seen in {plain_time * 1000:.1f} ms, "
        f"{seen / plain_time:,.0f} files/s"
    )
    print(f"time ratio meta / os.walk: {meta_time / plain_time:.2f}")


if __name__ == "__main__":
    main()
