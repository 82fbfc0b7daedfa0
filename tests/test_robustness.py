"""One broken or unusual file never ends a run: discovery and the linter core on
projects that are good but for one file."""
import ast
import json
import logging
from pathlib import Path

import pylint.lint.utils
import pytest
from pylint.checkers import BaseChecker

from conftest import forget_project, run_without_read_override
from vorlane.staticanalysis import advicetexts, checker, dependencies, helpers, meta

MANAGE = (
    "import os\n"
    'if __name__ == "__main__":\n'
    '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")\n'
)

# The good project: every row adds or replaces files of it.
GOOD = {
    "requirements.txt": "Django==3.2.5\n",
    "shop/__init__.py": "",
    "shop/models.py": "from django.db import models\n\n\nclass Item(models.Model):\n"
    "    name = models.CharField(max_length=20)\n",
}
ITEM = ("C0901", "shop/models.py", 4)
META_FROM_REQUIREMENTS = ("C1000", "requirements.txt", None)
NO_DJANGO_REQUIREMENT = {"requirements.txt": "requests==2.31\n"}
# Pipfile is read after setup.cfg and Pipfile.lock: a broken one of those comes first.
DJANGO_IN_PIPFILE = {"Pipfile": '[packages]\ndjango = "==3.1"\n'}


class ClassProbe(BaseChecker):
    """Reports every class, so that the good files' records can be counted."""

    name = "class-probe"
    msgs = {"C0901": (helpers.context_string(""), "class-probe", "A class.")}

    def visit_classdef(self, node):
        self.add_message("C0901", node=node, args={"name": node.name})


class CrashProbe(BaseChecker):
    """Fails on every module, as a checker with a fault would."""

    name = "crash-probe"
    msgs = {"C0902": (helpers.context_string(""), "crash-probe", "Never reported.")}

    def visit_module(self, node):
        raise RuntimeError("probe crashed")


@pytest.fixture(autouse=True)
def forget_project_modules(tmp_path):
    """astroid keeps modules by name process-wide: every row's shop is its own. The
    Django modules it loaded stay, as they would in one process."""
    yield
    forget_project(tmp_path)


@pytest.fixture
def pylint_home(tmp_path, monkeypatch):
    """pylint's home, where it writes its crash reports, is an empty folder of the
    test's own."""
    home = tmp_path / "pylint-home"
    home.mkdir()
    monkeypatch.setattr(pylint.lint.utils, "PYLINT_HOME", str(home))
    return home


@pytest.fixture
def probed(monkeypatch):
    monkeypatch.setattr(
        checker, "python_checker_classes", checker.python_checker_classes + [ClassProbe]
    )
    monkeypatch.setattr(advicetexts, "C0901", "A class.", raising=False)


class Unreadable(str):
    """A file's text, written and then made unreadable."""


def write_project(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode())
        if isinstance(text, Unreadable):
            path.chmod(0)
    return root


def contents(path):
    if not path.is_file():
        return None
    try:
        return path.read_bytes()
    except PermissionError:
        return PermissionError


def snapshot(root):
    """Every file below root with its bytes, and every directory."""
    return {
        str(path.relative_to(root)): contents(path) for path in sorted(root.rglob("*"))
    }


def summary(records, root):
    """(code, path relative to the project, line) of every record."""
    out = set()
    for record in records:
        path = Path(record["path"])
        rel = str(path.relative_to(root)) if path.is_absolute() else str(path)
        out.add((record["message-id"], rel, record.get("line")))
    return out


