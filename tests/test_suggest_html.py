"""Fix suggestions for template rows: the rewritten row and the line that loads the
static tags."""
import pytest

from vorlane.staticanalysis import suggest
from vorlane.staticanalysis.checkers import templates

SETTINGS = {"STATIC_URL": "/static/"}
LOAD = "{% load static %}"


class StaticVisitor:
    """The template rewrite's call shape: a quoted value under STATIC_URL becomes a
    static tag (C7001 only). Records the rows it is given."""

    rows = []

    def __init__(self, message_ids, settings):
        self.message_ids, self.settings = message_ids, settings

    def visit(self, html):
        StaticVisitor.rows.append(html)
        if "C7001" not in self.message_ids:
            return html
        head = '"' + self.settings["STATIC_URL"]
        while head in html:
            start = html.index(head)
            end = html.index('"', start + 1)
            path = html[start + len(head) : end]
            html = html[:start] + "'{% static \"" + path + "\" %}'" + html[end + 1 :]
        return html


@pytest.fixture(autouse=True)
def static_visitor(monkeypatch):
    StaticVisitor.rows = []
    monkeypatch.setattr(
        templates,
        "build_transformer_visitor",
        lambda message_ids, settings: StaticVisitor(message_ids, settings),
        raising=False,
    )
    return StaticVisitor


def rows(text):
    return text.splitlines(keepends=True)


def items(text, line, codes=("C7001",), settings=SETTINGS):
    return suggest.get_suggestions_for_html(
        code_lines=rows(text), line=line, message_ids=set(codes), settings=settings
    )


IMG = '<img src="/static/a.png">'
TAG = "<img src='{% static \"a.png\" %}'>"


@pytest.mark.parametrize(
    "text, line, codes, settings, expected",
    [
        # The row keeps its indentation, loses its line ending and trailing blanks.
        (
            f"<html>\n    {IMG}   \n",
            2,
            {"C7001"},
            SETTINGS,
            [(2, 2, f"    {TAG}"), (1, 1, f"{LOAD}\n<html>")],
        ),
        # Nothing to rewrite: no item, and no load line either.
        (f"<html>\n{IMG}\n", 2, {"C7000"}, SETTINGS, []),
        (f"<html>\n{IMG}\n", 2, {"C7001"}, {"STATIC_URL": ""}, []),
        (f"<html>\n{IMG}\n", 2, {"C7001"}, {"STATIC_URL": None}, []),
        ('<html>\n<img src="/media/a.png">\n', 2, {"C7001"}, SETTINGS, []),
        # The tags are loaded already.
        (f"{LOAD}\n{IMG}\n", 2, {"C7001"}, SETTINGS, [(2, 2, TAG)]),
        # After the row where the extends tag ends: Django wants extends first.
        (
            f'{{% extends "base.html" %}}\n{{% block a %}}\n{IMG}\n',
            3,
            {"C7001"},
            SETTINGS,
            [(3, 3, TAG), (2, 2, f"{LOAD}\n{{% block a %}}")],
        ),
        (
            f'{{# page #}}\n\n{{%  extends\n  "base.html" %}}\n  <p>\n{IMG}\n',
            6,
            {"C7001"},
            SETTINGS,
            [(6, 6, TAG), (5, 5, f"{LOAD}\n  <p>")],
        ),
        # The row the load line goes before comes back exactly as it was.
        (
            f'{{% extends "base.html" %}}\n\t{{% block a %}}  \r\n{IMG}\n',
            3,
            {"C7001"},
            SETTINGS,
            [(3, 3, TAG), (2, 2, f"{LOAD}\n\t{{% block a %}}  ")],
        ),
        # The extends tag on the last row: no row to put the load line before.
        (
            f'{IMG}\n{{% extends "base.html" %}}\n',
            1,
            {"C7001"},
            SETTINGS,
            [(1, 1, TAG)],
        ),
        # The load line goes before the finding's own row: one item for both.
        (f"{IMG}\n<p>\n", 1, {"C7001"}, SETTINGS, [(1, 1, f"{LOAD}\n{TAG}")]),
        # The row it goes before has a static URL too: the load item holds that row as
        # its own line rewrites it, so the two items never undo each other.
        (
            f"{IMG}\n<p>\n{IMG}\n",
            3,
            {"C7001"},
            SETTINGS,
            [(3, 3, TAG), (1, 1, f"{LOAD}\n{TAG}")],
        ),
        (
            f'{{% extends "b.html" %}}\n  {IMG}\n',
            2,
            {"C7001"},
            SETTINGS,
            [(2, 2, f"{LOAD}\n  {TAG}")],
        ),
    ],
    ids=[
        "indented-row",
        "other-code",
        "empty-static-url",
        "no-static-url",
        "not-under-static-url",
        "already-loaded",
        "after-extends",
        "after-extends-spanning-rows",
        "load-row-kept-as-it-was",
        "extends-on-last-row",
        "load-on-finding-row",
        "load-row-rewritten-too",
        "load-on-finding-row-after-extends",
    ],
)
def test_template_items(text, line, codes, settings, expected):
    assert items(text, line, codes, settings) == expected


@pytest.mark.parametrize("line", [0, -1, 3, 99])
def test_rows_outside_the_template_give_nothing(static_visitor, line):
    assert items(f"<p>\n{IMG}\n", line) == []
    assert static_visitor.rows == []  # nothing read, nothing rewritten


@pytest.mark.parametrize("line", [0, -1, 3])
def test_read_code_line_never_reads_from_the_end(line):
    with pytest.raises(IndexError):
        suggest.read_code_line(rows("<p>\n<b>\n"), line)


def test_read_code_line():
    assert suggest.read_code_line(["  \t<p> x \n"], 1) == ("<p> x \n", "  \t")
    assert suggest.read_code_line(["<p>"], line_number=1) == ("<p>", "")


@pytest.mark.parametrize(
    "text, expected",
    [("    x", "    "), ("\t x\n", "\t "), ("x  ", ""), ("", ""), ("  \n", "  \n")],
)
def test_get_indentation(text, expected):
    assert suggest.get_indentation(text) == expected


@pytest.mark.parametrize(
    "content, expected",
    [
        ("<p>", 0),
        ('{% extends "b.html" %}\n<p>', 1),
        ('<p>\n{% extends "b.html" %}\n<p>', 2),
        # Loaded, once whitespace runs are collapsed.
        ("{%  load   static %}", None),
        ("{% load\nstatic %}", None),
        ("{% load static from staticfiles %}", None),
        ("{% load staticfiles %}", None),
        # Not the load tag as written.
        ("{%load static%}", 0),
        ("{% load static i18n %}", 0),
    ],
)
def test_insertion_point(content, expected):
    assert suggest.get_staticfile_template_tag_insertion_point(content) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("  <html>\n<p>\n", (0, "<html>")),
        ('{% extends "b.html" %}\n  <p> \n', (1, "<p>")),
        ('{% extends "b.html" %}', (None, None)),
        (f"{LOAD}\n<p>\n", (None, None)),
    ],
)
def test_insertion_point_and_current(text, expected):
    assert (
        suggest.get_staticfile_template_tag_insertion_point_and_current(rows(text))
        == expected
    )


def test_suggestion_for_html_skips_the_rewrite_without_static_url(static_visitor):
    assert (
        suggest.get_suggestion_for_html("  <p> \n", {"C7001"}, {"STATIC_URL": ""})
        == "<p>"
    )
    assert static_visitor.rows == []
    assert suggest.get_suggestion_for_html(f" {IMG}\n", {"C7001"}, SETTINGS) == TAG
