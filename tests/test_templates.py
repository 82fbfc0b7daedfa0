"""Template rules: hard-coded URLs (C7000, C7001), templates that cannot be checked, and
the rewrite of static URLs into static tags."""
import json
import logging
import textwrap

import pytest

from conftest import run_without_read_override
from vorlane.staticanalysis import checker
from vorlane.staticanalysis.checkers import templates

LOGGER = templates.__name__


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        ("", ""),
        ("/", False),
        ("//cdn.example/x.js", False),
        ("about/", False),
        ("https://example.com/", False),
        ("#top", False),
        ("{% url 'home' %}", False),
        ("{{ next }}", False),
        ("/about/", True),
        ("/{{ lang }}/home/", True),
        ("/static/css/site.css", True),
    ],
)
def test_is_hardcoded_path(value, expected):
    result = templates.is_hardcoded_path(value)
    assert result == expected and type(result) is type(expected)


def check(tmp_path, text):
    path = tmp_path / "page.html"
    path.write_text(textwrap.dedent(text))
    linter = templates.Checker()
    linter.check([str(path)])
    assert all(r["path"] == str(path) for r in linter.messages)
    return [
        (r["line"], r["column"], r["message-id"], r["message"]) for r in linter.messages
    ]


def static(value):
    return {"path": value}


SRC_ELEMENTS = ["audio", "embed", "img", "input", "script", "source", "track", "video"]


@pytest.mark.parametrize(
    "text, expected",
    [
        ('<p>\n  <a href="/about/">About</a>\n</p>\n', [(2, 2, "C7000", {})]),
        (
            '<a href="/">x</a><a href="//x.js"></a><a href="about/"></a>\n'
            '<a href="#top"></a><a href="{% url \'home\' %}"></a><a href></a>',
            [],
        ),
        ('<a href="/{{ lang }}/home/">', [(1, 0, "C7000", {})]),
        (
            '<link rel="stylesheet" href="/static/css/site.css">\n'
            '<link rel="canonical" href="/about/">\n'
            '<img src="/media/photo.png">',
            [
                (1, 0, "C7001", static("/static/css/site.css")),
                (2, 0, "C7001", static("/about/")),
                (3, 0, "C7001", static("/media/photo.png")),
            ],
        ),
        (
            "\n".join(f'<{tag} src="/{tag}.x"></{tag}>' for tag in SRC_ELEMENTS),
            [
                (line, 0, "C7001", static(f"/{tag}.x"))
                for line, tag in enumerate(SRC_ELEMENTS, 1)
            ],
        ),
        (
            '<img src><img src="">\n<IMG SRC="/x.png"> <img src="/y.png"/>',
            [
                (2, 0, "C7001", static("/x.png")),
                (2, 19, "C7001", static("/y.png")),
            ],
        ),
        ('<div src="/x.png"></div><a src="/x.png"></a><img href="/x.png">', []),
        (
            '<img src="/a.png" src="/b.png">',
            [(1, 0, "C7001", static("/a.png")), (1, 0, "C7001", static("/b.png"))],
        ),
        ('<p>text</p>\n<a href="/unfinished/"', []),
    ],
    ids=[
        "a-href",
        "a-href-not-site-paths",
        "template-variable-after-slash",
        "link-and-img-whatever-the-path",
        "every-src-element",
        "src-values-case-and-self-closing",
        "other-tags-and-attributes",
        "two-attributes-one-tag",
        "unfinished-tag",
    ],
)
def test_hard_coded_urls(tmp_path, text, expected):
    assert check(tmp_path, text) == expected


def test_records_are_in_the_template_layout(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "page.html").write_text('<a href="/a/">\n<img src="/b.png">')
    linter = templates.Checker()
    linter.check(["./t/page.html"])
    assert linter.messages == [
        {
            "path": "./t/page.html",
            "line": 1,
            "message": {},
            "type": None,
            "column": 0,
            "module": None,
            "symbol": None,
            "hint": None,
            "message-id": "C7000",
        },
        {
            "path": "./t/page.html",
            "line": 2,
            "message": {"path": "/b.png"},
            "type": None,
            "column": 0,
            "module": None,
            "symbol": None,
            "hint": None,
            "message-id": "C7001",
        },
    ]
    assert [list(r) for r in linter.messages] == [list(linter.messages[0])] * 2
    assert templates.Checker.visit_img is templates.Checker.visit_element_with_src
    json.dumps(linter.messages)


# --- Templates that cannot be checked ------------------------------------------------


