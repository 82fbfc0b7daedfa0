"""The linter core: linters, reporter, registry and the entry points."""
import io
import logging
import os
import shutil
import subprocess
import sys
import textwrap
import tokenize
from collections import OrderedDict
from pathlib import Path

import astroid
import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import HIGH
from pylint.lint import PyLinter
from pylint.reporters import JSONReporter
from pylint.message import Message
from pylint.typing import MessageLocationTuple
from pylint.utils.file_state import FileState

from conftest import OUTSIDE_VALUES, TOKEN, forget_project
from vorlane.staticanalysis import advicetexts, checker, helpers

PROJECTS = Path(__file__).parent / "projects"

LINTER_LAYOUT = [
    "type",
    "module",
    "obj",
    "line",
    "column",
    "path",
    "symbol",
    "message",
    "message-id",
]
TEMPLATE_LAYOUT = [
    "path",
    "line",
    "message",
    "type",
    "column",
    "module",
    "symbol",
    "hint",
    "message-id",
]


class ProbeChecker(BaseChecker):
    """Reports every class (a code the advice texts name in these tests) and every
    function (a code they never name); a class named Crash makes the check fail."""

    name = "probe"
    msgs = {
        "C0901": (helpers.context_string(""), "probe-class", "A class was seen."),
        "W0902": (helpers.context_string(""), "probe-function", "A function was seen."),
    }
    configs = []

    def open(self):
        config = self.linter.config
        ProbeChecker.configs.append(
            {
                name: getattr(config, name)
                for name in ("settings_files", "root_urlconf", "django_version")
            }
        )

    def visit_classdef(self, node):
        if node.name == "Crash":
            raise RuntimeError("probe crashed")
        self.add_message("C0901", node=node, args={"name": node.name})

    def visit_functiondef(self, node):
        self.add_message("W0902", node=node, args={"name": node.name})


class ProbeTemplateChecker:
    """Reports every template line that holds "http"."""

    msgs = {"C0990": (helpers.context_string(""), "probe-template", "A URL was seen.")}

    def check(self, files):
        self.messages = []
        for path in files:
            for number, text in enumerate(Path(path).read_text().splitlines(), 1):
                if "http" in text:
                    self.messages.append(
                        {
                            "path": path,
                            "line": number,
                            "message": {},
                            "type": None,
                            "column": text.index("http"),
                            "module": None,
                            "symbol": None,
                            "hint": None,
                            "message-id": "C0990",
                        }
                    )


class Display:
    """A progress display that records how it is used."""

    instances = []

    def __init__(self):
        self.calls = []
        Display.instances.append(self)

    def __enter__(self):
        self.calls.append(("enter",))
        return self

    def __exit__(self, *exc):
        self.calls.append(("exit", exc[0]))
        return False

    def add_task(self, description, total):
        self.calls.append(("add_task", description, total))
        return "task-id"

    def update(self, task, advance):
        self.calls.append(("update", task, advance))


@pytest.fixture
def probe(monkeypatch):
    """Only the probe checkers are registered; discovery finds nothing."""
    ProbeChecker.configs = []
    monkeypatch.setattr(checker, "python_checker_classes", [ProbeChecker])
    monkeypatch.setattr(checker, "html_checker_classes", [ProbeTemplateChecker])
    monkeypatch.setattr(advicetexts, "C0901", "Probe advice.", raising=False)
    monkeypatch.setattr(checker.meta, "get_toml_config", lambda root: {}, raising=False)
    monkeypatch.setattr(
        checker.meta, "get_settings_files", lambda root: iter(()), raising=False
    )
    monkeypatch.setattr(
        checker.meta, "get_root_urlconf", lambda files: None, raising=False
    )
    monkeypatch.setattr(
        checker.dependencies, "resolve_django_version", lambda root: None, raising=False
    )
    return ProbeChecker


@pytest.fixture
def crash_reports(tmp_path, monkeypatch):
    """Crash reports pylint writes go below tmp_path/crash."""
    folder = tmp_path / "crash"
    folder.mkdir()
    monkeypatch.setattr(PyLinter, "crash_file_path", str(folder / "crash-%H%M%S%f.txt"))
    return folder


def source_file(root, rel, text):
    path = Path(root) / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return str(path.resolve())


def summary(records):
    return [(r["message-id"], Path(r["path"]).name, r["line"]) for r in records]


# --- Registry and loading ------------------------------------------------------------


def test_registry_lists_and_store():
    from vorlane.staticanalysis.checkers import (
        admin,
        classlayout,
        colspec,
        fetchplan,
        migrations,
        settings,
        templates,
        urls,
    )

    assert checker.python_checker_classes == [
        admin.Checker,
        settings.Checker,
        colspec.Checker,
        classlayout.Checker,
        migrations.Checker,
        fetchplan.Checker,
        urls.Checker,
    ]
    assert checker.html_checker_classes == [templates.Checker]
    expected = {}
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        for code, (_, symbol, _) in cls.msgs.items():
            expected[code] = symbol
    store = checker.message_id_symbol_store
    assert list(store.items()) == list(expected.items())
    assert store["C2001"] == "tall-model"
    assert store["C3000"] == "tall-models"
    assert (
        store["C7000"] == "hard-coded-url" and store["C7001"] == "hard-coded-static-url"
    )
    assert "E0001" not in store and "C1000" not in store
    assert checker.logger.name == "vorlane.staticanalysis.checker"


@pytest.mark.parametrize(
    "name, base",
    [
        ("ignore_old_style_string_formatting", str),
        ("Linter", PyLinter),
        ("Reporter", JSONReporter),
        ("HtmlLinter", object),
    ],
)
def test_classes_made_at_load(name, base):
    cls = getattr(checker, name)
    # pylint's worker processes find the classes again by module and name.
    assert cls.__module__ == "vorlane.staticanalysis.checker"
    assert cls.__qualname__ == name and cls.__doc__ is None
    assert cls.__bases__ == (base,)
    assert checker.CodeLinter.__bases__ == (checker.Linter,)