BROKEN_PROJECTS = [
    pytest.param(
        {
            "pyproject.toml": '[tool.vorlane]\nignore = 5\ndirectories = ["shop"]\n',
            "other/extra.py": "class Outside: ...\n",
        },
        "pyproject.toml",
        {ITEM, META_FROM_REQUIREMENTS},
        ["other/extra.py"],  # the valid key still decides what is walked
        id="config-ignore-not-a-list",
    ),
    pytest.param(
        {
            "pyproject.toml": '[tool.vorlane]\ndirectories = "x"\nignore = ["legacy"]\n',
            "shop/legacy.py": "class Old: ...\n",
        },
        "pyproject.toml",
        {ITEM, META_FROM_REQUIREMENTS},
        ["shop/legacy.py"],
        id="config-directories-a-text",
    ),
    pytest.param(
        {
            "pyproject.toml": '[tool.vorlane]\ndisable = {a = 1}\nignore = ["legacy"]\n',
            "shop/legacy.py": "class Old: ...\n",
        },
        "pyproject.toml",
        {ITEM, META_FROM_REQUIREMENTS},
        ["shop/legacy.py"],
        id="config-disable-a-table",
    ),
    pytest.param(
        {
            "pyproject.toml": '[tool.vorlane]\ndirectories = ["no-such-folder", "shop"]\n'
        },
        "no-such-folder",
        {ITEM, META_FROM_REQUIREMENTS},
        [],
        id="missing-directory",
    ),
    pytest.param(
        {
            "manage.py": MANAGE,
            "mysite/__init__.py": "\n",
            "mysite/settings.py": 'ROOT_URLCONF = "mysite.urls"\nSTATIC_URL = (\n',
        },
        "mysite/settings.py",
        {ITEM, META_FROM_REQUIREMENTS, ("E0001", "mysite/settings.py", 2)},
        [],
        id="settings-syntax-error",
    ),
    pytest.param(
        {
            **NO_DJANGO_REQUIREMENT,
            "setup.py": 'setup(install_requires=["Django>=3.2"\n',
        },
        "setup.py",
        {ITEM, ("E0001", "setup.py", 1)},
        [],
        id="setup-py-cut-short",
    ),
    pytest.param(
        {
            **NO_DJANGO_REQUIREMENT,
            **DJANGO_IN_PIPFILE,
            "setup.cfg": "[options\ninstall_requires = Django\n",
        },
        "setup.cfg",
        {ITEM, ("C1000", "Pipfile", None)},
        [],
        id="setup-cfg-broken-header",
    ),
    pytest.param(
        {
            **NO_DJANGO_REQUIREMENT,
            **DJANGO_IN_PIPFILE,
            "Pipfile.lock": '{"default": {"django": {"version": "==3.2"}',
        },
        "Pipfile.lock",
        {ITEM, ("C1000", "Pipfile", None)},
        [],
        id="pipfile-lock-truncated",
    ),
    pytest.param(
        {
            "shop/templates/locked.html": Unreadable('<a href="/locked/">\n'),
            "shop/templates/open.html": '<a href="/open/">\n',
        },
        "shop/templates/locked.html",
        {ITEM, META_FROM_REQUIREMENTS, ("C7000", "shop/templates/open.html", 1)},
        ["shop/templates/locked.html"],
        id="template-unreadable",
    ),
]

# The run of a row with an unreadable file, in a child that cannot read it even as
# root: what the test itself does below, with the same probe.
CHILD_RUN = """
import json, logging, sys
import pylint.lint.utils
from vorlane.staticanalysis import advicetexts, checker, dependencies, meta
from test_robustness import ClassProbe
root, home = sys.argv[1:]
pylint.lint.utils.PYLINT_HOME = home
checker.python_checker_classes = checker.python_checker_classes + [ClassProbe]
advicetexts.C0901 = "A class."
logging.basicConfig(level=logging.WARNING, stream=sys.stderr, format="%(message)s")
selection = meta.get_files_to_check_in_project([root], project_root=root)
selection["META"] = None
records = checker.get_messages(root, selection)
dependencies.is_django_repository(root)
meta.get_static_url_setting(root)
print(json.dumps(records))
"""


def run_project(root, files, pylint_home, caplog):
    """The records of a whole run over the project and the warnings it logged."""
    if any(isinstance(text, Unreadable) for text in files.values()):
        run = run_without_read_override(CHILD_RUN, root, pylint_home)
        return json.loads(run.stdout.splitlines()[-1]), run.stderr.splitlines()
    caplog.set_level(logging.WARNING, logger="vorlane.staticanalysis")
    selection = meta.get_files_to_check_in_project([str(root)], project_root=str(root))
    selection["META"] = None
    records = checker.get_messages(str(root), selection)
    dependencies.is_django_repository(str(root))
    meta.get_static_url_setting(str(root))
    warnings = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    return records, warnings


