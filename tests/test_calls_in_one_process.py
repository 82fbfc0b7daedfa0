"""Calls that follow one another in one process, as a review service or an editor makes
them: each sees its own root's files as they are now, and none keeps anything of an
earlier call alive. No test here forgets astroid's modules between its calls; each
test's package has a name of its own (the checkouts of one test share it), and its
modules are forgotten after the test only so that other tests start clean."""
import collections
import contextlib
import gc
import io
import os
import re
import sys
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


# --- Calls on other roots ---------------------------------------------------------------
# A review service checks out each pull request in a folder of its own, or reviews many
# repositories, and almost every Django project has an app.models: in one process,
# each call answers about its own root's files, as a fresh interpreter would.

# The first checkout's author is a foreign key, the second's a text column: only the
# first makes book.author.pk a query. book.shelf.pk (line 11) is one in both.
FIRST_CHECKOUT = {"APP/models.py": MODELS_WITH_AUTHOR_KEY, "APP/views.py": VIEWS}
SECOND_CHECKOUT = {"APP/models.py": MODELS, "APP/views.py": VIEWS}

# Two projects whose Book is a model in one and a plain class in the other; Shelf, a
# model in both, is counted with len() in both.
COUNT_VIEWS = """\
from APP.models import Book, Shelf


def book_count():
    return len(Book.objects.all())


def shelf_count():
    return len(Shelf.objects.all())
"""
PLAIN_BOOK = """\
from django.db import models


class Shelf(models.Model):
    label = models.CharField(max_length=10)


class Book:
    objects = ()
"""
MODEL_BOOK = PLAIN_BOOK.replace(
    "class Book:\n    objects = ()", MODELS.split("\n\n\n")[2]
)
PLAIN_BOOK_PROJECT = {"APP/models.py": PLAIN_BOOK, "APP/views.py": COUNT_VIEWS}
MODEL_BOOK_PROJECT = {"APP/models.py": MODEL_BOOK, "APP/views.py": COUNT_VIEWS}


class Checkouts:
    """Project folders below tmp_path/checkouts, each with a package of the one name
    the test has. Each call is made with its checkout's root, and that root alone of
    theirs, on the module search path, as the README asks of a caller."""

    def __init__(self, base, package, monkeypatch):
        self.base = base
        self.package = package
        self.monkeypatch = monkeypatch
        self.projects = {}

    def add(self, name, files):
        project = Project(self.base / name, self.package)
        (project.root / self.package).mkdir(parents=True)
        project.write({"APP/__init__.py": "", **files})
        self.projects[name] = project

    def enter(self, name):
        for project in self.projects.values():
            if str(project.root) in sys.path:
                sys.path.remove(str(project.root))
        self.monkeypatch.syspath_prepend(str(self.projects[name].root))
        return self.projects[name]

    def call(self, name, entry):
        """What `entry` answers on the checkout: findings as (row, code) of a lint of
        the views or of a snippet's lint of their text; (row, code) of the suggestion
        blocks that fixes of their C9001 rows propose."""
        project = self.enter(name)
        views = project.path("APP/views.py")
        with contextlib.redirect_stdout(io.StringIO()):
            if entry == "lint":
                records = checker.get_messages(str(project.root), {str(views): None})
                return sorted((r["line"], r["message-id"]) for r in records)
            if entry == "check_code":
                advice = checker.check_code(views.read_text(), str(views), None)
                return sorted(
                    (record["line"], code)
                    for code, records in advice.items()
                    for record in records
                )
            comments = [finding(views, row, "C9001") for row in (6, 11)]
            result = suggest.suggest_fixes(comments, str(project.root))
        return [(start, text.strip()) for start, _, text in items_of(result, views)]


@pytest.fixture
def checkouts(tmp_path, monkeypatch):
    base = (tmp_path / "checkouts").resolve()
    package = "app_" + re.sub(r"\W", "_", tmp_path.name)
    monkeypatch.chdir(tmp_path)
    made = Checkouts(base, package, monkeypatch)
    yield made
    forget_project(base)


AUTHOR_AND_SHELF = [(6, "C9001"), (11, "C9001")]
SHELF_ONLY = [(11, "C9001")]
AUTHOR_AND_SHELF_FIXED = [(6, "return book.author_id"), (11, "return book.shelf_id")]

