"""The checker classes: their tables, how pylint takes them, and the template parser."""
import io
import pickle
import re
from pathlib import Path

import dill
import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from vorlane.staticanalysis import advicetexts, helpers, render
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


def int_option(name, default, help_text):
    return (
        name,
        {"default": default, "type": "int", "metavar": "<int>", "help": help_text},
    )


# module, pylint name, msgs as (code, symbol, description) in table order, options
PYTHON_CHECKERS = [
    (
        colspec,
        "colspec",
        [
            ("C2000", "nullable-string-field", "Nullable"),
            ("C2001", "tall-model", "Too many fields"),
            ("C2002", "redundant-default-args", "Implicit false"),
            ("C2003", "field-null-not-blank", "Field not nullable"),
            ("C2004", "brittle-unique-for", "Brittle unique"),
            ("C2005", "missing-related-name", "ForeignKey missing"),
            ("C2006", "huge-max-length", "Huge charfield max_length"),
            ("C2008", "deprecated-nullboolean-field", "Nullable BooleanField"),
            ("C2011", "non-unique-primary", "Non-unique primary key"),
        ],
        (
            int_option("max-colspec", 20, "Maximum number of fields for a model"),
            int_option(
                "max-charfield-length", 512, "Maximum size of max_length on a CharField"
            ),
        ),
    ),
    (
        classlayout,
        "models",
        [
            ("C3000", "tall-models", "To many models"),
            ("C3002", "model-method-order", "Wrong method order"),
            ("C3003", "model-common-prefix", "Common application prefix"),
        ],
        (
            int_option("max-models", 10, "Maximum number of models per module"),
            int_option(
                "min-common-model-prefix-length", 4, "Minimum length of model prefixes"
            ),
            int_option(
                "max-common-model-prefix",
                4,
                "Maximum number of models that can have the same prefix",
            ),
        ),
    ),
    (
        migrations,
        "migrations",
        [
            ("C8000", "migration-model-import", "Detects importing model in migration"),
            (
                "C8001",
                "missing-reverse-migration",
                "Detects if migration has no backwards",
            ),
        ],
        (),
    ),
    (
        fetchplan,
        "fetchplan",
        [
            (
                "C9000",
                "queryset-length",
                "Detects using len(queryset) instead of queryset.count()",
            ),
            (
                "C9001",
                "indirect-foreign-key",
                "Traversting foo.bar.pk instead of using foo.bar_pk",
            ),
            (
                "C9002",
                "count-instead-exists",
                "Using count() where exists() could be better",
            ),
            (
                "C9003",
                "truthy-instead-exists",
                "Using truthy/falsey check on queryset when exists could be better",
            ),
        ],
        (),
    ),
    (
        urls,
        "urls",
        [
            ("C6001", "non-unique-url-name", "Non unique URL name"),
            (
                "C6002",
                "reverse-lazy-misuse",
                "Using reverse_lazy when reverse would be better",
            ),
        ],
        (),
    ),
]
PYTHON_IDS = [module.__name__.rsplit(".", 1)[1] for module, *_ in PYTHON_CHECKERS]

TEMPLATE_MSGS = [
    ("C7000", "hard-coded-url", "Check if hard-coded url is used in template"),
    (
        "C7001",
        "hard-coded-static-url",
        "Check if hard-coded static url is used in template",
    ),
]

# The registry order of the linter: the two outside checkers, then ours.
ALL_PYTHON_CLASSES = [admin.Checker, settings.Checker] + [
    module.Checker for module, *_ in PYTHON_CHECKERS
]
ALL_CLASSES = ALL_PYTHON_CLASSES + [templates.Checker]


def table(checker_class):
    return [
        (code, symbol, text) for code, (_, symbol, text) in checker_class.msgs.items()
    ]


def public_names(obj):
    return {
        name: value for name, value in vars(obj).items() if not name.startswith("__")
    }


def bare_linter():
    """A linter without pylint's own checkers: those reuse some of our codes."""
    # An output of its own: the linter pickles with it for worker processes.
    reporter = CollectingReporter()
    reporter.out = io.StringIO()
    return PyLinter(reporter=reporter)


# --- Python checker classes ----------------------------------------------------------


