"""Calls that follow one another in one process, as a review service or an editor makes
them: each sees the project's files as they are now, and none keeps anything of an
earlier call alive. No test here forgets astroid's modules between its calls; each
project has a package name of its own, and its modules are forgotten after the test
only so that other tests start clean."""
import collections
import contextlib
import gc
import io
import os
import re
import textwrap
import time
import tokenize
from pathlib import Path

import astroid
import asttokens.util
import pytest
from astroid import nodes
from pylint.checkers import BaseChecker
from pylint.message.message_definition_store import MessageDefinitionStore

from conftest import forget_project
from suggest_support import finding, items_of
from vorlane.staticanalysis import checker, helpers, meta, render, suggest
from vorlane.staticanalysis.checkers import fetchplan

CODES = ("C2000", "C9001")

MODELS = """\
from django.db import models


class Shelf(models.Model):
    label = models.CharField(max_length=10, null=True)


class Book(models.Model):
    author = models.CharField(max_length=10)
    shelf = models.ForeignKey(Shelf, on_delete=models.CASCADE, related_name="books")
"""
# The same models with `author` made a foreign key: views reading book.author.pk now
# make a query they need not.
MODELS_WITH_AUTHOR_KEY = MODELS.replace(
    "author = models.CharField(max_length=10)",
    'author = models.ForeignKey(Shelf, on_delete=models.CASCADE, related_name="+")',
)
# The same size as MODELS: `null=None` leaves the label's NULL out.
MODELS_WITHOUT_NULL = MODELS.replace("null=True", "null=None")

VIEWS = """\
from APP.models import Book


def author_of(book_id):
    book = Book.objects.get(pk=book_id)
    return book.author.pk


def shelf_of(book_id):
    book = Book.objects.get(pk=book_id)
    return book.shelf.pk
"""
# Reads a model of a module that may come and go.
CRATE_VIEWS = """\
from APP.crates import Crate


def box_of(crate_id):
    crate = Crate.objects.get(pk=crate_id)
    return crate.box.pk
"""
CRATES = """\
from django.db import models

from APP.models import Shelf


class Crate(models.Model):
    box = models.ForeignKey(Shelf, on_delete=models.CASCADE, related_name="crates")
"""

SHELF_LABEL = ("APP/models.py", 5, "C2000")
SHELF_VIEW = ("APP/views.py", 11, "C9001")
AUTHOR_VIEW = ("APP/views.py", 6, "C9001")
CRATE_VIEW = ("APP/crate_views.py", 6, "C9001")


class Project:
    """A project below tmp_path whose package is named for the test, importable while
    the test runs."""

    def __init__(self, root, package):
        self.root = root
        self.package = package

    def path(self, rel):
        return self.root / rel.replace("APP", self.package)

    def write(self, files):
        """Writes {relative path: text, or None to remove the file}. A file rewritten
        with text of the same size gets a modification time of its own, later than
        the one it had, as an editor saving it would (a coarse clock may not)."""
        for rel, text in files.items():
            path = self.path(rel)
            if text is None:
                path.unlink()
                continue
            text = textwrap.dedent(text).replace("APP", self.package)
            before = path.stat() if path.exists() else None
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            after = path.stat()
            if before and after.st_size == before.st_size:
                later = max(after.st_mtime_ns, before.st_mtime_ns + 1_000_000)
                os.utime(path, ns=(after.st_atime_ns, later))

    def relative(self, path):
        rel = Path(path).relative_to(self.root).as_posix()
        return rel.replace(self.package, "APP", 1)

    def lint(self, *rels):
        files = {str(self.path(rel)): None for rel in rels}
        with contextlib.redirect_stdout(io.StringIO()):
            records = checker.get_messages(str(self.root), files)
        return sorted(
            (self.relative(r["path"]), r["line"], r["message-id"])
            for r in records
            if r["message-id"] in CODES
        )


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = (tmp_path / "repo").resolve()
    package = "app_" + re.sub(r"\W", "_", tmp_path.name)
    (root / package).mkdir(parents=True)
    (root / package / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(root))
    monkeypatch.chdir(root)
    yield Project(root, package)
    forget_project(root)


ALL = ("APP/models.py", "APP/views.py", "APP/crate_views.py")

