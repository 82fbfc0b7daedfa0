"""Fix suggestions: records, the driver and the Python line suggestions.

The rule modules' rewrites are replaced by small fakes with the same call shapes: a
`build_transformer_visitor(message_ids)` that answers a helpers.NodeTransformVisitor
editing the statement in place.
"""
import ast
import logging
import shutil
import textwrap
from pathlib import Path

import astroid
import black
import pytest
from astroid import nodes

from vorlane.staticanalysis import checker, constants, helpers, meta, suggest
from vorlane.staticanalysis.checkers import colspec, fetchplan, migrations, settings
from vorlane.staticanalysis.checkers import templates, urls

from conftest import TOKEN
from suggest_support import apply_items, black_clean, finding, items_of, suggestion_of

PROJECTS = Path(__file__).parent / "projects"
SKIP = constants.SKIP_LINE_ID
STYLE = {"line_length": 79, "target_versions": [black.TargetVersion.PY38]}


# --- fakes of the rule rewrites ---------------------------------------------------------


def replace_with(old, text):
    """A node parsed from text, put in old's place as the real rewrites do."""
    return helpers.preserve_metadata(new_node=astroid.extract_node(text), old_node=old)


# C9000: len(qs) -> qs.count()
def is_len_call(node):
    return isinstance(node.func, nodes.Name) and node.func.name == "len"


def to_count(node):
    return replace_with(node, node.args[0].as_string() + ".count()")


# C9003: `if qs:` -> `if qs.exists():` (every bare name counts as a QuerySet)
def is_bare_queryset_test(node):
    return isinstance(node.test, nodes.Name)


def to_exists_test(node):
    node.test = replace_with(node.test, node.test.as_string() + ".exists()")
    return node


# C2008: NullBooleanField() -> BooleanField(null=True)
def is_nullboolean(node):
    return helpers.get_function_name(node) == "NullBooleanField"


def to_boolean(node):
    helpers.set_function_name(node=node, new_name="BooleanField")
    keyword = nodes.Keyword(arg="null")
    keyword.postinit(nodes.const_factory(True))
    helpers.add_to_keywords(keywords=node.keywords, keyword=keyword)
    return node


# C8001: RunPython(f) -> RunPython(f, migrations.RunPython.noop)
def is_missing_reverse(node):
    return helpers.get_function_name(node) == "RunPython" and len(node.args) == 1


def add_reverse(node):
    node.args.append(nodes.Name("migrations.RunPython.noop"))
    return node


# C6002: reverse_lazy(...) -> reverse(...); the module's django.urls import gains
# reverse, loses reverse_lazy and is recorded once per tree.
def is_misused_reverse_lazy(node):
    return helpers.get_function_name(node) == "reverse_lazy"


def to_reverse(node):
    module = node.root()
    if not hasattr(module, "skip_reverse"):
        for found in module.nodes_of_class(nodes.ImportFrom):
            if found.modname == "django.urls":
                names = [n for n in found.names if n[0] != "reverse_lazy"]
                found.names = sorted(names + [("reverse", None)])
                module.replace_other_nodes.append(found)
                break
        module.skip_reverse = True
    helpers.set_function_name(node=node, new_name="reverse")
    return node


FAKE_REWRITES = {
    fetchplan: [
        ("C9000", nodes.Call, to_count, is_len_call),
        ("C9003", nodes.If, to_exists_test, is_bare_queryset_test),
    ],
    colspec: [("C2008", nodes.Call, to_boolean, is_nullboolean)],
    migrations: [("C8001", nodes.Call, add_reverse, is_missing_reverse)],
    urls: [("C6002", nodes.Call, to_reverse, is_misused_reverse_lazy)],
}


def fake_factory(rewrites):
    """A build_transformer_visitor that registers the rewrites of the given codes."""

    def build_transformer_visitor(message_ids):
        visitor = helpers.NodeTransformVisitor()
        for code in sorted(message_ids):
            for wanted, node_class, transform, predicate in rewrites:
                if code == wanted:
                    visitor.register_transform(node_class, transform, predicate)
        return visitor

    return build_transformer_visitor


class FakeTemplateVisitor:
    """C7001: a quoted src or href under STATIC_URL becomes a static tag."""

    def __init__(self, message_ids, settings):
        self.message_ids, self.settings = message_ids, settings

    def visit(self, html):
        if "C7001" not in self.message_ids:
            return html
        url = self.settings["STATIC_URL"]
        for attr in ("src", "href"):
            head = f'{attr}="{url}'
            while head in html:
                start = html.index(head) + len(attr) + 1
                end = html.index('"', start + 1)
                path = html[start + 1 + len(url) : end]
                html = (
                    html[:start] + "'{% static \"" + path + "\" %}'" + html[end + 1 :]
                )
        return html


@pytest.fixture
def fakes(monkeypatch):
    for module, rewrites in FAKE_REWRITES.items():
        monkeypatch.setattr(
            module, "build_transformer_visitor", fake_factory(rewrites), raising=False
        )
    monkeypatch.setattr(
        templates,
        "build_transformer_visitor",
        lambda message_ids, settings: FakeTemplateVisitor(message_ids, settings),
        raising=False,
    )


# --- helpers of the tests ----------------------------------------------------------------


def parse(source, modname="suggest_case"):
    return helpers.build_atok(
        source=textwrap.dedent(source), modname=modname, absolute_path=f"/{modname}.py"
    )


def python_items(source, line, codes, style=STYLE, **kwargs):
    atok = parse(source)
    return suggest.get_suggestions_for_python(
        atok=atok,
        line=line,
        message_ids=set(codes),
        code_style=style,
        settings_modpath=None,
        **kwargs,
    )