def test_progress_display_is_rich():
    import rich.progress

    assert checker.Progress is rich.progress.Progress


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize(
    "entry, expected",
    [
        ("(ctx, 'nullable-string-field', 'd')", "ok"),
        ("(ctx, 'other-symbol', 'd')", "later wins"),
        ("(ctx, 'other-symbol')", "ValueError: not enough values to unpack"),
        ("(ctx, 'other-symbol', 'd', {})", "ValueError: too many values to unpack"),
    ],
    ids=["same-entry", "later-class-wins", "two-items", "four-items"],
)
def test_store_built_at_load(entry, expected):
    # The urls checker comes after colspec in the registry; its entry for a colspec code
    # decides that code's symbol, at the place colspec gave it.
    result = run_python(
        f"""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from vorlane.staticanalysis import helpers
        from vorlane.staticanalysis.checkers import urls
        ctx = helpers.context_string("")
        urls.Checker.msgs = dict(urls.Checker.msgs, C2000={entry})
        try:
            from vorlane.staticanalysis import checker
        except ImportError as e:
            # An extension module's failed load is an import error caused by the
            # load's own error.
            print(type(e.__cause__).__name__ + ":", e.__cause__)
        else:
            store = checker.message_id_symbol_store
            codes = list(store)
            assert codes.index("C2000") < codes.index("C2001") < codes.index("C6001")
            print("ok" if store["C2000"] == "nullable-string-field" else "later wins")
    """
    )
    assert result.stdout.strip().startswith(expected), result.stderr


@pytest.mark.parametrize(
    "hide_rich",
    [
        'sys.modules["rich"] = None\nsys.modules["rich.progress"] = None',
        'sys.modules["rich.progress"] = types.ModuleType("rich.progress")',
    ],
    ids=["missing", "without-progress"],
)
def test_loads_and_lints_without_rich(tmp_path, hide_rich):
    path = source_file(tmp_path, "bad.py", "def broken(:\n")
    hide_rich = textwrap.indent(hide_rich, " " * 8).lstrip()
    result = run_python(
        f"""
        import sys, types, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        {hide_rich}
        from unittest.mock import MagicMock
        from vorlane.staticanalysis import checker
        assert checker.Progress is MagicMock and checker.MagicMock is MagicMock
        records = checker.get_python_messages("{tmp_path}", {{"{path}": None}}, "3.2")
        print([(r["message-id"], r["message"]) for r in records])
    """
    )
    assert result.stdout.strip() == "[('E0001', 'Syntax Error')]", result.stderr


def test_broken_rich_is_not_taken_for_missing(tmp_path):
    # Only rich's absence is tolerated: an error of its own load stops the load.
    package = tmp_path / "rich"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "progress.py").write_text("raise AttributeError('broken rich')\n")
    result = run_python(
        f"""
        import sys, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            from vorlane.staticanalysis import checker
        except ImportError as e:
            print(type(e.__cause__).__name__ + ":", e.__cause__)
        else:
            print("loaded", checker.Progress)
    """
    )
    assert result.stdout.strip() == "AttributeError: broken rich", result.stderr


# --- Linter class --------------------------------------------------------------------


@pytest.mark.parametrize("other", ["x", ("a", 1), {"count": 3}, 5, None])
def test_text_ignores_formatting(other):
    text = checker.ignore_old_style_string_formatting("Syntax Error")
    assert (text % other) is text
    assert text.__mod__(other=other) is text
    assert text == "Syntax Error" and isinstance(text, str)


def test_linter_syntax_error_entry():
    entries = list(checker.Linter.msgs.items())
    base = list(PyLinter.msgs.items())
    assert [code for code, _ in entries] == [code for code, _ in base]
    entry = checker.Linter.msgs["E0001"]
    assert entry[:3] == (
        "Syntax Error",
        "syntax-error",
        "Used when a syntax error is raised for a module.",
    )
    assert isinstance(entry[0], checker.ignore_old_style_string_formatting)
    # pylint needs the scope item: without it every syntax error raises.
    assert entry[3:] == PyLinter.msgs["E0001"][3:] and entry[3:]
    assert PyLinter.msgs["E0001"][0] == "%s"


@pytest.mark.parametrize(
    "comment, expected",
    [
        ("# vorlane: disable=tall-model", "# pylint: disable=tall-model"),
        ("#vorlane:disable=tall-model", "#pylint:disable=tall-model"),
        (
            "# vorlane: disable=tall-model  # vorlane: disable=tall-models",
            "# pylint: disable=tall-model  # pylint: disable=tall-models",
        ),
        ("# vorlane : disable=tall-model", "# vorlane : disable=tall-model"),
        ("# VORLANE: disable=tall-model", "# VORLANE: disable=tall-model"),
        ("# plain remark", "# plain remark"),
    ],
    ids=[
        "keyword",
        "no-blank",
        "twice",
        "blank-before-colon",
        "capitals",
        "no-keyword",
    ],
)
def test_process_tokens_rewrites_comments(comment, expected):
    source = f'x = "vorlane: kept"  {comment}\n'
    tokens = list(tokenize.generate_tokens(io.StringIO(source).readline))
    originals = list(tokens)
    linter = checker.create_linter(checker.Linter)
    linter.file_state = FileState("mod", linter.msgs_store, astroid.parse(source))
    PyLinter.set_current_module(linter, "mod")
    assert linter.process_tokens(tokens) is None
    for before, after in zip(originals, tokens):
        if before.type == tokenize.COMMENT and "vorlane" in comment:
            # The whole physical line of the comment is rewritten, literal included.
            assert after.string == expected
            assert after.line == source.replace("vorlane:", "pylint:")
            assert after[2:4] == before[2:4]
        else:
            # Only comments change, even on the same physical line.
            assert after is before


def test_process_tokens_needs_a_mutable_list_only_for_comments():
    linter = checker.create_linter(checker.Linter)
    source = "x = 1  # vorlane: disable=tall-model\n"
    linter.file_state = FileState("mod", linter.msgs_store, astroid.parse(source))
    PyLinter.set_current_module(linter, "mod")
    tokens = tuple(tokenize.generate_tokens(io.StringIO(source).readline))
    with pytest.raises(TypeError):
        linter.process_tokens(tokens)
    plain = tuple(tokenize.generate_tokens(io.StringIO("x = 1\n").readline))
    linter.process_tokens(plain)


@pytest.mark.parametrize("count", [0, 2])
def test_check_shows_progress(tmp_path, monkeypatch, count):
    monkeypatch.setattr(checker, "Progress", Display)
    Display.instances = []
    files = [source_file(tmp_path, f"m{i}.py", "x = 1\n") for i in range(count)]
    linter = checker.create_linter(checker.Linter)
    steps = []
    original = PyLinter.set_current_module
    monkeypatch.setattr(
        PyLinter,
        "set_current_module",
        lambda self, *a: (steps.append(a), original(self, *a)),
    )
    assert linter.check(files) is None
    (display,) = Display.instances
    assert linter.progress is display and linter.progress_task == "task-id"
    assert display.calls[:2] == [
        ("enter",),
        ("add_task", f"[blue]Analyzing {count} files... ", count),
    ]
    assert display.calls[2:-1] == [("update", "task-id", 1)] * len(steps)
    assert len(steps) >= count
    assert display.calls[-1] == ("exit", None)


