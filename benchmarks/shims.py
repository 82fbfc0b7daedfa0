"""What the Django inference shims cost when astroid builds trees.

Builds an astroid tree for every .py file of the installed Django package twice, each
time in a fresh interpreter: once with astroid's own transforms only, once with the
shims' transforms registered on astroid's process-wide manager (by importing the shims
module). The shims' predicates infer while trees are built, so the ratio of the two
times is what they add to every project run.

    python benchmarks/shims.py [--repeat N]
"""
import argparse
import importlib.util
import json
import os
import subprocess
import sys
import time
from pathlib import Path



def django_sources():
    """(module name, path) of every .py file of the installed Django package, sorted."""
    spec = importlib.util.find_spec("django")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("Django is not installed in this interpreter")
    package = Path(list(spec.submodule_search_locations)[0])
    sources = []
    for path in sorted(package.rglob("*.py")):
        parts = list(path.relative_to(package.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        sources.append((".".join(parts), str(path)))
    return sources


def run_phase(with_shims):
    """Build every tree in this interpreter; answer the timing as a mapping."""
    import astroid
    from astroid.builder import AstroidBuilder

    if with_shims:
        import vorlane.staticanalysis.shims  # noqa: F401  registers on astroid.MANAGER

    sources = django_sources()
    builder = AstroidBuilder(astroid.MANAGER)
    failures = []
    start, cpu_start = time.perf_counter(), time.process_time()
    for modname, path in sources:
        try:
            builder.file_build(path, modname)
        except Exception as error:  # a file astroid cannot build: count it, go on
            failures.append(f"{modname}: {type(error).__name__}: {error}")
    seconds = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    return {"seconds": seconds, "cpu": cpu, "files": len(sources), "failures": failures}


def spawn(phase):
    """Run one phase in a fresh interpreter, so that no cache carries over."""
    result = subprocess.run(
        [sys.executable, __file__, "--phase", phase],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--repeat", type=int, default=1, help="runs per phase; best time kept"
    )
    parser.add_argument("--phase", choices=["plain", "shims"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        print(json.dumps(run_phase(args.phase == "shims")))
        return

    results = {}
    for phase in ("plain", "shims"):
        runs = [spawn(phase) for _ in range(max(1, args.repeat))]
        results[phase] = min(runs, key=lambda run: run["seconds"])
    plain, shims = results["plain"], results["shims"]
    package = os.path.dirname(django_sources()[0][1])
    print(f"Django sources: {plain['files']} files ({package})")
    # CPU time too: it moves less than wall time on a machine that is busy elsewhere.
    print(f"without shims: {plain['seconds']:.2f} s ({plain['cpu']:.2f} s CPU)")
    print(f"with shims:    {shims['seconds']:.2f} s ({shims['cpu']:.2f} s CPU)")
    print(
        f"ratio:         {shims['seconds'] / plain['seconds']:.2f}"
        f" ({shims['cpu'] / plain['cpu']:.2f} CPU)"
    )
    for phase in ("plain", "shims"):
        failures = results[phase]["failures"]
        if failures:
            print(f"{len(failures)} files failed to build ({phase}):")
            for failure in failures:
                print(f"  {failure}")


if __name__ == "__main__":
    main()
