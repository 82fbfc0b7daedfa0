"""How long the template checker takes over real templates, next to a bare HTML parse.

Checks every template of the installed Django package's admin app with
templates.Checker().check, and feeds the same files to a bare html.parser.HTMLParser
(read, feed, reset, as the checker does). Each measurement runs LOOPS passes over the
files; the best of REPEAT alternating measurements counts. Prints both times per pass,
the checker's records and the ratio of the two times.

    python benchmarks/templates.py [--repeat N] [--loops N] [--tree DIR]
"""
import argparse
import importlib.util
import sys
import time
from html.parser import HTMLParser
from pathlib import Path

from vorlane.staticanalysis.checkers import templates


def admin_templates():
    spec = importlib.util.find_spec("django")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("Django is not installed in this interpreter")
    root = Path(list(spec.submodule_search_locations)[0])
    return root / "contrib" / "admin" / "templates"


def check_with_checker(files):
    checker = templates.Checker()
    checker.check(files)
    return len(checker.messages)


def feed_bare(files):
    parser = HTMLParser()
    for path in files:
        with open(path) as file:
            parser.feed(file.read())
        parser.reset()
    return 0


def measure(run, files, loops):
    start = time.perf_counter()
    for _ in range(loops):
        result = run(files)
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--loops", type=int, default=20)
    parser.add_argument("--tree", type=Path, default=None)
    args = parser.parse_args()
    tree = (args.tree or admin_templates()).resolve()
    files = [str(path) for path in sorted(tree.rglob("*.html"))]
    if not files:
        sys.exit(f"no templates below {tree}")
    check_with_checker(files), feed_bare(files)  # warm-up: file system cache, imports
    best = {}
    for round_ in range(max(args.repeat, 1)):
        order = [check_with_checker, feed_bare]
        for run in order if round_ % 2 == 0 else order[::-1]:
            seconds, result = measure(run, files, args.loops)
            per_pass = seconds / args.loops
            if run not in best or per_pass < best[run][0]:
                best[run] = (per_pass, result)
    ours, records = best[check_with_checker]
    bare, _ = best[feed_bare]
    size = sum(Path(path).stat().st_size for path in files)
    print(f"tree: {tree} ({len(files)} templates, {size / 1024:.0f} KiB)")
    print(
        f"templates.Checker.check: {ours * 1000:8.2f} ms per pass ({records} records)"
    )
    print(f"bare HTMLParser feed:    {bare * 1000:8.2f} ms per pass")
    print(f"ratio:                   {ours / bare:8.2f}")


if __name__ == "__main__":
    main()
