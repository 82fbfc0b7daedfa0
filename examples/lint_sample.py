"""Lint a Django project, propose fixes, and print both as JSON.

    python examples/lint_sample.py [PROJECT_DIR]

PROJECT_DIR defaults to the sample project kept in this repository (sample/). Every
Python source and template of the project is checked, and the record about the
project's Django version is asked for as well. Each finding then becomes a finding
comment, as a code review tool would post it: its path, line, message code and a body
made from the code's advice text. suggest.suggest_fixes turns those into review
comments, one per path and line, with a "```suggestion" block in front of the body
where a fix was found, plus one comment for each fix that lies on other lines.

The output is one JSON object: "findings" (the finding records, the Django-version
record last) and "review_comments".
"""
import contextlib
import json
import sys
from pathlib import Path

from vorlane.staticanalysis import advicetexts, checker, meta, suggest

SAMPLE = Path(__file__).resolve().parent.parent / "sample"


def lint(root):
    files = meta.get_files_to_check_in_project([root], project_root=root)
    files["META"] = None
    return checker.get_messages(root, files)


def finding_comments(records):
    """A review comment per finding; the Django-version record names no line."""
    comments = []
    for record in records:
        if "line" not in record:
            continue
        code = record["message-id"]
        symbol = record["symbol"] or checker.message_id_symbol_store.get(code, "")
        advice = getattr(advicetexts, code, "")
        comments.append(
            {
                "path": record["path"],
                "line": record["line"],
                "message-id": code,
                "body": f"**{symbol}** ({code}): {advice}",
            }
        )
    return comments


def main(argv):
    root = str(Path(argv[1] if len(argv) > 1 else SAMPLE).resolve())
    # Settings modules, ROOT_URLCONF and module names are looked up on sys.path.
    if root not in sys.path:
        sys.path.insert(0, root)
    # The progress display writes to stdout: send it to stderr, so that stdout holds
    # the JSON alone.
    with contextlib.redirect_stdout(sys.stderr):
        records = lint(root)
        review_comments = suggest.suggest_fixes(finding_comments(records), root)
    # A finding's values may be astroid nodes where no plain value exists: print them
    # as text.
    output = {"findings": records, "review_comments": review_comments}
    json.dump(output, sys.stdout, indent=2, default=str)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv)