def test_check_leaves_display_on_error(monkeypatch):
    monkeypatch.setattr(checker, "Progress", Display)
    Display.instances = []
    linter = checker.create_linter(checker.Linter)
    with pytest.raises(TypeError):
        linter.check(iter(["a.py"]))  # no length
    (display,) = Display.instances
    assert display.calls == [("enter",), ("exit", TypeError)]
    assert linter.progress is display


# --- The collector's thresholds during a lint ----------------------------------------


@pytest.fixture
def thresholds_seen(monkeypatch):
    """The collector's thresholds while a project's files are checked; the caller's
    own come back afterwards."""
    import gc

    seen = []
    original = PyLinter.check
    monkeypatch.setattr(
        PyLinter,
        "check",
        lambda self, *a, **k: (
            seen.append(gc.get_threshold()),
            original(self, *a, **k),
        )[1],
    )
    saved = gc.get_threshold()
    yield seen
    gc.set_threshold(*saved)


@pytest.mark.parametrize(
    "caller, wanted, inside",
    [
        ((700, 10, 10), (100000, 20, 10), (100000, 20, 10)),
        # the caller's own higher thresholds stay
        ((500000, 5, 50), (100000, 20, 10), (500000, 20, 50)),
        # collection turned off stays off, and None leaves the collector alone
        ((0, 10, 10), (100000, 20, 10), (0, 10, 10)),
        ((700, 10, 10), None, (700, 10, 10)),
    ],
)
def test_project_lint_makes_collections_rare(
    tmp_path, monkeypatch, thresholds_seen, caller, wanted, inside
):
    import gc

    monkeypatch.setattr(checker, "COLLECTOR_THRESHOLDS", wanted)
    page = source_file(tmp_path, "app/views.py", "x = 1\n")
    gc.set_threshold(*caller)
    checker.get_messages(str(tmp_path), {page: None})
    assert gc.get_threshold() == caller
    assert thresholds_seen == [inside]
    linter = checker.create_linter(checker.Linter)
    linter.check([page])
    assert gc.get_threshold() == caller
    assert thresholds_seen[-1] == inside
    checker.check_code("x = 1\n", page, None)
    assert gc.get_threshold() == caller
    assert thresholds_seen == [inside] * 3


def test_collector_thresholds_come_back_after_an_error(
    tmp_path, monkeypatch, thresholds_seen
):
    import gc

    def fail(*args, **kwargs):
        raise RuntimeError("broken run")

    monkeypatch.setattr(checker, "get_python_messages", fail)
    gc.set_threshold(700, 10, 10)
    with pytest.raises(RuntimeError, match="broken run"):
        checker.get_messages(str(tmp_path), {})
    assert gc.get_threshold() == (700, 10, 10)
    with pytest.raises(TypeError):
        checker.create_linter(checker.Linter).check(iter(["a.py"]))  # no length
    assert gc.get_threshold() == (700, 10, 10)


@pytest.mark.parametrize(
    "modname, filepath, shown",
    [
        ("pkg.mod", None, "Analyzing pkg.mod"),
        ("pkg.mod", "/src/pkg/mod.py", "Analyzing /src/pkg/mod.py"),
        ("pkg.mod", "", "Analyzing pkg.mod"),
    ],
)
def test_set_current_module_logs_then_steps(caplog, modname, filepath, shown):
    linter = checker.create_linter(checker.Linter)
    linter.progress = Display()
    linter.progress_task = 7
    with caplog.at_level(logging.DEBUG, logger="vorlane.staticanalysis.checker"):
        assert linter.set_current_module(modname, filepath) is None
    assert [r.getMessage() for r in caplog.records] == [shown]
    assert linter.current_name == modname
    assert linter.progress.calls == [("update", 7, 1)]


def test_set_current_module_before_check_fails_after_base():
    linter = checker.create_linter(checker.Linter)
    with pytest.raises(AttributeError):
        linter.set_current_module("pkg.mod", "/src/pkg/mod.py")
    assert linter.current_name == "pkg.mod"


# --- Reporter ------------------------------------------------------------------------


def pylint_message(msg_id="C2001", symbol="tall-model", msg=None, path="app/models.py"):
    location = MessageLocationTuple(
        "/abs/app/models.py", path, "app.models", "Book", 3, 4, None, None
    )
    return Message(msg_id, symbol, location, msg, HIGH)


def test_record_from_pylint_message():
    args = {"count": 12, "maximum": 10}
    record = checker.Reporter.build_backwards_compatibile_pylint_message(
        pylint_message(msg=args)
    )
    assert list(record) == LINTER_LAYOUT
    assert record == {
        "type": "convention",
        "module": "app.models",
        "obj": "Book",
        "line": 3,
        "column": 4,
        "path": "app/models.py",
        "symbol": "tall-model",
        "message": args,
        "message-id": "C2001",
    }
    assert record["message"] is args


@pytest.mark.parametrize(
    "given",
    [
        {"b": 1, "a": {"nested": True}},
        OrderedDict([("z", 1), ("message", {"k": 1})]),
        {},
    ],
    ids=["dict", "dict-subclass", "empty"],
)
def test_record_from_dict_is_shallow_copy(given):
    record = checker.Reporter().build_backwards_compatibile_pylint_message(given)
    assert type(record) is dict and record is not given
    assert list(record.items()) == list(given.items())
    for key in record:
        assert record[key] is given[key]


def test_reporter_keeps_records_in_order():
    reporter = checker.Reporter()
    reporter.handle_message(pylint_message("C2001", "tall-model", {"n": 1}))
    reporter.handle_message({"message-id": "X"})
    with pytest.raises(AttributeError):
        reporter.handle_message(object())
    assert [r["message-id"] for r in reporter.messages] == ["C2001", "X"]


# --- Linter assembly -----------------------------------------------------------------


@pytest.mark.parametrize(
    "jobs, expected",
    [
        (0, 1),
        (0.0, 1),
        (False, 1),
        (None, 1),
        (2, 2),
    ],
)
def test_create_linter_jobs(probe, jobs, expected):
    linter = checker.create_linter(checker.Linter, jobs=jobs)
    assert linter.config.jobs == expected


def test_create_linter_options_and_checkers(probe):
    first = checker.create_linter(checker.Linter, {"ignored": True})
    second = checker.create_linter(linter_class=checker.CodeLinter)
    assert (
        isinstance(first.reporter, checker.Reporter) and first.reporter.messages == []
    )
    for linter in (first, second):
        assert linter.config.django_version == "3.3"
        assert linter.config.root_urlconf == ""
        assert linter.config.settings_files == []
        assert [type(c) for c in linter._checkers["probe"]] == [ProbeChecker]
        # Only the registered checkers' codes stand under R and W.
        assert linter.msgs_store._msgs_by_category["R"] == []
        assert linter.msgs_store._msgs_by_category["W"] == ["W0902"]
    assert first.config.settings_files is not second.config.settings_files
    assert first._checkers["probe"][0] is not second._checkers["probe"][0]