def write_bad(tmp_path, kind):
    """A template of the given kind below tmp_path; answers its path and the text the
    log line must hold (None: skipped without a log line)."""
    path = tmp_path / "bad.html"
    if kind == "missing":
        return str(path), "No such file"
    if kind == "directory":
        path.mkdir()
        return str(path), "Is a directory"
    if kind == "undecodable":
        path.write_bytes(b'\xff\xfe<a href="/never/">')
        return str(path), None
    # The parser rejects the marked section, after a finding it already reported.
    path.write_text('<a href="/dropped/">\n<![foo bar]>\n<a href="/never/">')
    return str(path), "unknown status keyword"


@pytest.mark.parametrize("kind", ["missing", "directory", "undecodable", "rejected"])
def test_template_that_cannot_be_checked_is_skipped(tmp_path, caplog, kind):
    (tmp_path / "one.html").write_text('<a href="/one/">')
    (tmp_path / "two.html").write_text('\n<img src="/two.png">')
    bad, reason = write_bad(tmp_path, kind)
    files = [str(tmp_path / "one.html"), bad, str(tmp_path / "two.html")]
    linter = templates.Checker()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        linter.check(files)
    # The later template starts afresh at line 1: the parser was reset.
    assert [(r["path"], r["line"]) for r in linter.messages] == [
        (files[0], 1),
        (files[2], 2),
    ]
    logged = [r for r in caplog.records if r.name == LOGGER]
    if reason is None:
        assert logged == []
    else:
        assert len(logged) == 1 and logged[0].levelno == logging.WARNING
        assert bad in logged[0].getMessage() and reason in logged[0].getMessage()


def test_bad_templates_do_not_end_a_project_run(tmp_path, caplog):
    (tmp_path / "good.html").write_text('<a href="/good/">')
    files = {str(tmp_path / "good.html"): None}
    for kind in ("missing", "rejected"):
        sub = tmp_path / kind
        sub.mkdir()
        files[write_bad(sub, kind)[0]] = None
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        records = checker.get_html_messages(files)
    assert [r["path"] for r in records] == [str(tmp_path / "good.html")]
    assert len([r for r in caplog.records if r.name == LOGGER]) == 2


UNREADABLE_SCRIPT = """
import json, logging, sys
from vorlane.staticanalysis.checkers import templates
logging.basicConfig(level=logging.WARNING, stream=sys.stderr, format="%(levelname)s %(message)s")
linter = templates.Checker()
linter.check(sys.argv[1:])
print(json.dumps([r["path"] for r in linter.messages]))
"""


def test_template_without_read_permission_is_skipped(tmp_path):
    """Run in a child that cannot override file permissions: as root, with the
    capabilities that would let it read anything dropped."""
    locked = tmp_path / "locked.html"
    locked.write_text('<a href="/locked/">')
    locked.chmod(0)
    (tmp_path / "open.html").write_text('<a href="/open/">')
    run = run_without_read_override(UNREADABLE_SCRIPT, locked, tmp_path / "open.html")
    assert json.loads(run.stdout) == [str(tmp_path / "open.html")]
    assert f"WARNING Skipping template {locked}" in run.stderr
    assert "Permission denied" in run.stderr


# --- Static-URL rewrite ----------------------------------------------------------------


def rewrite(line, static_url="/static/", codes=("C7001",)):
    visitor = templates.build_transformer_visitor(
        message_ids=set(codes), settings={"STATIC_URL": static_url}
    )
    return visitor.visit(html=line)


