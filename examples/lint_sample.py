"""Lint a Django project and print its findings as JSON.

    python examples/lint_sample.py [PROJECT_DIR]

PROJECT_DIR defaults to the sample project kept in this repository (sample/). Every
Python source and template of the project is checked, and the record about the
project's Django version is asked for as well.
"""
import contextlib
import json
import sys
from pathlib import Path

from vorlane.staticanalysis import checker, meta

SAMPLE = Path(__file__).resolve().parent.parent / "sample"


def lint(project_dir):
    root = str(Path(project_dir).resolve())
    # Settings modules, ROOT_URLCONF and module names are looked up on sys.path.
    if root not in sys.path:
        sys.path.insert(0, root)
    files = meta.get_files_to_check_in_project([root], project_root=root)
    files["META"] = None
    return checker.get_messages(root, files)


def main(argv):
    # The progress display writes to stdout: send it to stderr, so that stdout holds
    # the JSON alone.
    with contextlib.redirect_stdout(sys.stderr):
        records = lint(argv[1] if len(argv) > 1 else SAMPLE)
    # A finding's values may be astroid nodes where no plain value exists: print them
    # as text.
    json.dump(records, sys.stdout, indent=2, default=str)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv)