def test_create_linter_registers_whole_registry_in_order():
    linter = checker.create_linter(checker.Linter)
    registered = [
        type(c) for cs in linter._checkers.values() for c in cs if c is not linter
    ]
    assert registered == checker.python_checker_classes


def test_create_linter_keeps_pylints_implements_warning_quiet():
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        before = list(warnings.filters)
        checker.create_linter(checker.Linter)
        # The caller's filters are back as they were, and they still apply.
        assert warnings.filters == before
        warnings.warn(
            "Using the __implements__ inheritance pattern", DeprecationWarning
        )
    assert [str(w.message) for w in caught] == [
        "Using the __implements__ inheritance pattern"
    ]


def test_all_message_codes(monkeypatch):
    import types

    texts = types.ModuleType("texts", "docstring")
    texts.C2000 = "advice"
    texts._private = "kept too"
    texts.__extra__ = "dropped"
    monkeypatch.setattr(checker, "advicetexts", texts)
    assert checker.get_all_message_codes() == ["C2000", "_private"]
    monkeypatch.setattr(checker, "advicetexts", types.ModuleType("empty"))
    assert checker.get_all_message_codes() == []


def test_all_message_codes_of_the_package():
    codes = checker.get_all_message_codes()
    assert "E0001" in codes and "C2001" in codes
    assert not [c for c in codes if c.startswith("__")]


# --- Project linting: options, filters, records --------------------------------------


@pytest.mark.parametrize(
    "settings, root_urlconf, config, expected",
    [
        (
            ["shop.settings"],
            "shop.urls",
            {},
            {
                "settings_files": ["shop.settings"],
                "root_urlconf": "shop.urls",
                "django_version": "2.2",
            },
        ),
        (
            [],
            None,
            {},
            {"settings_files": [], "root_urlconf": "", "django_version": "2.2"},
        ),
        (
            ["a.settings", "b.settings"],
            None,
            {
                "directories": ["src"],
                "django-version": "9.9",
                "root-urlconf": "x.urls",
                "settings-files": ["x"],
            },
            {
                "settings_files": ["a.settings", "b.settings"],
                "root_urlconf": "x.urls",
                "django_version": "2.2",
            },
        ),
        (
            [],
            None,
            {"disable": None},
            {"settings_files": [], "root_urlconf": "", "django_version": "2.2"},
        ),
    ],
    ids=["found", "nothing-found", "config-overwritten", "none-value-skipped"],
)
def test_python_options(
    probe, monkeypatch, tmp_path, settings, root_urlconf, config, expected
):
    asked = []
    monkeypatch.setattr(checker.meta, "get_settings_files", lambda root: iter(settings))
    monkeypatch.setattr(
        checker.meta,
        "get_root_urlconf",
        lambda files: asked.append(list(files)) or root_urlconf,
    )
    path = source_file(tmp_path, "m.py", "x = 1\n")
    checker.get_python_messages(str(tmp_path), {path: None}, "2.2", config)
    assert probe.configs == [expected]
    assert asked == [settings]


@pytest.mark.parametrize(
    "selection, expected",
    [
        (None, [("C0901", "models.py", 1), ("C0901", "models.py", 4)]),
        ([4], [("C0901", "models.py", 4)]),
        (range(1, 3), [("C0901", "models.py", 1)]),
        ({2, 3}, []),
        ([], []),
    ],
    ids=["all-lines", "one-line", "range", "no-finding-line", "empty"],
)
def test_python_line_selection(probe, tmp_path, selection, expected):
    path = source_file(
        tmp_path,
        "app/models.py",
        """\
        class Book:
            def title(self): ...

        class Author: ...
    """,
    )
    other = source_file(tmp_path, "app/views.py", "class View: ...\n")
    files = {
        path: selection,
        other + "x": None,
        "notes.txt": None,
        "META": None,
        str(tmp_path / "app/VIEWS.PY"): None,
    }
    records = checker.get_python_messages(str(tmp_path), files, "3.2")
    # W0902 is no advice code: dropped before its path is looked up.
    assert summary(records) == expected
    for record in records:
        assert list(record) == LINTER_LAYOUT
        assert record["message"] == {
            "name": "Book" if record["line"] == 1 else "Author"
        }
        assert record["path"] == path


def test_file_names_that_are_not_utf8_are_linted(probe, tmp_path):
    folder = os.fsencode(tmp_path)
    python = os.fsdecode(os.path.join(folder, b"caf\xe9.py"))
    page = os.fsdecode(os.path.join(folder, b"caf\xe9.html"))
    Path(python).write_text("class Book: ...\n")
    Path(page).write_text("<a href='http://x'>\n")
    records = checker.get_messages(str(tmp_path), {python: None, page: None})
    assert [(r["message-id"], r["path"]) for r in records] == [
        ("C0901", python),
        ("C0990", page),
    ]