@pytest.fixture
def forget_modules(tmp_path):
    """astroid keeps modules by name process-wide: forget those built below tmp_path."""
    yield
    for name, module in list(astroid.MANAGER.astroid_cache.items()):
        if str(tmp_path) in str(getattr(module, "file", None)):
            del astroid.MANAGER.astroid_cache[name]


@pytest.fixture
def project(write_tree, tmp_path, monkeypatch, forget_modules):
    """Writes a project below tmp_path, importable, with fixed project facts."""
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(meta, "get_code_style", lambda root: dict(STYLE))
    monkeypatch.setattr(meta, "get_static_url_setting", lambda root: "/static/")
    monkeypatch.setattr(meta, "get_settings_modpath", lambda root: None)
    return write_tree


# --- records -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (5, 5, {"body": "b", "path": "p.py", "side": "RIGHT", "line": 5}),
        (
            5,
            7,
            {"body": "b", "path": "p.py", "side": "RIGHT", "start_line": 5, "line": 7},
        ),
    ],
    ids=["one-row", "range"],
)
def test_build_comment_keys_in_order(start, end, expected):
    comment = suggest.build_comment("p.py", start, end, "b")
    assert list(comment.items()) == list(expected.items())


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a = 1\nb = 2", "```suggestion\na = 1\nb = 2\n```"),
        ("a = 1\n", "```suggestion\na = 1\n\n```"),
        ("", "```suggestion\n\n```"),
        (12, "```suggestion\n12\n```"),
    ],
    ids=["two-rows", "trailing-newline-kept", "empty-removes-rows", "not-text"],
)
def test_markup_suggestion(text, expected):
    assert suggest.markup_suggestion(text) == expected


def test_group_comments_by_line_copies_in_order():
    comments = [
        finding("b.py", 12, "C1", "one"),
        finding("a.py", "3", "C2", "two"),
        finding("b.py", "12", "C3", "three"),
    ]
    comments[0]["extra"] = "kept"
    groups = suggest.group_comments_by_line(comments)
    assert list(groups) == [("b.py", 12), ("a.py", 3)]
    assert [c["body"] for c in groups[("b.py", 12)]] == ["one", "three"]
    first = groups[("b.py", 12)][0]
    assert first == comments[0] and first is not comments[0]
    assert groups[("x.py", 1)] == []  # a defaultdict of lists


# --- driver --------------------------------------------------------------------------------


def test_empty_input_still_reads_the_project_facts_once(monkeypatch):
    calls = []
    for fact, value in [
        ("get_code_style", dict(STYLE)),
        ("get_static_url_setting", "/static/"),
        ("get_settings_modpath", None),
    ]:
        monkeypatch.setattr(
            meta, fact, lambda root, fact=fact, value=value: calls.append(fact) or value
        )
    assert suggest.suggest_fixes([], "/nowhere") == []
    assert calls == ["get_code_style", "get_static_url_setting", "get_settings_modpath"]


def test_lines_without_fixable_codes_keep_their_bodies_unread(project):
    root = project({})
    comments = [
        finding(root / "missing.py", 12, "E0001", "A"),
        finding(root / "missing.py", "12", "C0999", "B"),
        finding(root / "other.txt", 1, "C9000", "C"),
        finding(root / "PAGE.HTML", 1, "C7001", "D"),
    ]
    assert suggest.suggest_fixes(comments, str(root)) == [
        {
            "body": "A\n\nB",
            "path": str(root / "missing.py"),
            "side": "RIGHT",
            "line": 12,
        },
        {"body": "C", "path": str(root / "other.txt"), "side": "RIGHT", "line": 1},
        {"body": "D", "path": str(root / "PAGE.HTML"), "side": "RIGHT", "line": 1},
    ]


def test_fix_goes_in_front_of_all_bodies(project, fakes):
    root = project({"views.py": "def f(qs):\n    n = len(qs)\n"})
    path = root / "views.py"
    comments = [finding(path, 2, "C9000", "A"), finding(path, 2, "C0999", "B")]
    assert suggest.suggest_fixes(comments, str(root)) == [
        {
            "body": "```suggestion\n    n = qs.count()\n```\n\nA\n\nB",
            "path": str(path),
            "side": "RIGHT",
            "line": 2,
        }
    ]


# Each row holds one statement. The line's fix comes from the settings removal (patched
# to answer the range under test), and the fake model rewrite records statements of the
# file as replaced, which gives further fixes of one row each.
PLACEMENT = "import os\n\nfirst = 1\nsecond = 2\nthird = 3\nfourth = 4\nfifth = 5\n"


@pytest.mark.parametrize(
    "line, main, replaced, expected",
    [
        # The first fix starts or ends on the line: the comment takes its range. A fix of
        # another range then gets a comment of its own, even one that starts or ends
        # where that range does.
        (7, (5, 7), [7, 5], [(7, 7), (5, 5), (5, 7, "front")]),
        # A fix of the very same range joins the first in front.
        (7, (7, 7), [7], [(7, 7, "front", "front")]),
        # A fix that only contains the finding's row is no fix of that row.
        (6, (5, 7), [], [(5, 7), (6, 6, "plain")]),
    ],
    ids=["other-ranges-apart", "same-range-joins", "containing-range-apart"],
)
def test_fix_placement(project, monkeypatch, line, main, replaced, expected):
    root = project({"calc.py": PLACEMENT})
    path = root / "calc.py"

    def record(node):
        module = node.root()
        module.replace_other_nodes.extend(
            helpers.find_node_by_position(module, line=row) for row in replaced
        )

    rewrites = [("C2000", nodes.Assign, record, None)]
    monkeypatch.setattr(
        colspec, "build_transformer_visitor", fake_factory(rewrites), raising=False
    )
    monkeypatch.setattr(settings, "remove_node", lambda **kw: (*main, "total = 3"))
    comments = [
        finding(path, line, "C4005", "advice"),
        finding(path, line, "C2000", "advice"),
    ]
    shapes = []
    for comment in suggest.suggest_fixes(comments, str(root)):
        rows = (comment.get("start_line", comment["line"]), comment["line"])
        if comment["body"].endswith("advice"):
            blocks = comment["body"].count("```suggestion")
            rows += ("front",) * blocks or ("plain",)
        shapes.append(rows)
    assert shapes == expected