@pytest.mark.parametrize("module, name, msgs, options", PYTHON_CHECKERS, ids=PYTHON_IDS)
def test_python_checker_tables(module, name, msgs, options):
    checker_class = module.Checker
    assert checker_class.__bases__ == (BaseChecker,)
    assert checker_class.__implements__ is IAstroidChecker
    assert checker_class.name == name
    assert table(checker_class) == msgs
    # Option settings keep their key order: pylint shows them in that order.
    assert [(n, list(s.items())) for n, s in checker_class.options] == [
        (n, list(s.items())) for n, s in options
    ]
    assert public_names(module.Codes) == {code: code for code, _, _ in msgs}
    assert module.Codes.__bases__ == (object,)
    assert (checker_class.__module__, checker_class.__qualname__) == (
        module.__name__,
        "Checker",
    )
    assert checker_class.__doc__ is None
    assert "__init__" not in vars(checker_class)


@pytest.mark.parametrize("checker_class", ALL_CLASSES, ids=lambda c: c.__module__)
def test_message_texts_are_empty_context_strings(checker_class):
    args = {"name": "title", "value": 600}
    entries = list(checker_class.msgs.values())
    for entry in entries:
        assert len(entry) == 3
        text = entry[0]
        assert isinstance(text, helpers.context_string)
        assert text == ""
        assert text % args is args
    assert len({id(entry[0]) for entry in entries}) == len(entries)


def test_codes_and_symbols_are_unique_across_checkers():
    codes = [code for cls in ALL_CLASSES for code in cls.msgs]
    symbols = [entry[1] for cls in ALL_CLASSES for entry in cls.msgs.values()]
    assert len(set(codes)) == len(codes)
    assert len(set(symbols)) == len(symbols)
    assert all(re.fullmatch(r"C\d{4}", code) for code in codes)
    assert all(re.fullmatch(r"[a-z]+(-[a-z]+)*", symbol) for symbol in symbols)
    assert {"C4005", "C4015"} <= set(settings.Checker.msgs)
    # Each outside checker keeps to its own block of numbers.
    assert all(code.startswith("C4") for code in settings.Checker.msgs)
    assert all(code.startswith("C5") for code in admin.Checker.msgs)
    assert [cls.name for cls in ALL_PYTHON_CLASSES[:2]] == ["admin", "settings"]


def test_checkers_register_and_take_their_options():
    linter = bare_linter()
    for checker_class in ALL_PYTHON_CLASSES:
        linter.register_checker(checker_class(linter))
    assert linter.config.max_colspec == 20
    assert linter.config.max_models == 10
    linter.set_option("max-colspec", 5)
    linter.set_option("max-charfield-length", 100)
    linter.set_option("min-common-model-prefix-length", 2)
    assert (linter.config.max_colspec, linter.config.max_charfield_length) == (5, 100)
    assert linter.config.min_common_model_prefix_length == 2
    names = {checker.name for checker in linter.get_checkers()}
    assert {
        "admin",
        "settings",
        "colspec",
        "models",
        "migrations",
        "fetchplan",
        "urls",
    } <= names


class FieldCallReporter(colspec.Checker):
    """Reports every call on a line of its own, as a rule of the colspec table would."""

    def visit_call(self, node):
        self.add_message(
            colspec.Codes.C2000, node=node, args={"name": node.func.as_string()}
        )


@pytest.mark.parametrize(
    "source, expected",
    [
        (
            "title = CharField(null=True)\n",
            [("C2000", "nullable-string-field", 1, {"name": "CharField"})],
        ),
        ("x = 1\ny = [x]\n", []),  # no call: nothing to report
    ],
    ids=["reported", "silent"],
)
@pytest.mark.parametrize("jobs", [1, 2], ids=["one-process", "workers"])
def test_finding_args_reach_the_message_unrendered(tmp_path, source, expected, jobs):
    for name in ("a.py", "b.py"):
        (tmp_path / name).write_text(source)
    linter = bare_linter()
    linter.register_checker(FieldCallReporter(linter))
    linter.set_option("jobs", jobs)
    linter.check([str(tmp_path / "a.py"), str(tmp_path / "b.py")])
    found = sorted(
        (m.path[-4:], m.msg_id, m.symbol, m.line, m.msg)
        for m in linter.reporter.messages
    )
    assert found == sorted(
        (name, *row) for name in ("a.py", "b.py") for row in expected
    )