def test_unresolved_key_with_finding_is_an_error(probe, tmp_path, monkeypatch):
    source_file(tmp_path, "app/models.py", "class Book: ...\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(KeyError):
        checker.get_python_messages(str(tmp_path), {"app/models.py": None}, "3.2")
    # Without a finding of a kept code nothing is looked up.
    source_file(tmp_path, "app/views.py", "def view(): ...\n")
    assert (
        checker.get_python_messages(str(tmp_path), {"app/views.py": None}, "3.2") == []
    )


def test_suppression_comment_is_honoured(probe, tmp_path):
    lines = [
        "class Plain: ...",
        "class Ours: ...  # vorlane: disable=probe-class",
        "class Tight: ...  # vorlane:disable=probe-class",
        "class Spaced: ...  # vorlane : disable=probe-class",
        "class Loud: ...  # VORLANE: disable=probe-class",
        "class Theirs: ...  # pylint: disable=probe-class",
        "class Mentioned: ...  # vorlane said so",
    ]
    path = source_file(tmp_path, "m.py", "\n".join(lines) + "\n")
    records = checker.get_python_messages(str(tmp_path), {path: None}, "3.2")
    assert [r["message"]["name"] for r in records] == [
        "Plain",
        "Spaced",
        "Loud",
        "Mentioned",
    ]


def test_syntax_error_gives_one_record(probe, tmp_path):
    path = source_file(tmp_path, "broken.py", "x = 1\ndef broken(:\n")
    records = checker.get_python_messages(str(tmp_path), {path: None}, "3.2")
    assert [
        (r["message-id"], r["symbol"], r["message"], r["line"], r["type"])
        for r in records
    ] == [("E0001", "syntax-error", "Syntax Error", 2, "error")]


def test_fatal_records_are_kept_and_logged(probe, tmp_path, caplog, crash_reports):
    missing = str(tmp_path / "missing.py")
    crash = source_file(tmp_path, "crash.py", "x = 1\n\n\nclass Crash: ...\n")
    fine = source_file(tmp_path, "fine.py", "class Fine: ...\n")
    files = {missing: [10], crash: [], fine: [99]}
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.checker"):
        records = checker.get_python_messages(str(tmp_path), files, "3.2")
    # Neither the code filter nor the line selection hides a file that was not checked.
    assert [(r["type"], r["path"]) for r in records] == [
        ("fatal", missing),
        ("fatal", crash),
    ]
    logged = [r.getMessage() for r in caplog.records]
    assert len(logged) == 2
    assert all(text.startswith("Fatal message: {'type': 'fatal'") for text in logged)


@pytest.mark.parametrize("cwd", ["root", "parent", "elsewhere", "lookalike"])
def test_paths_do_not_depend_on_working_directory(probe, tmp_path, monkeypatch, cwd):
    # "lookalike": the working directory's text also occurs inside the project's path,
    # as /app does in /srv/app/models.py.
    root = Path(f"{tmp_path}/srv{tmp_path}/app")
    path = source_file(root, "models.py", "class Book: ...\n")
    places = {
        "root": root,
        "parent": root.parent,
        "elsewhere": tmp_path,
        "lookalike": tmp_path / "app",
    }
    places[cwd].mkdir(parents=True, exist_ok=True)
    monkeypatch.chdir(places[cwd])
    records = checker.get_python_messages(str(root), {path: None}, "3.2")
    assert [r["path"] for r in records] == [path]


def test_worker_processes_give_the_same_records(probe, tmp_path):
    files = {}
    for i in range(4):
        text = "class A: ...\ndef f(): ...\n" if i % 2 else "def broken(:\n"
        files[source_file(tmp_path, f"pkg/m{i}.py", text)] = None
    single = checker.get_python_messages(str(tmp_path), files, "3.2", jobs=0)
    parallel = checker.get_python_messages(str(tmp_path), files, "3.2", jobs=2)
    # pylint parses every file before it walks any.
    assert summary(single) == [
        ("E0001", "m0.py", 1),
        ("E0001", "m2.py", 1),
        ("C0901", "m1.py", 1),
        ("C0901", "m3.py", 1),
    ]
    # Workers hand back one file at a time, so only the order may differ.
    assert sorted(parallel, key=repr) == sorted(single, key=repr)
    assert summary(parallel) == [
        ("E0001", "m0.py", 1),
        ("C0901", "m1.py", 1),
        ("E0001", "m2.py", 1),
        ("C0901", "m3.py", 1),
    ]


def test_worker_processes_with_the_whole_registry(tmp_path):
    files = {
        source_file(tmp_path, f"m{i}.py", "def broken(:\n"): None for i in range(2)
    }
    single = checker.get_python_messages(str(tmp_path), files, "3.2")
    assert checker.get_python_messages(str(tmp_path), files, "3.2", jobs=2) == single
    assert [r["message-id"] for r in single] == ["E0001", "E0001"]


MODELS_AND_META = ["{base}/repo/app/models.py", "META"]


# get_messages on escaping_repository with these keys selected: names below the
# fixture's base, or relative keys taken as given, and these project files arranged. A
# key whose real path lies outside the root is not opened; the rest is linted as usual.
# A project file that links out is not read either (each named in a warning of the
# module that would read it): the lint then has no configuration, settings or Django
# version, and no meta record. The inside pyproject.toml disables C2000.
@pytest.mark.parametrize(
    "selected, expected, warned, arranged",
    [
        (
            [
                "{base}/repo/app/models.py",
                "{base}/repo/app/templates/page.html",
                "META",
            ],
            [
                ("repo/app/models.py", "C2000"),
                ("repo/app/templates/page.html", "C7001"),
            ],
            [],
            [],
        ),
        (
            ["{base}/repo/app/templates/alias.html", "app/templates/page.html"],
            [
                ("repo/app/templates/alias.html", "C7001"),
                ("app/templates/page.html", "C7001"),
            ],
            [],
            [],
        ),
        (
            ["{base}/repo/app/evil.py", "{base}/repo/app/models.py"],
            [("repo/app/models.py", "C2000")],
            ["{base}/repo/app/evil.py"],
            [],
        ),
        (
            [
                "{base}/repo/app/templates/evil.html",
                "{base}/repo/app/templates/page.html",
            ],
            [("repo/app/templates/page.html", "C7001")],
            ["{base}/repo/app/templates/evil.html"],
            [],
        ),
        (
            [
                "{base}/outside/secret.py",
                "{base}/outside/secret.html",
                "../outside/secret.html",
            ],
            [],
            [
                "{base}/outside/secret.py",
                "{base}/outside/secret.html",
                "../outside/secret.html",
            ],
            [],
        ),
        (
            MODELS_AND_META,
            [("repo/app/models.py", "C2000")],
            [],
            ["pyproject-out", "settings-out", "requirements-out", "setup-py-out"],
        ),
        (
            MODELS_AND_META,
            [("requirements.txt", "C1000")],
            [],
            ["pyproject-in", "settings-in", "requirements-in"],
        ),
        (
            MODELS_AND_META,
            [("repo/app/models.py", "C2000"), ("setup.py", "C1000")],
            [],
            ["requirements-out", "setup-py-in"],
        ),
    ],
    ids=[
        "inside",
        "inside-links-and-relative",
        "python-link-out",
        "template-link-out",
        "outside-paths",
        "project-files-link-out",
        "project-files-link-inside",
        "setup-py-after-requirements-out",
    ],
)
def test_nothing_outside_the_root_is_linted(
    escaping_repository, caplog, selected, expected, warned, arranged
):
    r = escaping_repository
    r.arrange(*arranged)
    files = {key.format(base=r.base): None for key in selected}
    with caplog.at_level(logging.WARNING, logger="vorlane.staticanalysis.checker"):
        records = checker.get_messages(str(r.repo), files)
    assert TOKEN not in repr(records) and OUTSIDE_VALUES["pin"] not in repr(records)
    shown = [(record["path"], record["message-id"]) for record in records]
    assert shown == [
        (str(r.base / path) if path.startswith("repo/") else path, code)
        for path, code in expected
    ]
    assert [
        record.getMessage()
        for record in caplog.records
        if record.name == "vorlane.staticanalysis.checker"
    ] == [
        f"{key.format(base=r.base)}: not linted: it lies outside the project root {r.repo}"
        for key in warned
    ]
    named = {record.getMessage().split(": ")[0] for record in caplog.records}
    assert set(r.linked_out) <= named


# --- Templates -----------------------------------------------------------------------


class SecondTemplateChecker(ProbeTemplateChecker):
    def check(self, files):
        super().check(files)
        for record in self.messages:
            record["message-id"] = "C0991"


@pytest.mark.parametrize(
    "selection, expected",
    [
        (None, [1, 3]),
        ([3], [3]),
        (range(1, 3), [1]),
        ([], []),
        ([2], []),
    ],
    ids=["all-lines", "one-line", "range", "empty", "no-finding-line"],
)
def test_html_selection(probe, tmp_path, monkeypatch, selection, expected):
    monkeypatch.chdir(tmp_path)
    source_file(
        tmp_path, "t/page.html", '<a href="http://x">\n<p>\n<img src="http://y">\n'
    )
    source_file(tmp_path, "t/other.HTML", '<a href="http://x">\n')
    records = checker.get_html_messages(
        {"t/page.html": selection, "t/other.HTML": None, "META": None}
    )
    assert [r["line"] for r in records] == expected
    for record in records:
        assert list(record) == TEMPLATE_LAYOUT and record["path"] == "t/page.html"


def test_html_linter_runs_every_class_and_accumulates(monkeypatch, tmp_path):
    monkeypatch.setattr(
        checker, "html_checker_classes", [ProbeTemplateChecker, SecondTemplateChecker]
    )
    page = source_file(tmp_path, "page.html", "http\n")
    linter = checker.HtmlLinter()
    assert linter.messages == []
    linter.check([page])
    linter.check([page])
    assert [r["message-id"] for r in linter.messages] == ["C0990", "C0991"] * 2
    assert checker.HtmlLinter().messages == []


# --- Meta record ---------------------------------------------------------------------

ALL_VERSIONS = [
    f"{major}.{minor}.{patch}"
    for major in (2, 3)
    for minor in (0, 1, 2)
    for patch in range(30)
]


@pytest.mark.parametrize(
    "details, expected",
    [
        (
            {"path": "requirements.txt", "version": "2.2", "specs": ">=2.2,<3.0"},
            [
                {
                    "message-id": "C1000",
                    "path": "requirements.txt",
                    "message_type": "meta",
                    "body": {
                        "specs": ">=2.2,<3.0",
                        "minor": "2.2",
                        "matching_versions": [f"2.2.{p}" for p in range(30)],
                    },
                }
            ],
        ),
        (
            {"path": "setup.py", "version": "1.11", "specs": ""},
            [
                {
                    "message-id": "C1000",
                    "path": "setup.py",
                    "message_type": "meta",
                    "body": {
                        "specs": "",
                        "minor": "1.11",
                        "matching_versions": ALL_VERSIONS,
                    },
                }
            ],
        ),
        (
            {"path": "requirements.txt", "version": "1.11", "specs": "==1.11.29"},
            [
                {
                    "message-id": "C1000",
                    "path": "requirements.txt",
                    "message_type": "meta",
                    "body": {
                        "specs": "==1.11.29",
                        "minor": "1.11",
                        "matching_versions": [],
                    },
                }
            ],
        ),
        (None, []),
    ],
    ids=["range", "unpinned", "only-1.11", "no-requirement"],
)
def test_meta_messages(monkeypatch, details, expected):
    monkeypatch.setattr(
        checker.dependencies, "resolve_django_version", lambda root: details
    )
    records = checker.get_meta_messages("/project")
    assert records == expected
    if records:
        assert list(records[0]) == ["message-id", "path", "message_type", "body"]
        assert list(records[0]["body"]) == ["specs", "minor", "matching_versions"]


def test_meta_messages_bad_specifier(monkeypatch):
    from packaging.specifiers import InvalidSpecifier

    monkeypatch.setattr(
        checker.dependencies,
        "resolve_django_version",
        lambda root: {"path": "r.txt", "version": "2.2", "specs": "~~2"},
    )
    with pytest.raises(InvalidSpecifier):
        checker.get_meta_messages("/project")


@pytest.mark.parametrize(
    "requirement, expected",
    [
        ("Django>=2.2,<3.0\n", ("2.2", [f"2.2.{p}" for p in range(30)])),
        ("requests\n", None),
    ],
    ids=["pinned", "no-django"],
)
def test_meta_messages_from_requirements(write_tree, requirement, expected):
    root = write_tree({"requirements.txt": requirement})
    records = checker.get_meta_messages(str(root))
    if expected is None:
        assert records == []
    else:
        (record,) = records
        assert (
            record["body"]["minor"],
            record["body"]["matching_versions"],
        ) == expected
        assert record["path"] == "requirements.txt"


# --- Whole project runs --------------------------------------------------------------


def test_get_messages_order_and_layouts(probe, monkeypatch, tmp_path):
    models = source_file(tmp_path, "app/models.py", "class Book: ...\n")
    page = source_file(tmp_path, "app/templates/page.html", "<a href='http://x'>\n")
    details = {"path": "requirements.txt", "version": "2.2", "specs": ">=2.2,<2.3"}
    calls = []
    monkeypatch.setattr(
        checker.dependencies,
        "resolve_django_version",
        lambda root: calls.append(root) or details,
    )
    records = checker.get_messages(
        str(tmp_path), {page: None, models: None, "META": None}
    )
    assert [r["message-id"] for r in records] == ["C0901", "C0990", "C1000"]
    assert list(records[0]) == LINTER_LAYOUT and list(records[1]) == TEMPLATE_LAYOUT
    assert records[2]["body"]["minor"] == "2.2"
    # Once for the linter option, once for the meta record.
    assert calls == [str(tmp_path)] * 2
    assert probe.configs[0]["django_version"] == "2.2"


@pytest.mark.parametrize(
    "toml, config, default, expected_version, expected",
    [
        ({}, {}, "3.2", "3.2", ["C0901", "C0901"]),
        ({"disable": "probe-class"}, {}, "2.0", "2.0", []),
        (
            {"disable": "probe-class", "ignore": "x"},
            {"disable": "W0902"},
            "3.2",
            "3.2",
            ["C0901", "C0901"],
        ),
        ({"directories": ["nowhere"]}, {}, "3.2", "3.2", ["C0901", "C0901"]),
    ],
    ids=["nothing", "project-disables", "caller-over-project", "directories-unused"],
)
def test_get_messages_config(
    probe,
    monkeypatch,
    tmp_path,
    caplog,
    toml,
    config,
    default,
    expected_version,
    expected,
):
    monkeypatch.setattr(checker.meta, "get_toml_config", lambda root: dict(toml))
    path = source_file(tmp_path, "m.py", "class A: ...\nclass B: ...\n")
    given = dict(config)
    with caplog.at_level(logging.DEBUG, logger="vorlane.staticanalysis.checker"):
        records = checker.get_messages(str(tmp_path), {path: None}, default, config)
    assert [r["message-id"] for r in records] == expected
    assert probe.configs[0]["django_version"] == expected_version
    assert config == given
    merged = dict(toml)
    merged.update(config)
    assert f"Using config: {merged}\n" in [r.getMessage() for r in caplog.records]


def test_get_messages_meta_only(probe, monkeypatch, tmp_path):
    assert checker.get_messages(str(tmp_path), {"META": None}) == []
    details = {"path": "requirements.txt", "version": "3.2", "specs": "==3.2.1"}
    monkeypatch.setattr(
        checker.dependencies, "resolve_django_version", lambda root: details
    )
    assert [
        r["body"]["matching_versions"]
        for r in checker.get_messages(str(tmp_path), {"META": None})
    ] == [["3.2.1"]]


def test_get_messages_calls_its_parts_through_the_module(probe, monkeypatch):
    calls = []

    def python(**kwargs):
        calls.append(("python", kwargs))
        return ({"p": 1},)

    monkeypatch.setattr(
        checker,
        "get_html_messages",
        lambda files: calls.append(("html", files)) or [{"t": 1}],
    )
    monkeypatch.setattr(checker, "get_python_messages", python)
    monkeypatch.setattr(checker, "get_meta_messages", lambda root: [{"m": root}])
    files = {"META": None}
    records = checker.get_messages("/root", files, "2.0", {"enable": "x"}, 3)
    assert records == [{"p": 1}, {"t": 1}, {"m": "/root"}]
    assert calls == [
        ("html", files),
        (
            "python",
            {
                "project_root": "/root",
                "files": files,
                "config": {"enable": "x"},
                "django_version": "2.0",
                "jobs": 3,
            },
        ),
    ]


def test_linting_uses_the_modules_factory_and_name_check(
    probe, renderer, monkeypatch, tmp_path
):
    made, checked = [], []
    original = checker.create_linter
    monkeypatch.setattr(
        checker, "create_linter", lambda **kw: made.append(kw) or original(**kw)
    )
    monkeypatch.setattr(checker, "check_names", checked.append)
    monkeypatch.setattr(checker, "get_all_message_codes", lambda: ["W0902"])
    checker.check_code("x = 1\n", "app/m.py", None)
    path = source_file(tmp_path, "m.py", "class A: ...\ndef f(): ...\n")
    records = checker.get_python_messages(str(tmp_path), {path: None}, "3.2")
    assert made == [
        {"linter_class": checker.CodeLinter},
        {"linter_class": checker.Linter, "jobs": 0},
    ]
    assert [tree.name for tree in checked] == ["app.m"]
    assert [r["message-id"] for r in records] == ["W0902"]


@pytest.fixture
def shop_project(tmp_path):
    """A copy of the fixture shop; astroid forgets its modules afterwards, since it
    keeps modules and module files process-wide by name."""
    root = tmp_path / "project"
    shutil.copytree(PROJECTS / "checker_shop", root)
    root = root.resolve()
    yield root
    forget_project(root)


def test_sample_project_end_to_end(monkeypatch, shop_project):
    from vorlane.staticanalysis import meta

    root = shop_project
    ProbeChecker.configs = []
    monkeypatch.setattr(
        checker,
        "python_checker_classes",
        checker.python_checker_classes + [ProbeChecker],
    )
    monkeypatch.setattr(
        checker,
        "html_checker_classes",
        checker.html_checker_classes + [ProbeTemplateChecker],
    )
    monkeypatch.setattr(advicetexts, "C0901", "Probe advice.", raising=False)
    monkeypatch.syspath_prepend(str(root))
    files = dict(meta.get_files_to_check_in_project([str(root)], [], str(root)))
    files["META"] = None
    records = checker.get_messages(str(root), files)

    probes = [
        (r["message-id"], str(Path(r["path"]).relative_to(root)), r["line"])
        for r in records
        if r["message-id"] in ("C0901", "C0990")
    ]
    assert sorted(probes) == [
        ("C0901", "wares/migrations/0001_initial.py", 4),
        ("C0901", "wares/models.py", 4),
        ("C0901", "wares/models.py", 16),
        ("C0990", "wares/templates/wares/list.html", 3),
    ]
    # Python records first, then templates, then the meta record.
    kinds = [
        "meta" if "body" in r else "html" if "hint" in r else "py" for r in records
    ]
    assert (
        kinds == sorted(kinds, key=["py", "html", "meta"].index) and kinds[-1] == "meta"
    )
    assert records[-1]["path"] == "requirements.txt"
    assert records[-1]["body"]["minor"] == "2.2"
    assert ProbeChecker.configs == [
        {
            "settings_files": ["emporium.settings"],
            "root_urlconf": "emporium.urls",
            "django_version": "2.2",
        }
    ]
    # A Python record's path is resolved; a template record's is the selection key.
    for record in records[:-1]:
        assert record["path"] in files


# --- Snippets ------------------------------------------------------------------------


@pytest.fixture
def renderer(monkeypatch):
    calls = []

    def render(**kwargs):
        calls.append(kwargs)
        return {"rendered": len(calls)}

    monkeypatch.setattr(checker.render, "render_message_centric_advice", render)
    return calls


def test_check_code_hands_everything_to_renderer(
    probe, renderer, tmp_path, monkeypatch
):
    monkeypatch.chdir(tmp_path)
    code = "class Book: ...\ndef view(): ...\n"
    result = checker.check_code(code, "app/not_on_disk.py", "shop.settings")
    assert result == {"rendered": 1}
    (call,) = renderer
    assert list(call) == [
        "messages",
        "settings",
        "settings_modpath",
        "code_style",
        "code_reader",
    ]
    # No code filter, no line filter, paths as pylint gave them.
    assert summary(call["messages"]) == [
        ("C0901", "not_on_disk.py", 1),
        ("W0902", "not_on_disk.py", 2),
    ]
    assert {r["path"] for r in call["messages"]} == {"app/not_on_disk.py"}
    assert call["messages"][0]["module"] == "app.not_on_disk"
    assert call["settings"] == {} and call["code_style"] == {}
    assert call["settings_modpath"] == "shop.settings"
    assert call["code_reader"]("anything/else.py") == code
    assert probe.configs == [
        {
            "settings_files": ["shop.settings"],
            "root_urlconf": "",
            "django_version": "3.3",
        }
    ]
    assert not (tmp_path / "app").exists()


def test_check_code_without_settings_module(probe, renderer):
    checker.check_code("x = 1\n", "app/models.py", None)
    assert probe.configs[0]["settings_files"] == []
    assert renderer[0]["settings_modpath"] is None


def test_check_code_undefined_name(renderer):
    assert checker.check_code("print(undefined_name)\n", "app/views.py", None) == {
        "rendered": 1
    }


@pytest.mark.parametrize(
    "code, line, path",
    [
        ("def broken(:\n", 1, "app/missing.py"),
        ("x = 1\ny = (\n", 2, "app/missing.py"),
        ("x = 1\n  y = 2\n", 2, "app/missing.py"),
        ("def broken(:\n", 1, "app/caf\udce9.py"),  # a file name that is not UTF-8
    ],
    ids=["bad-def", "unclosed", "indent", "undecodable-name"],
)
def test_check_code_syntax_error(
    renderer, crash_reports, tmp_path, monkeypatch, code, line, path
):
    monkeypatch.chdir(tmp_path)
    checker.check_code(code, path, None)
    records = renderer[0]["messages"]
    assert [(r["message-id"], r["message"], r["line"]) for r in records] == [
        ("E0001", "Syntax Error", line)
    ]
    assert list(crash_reports.iterdir()) == []


def test_check_code_logs_fatal_records(
    probe, renderer, caplog, crash_reports, tmp_path, monkeypatch
):
    # The crash report needs the file: a snippet's path exists nowhere, so pylint's
    # report cannot be written and fails on its own.
    path = source_file(tmp_path, "crash.py", "class Crash: ...\n")
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.checker"):
        checker.check_code("class Crash: ...\n", path, None)
    fatal = [r for r in renderer[0]["messages"] if r["type"] == "fatal"]
    assert len(fatal) == 1
    assert [r.getMessage() for r in caplog.records] == [f"Fatal message: {fatal[0]}"]


@pytest.mark.parametrize(
    "path, name",
    [
        ("app/models.py", "app.models"),
        ("/srv/app/views.py", ".srv.app.views"),
        ("lib.pyx/mod.py", "libx.mod"),
        ("mod.py", "mod"),
        ("win\\mod.py", "win\\mod"),
        ("caf\udce9/mod.py", "caf\udce9.mod"),  # a file name that is not UTF-8
        ("no_suffix", "no_suffix"),
    ],
)
def test_code_linter_file_descriptors(path, name):
    linter = checker.create_linter(checker.CodeLinter)
    descriptors = linter._iterate_file_descrs([path, "b.py"])
    assert list(descriptors) == [(name, path, name), ("b", "b.py", "b")]


def test_code_linter_file_descriptors_one_at_a_time():
    linter = checker.create_linter(checker.CodeLinter)
    taken = []

    def paths():
        for path in ("a.py", "b/c.py"):
            taken.append(path)
            yield path

    descriptors = linter._iterate_file_descrs(paths())
    assert taken == []
    assert next(descriptors) == ("a", "a.py", "a") and taken == ["a.py"]
    assert list(descriptors) == [("b.c", "b/c.py", "b.c")]


def test_code_linter_second_check_replaces_code(probe):
    linter = checker.create_linter(checker.CodeLinter)
    linter.check("class First: ...\n", files_or_modules=["a.py"])
    linter.check("class Second: ...\n", ["b.py"])
    assert linter.vorlane_provided_code == "class Second: ...\n"
    assert [r["message"]["name"] for r in linter.reporter.messages] == [
        "First",
        "Second",
    ]
    tree = linter.get_ast("c.py", "c", data="ignored = 1\n")
    assert [c.name for c in tree.body] == ["Second"]
    assert tree.name == "c" and tree.file.endswith("c.py")


@pytest.mark.parametrize(
    "code",
    [
        "x = 1\nprint(x)\n",
        "print(undefined_name)\n",
        "from nowhere_at_all import thing\nthing\n",
        "",
    ],
    ids=["defined", "undefined", "unimportable", "empty"],
)
def test_check_names_skips_what_cannot_be_inferred(code):
    tree = astroid.parse(code)
    assert checker.check_names(tree) is None


def test_check_names_lets_other_errors_through(monkeypatch):
    def fail(self, context=None, **kwargs):
        raise ValueError("inference broke")

    monkeypatch.setattr(astroid.nodes.Name, "infer", fail)
    with pytest.raises(ValueError, match="inference broke"):
        checker.check_names(astroid.parse("x = 1\nx\n"))
    assert checker.check_names(astroid.parse("x = 1\n")) is None


def test_check_names_infers_each_name_once_per_scope(monkeypatch):
    inferred = []
    infer = astroid.nodes.Name.infer

    def counted(self, context=None, **kwargs):
        if self.root().name == "names_probe":  # not the modules inference reads
            inferred.append((self.scope().name, self.name, self.lineno))
        return infer(self, context, **kwargs)

    monkeypatch.setattr(astroid.nodes.Name, "infer", counted)
    tree = astroid.parse(
        "import os\n"
        "TABLE = [os, os, len, os]\n"
        "def f(x):\n"
        "    return [os, x, x, os]\n"
        "g = lambda: os\n"
        "print(len(TABLE))\n",
        module_name="names_probe",
    )
    checker.check_names(tree)
    # The first use of each name in each scope, in the order of the tree.
    assert inferred == [
        ("names_probe", "os", 2),
        ("names_probe", "len", 2),
        ("f", "os", 4),
        ("f", "x", 4),
        ("<lambda>", "os", 5),
        ("names_probe", "print", 6),
        ("names_probe", "TABLE", 6),
    ]


@pytest.mark.parametrize(
    "code",
    [
        "import os\ndef f(a=os, *, b=len):\n    return [os for os in a if os] + [b, os]\n",
        "@deco(os)\nclass C(Base):\n    x = [y for y in x]\n    def m(self, x=x):\n        x\n",
        "import os\nT = [os, len, os, (os, len), {os: len}]\nT\n",
        "",
    ],
    ids=["defaults-and-comprehension", "decorated-class", "one-scope", "empty"],
)
def test_check_names_infers_the_first_use_in_each_scope_in_tree_order(monkeypatch, code):
    tree = astroid.parse(code, module_name="names_order_probe")
    expected, seen = [], set()
    for node in tree.nodes_of_class(astroid.nodes.Name):
        if (node.scope(), node.name) not in seen:
            seen.add((node.scope(), node.name))
            expected.append(node)
    inferred = []
    infer = astroid.nodes.Name.infer

    def counted(self, context=None, **kwargs):
        if context is None and self.root() is tree:  # check_names' own calls
            inferred.append(self)
        return infer(self, context, **kwargs)

    monkeypatch.setattr(astroid.nodes.Name, "infer", counted)
    checker.check_names(tree)
    assert inferred == expected