@pytest.mark.parametrize(
    "lines, expected",
    [
        # The first block stands in front of line 5's bodies; the later fixes of its
        # rows take its place there.
        (
            [5, 6, 7],
            [
                ("total = 5 + 6 + 7", 5, 7, "advice 5"),
                (None, 6, 6, "advice 6"),
                (None, 7, 7, "advice 7"),
            ],
        ),
        # The first block is a comment of its own; a later line whose row is one of
        # its ends does not put a second block of the same rows in front of itself.
        (
            [6, 7, 5],
            [
                ("total = 6 + 7 + 5", 5, 7, None),
                (None, 6, 6, "advice 6"),
                (None, 7, 7, "advice 7"),
                (None, 5, 5, "advice 5"),
            ],
        ),
    ],
    ids=["in-front", "apart"],
)
def test_later_fix_of_the_same_rows_replaces_the_block(
    project, monkeypatch, lines, expected
):
    """Lines of one statement share its rows; on one tree, each later fix holds the
    earlier edits (the fake adds its line to the text), so one block is kept."""
    root = project({"calc.py": PLACEMENT})
    path = root / "calc.py"
    fixed = []

    def remove_node(*, atok, node, start, end):
        fixed.append(str(start))
        return 5, 7, "total = " + " + ".join(fixed)

    monkeypatch.setattr(settings, "remove_node", remove_node)
    comments = [finding(path, line, "C4005", f"advice {line}") for line in lines]
    shapes = []
    for comment in suggest.suggest_fixes(comments, str(root)):
        text = suggestion_of(comment["body"])
        rest = comment["body"].split("```\n\n")[-1]
        shapes.append(
            (
                text,
                comment.get("start_line", comment["line"]),
                comment["line"],
                None if rest.endswith("```") else rest,
            )
        )
    assert shapes == expected


def test_same_fix_for_two_lines_is_one_comment_per_file(project, monkeypatch):
    files = {name: "a = 1\nb = 2\nc = 3\n" for name in ("one.py", "two.py")}
    root = project(files)
    monkeypatch.setattr(settings, "remove_node", lambda **kw: (3, 3, "c = 4"))
    comments = [
        finding(root / name, line, "C4005") for name in files for line in (1, 2)
    ]
    separate = [
        (Path(c["path"]).name, c["line"])
        for c in suggest.suggest_fixes(comments, str(root))
        if c["body"].startswith("```")
    ]
    assert separate == [("one.py", 3), ("two.py", 3)]


def test_lines_of_one_file_share_one_tree_per_call(project, fakes, monkeypatch):
    root = project({"views.py": "def f(qs):\n    a = len(qs)\n    b = len(qs)\n"})
    path = root / "views.py"
    builds = []
    build_atok = helpers.build_atok
    monkeypatch.setattr(
        helpers,
        "build_atok",
        lambda **kw: builds.append(kw["modname"]) or build_atok(**kw),
    )
    comments = [finding(path, 2, "C9000"), finding(path, 3, "C9000")]
    first = suggest.suggest_fixes(comments, str(root))
    assert builds == ["views"]
    assert items_of(first, path) == [
        (2, 2, "    a = qs.count()"),
        (3, 3, "    b = qs.count()"),
    ]
    # A new call parses again and starts from the file as it is.
    assert suggest.suggest_fixes(comments[:1], str(root))[0]["body"].startswith("```")
    assert builds == ["views", "views"]


def test_bad_files_do_not_end_the_run(project, fakes, caplog, tmp_path):
    root = project(
        {
            "good.py": "def f(qs):\n    return len(qs)\n",
            "broken.py": "def f(qs:\n    return len(qs)\n",
            "page.html": '<img src="/static/a.png">\n',
        }
    )
    (root / "latin.py").write_bytes(b"name = '\xe9'\nn = len(qs)\n")
    (root / "folder.py").mkdir()
    (root / "folder.html").mkdir()
    outside = tmp_path.parent / "elsewhere" / "outside.py"  # under no sys.path entry
    outside.parent.mkdir(exist_ok=True)
    outside.write_text("n = len(qs)\n")
    bad = ["broken.py", "latin.py", "folder.py", "folder.html", str(outside)]
    comments = [finding(root / name, 2, "C9000", name) for name in bad]
    comments += [
        finding(root / "good.py", 2, "C9000", "good"),
        finding(root / "page.html", 1, "C7001", "page"),
    ]
    # The root given holds elsewhere/ too: a file of the project that no module name
    # reaches, not one outside it.
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(tmp_path.parent))
    by_path = {Path(c["path"]).name: c for c in result}
    for name in bad:
        assert by_path[Path(name).name]["body"] == name
    assert by_path["good.py"]["body"].startswith("```suggestion\n    return qs.count()")
    # The load line goes before the finding's own row: one block holds both.
    assert by_path["page.html"]["body"].startswith(
        "```suggestion\n{% load static %}\n<img src='{% static \"a.png\" %}'>\n```"
    )
    logged = "\n".join(r.getMessage() for r in caplog.records)
    for name in bad:
        assert str(root / name) in logged or name in logged
    assert len(caplog.records) == len(bad)  # each file once


MODELS = "{base}/repo/app/models.py"
ALIAS_HTML = "{base}/repo/app/templates/alias.html"