# (before, change, selection of the second lint, findings before, findings after). The
# first lint selects every file that exists.
LINT_AFTER_CHANGES = [
    pytest.param(
        {"APP/models.py": MODELS},
        {"APP/models.py": MODELS_WITHOUT_NULL},
        ["APP/models.py"],
        [SHELF_LABEL],
        [],
        id="null-removed-same-size",
    ),
    pytest.param(
        {"APP/models.py": MODELS, "APP/views.py": VIEWS},
        {"APP/models.py": MODELS_WITH_AUTHOR_KEY},
        ["APP/views.py"],
        [SHELF_LABEL, SHELF_VIEW],
        [AUTHOR_VIEW, SHELF_VIEW],
        id="unchanged-views-infer-the-new-models",
    ),
    pytest.param(
        {
            "APP/models.py": MODELS,
            "APP/views.py": VIEWS,
            "APP/crate_views.py": CRATE_VIEWS,
        },
        {"APP/crates.py": CRATES},
        ALL,
        [SHELF_LABEL, SHELF_VIEW],
        [SHELF_LABEL, CRATE_VIEW, SHELF_VIEW],
        id="imported-module-added",
    ),
    pytest.param(
        {
            "APP/models.py": MODELS,
            "APP/views.py": VIEWS,
            "APP/crates.py": CRATES,
            "APP/crate_views.py": CRATE_VIEWS,
        },
        {"APP/crates.py": None},
        ALL,
        [SHELF_LABEL, CRATE_VIEW, SHELF_VIEW],
        [SHELF_LABEL, SHELF_VIEW],
        id="imported-module-removed",
    ),
    pytest.param(
        {"APP/models.py": MODELS, "APP/views.py": VIEWS},
        {"APP/views.py": VIEWS.replace("book.shelf.pk", "book.shelf_id")},
        ["APP/views.py"],
        [SHELF_LABEL, SHELF_VIEW],
        [],
        id="linted-file-fixed",
    ),
]


@pytest.mark.parametrize("before, change, selection, first, second", LINT_AFTER_CHANGES)
def test_lint_change_lint(project, before, change, selection, first, second):
    project.write(before)
    assert project.lint(*[rel for rel in ALL if rel in before]) == sorted(first)
    project.write(change)
    assert project.lint(*selection) == sorted(second)


def test_unchanged_library_modules_stay_parsed(project):
    project.write({"APP/models.py": MODELS, "APP/views.py": VIEWS})
    project.lint("APP/models.py", "APP/views.py")
    cache = astroid.MANAGER.astroid_cache
    library = cache["django.db.models.base"]
    views = cache[f"{project.package}.views"]
    project.write({"APP/models.py": MODELS_WITH_AUTHOR_KEY})
    assert project.lint("APP/views.py") == [AUTHOR_VIEW, SHELF_VIEW]
    assert cache["django.db.models.base"] is library
    assert cache[f"{project.package}.views"] is views  # its file did not change


class RewriteDuringLint(BaseChecker):
    """Saves new models once the lint has read them, as an editor may while a lint
    runs."""

    name = "rewrite-during-lint"
    # pylint runs only the checkers that have a message to give.
    msgs = {"C0903": (helpers.context_string(""), "rewrite-probe", "Never reported.")}
    target = None

    def close(self):
        if RewriteDuringLint.target:
            Path(RewriteDuringLint.target).write_text(MODELS_WITHOUT_NULL)
            RewriteDuringLint.target = None


def test_a_file_saved_while_it_is_linted_is_read_again(project, monkeypatch):
    project.write({"APP/models.py": MODELS})
    monkeypatch.setattr(
        checker,
        "python_checker_classes",
        checker.python_checker_classes + [RewriteDuringLint],
    )
    RewriteDuringLint.target = str(project.path("APP/models.py"))
    assert project.lint("APP/models.py") == [SHELF_LABEL]
    # The save may keep the size and land in the clock tick the lint started in.
    assert project.lint("APP/models.py") == []


def test_check_code_change_check_code(project):
    project.write({"APP/models.py": MODELS, "APP/views.py": VIEWS})
    path = str(project.path("APP/views.py"))

    def rows():
        with contextlib.redirect_stdout(io.StringIO()):
            advice = checker.check_code(
                VIEWS.replace("APP", project.package), path, None
            )
        return sorted(record["line"] for record in advice.get("C9001", []))

    assert rows() == [11]
    project.write({"APP/models.py": MODELS_WITH_AUTHOR_KEY})
    assert rows() == [6, 11]


def test_suggest_change_suggest(project):
    project.write({"APP/models.py": MODELS, "APP/views.py": VIEWS})
    path = project.path("APP/views.py")

    def blocks():
        comments = [finding(path, 6, "C9001"), finding(path, 11, "C9001")]
        with contextlib.redirect_stdout(io.StringIO()):
            result = suggest.suggest_fixes(comments, str(project.root))
        return [(start, text.strip()) for start, _, text in items_of(result, path)]

    assert blocks() == [(11, "return book.shelf_id")]
    project.write({"APP/models.py": MODELS_WITH_AUTHOR_KEY})
    assert blocks() == [(6, "return book.author_id"), (11, "return book.shelf_id")]