@pytest.mark.parametrize("files, broken, expected, absent", BROKEN_PROJECTS)
def test_one_broken_file_never_ends_a_run(
    tmp_path, monkeypatch, caplog, pylint_home, probed, files, broken, expected, absent
):
    root = write_project((tmp_path / "project").resolve(), {**GOOD, **files})
    monkeypatch.chdir(root)
    monkeypatch.syspath_prepend(str(root))
    before = snapshot(root)
    records, warnings = run_project(root, files, pylint_home, caplog)

    found = summary(records, root)
    assert expected <= found
    assert not [r for r in found if r[1] in absent]
    # One record for the broken file at most: it could not be checked, or it is read
    # by discovery only.
    assert len([r for r in found if r[1] == broken]) <= 1
    named = str(root / broken) if broken != "no-such-folder" else broken
    assert any(named + ":" in message for message in warnings), warnings
    assert list(pylint_home.iterdir()) == []
    assert snapshot(root) == before


def test_pylint_home_is_where_crash_reports_go(tmp_path, monkeypatch, pylint_home):
    # A checker that fails still writes pylint's report: the folder watched above is
    # the one pylint writes to.
    monkeypatch.setattr(checker, "python_checker_classes", [CrashProbe])
    root = write_project(tmp_path / "project", {"crash.py": "x = 1\n"})
    path = str((root / "crash.py").resolve())
    records = checker.get_python_messages(str(root), {path: None}, "3.2")
    assert [r["type"] for r in records] == ["fatal"]
    assert len(list(pylint_home.iterdir())) == 1


# Python ends a line at "\r\n", "\n" or a lone "\r", inside strings too. A model module
# written with such line ends is linted as Python reads it: its findings come back on
# the rows Python counts, from a snippet's lint and from a project's.
MODEL_ROWS = [
    "from django.db import models",
    "",
    "",
    "class Book(models.Model):",
    "    title = models.CharField(max_length=10, null=True)",
]
CARRIAGE_RETURN_TEXTS = {
    "lone-cr": "\r".join(MODEL_ROWS) + "\r",
    "mixed": "x = 1\r" + "\n".join(MODEL_ROWS) + "\n",
    "indented-after-cr": "def f(x):\r    if x:\n        return 1\n    return 2\n"
    + "\n".join(MODEL_ROWS)
    + "\n",
    "decorated": '@register\rdef f(field):\r    """Render a field.\n    """\r\n'
    "    return 1\n" + "\n".join(MODEL_ROWS) + "\n",
    "cr-in-string": 'DOC = """one\rtwo"""\r' + "\r\n".join(MODEL_ROWS) + "\r\n",
    "crlf": "\r\n".join(MODEL_ROWS) + "\r\n",
    "lf": "\n".join(MODEL_ROWS) + "\n",
}


def rows_python_counts(text):
    """The rows of the class Book and of the title field, as Python reads the text."""
    tree = ast.parse(text)
    (book,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    return [("C0901", book.lineno), ("C2000", book.body[0].lineno)]


@pytest.mark.parametrize("entry", ["check_code", "get_messages"])
@pytest.mark.parametrize(
    "text", CARRIAGE_RETURN_TEXTS.values(), ids=CARRIAGE_RETURN_TEXTS.keys()
)
def test_carriage_return_line_ends_are_linted_as_python_reads_them(
    tmp_path, monkeypatch, caplog, pylint_home, probed, entry, text
):
    root = write_project((tmp_path / "project").resolve(), {**GOOD, "shop/m.py": text})
    monkeypatch.chdir(root)
    monkeypatch.syspath_prepend(str(root))
    caplog.set_level(logging.WARNING, logger="vorlane.staticanalysis")
    if entry == "check_code":
        grouped = checker.check_code(text, "shop/m.py", None)
        records = [r for group in grouped.values() for r in group]
    else:
        path = str(root / "shop" / "m.py")
        records = checker.get_messages(str(root), {path: None})
    found = sorted((r["message-id"], r["line"]) for r in records)
    assert found == rows_python_counts(text)
    assert [r.getMessage() for r in caplog.records] == []
    assert list(pylint_home.iterdir()) == []


# Text the tree cannot be built from, whatever raises, is reported as a file that does
# not parse; the snippet's lint never raises.
@pytest.mark.parametrize(
    "code, line",
    [("x = (\r", 1), ("x = 1\0\n", 1), ("y = " + "1+" * 20000 + "1\n", 1)],
    ids=["unclosed", "null-byte", "too-deep"],
)
def test_check_code_reports_text_that_cannot_be_built(
    tmp_path, monkeypatch, pylint_home, code, line
):
    monkeypatch.chdir(tmp_path)
    result = checker.check_code(code, "shop/views.py", None)
    assert [r["line"] for r in result["E0001"]] == [line]
    assert list(pylint_home.iterdir()) == []