# suggest_fixes on escaping_repository: two findings on one line of the path (a name
# below the fixture's base, or a relative path read as given), with a control finding on
# page.html in the same call, and these project files arranged. A path whose real path
# lies outside the root is not opened: its comment holds the bodies alone. A project
# file that links out is not read either: the fixes then have black's defaults and the
# default STATIC_URL. Inside, black's line length is 40 and STATIC_URL "/".
@pytest.mark.parametrize(
    "path, line, code, fixed, arranged",
    [
        ("{base}/repo/app/models.py", 5, "C2000", "    label = ", []),
        ("app/models.py", 5, "C2000", "    label = ", []),
        ("{base}/repo/app/alias.py", 5, "C2000", "    label = ", []),
        ("{base}/repo/app/templates/alias.html", 1, "C7001", "inside.png", []),
        ("{base}/repo/app/evil.py", 5, "C2000", None, []),
        ("{base}/repo/app/templates/evil.html", 1, "C7001", None, []),
        ("{base}/outside/secret.py", 5, "C2000", None, []),
        ("{base}/outside/secret.html", 1, "C7001", None, []),
        ("../outside/secret.html", 1, "C7001", None, []),
        (MODELS, 5, "C2000", 'CharField(max_length=10, default=""', ["pyproject-out"]),
        (MODELS, 5, "C2000", "CharField(\n        max_length=10,", ["pyproject-in"]),
        (ALIAS_HTML, 1, "C7001", '{% static "inside.png" %}', ["settings-out"]),
        (ALIAS_HTML, 1, "C7001", '{% static "inside.png" %}', ["settings-import-out"]),
        (ALIAS_HTML, 1, "C7001", '{% static "static/inside.png" %}', ["settings-in"]),
    ],
    ids=[
        "inside",
        "inside-relative",
        "python-link-inside",
        "template-link-inside",
        "python-link-out",
        "template-link-out",
        "python-outside",
        "template-outside",
        "template-outside-relative",
        "pyproject-link-out",
        "pyproject-link-inside",
        "settings-link-out",
        "settings-import-link-out",
        "settings-link-inside",
    ],
)
def test_nothing_outside_the_root_is_fixed(
    escaping_repository, caplog, path, line, code, fixed, arranged
):
    r = escaping_repository
    r.arrange(*arranged)
    path = path.format(base=r.base)
    control = r.path("repo/app/templates/page.html")
    comments = [
        finding(path, line, code, "first"),
        finding(path, line, code, "second"),
        finding(control, 1, "C7001", "control"),
    ]
    with caplog.at_level(logging.WARNING, logger="vorlane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(r.repo))
    assert TOKEN not in repr(result)
    (comment,) = [c for c in result if c["path"] == path]
    if fixed:
        assert fixed in suggestion_of(comment["body"])
        assert comment["body"].endswith("```\n\nfirst\n\nsecond")
    else:
        assert comment["body"] == "first\n\nsecond"
    assert "inside.png" in suggestion_of(result[-1]["body"])
    assert [
        record.getMessage()
        for record in caplog.records
        if record.name == "vorlane.staticanalysis.suggest"
    ] == (
        []
        if fixed
        else [
            f"No fix suggestions for {path}: it lies outside the project root {r.repo}"
        ]
    )
    named = {record.getMessage().split(": ")[0] for record in caplog.records}
    assert set(r.linked_out) <= named


def test_suppression_round_trip_is_honoured_by_the_linter(project, monkeypatch):
    """Suppression items applied to the file silence the findings they name: on the
    class row of a decorated class, and on a row shared with another statement."""
    from pylint.checkers import BaseChecker

    from vorlane.staticanalysis import advicetexts

    class ProbeChecker(BaseChecker):
        name = "probe"
        msgs = {"C0901": (helpers.context_string(""), "probe-name", "A name.")}

        def visit_classdef(self, node):
            self.add_message("C0901", node=node, args={"name": node.name})

        def visit_assignname(self, node):
            if node.name == "flagged":
                self.add_message("C0901", node=node, args={"name": node.name})

    monkeypatch.setattr(checker, "python_checker_classes", [ProbeChecker])
    monkeypatch.setattr(checker, "message_id_symbol_store", {"C0901": "probe-name"})
    monkeypatch.setattr(advicetexts, "C0901", "Probe advice.", raising=False)
    monkeypatch.setattr(checker.meta, "get_toml_config", lambda root: {})
    monkeypatch.setattr(checker.meta, "get_settings_files", lambda root: iter(()))
    monkeypatch.setattr(checker.meta, "get_root_urlconf", lambda files: None)
    monkeypatch.setattr(
        constants, "TRANSFORMABLE_RULES", constants.TRANSFORMABLE_RULES | {"C0901"}
    )
    source = """\
        import functools


        @functools.total_ordering
        class Decorated:
            pass


        first = 1; flagged = 2
        """
    root = project({"probe_models.py": source})
    path = str((root / "probe_models.py").resolve())

    def lint():
        return checker.get_python_messages(str(root), {path: None}, "3.2")

    assert [r["line"] for r in lint()] == [5, 9]
    comments = [
        finding(path, r["line"], code) for r in lint() for code in (SKIP, "C0901")
    ]
    result = suggest.suggest_fixes(comments, str(root))
    fixed = apply_items(Path(path).read_text(), items_of(result, path))
    assert (
        "@functools.total_ordering\nclass Decorated:  # vorlane: disable=probe-name\n"
        in fixed
    )
    assert "first = 1; flagged = 2  # vorlane: disable=probe-name\n" in fixed
    Path(path).write_text(fixed)
    assert lint() == []


# --- suppression comments -----------------------------------------------------------------


@pytest.mark.parametrize(
    "source, line, codes, expected",
    [
        (
            "def f(obj):\n    if obj:\n        pass\n    x = obj.author.id\n",
            4,
            {SKIP, "C2000", "C9001"},
            [
                [
                    4,
                    4,
                    "    # vorlane: disable-next=nullable-string-field, indirect-foreign-key\n"
                    "    x = obj.author.id",
                ]
            ],
        ),
        ("x = len(qs)\n", 1, {SKIP}, [[1, 1, "x = len(qs)  # vorlane: disable="]]),
        # The comment goes on the finding's row; the statement's rows stay as written.
        (
            "def f():\n    total = compute(\n        first,\n        len(qs))\n",
            4,
            {SKIP, "C9000"},
            [
                [
                    2,
                    4,
                    "    total = compute(\n        first,\n        len(qs))  # vorlane: disable=queryset-length",
                ]
            ],
        ),
        # What else stands on the row stays: another statement, an existing comment.
        (
            "a = 1; b = len(qs)\n",
            1,
            {SKIP, "C9000"},
            [[1, 1, "a = 1; b = len(qs)  # vorlane: disable=queryset-length"]],
        ),
        (
            "n = len(qs)  # rows\n",
            1,
            {SKIP, "C9000"},
            [[1, 1, "n = len(qs)  # rows  # vorlane: disable=queryset-length"]],
        ),
        # A compound statement: only its header's rows.
        (
            "if qs:  # any\n    pass\n\n    # the body\nelse:\n    pass\n",
            1,
            {SKIP, "C9003"},
            [[1, 1, "if qs:  # any  # vorlane: disable=truthy-instead-exists"]],
        ),
        # A decorated definition: on the def row, the decorators kept above it.
        (
            "@cached\n@other(1)\ndef f(a=len(qs)):\n    return a\n",
            3,
            {SKIP, "C9000"},
            [
                [
                    1,
                    3,
                    "@cached\n@other(1)\ndef f(a=len(qs)):  # vorlane: disable=queryset-length",
                ]
            ],
        ),
        # A comment at the end of these rows would be string content or a syntax error.
        ('s = len(qs), """a\nb"""\n', 1, {SKIP, "C9000"}, []),
        ("s = len(qs) + \\\n    1\n", 1, {SKIP, "C9000"}, []),
        # A row where no statement starts.
        ("x = 1\n\n# note\n", 2, {SKIP}, []),
        ("x = 1\n", 0, {SKIP}, []),
        ("x = 1\n", 9, {SKIP}, []),
    ],
    ids=[
        "symbols-sorted-by-code",
        "skip-alone",
        "third-row-of-statement",
        "shared-row-kept-whole",
        "own-comment-kept",
        "compound-header-only",
        "decorated-def-row",
        "row-ends-in-string",
        "backslash-continuation",
        "blank-row",
        "row-zero",
        "past-the-end",
    ],
)
def test_suppression_items(source, line, codes, expected):
    atok = parse(source)
    items = suggest.get_suggestions_for_python(
        atok=atok, line=line, message_ids=codes, code_style=STYLE, settings_modpath=None
    )
    assert items == expected
    assert atok.tree.new_nodes == [] and atok.tree.replace_other_nodes == []


# 79 columns: "x = len()" and the comment take 45, so a name of 34 letters fills the row.
EXACT = "a" * 34
DISABLE_LENGTH = "  # vorlane: disable=queryset-length"


@pytest.mark.parametrize(
    "source, line, codes, expected",
    [
        # The longest row that fits keeps the trailing comment; one more and the
        # comment goes above, at the row's indentation.
        (
            f"x = len({EXACT})\n",
            1,
            {SKIP, "C9000"},
            [[1, 1, f"x = len({EXACT}){DISABLE_LENGTH}"]],
        ),
        (
            f"x = len({EXACT}b)\n",
            1,
            {SKIP, "C9000"},
            [[1, 1, f"# vorlane: disable-next=queryset-length\nx = len({EXACT}b)"]],
        ),
        # Inside a statement: directly above the finding's row, within the brackets.
        (
            "def f():\n"
            "    total = compute(\n"
            f"        first, len({EXACT}),\n"
            "    )\n",
            3,
            {SKIP, "C9000"},
            [
                [
                    2,
                    4,
                    "    total = compute(\n"
                    "        # vorlane: disable-next=queryset-length\n"
                    f"        first, len({EXACT}),\n"
                    "    )",
                ]
            ],
        ),
        # The row above ends inside a string: no row can go between.
        (
            f's = """a\nb""", len({EXACT}{EXACT})\n',
            2,
            {SKIP, "C9000"},
            [],
        ),
        # Codes reported on the module node: a comment row at the top of the module.
        (
            "x = len(qs)\n",
            1,
            {SKIP, "C3000", "C3003"},
            [
                [
                    1,
                    1,
                    "# vorlane: disable=tall-models, model-common-prefix\nx = len(qs)",
                ]
            ],
        ),
        # With a code of the row, on the same row: one item.
        (
            "x = len(qs)\n",
            1,
            {SKIP, "C3000", "C9000"},
            [
                [
                    1,
                    1,
                    "# vorlane: disable=tall-models\n"
                    "x = len(qs)  # vorlane: disable=queryset-length",
                ]
            ],
        ),
        # After a shebang row and an encoding declaration; before a docstring; before
        # a plain comment row.
        (
            "#!/usr/bin/env python\n# -*- coding: utf-8 -*-\nx = 1\n",
            1,
            {SKIP, "C3000"},
            [[3, 3, "# vorlane: disable=tall-models\nx = 1"]],
        ),
        (
            "# vim: set fileencoding=utf-8 :\nx = 1\n",
            1,
            {SKIP, "C3000"},
            [[2, 2, "# vorlane: disable=tall-models\nx = 1"]],
        ),
        (
            "#!/usr/bin/env python\nx = 1\n",
            1,
            {SKIP, "C3003"},
            [[2, 2, "# vorlane: disable=model-common-prefix\nx = 1"]],
        ),
        (
            '"""Models.\n\nMore."""\nx = 1\n',
            1,
            {SKIP, "C3000"},
            [[1, 1, '# vorlane: disable=tall-models\n"""Models.']],
        ),
        (
            "# the models\nx = 1\n",
            1,
            {SKIP, "C3000"},
            [[1, 1, "# vorlane: disable=tall-models\n# the models"]],
        ),
    ],
    ids=[
        "fits-exactly",
        "one-column-more",
        "inside-brackets",
        "row-above-ends-in-string",
        "module-codes",
        "module-and-row-codes",
        "after-shebang-and-encoding",
        "after-encoding",
        "after-shebang",
        "before-docstring",
        "before-comment-row",
    ],
)
def test_suppressions_that_survive_black(source, line, codes, expected):
    items = python_items(source, line, codes)
    assert items == expected
    for start, end, text in items:
        rows = source.split("\n")
        rows[start - 1 : end] = text.split("\n")
        after = "\n".join(rows)
        ast.parse(after)
        assert black_clean(after) or not black_clean(source)


def test_suppression_runs_no_rewrite(monkeypatch):
    def fail(*args, **kwargs):
        raise AssertionError("no rewrite on the suppression path")

    for module in (colspec, fetchplan, migrations, urls):
        monkeypatch.setattr(module, "build_transformer_visitor", fail, raising=False)
    monkeypatch.setattr(black, "format_str", fail)
    items = python_items("n = len(qs)\n", 1, {SKIP, "C9000", "C2000", "C6002", "C8001"})
    assert items[0][2].startswith(
        "# vorlane: disable-next=nullable-string-field, reverse-lazy-misuse, "
        "missing-reverse-migration, queryset-length\n"
    )


# --- rewritten statements --------------------------------------------------------------------


ELIF_BLOCK = """\
def f(qs, other_qs):
    if other_qs:  # first
        pass
    elif qs:  # second
        n = len(qs)  # count

        # a comment of the body
        return n
    return 0
"""


def test_compound_statement_replaces_its_header_only(fakes):
    atok = parse(ELIF_BLOCK)
    items = suggest.get_suggestions_for_python(
        atok=atok,
        line=4,
        message_ids={"C9003", "C9000"},
        code_style=STYLE,
        settings_modpath=None,
    )
    assert items == [[4, 4, "    elif qs.exists():  # second"]]
    fixed = apply_items(ELIF_BLOCK, items)
    assert fixed == ELIF_BLOCK.replace("elif qs:", "elif qs.exists():")
    # The body was not rewritten with the header: its own finding still gets its fix.
    items = suggest.get_suggestions_for_python(
        atok=atok,
        line=5,
        message_ids={"C9000"},
        code_style=STYLE,
        settings_modpath=None,
    )
    assert items == [[5, 5, "        n = qs.count()  # count"]]


@pytest.mark.parametrize(
    "source, line, expected",
    [
        ("if qs:\n    pass\n", 1, [[1, 1, "if qs.exists():"]]),
        (
            "while len(qs):\n    pass\nelse:\n    pass\n",
            1,
            [[1, 1, "while qs.count():"]],
        ),
        (
            "try:\n    pass\nexcept len(qs) as e:  # odd\n    pass\n",
            3,
            [[3, 3, "except qs.count() as e:  # odd"]],
        ),
        (
            "@register(len(qs))\nclass A(Base):\n    '''Doc.'''\n    x = 1\n",
            2,
            [[1, 2, "@register(qs.count())\nclass A(Base):"]],
        ),
        (
            "def f(\n    a=len(qs),\n    b=2,\n):\n    return a\n",
            2,
            [[1, 4, "def f(a=qs.count(), b=2):"]],
        ),
        # Body on the header's row: the fix would take the body along.
        ("if qs: pass\n", 1, []),
        ("for x in len(qs): print(x)\n", 1, []),
    ],
    ids=[
        "if",
        "while-else",
        "except",
        "decorated-class",
        "def-rows",
        "if-one-row",
        "for-one-row",
    ],
)
def test_compound_headers(fakes, source, line, expected):
    items = python_items(source, line, {"C9000", "C9003"})
    assert items == expected
    if items:
        assert ast.parse(apply_items(source, items))


@pytest.mark.parametrize(
    "source, line, expected",
    [
        # Another statement on the first or the last row: no fix at all.
        ("a = 1; b = len(qs)\n", 1, []),
        ("b = len(qs); a = 1\n", 1, []),
        ("x = (1,\n     2); b = len(qs)\n", 2, []),
        # A semicolon alone ends the statement and shares nothing.
        ("b = len(qs);\n", 1, [[1, 1, "b = qs.count()"]]),
        # The end row is where the last token ends.
        ('n = len(qs), """a\nb"""\n', 1, [[1, 2, 'n = (qs.count(), "a\\nb")']]),
        # The same-row comment stays at the end of the statement, never in brackets.
        ("y = a, len(qs)  # c\n", 1, [[1, 1, "y = (a, qs.count())  # c"]]),
        (
            "y = f(a,\n      len(qs))  # kept\n",
            1,
            [[1, 2, "y = f(a, qs.count())  # kept"]],
        ),
        # A comment inside the statement would be deleted with its rows: no fix.
        ("y = f(a,  # why\n      len(qs))  # kept\n", 1, []),
        ("y = f(  # why\n    len(qs))\n", 1, []),
        # Unchanged by the rewrites: no item.
        ("y = qs.count()\n", 1, []),
    ],
    ids=[
        "shares-first-row",
        "shares-last-row",
        "starts-after-another-ends",
        "trailing-semicolon",
        "ends-in-multirow-string",
        "comment-not-in-brackets",
        "trailing-comment-of-multirow",
        "comment-inside-brackets",
        "comment-after-bracket",
        "unchanged",
    ],
)
def test_statement_rows_and_comments(fakes, source, line, expected):
    assert python_items(source, line, {"C9000"}) == expected


def test_indented_code_fits_the_line_length_black_uses_on_the_file(fakes):
    call = "return summarize(len(qs), self.first_column, self.second_column_xxxxxx)"
    source = f"class Report:\n    def total(self, qs):\n        {call}\n"
    # Rewritten, the statement fits the line length at the top level but not indented.
    assert 72 < len(call.replace("len(qs)", "qs.count()")) <= 79
    items = python_items(source, 3, {"C9000"})
    fixed = apply_items(source, items)
    assert max(len(row) for row in fixed.split("\n")) <= 79
    assert black_clean(fixed)


@pytest.mark.parametrize(
    "indent, expected",
    [
        (True, "    n = qs.count()"),
        (False, "n = qs.count()"),
        (0, "    n = qs.count()"),
        (None, "    n = qs.count()"),
    ],
)
def test_indent_is_off_only_for_false(fakes, indent, expected):
    items = python_items("def f(qs):\n    n = len(qs)\n", 2, {"C9000"}, indent=indent)
    assert items == [[2, 2, expected]]


def test_quotes_follow_the_file(fakes):
    source = "a = 'x'\nb = 'y'\nc = f(len(qs), \"z\")\n"
    assert python_items(source, 3, {"C9000"}) == [[3, 3, "c = f(qs.count(), 'z')"]]


def test_black_failure_on_the_statement_drops_the_line(fakes, monkeypatch, caplog):
    def reject(code, mode):
        raise black.InvalidInput("cannot parse")

    monkeypatch.setattr(black, "format_str", reject)
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.suggest"):
        assert python_items("n = len(qs)\n", 1, {"C9000"}) == []
    [record] = caplog.records
    assert record.levelno == logging.ERROR and record.exc_info is None
    assert "cannot parse" in record.getMessage()


# --- replaced and new nodes ----------------------------------------------------------------------


URLS_VIEW = """\
from django.shortcuts import redirect
from django.urls import path, reverse_lazy


def go(request):
    return redirect(reverse_lazy("home"))


def back(request):
    return redirect(reverse_lazy("back"))
"""


def test_replaced_import_is_offered_once_per_tree(fakes):
    atok = parse(URLS_VIEW)
    kwargs = dict(
        atok=atok, message_ids={"C6002"}, code_style=STYLE, settings_modpath=None
    )
    assert suggest.get_suggestions_for_python(line=6, **kwargs) == [
        [6, 6, '    return redirect(reverse("home"))'],
        [2, 2, "from django.urls import path, reverse"],
    ]
    assert suggest.get_suggestions_for_python(line=10, **kwargs) == [
        [10, 10, '    return redirect(reverse("back"))'],
    ]


@pytest.mark.parametrize(
    "import_rows",
    [
        "from django.urls import path, reverse_lazy; import os\n",
        "from django.urls import (  # views\n    path,\n    reverse_lazy,\n)\n",
    ],
    ids=["shares-its-row", "comment-would-be-lost"],
)
def test_line_whose_import_cannot_be_offered_gets_nothing(fakes, import_rows):
    """The call's fix needs the import's: without it, reverse would be undefined. The
    mark is taken back, so each later line tries again rather than offering its call
    alone."""
    source = URLS_VIEW.replace(
        "from django.urls import path, reverse_lazy\n", import_rows
    )
    atok = parse(source)
    rows = [n for n, row in enumerate(source.split("\n"), 1) if "reverse_lazy(" in row]
    assert len(rows) == 2
    for row in rows:
        items = suggest.get_suggestions_for_python(
            atok=atok,
            line=row,
            message_ids={"C6002"},
            code_style=STYLE,
            settings_modpath=None,
        )
        assert items == []
        assert not hasattr(atok.tree, "skip_reverse")


SETTINGS_FILE = """\
# Settings of the project.
DEBUG = False
TIME_ZONE = "UTC"
"""


def add_nodes(monkeypatch, *texts):
    """The settings rewrite asks for these statements to be added to the module."""

    def build(*, message_ids, settings_modpath):
        class Visitor:
            def visit(self, node):
                node.new_nodes.extend(astroid.extract_node(t) for t in texts)

        return Visitor()

    monkeypatch.setattr(settings, "build_transformer_visitor", build)


def settings_items(line, codes, **kwargs):
    return python_items(SETTINGS_FILE, line, codes, **kwargs)


def test_settings_test_code_appends_its_statement():
    appended = settings.APPENDED_SETTING
    assert settings_items(2, {constants.SETTINGS_APPEND_TEST_ID}) == [
        [3, 3, f'TIME_ZONE = "UTC"\n\n{appended}']
    ]


@pytest.mark.parametrize(
    "texts, source, expected",
    [
        # Added code joins the item that replaces the last row, also one that starts
        # above it (a separate item would overlap it).
        (
            ["X = 1"],
            "DEBUG = False\nn = len(qs)\n",
            [[2, 2, "n = qs.count()\n\nX = 1"]],
        ),
        (
            ["X = 1"],
            "DEBUG = False\nn = len(\n    qs)\n",
            [[2, 3, "n = qs.count()\n\nX = 1"]],
        ),
        # Imports go first: row 1 is replaced by the imports and row 1 itself.
        (
            ["import os", "import sys"],
            SETTINGS_FILE,
            [[1, 1, "import os\n\nimport sys\n\n# Settings of the project."]],
        ),
        # Both kinds, no item on either row: an item first and an item last.
        (
            ["import os", "X = 1"],
            SETTINGS_FILE,
            [
                [1, 1, "import os\n\n# Settings of the project."],
                [3, 3, 'TIME_ZONE = "UTC"\n\nX = 1'],
            ],
        ),
    ],
    ids=[
        "joins-last-row-item",
        "joins-item-ending-on-last-row",
        "imports-on-row-one",
        "both-kinds",
    ],
)
def test_new_nodes_are_merged(monkeypatch, fakes, texts, source, expected):
    add_nodes(monkeypatch, *texts)
    items = python_items(source, 2, {"C9000", constants.SETTINGS_APPEND_TEST_ID})
    assert items == expected
    assert ast.parse(apply_items(source, items))


def test_new_import_and_statement_both_placed_with_an_item_on_row_one(
    monkeypatch, fakes
):
    source = "n = len(qs)\nm = 1\nk = 2\n"
    add_nodes(monkeypatch, "import os", "X = 1")
    items = python_items(source, 1, {"C9000", constants.SETTINGS_APPEND_TEST_ID})
    assert items == [
        [1, 1, "import os\n\nn = qs.count()"],
        [3, 3, "k = 2\n\nX = 1"],
    ]
    assert ast.parse(apply_items(source, items))


def test_black_failure_on_a_new_node_leaves_only_that_node_out(monkeypatch, caplog):
    add_nodes(monkeypatch, "X = 1", "Y = 2")
    format_str = black.format_str

    def reject_x(code, mode):
        if code.startswith("X"):
            raise black.InvalidInput("no X")
        return format_str(code, mode=mode)

    monkeypatch.setattr(black, "format_str", reject_x)
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.suggest"):
        items = settings_items(2, {constants.SETTINGS_APPEND_TEST_ID})
    assert items == [[3, 3, 'TIME_ZONE = "UTC"\n\nY = 2']]
    [record] = caplog.records
    assert record.exc_info is not None and "no X" in record.getMessage()


def test_settings_removal_replaces_the_rows_by_nothing():
    items = settings_items(3, {"C4015"})
    assert items == [[3, 3, ""]]
    assert (
        apply_items(SETTINGS_FILE, items)
        == "# Settings of the project.\nDEBUG = False\n"
    )


# --- the stand-ins -----------------------------------------------------------------------------------


def test_rule_tables_cover_every_rule():
    codes = set(checker.message_id_symbol_store)
    assert codes <= constants.TRANSFORMABLE_RULES
    assert {SKIP, "C7001"} <= constants.TRANSFORMABLE_RULES
    families = [
        constants.TRANSFORMABLE_MODEL_FIELD_RULES,
        constants.TRANSFORMABLE_URL_RULES,
        constants.TRANSFORMABLE_MIGRATION_RULES,
        constants.TRANSFORMABLE_QUERYSET_RULES,
        constants.TRANSFORMABLE_SETTINGS_RULES,
    ]
    for family in families:
        assert family <= constants.TRANSFORMABLE_RULES
    assert {"C4005", "C4015", constants.SETTINGS_APPEND_TEST_ID} <= families[-1]


# --- the fixture project, end to end -----------------------------------------------------------------


@pytest.fixture
def shop(tmp_path, monkeypatch, forget_modules):
    root = tmp_path / "suggest_shop"
    shutil.copytree(PROJECTS / "suggest_shop", root)
    monkeypatch.syspath_prepend(str(root))
    return root


# (file, row, code) of the shop's fixable findings, one of each family and the template.
SHOP_FINDINGS = [
    ("ledger/models.py", 6, "C2008"),
    ("ledger/migrations/0002_fill_names.py", 14, "C8001"),
    ("ledger/views.py", 9, "C9003"),
    ("ledger/views.py", 10, "C9000"),
    ("ledger/views.py", 20, "C6002"),
    ("ledger/templates/ledger/entry_list.html", 3, "C7001"),
]


def test_shop_suggestions_apply_cleanly(shop, fakes):
    files = sorted(p for p in shop.rglob("*") if p.is_file())
    before = {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in files}
    comments = [finding(shop / rel, row, code) for rel, row, code in SHOP_FINDINGS]
    result = suggest.suggest_fixes(comments, str(shop))

    # Nothing of the project was written.
    assert {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in files} == before
    assert sorted(p for p in shop.rglob("*") if p.is_file()) == files
    # One comment per finding's line, and one for each fix of other rows: the list of
    # operations (it starts above the finding), the import and the template's load line.
    assert len(result) == len(SHOP_FINDINGS) + 3
    for rel in {rel for rel, _, _ in SHOP_FINDINGS}:
        path = shop / rel
        items = items_of(result, path)
        assert items, rel
        fixed = apply_items(path.read_text(), items)
        if rel.endswith(".py"):
            assert ast.parse(fixed)
            assert black_clean(fixed)
    views = apply_items(
        (shop / "ledger/views.py").read_text(),
        items_of(result, shop / "ledger/views.py"),
    )
    assert "from django.urls import reverse\n" in views
    assert (
        "    if entries.exists():\n        total = entries.count()  # shown in the header\n"
        in views
    )
    page = apply_items(
        (shop / "ledger/templates/ledger/entry_list.html").read_text(),
        items_of(result, shop / "ledger/templates/ledger/entry_list.html"),
    )
    assert page.startswith(
        '{% extends "ledger/base.html" %}\n{% load static %}\n{% block content %}\n'
    )
    assert '<img src=\'{% static "img/logo.png" %}\' alt="Ledger">' in page


def test_shop_project_facts_reach_the_lines(shop, fakes, monkeypatch):
    seen = {}
    build = FakeTemplateVisitor

    def spy(message_ids, settings):
        seen["settings"] = settings
        return build(message_ids, settings)

    monkeypatch.setattr(templates, "build_transformer_visitor", spy, raising=False)
    rel = "ledger/templates/ledger/entry_list.html"
    suggest.suggest_fixes([finding(shop / rel, 3, "C7001")], str(shop))
    assert seen["settings"] == {"STATIC_URL": "/assets/"}