# (checkouts, [(checkout, entry, answer)]): the answers, in the order the calls are
# made, are those of a fresh interpreter on each checkout.
CALLS_ON_OTHER_ROOTS = [
    pytest.param(
        {"pr-1": FIRST_CHECKOUT, "pr-2": SECOND_CHECKOUT},
        [
            ("pr-1", "lint", AUTHOR_AND_SHELF),
            ("pr-2", "lint", SHELF_ONLY),
            ("pr-1", "lint", AUTHOR_AND_SHELF),
            ("pr-2", "lint", SHELF_ONLY),
        ],
        id="two-checkouts-of-one-repository",
    ),
    pytest.param(
        {"plain": PLAIN_BOOK_PROJECT, "model": MODEL_BOOK_PROJECT},
        [
            ("plain", "lint", [(9, "C9000")]),
            ("model", "lint", [(5, "C9000"), (9, "C9000")]),
            ("plain", "lint", [(9, "C9000")]),
        ],
        id="two-projects-with-the-same-module-names",
    ),
    pytest.param(
        {"pr-1": FIRST_CHECKOUT, "pr-2": SECOND_CHECKOUT},
        [
            ("pr-1", "lint", AUTHOR_AND_SHELF),
            ("pr-2", "suggest_fixes", [(11, "return book.shelf_id")]),
            ("pr-1", "suggest_fixes", AUTHOR_AND_SHELF_FIXED),
        ],
        id="suggest-fixes-on-the-second-checkout",
    ),
    pytest.param(
        {"pr-1": FIRST_CHECKOUT, "pr-2": SECOND_CHECKOUT},
        [
            ("pr-1", "lint", AUTHOR_AND_SHELF),
            ("pr-2", "check_code", SHELF_ONLY),
            ("pr-1", "check_code", AUTHOR_AND_SHELF),
        ],
        id="check-code-on-the-second-checkout",
    ),
]


@pytest.mark.parametrize("projects, calls", CALLS_ON_OTHER_ROOTS)
def test_each_root_is_answered_about_its_own_files(checkouts, projects, calls):
    for name, files in projects.items():
        checkouts.add(name, files)
    answers = [(name, entry, checkouts.call(name, entry)) for name, entry, _ in calls]
    assert answers == calls


def checkouts_with_live_trees(checkouts):
    gc.collect()
    return {
        Path(obj.file).relative_to(checkouts.base).parts[0]
        for obj in gc.get_objects()
        if type(obj) is nodes.Module
        and str(obj.file).startswith(str(checkouts.base) + os.sep)
    }


def test_alternating_roots_keep_the_trees_of_one(checkouts):
    """pr-1 alone has a module of its own, which its views import."""
    views = VIEWS + CRATE_VIEWS.replace("from APP", "\n\nfrom APP")
    checkouts.add(
        "pr-1", {**FIRST_CHECKOUT, "APP/views.py": views, "APP/crates.py": CRATES}
    )
    checkouts.add("pr-2", SECOND_CHECKOUT)
    for name in ("pr-1", "pr-2"):
        checkouts.call(name, "lint")
    after_two = live_objects()["module trees"]
    assert checkouts_with_live_trees(checkouts) == {"pr-2"}
    for _ in range(10):
        for name in ("pr-1", "pr-2"):
            checkouts.call(name, "lint")
    assert live_objects()["module trees"] <= after_two
    assert checkouts_with_live_trees(checkouts) == {"pr-2"}


def test_a_call_on_another_root_lets_go_of_every_earlier_root(checkouts):
    """Each entry point on each of three roots in turn: once the third has run, no tree
    and no module lookup of the first two is alive."""
    names = ("pr-1", "pr-2", "pr-3")
    for name in names:
        checkouts.add(name, FIRST_CHECKOUT)
        for entry in ("lint", "check_code", "suggest_fixes"):
            assert checkouts.call(name, entry)  # the control: each finds its rows
    earlier = tuple(str(checkouts.base / name) + os.sep for name in names[:2])
    gc.collect()
    trees = [
        obj.file
        for obj in gc.get_objects()
        if type(obj) is nodes.Module and str(obj.file).startswith(earlier)
    ]
    lookups = [
        key
        for key, found in astroid.MANAGER._mod_file_cache.items()
        if any(root in repr(entry) for root in earlier for entry in (key, found))
    ]
    assert (trees, lookups) == ([], [])


def test_the_libraries_stay_parsed_whatever_the_roots(checkouts):
    """Django's trees lie outside every checkout; they stay parsed also after a call
    whose root holds the interpreter's environment (a virtual environment inside a
    repository)."""
    checkouts.add("pr-1", FIRST_CHECKOUT)
    checkouts.add("pr-2", SECOND_CHECKOUT)
    checkouts.call("pr-1", "lint")
    library = astroid.MANAGER.astroid_cache["django.db.models.base"]
    with contextlib.redirect_stdout(io.StringIO()):
        checker.get_messages(os.path.dirname(sys.prefix), {})
    assert checkouts.call("pr-2", "lint") == SHELF_ONLY
    assert astroid.MANAGER.astroid_cache["django.db.models.base"] is library