def test_checker_classes_and_linters_pickle(tmp_path):
    for checker_class in ALL_CLASSES:
        assert pickle.loads(pickle.dumps(checker_class)) is checker_class
    linter = bare_linter()
    for checker_class in ALL_PYTHON_CLASSES:
        linter.register_checker(checker_class(linter))
    linter.set_option("max-models", 3)
    # Worker processes get the linter this way.
    copy = dill.loads(dill.dumps(linter))
    copied = {type(checker) for checker in copy.get_checkers()}
    assert set(ALL_PYTHON_CLASSES) <= copied
    assert copy.config.max_models == 3
    checker = next(c for c in copy.get_checkers() if type(c) is colspec.Checker)
    assert table(type(checker)) == table(colspec.Checker)


# --- Template checker ----------------------------------------------------------------


def test_template_checker_classes():
    from html.parser import HTMLParser

    assert templates.BaseTemplateChecker.__bases__ == (HTMLParser,)
    assert templates.Checker.__bases__ == (templates.BaseTemplateChecker,)
    assert table(templates.Checker) == TEMPLATE_MSGS
    assert public_names(templates.Codes) == {"C7000": "C7000", "C7001": "C7001"}
    assert not hasattr(templates.Checker, "name")
    assert not hasattr(templates.Checker, "options")
    assert templates.Checker.__module__ == templates.__name__


class HrefReporter(templates.Checker):
    """Reports every href of an a tag and every src of an img tag."""

    def visit_a(self, attrs):
        for name, value in attrs:
            if name == "href":
                self.add_message(templates.Codes.C7000)

    def visit_img(self, attrs):
        for name, value in attrs:
            if name == "src":
                self.add_message(templates.Codes.C7001, args={"path": value})


def record(path, line, column, code, message):
    return {
        "path": path,
        "line": line,
        "message": message,
        "type": None,
        "column": column,
        "module": None,
        "symbol": None,
        "hint": None,
        "message-id": code,
    }


@pytest.mark.parametrize(
    "text, expected",
    [
        ('<p>\n  <a href="/about/">About</a>\n</p>\n', [(2, 2, "C7000", {})]),
        (
            '<a href="/a/" href="/b/"></a> <img src="/x.png"/>',
            [
                (1, 0, "C7000", {}),
                (1, 0, "C7000", {}),
                (1, 30, "C7001", {"path": "/x.png"}),
            ],
        ),
        ('<IMG SRC="/x.png">', [(1, 0, "C7001", {"path": "/x.png"})]),
        (
            '<div src="/x.png"></div><a title="x"></a></a>',
            [],
        ),  # no visit method, no href
        ('<p>text</p>\n<a href="/unfinished/"', []),  # an unfinished tag is dropped
        ("", []),
    ],
    ids=[
        "a-tag",
        "several-per-line",
        "upper-case",
        "silent-tags",
        "unfinished",
        "empty",
    ],
)
def test_template_records(tmp_path, text, expected):
    path = tmp_path / "page.html"
    path.write_text(text)
    checker = HrefReporter()
    assert checker.check([str(path)]) is None
    assert checker.messages == [record(str(path), *row) for row in expected]
    assert all(list(r) == list(record(0, 0, 0, 0, 0)) for r in checker.messages)


def test_template_files_in_order_paths_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "one.html").write_text('\n\n<a href="/x/">')
    (tmp_path / "t" / "bad.html").write_bytes(b'\xff\xfe<a href="/never/">')
    (tmp_path / "t" / "two.html").write_text('<a href="/y/">')
    checker = HrefReporter()
    checker.check(["t/one.html", "t/bad.html", "./t/two.html", "t/one.html"])
    # Lines restart in each template; the undecodable one gives nothing.
    assert [(r["path"], r["line"], r["column"]) for r in checker.messages] == [
        ("t/one.html", 3, 0),
        ("./t/two.html", 1, 0),
        ("t/one.html", 3, 0),
    ]
    # A second call starts a new list.
    first = checker.messages
    checker.check(["t/two.html"])
    assert [r["path"] for r in checker.messages] == ["t/two.html"]
    assert checker.messages is not first and len(first) == 3
    checker.check([])
    assert checker.messages == []