def test_a_lint_after_fixes_reads_the_file_not_the_fixed_tree(project):
    """The fixes parse and rewrite the file's tree; a lint after them lints the file."""
    project.write({"APP/models.py": MODELS, "APP/views.py": VIEWS})
    path = project.path("APP/views.py")
    with contextlib.redirect_stdout(io.StringIO()):
        suggest.suggest_fixes([finding(path, 11, "C9001")], str(project.root))
        checker.check_code(VIEWS.replace("APP", project.package), str(path), None)
    assert project.lint("APP/views.py") == [SHELF_VIEW]


# --- Nothing of a call stays alive ------------------------------------------------------

TOKEN_TYPES = (asttokens.util.Token, tokenize.TokenInfo)


def live_objects():
    """Live message stores, linters, module trees and tokens, by kind."""
    gc.collect()
    count = collections.Counter()
    for obj in gc.get_objects():
        kind = type(obj)
        if kind is MessageDefinitionStore:
            count["message stores"] += 1
        elif kind in (checker.Linter, checker.CodeLinter):
            count["linters"] += 1
        elif kind is nodes.Module:
            count["module trees"] += 1
        elif kind in TOKEN_TYPES:
            count["tokens"] += 1
    return count


@pytest.fixture
def calls(project):
    """The three entry points, each called on the unchanged project."""
    project.write({"APP/models.py": MODELS, "APP/views.py": VIEWS})
    views = project.path("APP/views.py")
    files = {str(project.path("APP/models.py")): None, str(views): None}
    source = views.read_text()
    comments = [finding(views, 6, "C9001"), finding(views, 11, "C9001")]
    root = str(project.root)
    return {
        "get_messages": lambda: checker.get_messages(root, files),
        "check_code": lambda: checker.check_code(source, str(views), None),
        "suggest_fixes": lambda: suggest.suggest_fixes(comments, root),
    }


@pytest.mark.parametrize("entry", ["get_messages", "check_code", "suggest_fixes"])
def test_fifty_calls_leave_nothing_behind(calls, entry):
    call = calls[entry]
    with contextlib.redirect_stdout(io.StringIO()):
        for _ in range(3):
            call()
        before = live_objects()
        for _ in range(50):
            call()
    assert live_objects() == before


def test_trees_made_from_text_are_let_go(calls):
    """The snippet's tree and the trees fixes were proposed on leave with their call,
    cached under the module's name or not, and with their attribute bindings."""
    with contextlib.redirect_stdout(io.StringIO()):
        calls["get_messages"]()
        for entry in ("check_code", "suggest_fixes"):
            calls[entry]()
    gc.collect()
    cached = {id(module) for module in astroid.MANAGER.astroid_cache.values()}
    left = [
        obj.name
        for obj in gc.get_objects()
        if type(obj) is nodes.Module and id(obj) not in cached and "views" in obj.name
    ]
    assert left == []


class Interrupted(BaseException):
    """What no guard of a call catches, as KeyboardInterrupt."""


def interrupt(*args, **kwargs):
    raise Interrupted


@pytest.mark.parametrize(
    "entry, module, function",
    [
        ("check_code", render, "render_message_centric_advice"),
        ("suggest_fixes", fetchplan, "build_transformer_visitor"),
    ],
    ids=["check_code", "suggest_fixes"],
)
def test_a_call_that_raises_lets_go_too(calls, monkeypatch, entry, module, function):
    """The snippet's tree, or the file parsed for fixes, is let go however the call
    ends: here by an interruption after it was parsed."""
    with contextlib.redirect_stdout(io.StringIO()):
        calls["get_messages"]()
        before = live_objects()
        monkeypatch.setattr(module, function, interrupt)
        with pytest.raises(Interrupted):
            calls[entry]()
    assert live_objects() == before


def test_text_trees_bind_no_attributes_on_cached_trees(project):
    """`book.note = ...` and `Book.shown = ...` in a snippet bind on the cached Book
    while the snippet is linted, and no longer once the call is over."""
    project.write({"APP/models.py": MODELS})
    snippet = textwrap.dedent(
        f"""\
        from {project.package}.models import Book

        Book.shown = True


        def annotate():
            book = Book()
            book.note = "seen"
        """
    )

    def bound():
        book = astroid.MANAGER.astroid_cache[f"{project.package}.models"]["Book"]
        return {
            name: [node.root() for node in table.get(name, [])]
            for table, name in [(book.instance_attrs, "note"), (book.locals, "shown")]
        }

    with contextlib.redirect_stdout(io.StringIO()):
        checker.check_code(snippet, str(project.path("APP/notes.py")), None)
    assert bound() == {"note": [], "shown": []}
    # The bindings the call undid, made again by a tree built outside any call.
    tree = helpers.build_atok(snippet, modname=f"{project.package}.probe").tree
    assert bound() == {"note": [tree], "shown": [tree]}
    meta.release_call_leftovers([tree], time.time_ns())
    assert bound() == {"note": [], "shown": []}
