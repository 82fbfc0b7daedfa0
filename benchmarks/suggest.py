"""Time suggest.suggest_fixes over the findings of a real tree; prints review comments
per second.

    .venv/bin/python benchmarks/suggest.py [--copies 20] [--tree DIR] [--suppress]
                                           [--repeat 3]

The tree is, by default, the fixture project tests/projects/suggest_shop with its app
copied --copies times (ledger_0, ledger_1, ...), so that it holds findings of every
family; --tree names another Django project instead (Django's own sources, say). The
tree is linted once with checker.get_messages and every registered checker; each finding
becomes a finding comment (path, line, code and a body from the advice text), and
--suppress adds, for every finding, a request to suppress it on its line. Only the
suggest_fixes call is timed, best of --repeat runs; each run parses the files afresh,
as every call does.
"""
import argparse
import contextlib
import shutil
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SHOP = REPO / "tests" / "projects" / "suggest_shop"


def scaled_shop(target, copies):
    """The fixture project with its app copied `copies` times."""
    shutil.copytree(SHOP, target, ignore=shutil.ignore_patterns("ledger"))
    for i in range(copies):
        shutil.copytree(SHOP / "ledger", target / f"ledger_{i}")
    return target


def finding_comments(records, suppress):
    from vorlane.staticanalysis import advicetexts, constants

    comments = []
    for record in records:
        if "line" not in record:  # the Django-version record
            continue
        code = record["message-id"]
        comment = {
            "path": record["path"],
            "line": record["line"],
            "message-id": code,
            "body": getattr(advicetexts, code, ""),
        }
        comments.append(comment)
        if suppress:
            comments.append(dict(comment, **{"message-id": constants.SKIP_LINE_ID}))
    return comments


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=20)
    parser.add_argument("--tree", type=Path, help="a Django project to lint instead")
    parser.add_argument("--suppress", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import warnings

    # pylint warns once per checker made about __implements__, which the checkers
    # still need.
    warnings.filterwarnings("ignore", "Using the __implements__", DeprecationWarning)
    from vorlane.staticanalysis import checker, helpers, meta, suggest

    with tempfile.TemporaryDirectory() as scratch:
        root = args.tree or scaled_shop(Path(scratch) / "shop", args.copies)
        root = str(Path(root).resolve())
        sys.path.insert(0, root)
        files = meta.get_files_to_check_in_project([root], project_root=root)
        with contextlib.redirect_stdout(sys.stderr):  # the progress display
            records = checker.get_messages(root, files)
        comments = finding_comments(records, args.suppress)
        # Each call parses a Python file at most once: count the parses of one call.
        parsed = []
        build_atok = helpers.build_atok
        helpers.build_atok = lambda **kw: parsed.append(kw["absolute_path"]) or (
            build_atok(**kw)
        )
        try:
            suggest.suggest_fixes(comments, root)
        finally:
            helpers.build_atok = build_atok
        best, result = None, []
        for _ in range(args.repeat):
            start = time.perf_counter()
            result = suggest.suggest_fixes(comments, root)
            seconds = time.perf_counter() - start
            best = seconds if best is None else min(best, seconds)

    fixes = sum(c["body"].startswith("```suggestion") for c in result)
    print(f"files:            {len(files)}")
    print(f"finding comments: {len(comments)}")
    print(f"review comments:  {len(result)} ({fixes} with a suggestion block)")
    print(f"files parsed:     {len(parsed)} per call ({len(set(parsed))} distinct)")
    print(f"suggest_fixes:    {best:.3f} s (best of {args.repeat})")
    if result:
        print(f"rate:             {len(result) / best:.0f} review comments per second")
    else:
        print("rate:             no review comments (no findings in the tree)")


if __name__ == "__main__":
    main()