@pytest.mark.parametrize(
    "before, after",
    [
        (
            '<img src="/static/img/logo.png" alt="Logo">',
            '<img src=\'{% static "img/logo.png" %}\' alt="Logo">',
        ),
        (
            '<link href="/static/css/site.css" rel="stylesheet">',
            '<link href=\'{% static "css/site.css" %}\' rel="stylesheet">',
        ),
        (
            "<img src='/static/a.png'>",
            "<img src='{% static \"a.png\" %}'>",
        ),
        (
            '<link href="/static/a.css"><script src="/static/b.js"></script>',
            "<link href='{% static \"a.css\" %}'><script src='{% static \"b.js\" %}'>"
            "</script>",
        ),
        (
            '<img src="/static/a.png"><img src="/static/a.png">',
            "<img src='{% static \"a.png\" %}'><img src='{% static \"a.png\" %}'>",
        ),
        (
            '<img src><img src="/static/a.png">',
            "<img src><img src='{% static \"a.png\" %}'>",
        ),
        # Only the leading STATIC_URL goes; values that merely hold it stay.
        (
            '<img src="/static/css/static/x.css">',
            "<img src='{% static \"css/static/x.css\" %}'>",
        ),
        ('<img src="/media/static/a.png">', None),
        ('<img src="/media/a.png">', None),
        ('<img src="https://cdn.example/static/a.png">', None),
        ('<link href="static/a.css"><link href="https://x/static/a.css">', None),
        # A value that stands inside a longer URL is not that value.
        (
            '<script src="/static/app.js"></script><a href="/static/app.js?v=2">',
            '<script src=\'{% static "app.js" %}\'></script><a href="/static/app.js?v=2">',
        ),
        (
            '<img src="/static/a.png"><img src="/media/static/a.png">',
            '<img src=\'{% static "a.png" %}\'><img src="/media/static/a.png">',
        ),
        ('<img src="/x.png"> /static/a.png/static/a.png', None),
        # Occurrences that are not in quotes keep their neighbours.
        (
            '/static/a.png <img src="/static/a.png">',
            "'{% static \"a.png\" %}' <img src='{% static \"a.png\" %}'>",
        ),
        (
            '<img src="/static/a.png"> see /static/a.png here',
            "<img src='{% static \"a.png\" %}'> see '{% static \"a.png\" %}' here",
        ),
        (
            "<img src=/static/a.png alt=x>",
            "<img src='{% static \"a.png\" %}' alt=x>",
        ),
        # Paths a static tag cannot carry as a file name.
        ('<script src="/static/app.js?v=2"></script>', None),
        ('<img src="/static/{{ name }}.png">', None),
        ('<img src="/static/{% cycle a b %}.png">', None),
        ('<img src="/static/icons.svg#home">', None),
        ('<img src="/static/it\'s.png">', None),
        # Only complete start tags are collected; a rejected rest ends the collection.
        ('<img src="/static/a.png"', None),
        (
            '<img src="/static/a.png"><![ x',
            "<img src='{% static \"a.png\" %}'><![ x",
        ),
    ],
    ids=[
        "img",
        "link",
        "single-quotes",
        "link-and-script",
        "same-value-twice",
        "src-without-value",
        "leading-prefix-only",
        "prefix-in-the-middle",
        "media",
        "src-with-scheme",
        "relative-and-scheme-links",
        "value-inside-longer-url",
        "value-inside-other-value",
        "back-to-back",
        "at-start-of-text",
        "text-occurrence",
        "unquoted-value",
        "query",
        "template-variable",
        "template-tag",
        "fragment",
        "quote-in-path",
        "incomplete-tag",
        "parser-rejects-rest",
    ],
)
def test_static_url_rewrite(before, after):
    assert rewrite(before) == (before if after is None else after)


def test_rewrite_follows_static_url_and_codes():
    line = '<img src="https://cdn.example/assets/a.png">'
    assert rewrite(line, static_url="https://cdn.example/assets/") == (
        "<img src='{% static \"a.png\" %}'>"
    )
    line = '<img src="/static/a.png">'
    assert rewrite(line, codes=["C7000"]) == line
    assert rewrite(line, static_url="") == line
    assert templates.Visitor(settings={}).visit(html=line) == line
    with pytest.raises(KeyError, match="STATIC_URL"):
        templates.build_transformer_visitor(message_ids=["C7001"], settings={}).visit(
            html=line
        )
    # Nothing collected: the settings are never read.
    empty = templates.build_transformer_visitor(message_ids=["C7001"], settings={})
    assert empty.visit(html="<p>/static/a.png</p>") == "<p>/static/a.png</p>"


def test_visitor_runs_its_mutators_in_order(monkeypatch):
    calls = []

    def mutator(html, visitor):
        calls.append((html, visitor))
        return html + "!"

    monkeypatch.setattr(templates, "hard_coded_static_url_to_static_tag", mutator)
    settings = {"STATIC_URL": "/static/"}
    visitor = templates.build_transformer_visitor(
        message_ids=["C7001", "C7000", "C7001"], settings=settings
    )
    assert isinstance(visitor, templates.Visitor) and visitor.settings is settings
    assert visitor.mutators == [mutator, mutator]
    assert visitor.visit(html="<p>") == "<p>!!"
    assert calls == [("<p>", visitor), ("<p>!", visitor)]


def test_collector_gathers_src_and_site_link_values():
    collector = templates.HardCodedStaticUrlToStaticTagHTMLMutator()
    assert isinstance(collector, templates.BaseHTMLMutator) and collector.results == []
    collector.feed(
        '<img src="/a.png"><script src="x.js"></script><video src=""><img src>'
        '<link href="/s.css"><link href="s.css"><link href=""><a href="/x/">'
    )
    assert collector.results == ["/a.png", "x.js", "", "/s.css"]
    assert templates.HardCodedStaticUrlToStaticTagHTMLMutator.visit_source is (
        templates.HardCodedStaticUrlToStaticTagHTMLMutator.visit_element_with_src
    )

    class Titles(templates.BaseHTMLMutator):
        def visit_p(self, attrs):
            self.results.extend(value for name, value in attrs if name == "title")

    titles = Titles(convert_charrefs=False)
    assert titles.convert_charrefs is False
    titles.feed('<p title="a"><P TITLE="b"><div title="c">')
    assert titles.results == ["a", "b"]