@pytest.mark.parametrize(
    "missing, error", [("gone.html", "No such file"), ("t", "Is a directory")]
)
def test_template_that_cannot_be_read_is_skipped(
    tmp_path, monkeypatch, caplog, missing, error
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t").mkdir()
    (tmp_path / "ok.html").write_text('<a href="/x/">')
    checker = HrefReporter()
    checker.check(["ok.html", missing, "ok.html"])
    assert [r["path"] for r in checker.messages] == ["ok.html", "ok.html"]
    assert [r.levelname for r in caplog.records] == ["WARNING"]
    assert missing in caplog.text and error in caplog.text


def test_template_message_args_and_defaults(tmp_path):
    path = tmp_path / "page.html"
    path.write_text('<a href="/x/"><a href="/y/"><img src="/a.png"><img src="/b.png">')
    checker = HrefReporter()
    checker.check([str(path)])
    plain = [r["message"] for r in checker.messages if r["message-id"] == "C7000"]
    paths = [r["message"] for r in checker.messages if r["message-id"] == "C7001"]
    # One shared empty mapping for findings without args; one mapping per finding else.
    assert plain == [{}, {}] and plain[0] is plain[1]
    assert (
        paths == [{"path": "/a.png"}, {"path": "/b.png"}] and paths[0] is not paths[1]
    )
    other = HrefReporter()
    other.check([str(path)])
    assert other.messages[0]["message"] is plain[0]


def test_template_unknown_code_raises(tmp_path):
    class Wrong(templates.Checker):
        def visit_a(self, attrs):
            self.add_message("C7999")

    path = tmp_path / "page.html"
    path.write_text('<p></p><a href="/x/">')
    with pytest.raises(KeyError, match="C7999"):
        Wrong().check([str(path)])


def test_template_add_message_goes_through_add_one_message(tmp_path):
    calls = []

    class Recording(HrefReporter):
        def add_one_message(self, code, args={}):
            calls.append((code, args))

    path = tmp_path / "page.html"
    path.write_text('<a href="/x/"><img src="/y.png">')
    checker = Recording()
    checker.check([str(path)])
    assert calls == [("C7000", {}), ("C7001", {"path": "/y.png"})]
    assert checker.messages == []


# --- Outside stand-ins ---------------------------------------------------------------


def test_advicetexts_names_exactly_the_reported_codes():
    codes = {code for cls in ALL_CLASSES for code in cls.msgs} | {"C1000", "E0001"}
    names = {name for name in dir(advicetexts) if not name.startswith("__")}
    assert names == codes
    assert all(
        isinstance(getattr(advicetexts, n), str) and getattr(advicetexts, n)
        for n in names
    )


@pytest.mark.parametrize(
    "messages, expected",
    [
        ([], {}),
        (
            [
                {"message-id": "C2000", "line": 3},
                {"message-id": "E0001", "line": 1},
                {"message-id": "C2000", "line": 9},
            ],
            {
                "C2000": [
                    {"message-id": "C2000", "line": 3},
                    {"message-id": "C2000", "line": 9},
                ],
                "E0001": [{"message-id": "E0001", "line": 1}],
            },
        ),
    ],
    ids=["nothing", "grouped"],
)
def test_render_groups_findings_by_code(messages, expected):
    def code_reader(path):
        raise AssertionError("grouping reads no code")

    result = render.render_message_centric_advice(
        messages=messages,
        settings={},
        settings_modpath=None,
        code_style={},
        code_reader=code_reader,
    )
    assert result == expected
    assert list(result) == list(expected)
    with pytest.raises(TypeError):
        render.render_message_centric_advice(messages, {}, None, {}, code_reader)


# --- Sample project ------------------------------------------------------------------

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "sample"


def test_sample_project_parses():
    sources = sorted(SAMPLE.rglob("*.py"))
    assert {p.relative_to(SAMPLE).as_posix() for p in sources} >= {
        "manage.py",
        "bookshop/settings.py",
        "shop/models.py",
        "shop/urls.py",
        "shop/migrations/0001_initial.py",
    }
    # A syntax error would hide every rule behind one E0001.
    for path in sources:
        compile(path.read_text(), str(path), "exec")
    templates_found = sorted(str(p) for p in SAMPLE.rglob("*.html"))
    checker = HrefReporter()
    checker.check(templates_found)
    assert {r["message-id"] for r in checker.messages} == {"C7000", "C7001"}


def test_example_lints_the_sample_from_any_directory(sample_output):
    output = sample_output
    *findings, meta_record = output["findings"]
    assert meta_record == {
        "message-id": "C1000",
        "path": "requirements.txt",
        "message_type": "meta",
        "body": {"specs": "==3.2.5", "minor": "3.2", "matching_versions": ["3.2.5"]},
    }
    for finding in findings:
        path = Path(finding["path"])
        assert path.is_absolute() and SAMPLE in path.parents
    # Every finding's line is in the range of a review comment.
    for finding in findings:
        assert any(
            c["path"] == finding["path"]
            and c.get("start_line", c["line"]) <= finding["line"] <= c["line"]
            for c in output["review_comments"]
        )
