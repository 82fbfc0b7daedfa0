"""Fix suggestions from the rule modules' own rewrites, through suggest.suggest_fixes.

Each table row writes one module (or template) into the fixture project
tests/projects/suggest_shop, hands suggest_fixes the row's findings as finding comments
and compares the suggestion blocks it gets back. Every row's file is black-formatted
under the project's style (but where a row shows what black would change); applied,
the suggestions must leave a file that parses and whose suggested rows black keeps.
"""
import ast
import itertools
import logging
import shutil
import textwrap
from pathlib import Path

import black
import pytest

from vorlane.staticanalysis import checker, constants, suggest
from vorlane.staticanalysis.checkers import templates, urls

from conftest import PROJECTS, forget_project
from suggest_support import apply_items, finding, items_of

MODE = black.FileMode(line_length=79, target_versions={black.TargetVersion.PY38})
CASES = itertools.count()
SKIP = constants.SKIP_LINE_ID


@pytest.fixture
def shop(linted_project, monkeypatch):
    """The fixture project, linted once per module and importable during the test."""
    project = linted_project("suggest_shop")
    monkeypatch.syspath_prepend(str(project.root))
    return project


def fixed(path, findings, root):
    """suggest_fixes over findings [(row, code)] of one file: the (start, end, text) of
    its suggestion blocks in output order. The file is not written; the suggestions,
    applied to its text, must give code that parses and that black leaves alone."""
    before = path.read_text()
    comments = [finding(path, row, code) for row, code in findings]
    result = suggest.suggest_fixes(comments, str(root))
    assert path.read_text() == before
    items = items_of(result, path)
    if path.suffix == ".py" and items:
        after = apply_items(before, items)
        ast.parse(after)
        formatted = black.format_str(after, mode=MODE)
        for _, _, text in items:
            assert text in formatted  # black keeps each suggestion as it is
        if black.format_str(before, mode=MODE) == before:
            assert formatted == after
    return items


def lint_codes(shop, path):
    """(row, code) of what the linter reports on one module of the shop."""
    records = checker.get_messages(str(shop.root), {str(path): None})
    return sorted((r["line"], r["message-id"]) for r in records if "line" in r)


def relinted(shop, path, items):
    """The module with the suggestions applied, written as a module of its own beside
    it, and what the linter reports there."""
    after = path.with_name(f"case_{next(CASES)}.py")
    after.write_text(apply_items(path.read_text(), items))
    return lint_codes(shop, after)


def python_case(shop, folder, source, findings):
    """Writes source as a new module of the ledger app (its own name, so astroid builds
    it afresh) and answers its suggestions."""
    source = textwrap.dedent(source)
    path = shop.root / folder / f"case_{next(CASES)}.py"
    path.write_text(source)
    return fixed(path, findings, shop.root)


# --- Model fields --------------------------------------------------------------------

MODEL = """\
from django.db import models


class Item(models.Model):
{body}
"""


@pytest.mark.parametrize(
    "body, findings, expected",
    [
        (
            "flag = models.NullBooleanField()",
            [(5, "C2008")],
            [(5, 5, "    flag = models.BooleanField(null=True)")],
        ),
        (
            "notes = models.CharField(max_length=1000, blank=True)",
            [(5, "C2006")],
            [(5, 5, "    notes = models.TextField(blank=True)")],
        ),
        (
            "memo = models.CharField(max_length=20, null=False, blank=False)",
            [(5, "C2002"), (5, "C2002")],
            [(5, 5, "    memo = models.CharField(max_length=20)")],
        ),
        (
            "amount = models.IntegerField(null=True)",
            [(5, "C2003")],
            [(5, 5, "    amount = models.IntegerField(null=True, blank=True)")],
        ),
        (
            "name = models.CharField(max_length=10, null=True)",
            [(5, "C2000")],
            [
                (
                    5,
                    5,
                    '    name = models.CharField(max_length=10, default="", blank=True)',
                )
            ],
        ),
        # Two codes of one call, whichever rewrite runs first.
        (
            "title = models.CharField(max_length=1000, null=True)",
            [(5, "C2006"), (5, "C2000")],
            [(5, 5, '    title = models.TextField(default="", blank=True)')],
        ),
        # Flagged, but a unique field may not default to "": left as it is.
        (
            "code = models.CharField(max_length=10, null=True, unique=True)",
            [(5, "C2000")],
            [],
        ),
        # The same-row comment stays behind the statement, which black then splits.
        (
            "name = models.CharField(max_length=80, null=True)  # shown on statements",
            [(5, "C2000")],
            [
                (
                    5,
                    5,
                    "    name = models.CharField(\n"
                    '        max_length=80, default="", blank=True\n'
                    "    )  # shown on statements",
                )
            ],
        ),
        # The trailing comma keeps black from joining the rows.
        (
            "label = models.CharField(\n    max_length=10,\n    null=True,\n)",
            [(5, "C2000")],
            [
                (
                    5,
                    8,
                    "    label = models.CharField(\n"
                    "        max_length=10,\n"
                    '        default="",\n'
                    "        blank=True,\n"
                    "    )",
                )
            ],
        ),
        # A comment among the keywords would be lost with its rows.
        (
            "label = models.CharField(\n    max_length=10,\n    null=True,  # old rows\n)",
            [(5, "C2000")],
            [],
        ),
    ],
    ids=[
        "nullboolean",
        "huge-charfield",
        "redundant-defaults",
        "blank-for-null",
        "null-string",
        "two-codes",
        "unique-left-alone",
        "comment-kept",
        "trailing-comma-kept",
        "comment-inside",
    ],
)
def test_model_field_rewrites(shop, body, findings, expected):
    body = textwrap.indent(body, "    ")
    assert python_case(shop, "ledger", MODEL.format(body=body), findings) == expected


# --- QuerySets -----------------------------------------------------------------------

VIEW = """\
from .models import Account, Entry


def view(request):
    entries = Entry.objects.filter(amount__gt=0)
{body}
"""


def view_case(shop, body, findings):
    body = textwrap.indent(textwrap.dedent(body).rstrip("\n"), "    ")
    return python_case(shop, "ledger", VIEW.format(body=body), findings)


@pytest.mark.parametrize(
    "body, findings, expected",
    [
        ("n = len(entries)", [(6, "C9000")], [(6, 6, "    n = entries.count()")]),
        (
            "n = len(entries)  # all rows",
            [(6, "C9000")],
            [(6, 6, "    n = entries.count()  # all rows")],
        ),
        (
            "empty = entries.count() == 0",
            [(6, "C9002")],
            [(6, 6, "    empty = not entries.exists()")],
        ),
        (
            "full = not entries.count() == 0",
            [(6, "C9002")],
            [(6, 6, "    full = entries.exists()")],
        ),
        # Two codes of one line: the len() call first, then the comparison over it.
        (
            "full = len(entries) > 0",
            [(6, "C9000"), (6, "C9002")],
            [(6, 6, "    full = entries.exists()")],
        ),
        ("full = len(entries) > 0", [(6, "C9002")], []),
        (
            "account_id = Entry.objects.first().account.id",
            [(6, "C9001")],
            [(6, 6, "    account_id = Entry.objects.first().account_id")],
        ),
        ("n = len([1, 2])", [(6, "C9000")], []),
        # Compound statements: the header alone, its keyword and comment kept.
        (
            "if entries:  # any\n    return None",
            [(6, "C9003")],
            [(6, 6, "    if entries.exists():  # any")],
        ),
        (
            "if not entries.count():\n    return None",
            [(6, "C9002")],
            [(6, 6, "    if not entries.exists():")],
        ),
        (
            "if entries.count():\n    return None",
            [(6, "C9002"), (6, "C9003")],
            [(6, 6, "    if entries.exists():")],
        ),
        (
            "if request:\n    pass\nelif entries:  # none yet\n"
            "    n = len(Entry.objects.all())  # rows\n\n    # the body stays\n"
            "    return n",
            [(8, "C9003"), (9, "C9000")],
            [
                (8, 8, "    elif entries.exists():  # none yet"),
                (9, 9, "        n = Entry.objects.all().count()  # rows"),
            ],
        ),
        # Rows: another statement on the row; a string that ends rows later; a
        # same-row comment kept behind the statement, never inside its brackets.
        ("a = 1; n = len(entries)", [(6, "C9000")], []),
        (
            'n = len(entries), """rows\nof text"""',
            [(6, "C9000")],
            [(6, 7, '    n = (entries.count(), "rows\\n    of text")')],
        ),
        (
            "pair = request, len(entries)  # shown",
            [(6, "C9000")],
            [(6, 6, "    pair = (request, entries.count())  # shown")],
        ),
        # Two findings of one statement on rows of their own: the second line's fix
        # holds the first's edit too, and takes the place of its block.
        (
            "context = {\n"
            '    "total": len(entries),\n'
            '    "empty": not Entry.objects.all(),\n'
            "}  # shown",
            [(7, "C9000"), (8, "C9003")],
            [
                (
                    6,
                    9,
                    "    context = {\n"
                    '        "total": entries.count(),\n'
                    '        "empty": not Entry.objects.all().exists(),\n'
                    "    }  # shown",
                )
            ],
        ),
        # A comment inside the statement would go with its rows: no fix.
        ("n = max(\n    len(entries),  # rows\n    1,\n)", [(7, "C9000")], []),
        # Formatted for its indentation: black, run on the file, keeps it as it is.
        (
            'context = {"entries": entries, "total": len(entries), "title": "All rows"}',
            [(6, "C9000")],
            [
                (
                    6,
                    6,
                    "    context = {\n"
                    '        "entries": entries,\n'
                    '        "total": entries.count(),\n'
                    '        "title": "All rows",\n'
                    "    }",
                )
            ],
        ),
    ],
    ids=[
        "len",
        "len-comment",
        "count-equals-zero",
        "not-count-equals-zero",
        "len-compared",
        "len-compared-without-C9000",
        "fk-id",
        "len-of-list",
        "if-bare",
        "if-not-count",
        "if-count-both-codes",
        "elif-and-its-body",
        "shared-row",
        "string-ends-later",
        "comment-not-in-brackets",
        "two-rows-of-one-statement",
        "comment-inside",
        "split-for-indentation",
    ],
)
def test_queryset_rewrites(shop, body, findings, expected):
    assert view_case(shop, body, findings) == expected


# f-strings: the nodes of a replacement field carry no tokens of their own.
@pytest.mark.parametrize(
    "body, findings, expected",
    [
        (
            'label = f"{len(entries)} entries"',
            [(6, "C9000")],
            [(6, 6, '    label = f"{entries.count()} entries"')],
        ),
        (
            'label = f"{entries.count() > 0}"',
            [(6, "C9002")],
            [(6, 6, '    label = f"{entries.exists()}"')],
        ),
        (
            'label = f"{not entries}"',
            [(6, "C9003")],
            [(6, 6, '    label = f"{not entries.exists()}"')],
        ),
        (
            'label = f"{Entry.objects.first().account.id}"',
            [(6, "C9001")],
            [(6, 6, '    label = f"{Entry.objects.first().account_id}"')],
        ),
        # Conversion and format spec kept; quotes the rendering cannot change stay.
        (
            'label = f"{len(entries)!r:>10} rows"',
            [(6, "C9000")],
            [(6, 6, '    label = f"{entries.count()!r:>10} rows"')],
        ),
        (
            "label = f'{len(entries)} \"rows\"'",
            [(6, "C9000")],
            [(6, 6, "    label = f'{entries.count()} \"rows\"'")],
        ),
        # A field that starts with a brace would render as an escaped brace: no fix.
        ("label = f\"{ {'n': len(entries)}['n'] }\"", [(6, "C9000")], []),
        # Control: the same rewrite outside an f-string.
        ("n = len(entries)", [(6, "C9000")], [(6, 6, "    n = entries.count()")]),
    ],
    ids=[
        "len",
        "count-compared",
        "not-queryset",
        "fk-id",
        "conversion-and-spec",
        "quotes-inside",
        "field-starts-with-brace",
        "control-no-fstring",
    ],
)
def test_queryset_rewrites_inside_fstrings(shop, body, findings, expected):
    body = textwrap.indent(body, "    ")
    path = shop.root / "ledger" / f"case_{next(CASES)}.py"
    path.write_text(VIEW.format(body=body))
    reported = lint_codes(shop, path)
    assert set(findings) <= set(reported)
    items = fixed(path, findings, shop.root)
    assert items == expected
    left = relinted(shop, path, items)
    for row, code in findings:
        assert ((row, code) in left) == (not expected)


def test_every_family_inside_fstrings(shop):
    """A field whose help text counts a QuerySet, a reverse_lazy call and a model field
    inside f-strings, and a migration operation with an f-string argument: each gets
    its fix, the f-strings kept, and the fixed module lints clean of them."""
    models = shop.root / "ledger" / f"case_{next(CASES)}.py"
    models.write_text(
        "from django.db import models\n"
        "\n"
        "\n"
        "class Item(models.Model):\n"
        "    title = models.CharField(\n"
        '        max_length=10, null=True, help_text=f"{len(Item.objects.all())}"\n'
        "    )\n"
        '    label = f"{models.NullBooleanField()}"\n'
    )
    assert lint_codes(shop, models) == [(5, "C2000"), (6, "C9000"), (8, "C2008")]
    items = fixed(models, [(5, "C2000"), (6, "C9000"), (8, "C2008")], shop.root)
    assert items == [
        (
            5,
            7,
            "    title = models.CharField(\n"
            "        max_length=10,\n"
            '        default="",\n'
            '        help_text=f"{Item.objects.all().count()}",\n'
            "        blank=True,\n"
            "    )",
        ),
        (8, 8, '    label = f"{models.BooleanField(null=True)}"'),
    ]
    assert relinted(shop, models, items) == []

    views = shop.root / "ledger" / f"case_{next(CASES)}.py"
    views.write_text(
        "from django.shortcuts import redirect\n"
        "from django.urls import reverse_lazy\n"
        "\n"
        "\n"
        "def go(request):\n"
        "    return redirect(f\"{reverse_lazy('entry-list')}?page=2\")\n"
    )
    assert lint_codes(shop, views) == [(6, "C6002")]
    items = fixed(views, [(6, "C6002")], shop.root)
    assert items == [
        (2, 2, "from django.urls import reverse"),
        (6, 6, "    return redirect(f\"{reverse('entry-list')}?page=2\")"),
    ]
    assert relinted(shop, views, items) == []

    migration = shop.root / "ledger/migrations" / f"case_{next(CASES)}.py"
    migration.write_text(
        MIGRATION.format(
            operations='[migrations.RunPython(forwards, hints={"n": f"{forwards!r}"})]'
        )
    )
    assert lint_codes(shop, migration) == [(12, "C8001")]
    items = fixed(migration, [(12, "C8001")], shop.root)
    assert items == [
        (
            12,
            12,
            "    operations = [\n"
            "        migrations.RunPython(\n"
            "            forwards,\n"
            '            hints={"n": f"{forwards!r}"},\n'
            "            reverse_code=migrations.RunPython.noop,\n"
            "        )\n"
            "    ]",
        )
    ]
    assert relinted(shop, migration, items) == []


# --- URLs ------------------------------------------------------------------------------

REDIRECTS = """\
from django.shortcuts import redirect
{imports}


def go(request):
    return redirect(reverse_lazy("entry-list"))
{more}
"""


@pytest.mark.parametrize(
    "imports, more, expected_import, expected_call",
    [
        (
            "from django.urls import path, reverse_lazy",
            "",
            "from django.urls import path, reverse",
            '    return redirect(reverse("entry-list"))',
        ),
        # A fit use of reverse_lazy elsewhere keeps it imported.
        (
            "from django.urls import path, reverse_lazy",
            '\n\nSUCCESS_URL = reverse_lazy("entry-list")',
            "from django.urls import path, reverse, reverse_lazy",
            '    return redirect(reverse("entry-list"))',
        ),
        # The import's same-row comment stays with it.
        (
            "from django.urls import reverse_lazy  # noqa: F401",
            "",
            "from django.urls import reverse  # noqa: F401",
            '    return redirect(reverse("entry-list"))',
        ),
        (
            "from django.urls import (\n    include,\n    path,\n    reverse_lazy,\n)",
            "",
            "from django.urls import (\n    include,\n    path,\n    reverse,\n)",
            '    return redirect(reverse("entry-list"))',
        ),
        # reverse bound already, under its own name: the import changes only by
        # losing reverse_lazy.
        (
            "from django.urls import reverse, reverse_lazy",
            "",
            "from django.urls import reverse",
            '    return redirect(reverse("entry-list"))',
        ),
        # The import would lose a comment: neither it nor the call that needs it.
        (
            "from django.urls import (  # urls\n    path,\n    reverse_lazy,\n)",
            "",
            None,
            None,
        ),
    ],
    ids=[
        "import",
        "fit-use-kept",
        "import-comment",
        "import-rows",
        "has-reverse",
        "import-comment-inside",
    ],
)
def test_reverse_lazy_rewrite(shop, imports, more, expected_import, expected_call):
    source = REDIRECTS.format(imports=imports, more=more)
    row = (
        source.split("\n").index('    return redirect(reverse_lazy("entry-list"))') + 1
    )
    import_rows = imports.count("\n") + 1
    items = python_case(shop, "ledger", source, [(row, "C6002")])
    if expected_import is None:
        assert items == []
    else:
        assert items == [
            (2, 1 + import_rows, expected_import),
            (row, row, expected_call),
        ]


def test_reverse_lazy_import_is_offered_once_per_file(shop):
    """Two lines of one file in one call: the import is fixed, and offered, with the
    first; the second line sees the fixed import and offers its call alone."""
    source = REDIRECTS.format(
        imports="from django.urls import reverse_lazy",
        more='\n\ndef back(request):\n    return redirect(reverse_lazy("entry-list"))',
    )
    assert python_case(shop, "ledger", source, [(6, "C6002"), (10, "C6002")]) == [
        (2, 2, "from django.urls import reverse"),
        (6, 6, '    return redirect(reverse("entry-list"))'),
        (10, 10, '    return redirect(reverse("entry-list"))'),
    ]


THREE_VIEWS = """\
from django.shortcuts import redirect
from django.urls import path, reverse_lazy


def a(request):
    return redirect({a})


def b(request):
    return redirect({b})


def c(request):
    return redirect({c})
"""
FIT = 'reverse_lazy("entry-list")'
KEPT = '\n        reverse_lazy("entry-list"),  # back to the list\n    '


@pytest.mark.parametrize(
    "calls, expected_import",
    [
        (
            {"a": KEPT, "b": FIT, "c": FIT},
            "from django.urls import path, reverse, reverse_lazy",
        ),
        (
            {"a": FIT, "b": KEPT, "c": FIT},
            "from django.urls import path, reverse, reverse_lazy",
        ),
        (
            {"a": FIT, "b": FIT, "c": KEPT},
            "from django.urls import path, reverse, reverse_lazy",
        ),
        # Control: every use fixed, reverse_lazy goes.
        ({"a": FIT, "b": FIT, "c": FIT}, "from django.urls import path, reverse"),
    ],
    ids=["first-left", "middle-left", "last-left", "control-all-fixed"],
)
def test_reverse_lazy_stays_imported_while_a_call_keeps_it(
    shop, calls, expected_import
):
    """A call whose statement holds a comment its rewrite cannot keep gets no block:
    with every block applied, its reverse_lazy must still be bound."""
    path = shop.root / "ledger" / f"case_{next(CASES)}.py"
    path.write_text(THREE_VIEWS.format(**calls))
    findings = lint_codes(shop, path)
    assert [code for _, code in findings] == ["C6002"] * 3
    items = fixed(path, findings, shop.root)
    assert [text for start, _, text in items if start == 2] == [expected_import]
    after = ast.parse(apply_items(path.read_text(), items))
    bound = {alias.name for node in after.body[:2] for alias in node.names}
    called = {
        node.func.id
        for node in ast.walk(after)
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
    }
    assert called <= bound
    left = relinted(shop, path, items)
    assert len(left) == (KEPT in calls.values())


def failing_on(module, monkeypatch, row):
    """Makes module's rewrites raise on the statement at row, after they have edited
    it (and, for reverse_lazy, the import): a fault in the middle of a line."""
    build = module.build_transformer_visitor

    class Visitor:
        def __init__(self, *args, **kwargs):
            self.real = build(*args, **kwargs)

        def visit(self, node):
            result = self.real.visit(node)
            if getattr(node, "lineno", None) == row:
                raise RuntimeError("rewrite fault")
            return result

    monkeypatch.setattr(module, "build_transformer_visitor", Visitor)


def test_a_line_that_raises_keeps_its_advice_and_ends_nothing(
    shop, monkeypatch, caplog
):
    """The statement of b raises after its rewrite edited it: b's comment keeps its
    advice without a block, logged once with path, row and codes; a and c, and the
    other files of the call, keep their fixes, and the tree is as b found it, so the
    import keeps reverse_lazy for b's call."""
    views = shop.root / "ledger" / f"case_{next(CASES)}.py"
    views.write_text(THREE_VIEWS.format(a=FIT, b=FIT, c=FIT))
    template = shop.root / "ledger/templates/ledger" / f"case_{next(CASES)}.html"
    template.write_text('<img src="/assets/a.png">\n<img src="/assets/b.png">\n')
    models = shop.root / "ledger" / f"case_{next(CASES)}.py"
    models.write_text(MODEL.format(body="    flag = models.NullBooleanField()"))
    failing_on(urls, monkeypatch, 10)
    build_template = templates.build_transformer_visitor

    def template_visitor(message_ids, settings):
        visitor = build_template(message_ids=message_ids, settings=settings)
        real = visitor.visit

        def visit(code):
            if "b.png" in code:
                raise ValueError("template fault")
            return real(code)

        visitor.visit = visit
        return visitor

    monkeypatch.setattr(templates, "build_transformer_visitor", template_visitor)
    comments = [
        finding(views, 6, "C6002", "a-advice"),
        finding(views, 10, "C6002", "b-advice"),
        finding(views, 10, "C9000", "b-more"),
        finding(views, 14, "C6002", "c-advice"),
        finding(template, 2, "C7001", "t2-advice"),
        finding(template, 1, "C7001", "t1-advice"),
        finding(models, 5, "C2008", "m-advice"),
    ]
    with caplog.at_level(logging.ERROR, logger="vorlane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(shop.root))

    faults = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert [r.getMessage() for r in faults] == [
        f"No fix suggestions for {views} line 10 (C6002, C9000): "
        "RuntimeError('rewrite fault')",
        f"No fix suggestions for {template} line 2 (C7001): "
        "ValueError('template fault')",
    ]
    assert all(r.exc_info for r in faults)
    bodies = {(c["path"], c["line"]): c["body"] for c in result}
    assert bodies[str(views), 10] == "b-advice\n\nb-more"
    assert bodies[str(template), 2] == "t2-advice"
    assert items_of(result, views) == [
        (2, 2, "from django.urls import path, reverse, reverse_lazy"),
        (6, 6, '    return redirect(reverse("entry-list"))'),
        (14, 14, '    return redirect(reverse("entry-list"))'),
    ]
    assert items_of(result, template) == [
        (1, 1, "{% load static %}\n<img src='{% static \"a.png\" %}'>")
    ]
    assert items_of(result, models) == [
        (5, 5, "    flag = models.BooleanField(null=True)")
    ]
    assert relinted(shop, views, items_of(result, views)) == [(10, "C6002")]


# --- Migrations ------------------------------------------------------------------------

MIGRATION = """\
from django.db import migrations


def forwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):

    dependencies = [("ledger", "0002_fill_names")]

    operations = {operations}
"""


@pytest.mark.parametrize(
    "operations, findings, expected",
    [
        (
            "[migrations.RunPython(forwards)]",
            [(12, "C8001")],
            [
                (
                    12,
                    12,
                    "    operations = [migrations.RunPython(forwards, "
                    "migrations.RunPython.noop)]",
                )
            ],
        ),
        (
            "[migrations.RunPython(code=forwards)]",
            [(12, "C8001")],
            [
                (
                    12,
                    12,
                    "    operations = [\n"
                    "        migrations.RunPython(\n"
                    "            code=forwards, reverse_code=migrations.RunPython.noop\n"
                    "        )\n"
                    "    ]",
                )
            ],
        ),
        # The finding inside the list: the statement starts above it, so the fix is a
        # comment of its own. Both flagged rows are fixed by the first line's rewrite;
        # the second line, seeing the edit, has nothing left to offer.
        (
            "[\n"
            "        migrations.RunPython(forwards, atomic=False),\n"
            "        migrations.RunPython(forwards),\n"
            "    ]",
            [(13, "C8001"), (14, "C8001")],
            [
                (
                    12,
                    15,
                    "    operations = [\n"
                    "        migrations.RunPython(\n"
                    "            forwards, atomic=False, "
                    "reverse_code=migrations.RunPython.noop\n"
                    "        ),\n"
                    "        migrations.RunPython(forwards, migrations.RunPython.noop),\n"
                    "    ]",
                )
            ],
        ),
        ("[migrations.RunPython(forwards, forwards)]", [(12, "C8001")], []),
        # A comment of the list would go with its rows.
        (
            "[\n"
            "        # Fill the names first.\n"
            "        migrations.RunPython(forwards),\n"
            "    ]",
            [(14, "C8001")],
            [],
        ),
    ],
    ids=["positional", "code-keyword", "inside-the-list", "has-reverse", "comment"],
)
def test_reverse_code_rewrite(shop, operations, findings, expected):
    source = MIGRATION.format(operations=operations)
    assert python_case(shop, "ledger/migrations", source, findings) == expected


OPERATIONS = """\
from django.db import migrations, models


def forwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):

    dependencies = [("ledger", "0002_fill_names")]

    operations = [
        migrations.CreateModel(
            name="Tag",
            fields=[
                ("id", models.AutoField(primary_key=True, serialize=False)),
                ("label", models.CharField(max_length=40)),
            ],
        ),
        migrations.AddField(
            model_name="entry",
            name="tag",
            field=models.ForeignKey(
                null=True,
                on_delete=models.SET_NULL,
                to="ledger.tag",
            ),
        ),
        migrations.RunPython(forwards),
        migrations.AlterField(
            model_name="entry",
            name="memo",
            field=models.CharField(blank=True, max_length=40),
        ),
    ]
"""


def test_one_operation_changed_leaves_the_other_rows_as_they_were(shop):
    """Adding the reverse code to one row of a black-formatted operations list: the
    block covers the statement, and every row but the changed one comes back as it
    stood."""
    source = OPERATIONS
    assert black.format_str(source, mode=MODE) == source
    rows = source.split("\n")
    row = rows.index("        migrations.RunPython(forwards),") + 1
    start = rows.index("    operations = [") + 1
    end = len(rows) - 1
    expected = rows[start - 1 : end]
    expected[
        row - start
    ] = "        migrations.RunPython(forwards, migrations.RunPython.noop),"
    path = shop.root / "ledger/migrations" / f"case_{next(CASES)}.py"
    path.write_text(source)
    assert lint_codes(shop, path) == [(row, "C8001")]
    items = fixed(path, [(row, "C8001")], shop.root)
    assert items == [(start, end, "\n".join(expected))]
    assert relinted(shop, path, items) == []


# --- Templates -------------------------------------------------------------------------

LOAD = "{% load static %}"


def template_case(shop, text, findings):
    path = shop.root / "ledger/templates/ledger" / f"case_{next(CASES)}.html"
    path.write_text(textwrap.dedent(text))
    items = fixed(path, findings, shop.root)
    return items, apply_items(path.read_text(), items)


# The shop's STATIC_URL is /assets/.
@pytest.mark.parametrize(
    "text, findings, expected",
    [
        # The load line goes after the row that holds the extends tag, as a comment of
        # its own; the finding's row takes the static tag.
        (
            '{% extends "ledger/base.html" %}\n'
            "{% block content %}\n"
            '  <img src="/assets/img/logo.png" alt="Ledger">\n'
            "{% endblock %}\n",
            [(3, "C7001")],
            '{% extends "ledger/base.html" %}\n'
            f"{LOAD}\n"
            "{% block content %}\n"
            '  <img src=\'{% static "img/logo.png" %}\' alt="Ledger">\n'
            "{% endblock %}\n",
        ),
        # The row the load line goes before comes back with its indentation.
        (
            '{% extends "ledger/base.html" %}\n'
            "  {% block content %}\n"
            '  <img src="/assets/img/logo.png" alt="Ledger">\n'
            "  {% endblock %}\n",
            [(3, "C7001")],
            '{% extends "ledger/base.html" %}\n'
            f"{LOAD}\n"
            "  {% block content %}\n"
            '  <img src=\'{% static "img/logo.png" %}\' alt="Ledger">\n'
            "  {% endblock %}\n",
        ),
        # An extends tag written over two rows: after the row where it ends.
        (
            "{% extends\n"
            '   "ledger/base.html" %}\n'
            '{% block content %}<img src="/assets/a.png">{% endblock %}\n',
            [(3, "C7001")],
            '{% extends\n   "ledger/base.html" %}\n'
            f"{LOAD}\n"
            "{% block content %}<img src='{% static \"a.png\" %}'>{% endblock %}\n",
        ),
        # No extends: before the first row; two findings offer the load line once.
        (
            "<head>\n"
            '  <link href="/assets/site.css" rel="stylesheet">\n'
            '  <script src="/assets/site.js"></script>\n'
            "</head>\n",
            [(2, "C7001"), (3, "C7001")],
            f"{LOAD}\n"
            "<head>\n"
            '  <link href=\'{% static "site.css" %}\' rel="stylesheet">\n'
            "  <script src='{% static \"site.js\" %}'></script>\n"
            "</head>\n",
        ),
        # The row the load line goes before has a finding of its own: both lines
        # offer that row the same text, in either order, as one block.
        (
            '<img src="/assets/a.png">\n<p>text</p>\n<img src="/assets/b.png">\n',
            [(3, "C7001"), (1, "C7001")],
            f"{LOAD}\n<img src='{{% static \"a.png\" %}}'>\n<p>text</p>\n"
            "<img src='{% static \"b.png\" %}'>\n",
        ),
        (
            '<img src="/assets/a.png">\n<p>text</p>\n<img src="/assets/b.png">\n',
            [(1, "C7001"), (3, "C7001")],
            f"{LOAD}\n<img src='{{% static \"a.png\" %}}'>\n<p>text</p>\n"
            "<img src='{% static \"b.png\" %}'>\n",
        ),
        # The load line goes before the finding's own row: one block holds both.
        (
            '<img src="/assets/a.png">\n<p>text</p>\n',
            [(1, "C7001")],
            f"{LOAD}\n<img src='{{% static \"a.png\" %}}'>\n<p>text</p>\n",
        ),
        # Loaded already: the row alone. A link without a static URL, a finding of the
        # hard-coded URL rule, a row the template does not have: nothing.
        (
            f'{LOAD}\n<img src="/assets/a.png">\n',
            [(2, "C7001")],
            f"{LOAD}\n<img src='{{% static \"a.png\" %}}'>\n",
        ),
        ('<a href="/entries/">all</a>\n', [(1, "C7000")], None),
        ('<img src="/media/a.png">\n', [(1, "C7001")], None),
        ('<img src="/assets/a.png">\n', [(0, "C7001"), (2, "C7001")], None),
    ],
    ids=[
        "extends",
        "extends-indented-block",
        "extends-over-two-rows",
        "no-extends-two-findings",
        "load-row-fixed-later",
        "load-row-fixed-first",
        "load-on-the-finding-row",
        "loaded",
        "hard-coded-url",
        "not-static",
        "rows-outside",
    ],
)
def test_static_url_rewrite(shop, text, findings, expected):
    items, after = template_case(shop, text, findings)
    assert after == (textwrap.dedent(text) if expected is None else expected)
    assert bool(items) == (expected is not None)
    if expected is not None:  # the fixed template has no hard-coded static URL left
        fixed_path = shop.root / "ledger/templates/ledger" / f"case_{next(CASES)}.html"
        fixed_path.write_text(after)
        assert "C7001" not in [code for _, code in lint_codes(shop, fixed_path)]


# --- The fixture project, end to end -----------------------------------------------------

# What suggest_fixes offers for every finding of the linted project, per file, in output
# order: (start, end, replacement).
SHOP_SUGGESTIONS = {
    "ledger/migrations/0002_fill_names.py": [
        # The list keeps its row per operation, as its trailing comma asks.
        (
            13,
            15,
            "    operations = [\n"
            "        migrations.RunPython(fill_names, migrations.RunPython.noop),\n"
            "    ]",
        ),
    ],
    "ledger/models.py": [
        # The same-row comment stays behind the statement; black splits the call so
        # that both fit.
        (
            5,
            5,
            "    name = models.CharField(\n"
            '        max_length=80, default="", blank=True\n'
            "    )  # shown on statements",
        ),
        (6, 6, "    archived = models.BooleanField(null=True)"),
        (7, 7, "    notes = models.TextField(blank=True)"),
        (17, 17, "    amount = models.IntegerField(null=True, blank=True)"),
        # Two findings of one line: null=False and blank=False both go.
        (18, 18, "    memo = models.CharField(max_length=40)"),
    ],
    "ledger/views.py": [
        # Line 9's truth test fetches the rows that line 10 counts: no finding.
        (10, 10, "        total = entries.count()  # shown in the header"),
        (18, 18, "    if not Entry.objects.filter(account=account).exists():"),
        # The import, fixed with the first reverse_lazy line and offered once.
        (2, 2, "from django.urls import reverse"),
        (20, 20, '    return redirect(reverse("entry-list"))'),
        (24, 24, "    return Entry.objects.first().account_id"),
        # len() and the comparison over it, two codes of one line.
        (29, 29, '    context = {"entries": entries, "empty": not entries.exists()}'),
        (31, 31, '        return redirect(reverse("entry-list"))'),
    ],
    "ledger/templates/ledger/entry_list.html": [
        (2, 2, "{% load static %}\n{% block content %}"),
        (3, 3, '  <img src=\'{% static "img/logo.png" %}\' alt="Ledger">'),
    ],
    "ledger/templates/ledger/base.html": [
        (1, 1, "{% load static %}\n<!DOCTYPE html>"),
        (4, 4, '    <link href=\'{% static "css/ledger.css" %}\' rel="stylesheet">'),
    ],
}


def test_shop_findings_come_back_with_their_fixes(shop):
    records = [r for r in shop.records if "line" in r]
    comments = [
        finding(r["path"], r["line"], r["message-id"], f"{r['symbol']}: advice")
        for r in records
    ]
    files = sorted(p for p in shop.root.rglob("*") if p.is_file())
    before = {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in files}

    result = suggest.suggest_fixes(comments, str(shop.root))

    # No file of the project is written, none is added.
    assert sorted(p for p in shop.root.rglob("*") if p.is_file()) == files
    assert {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in files} == before
    # One comment per finding's line, holding the line's bodies in order.
    lines = {(r["path"], r["line"]) for r in records}
    own = [c for c in result if not c["body"].endswith("```")]
    assert sorted((c["path"], c["line"]) for c in own) == sorted(lines)
    for comment in own:
        expected = [
            f"{r['symbol']}: advice"
            for r in records
            if (r["path"], r["line"]) == (comment["path"], comment["line"])
        ]
        assert comment["body"].split("```\n\n")[-1] == "\n\n".join(expected)
    # Every fix, and nothing more; applied, each file still parses and is formatted.
    paths = {c["path"] for c in result}
    assert {shop.relative(p) for p in paths} == set(SHOP_SUGGESTIONS) | {
        shop.relative(r["path"]) for r in records
    }
    for path in paths:
        items = items_of(result, path)
        assert items == SHOP_SUGGESTIONS.get(shop.relative(path), [])
        if path.endswith(".py"):
            after = apply_items(Path(path).read_text(), items)
            ast.parse(after)
            assert black.format_str(after, mode=MODE) == after


def test_shop_suppressions_silence_their_findings(shop):
    """Suppression comments for every finding of a module, applied, leave a module the
    linter has nothing to say about: the real rules' symbols, on the rows they report."""
    views = shop.root / "ledger/views.py"
    records = [r for r in shop.records if r["path"] == str(views)]
    comments = [finding(views, r["line"], r["message-id"]) for r in records]
    comments += [finding(views, r["line"], constants.SKIP_LINE_ID) for r in records]
    items = items_of(suggest.suggest_fixes(comments, str(shop.root)), views)
    assert len(items) == len({r["line"] for r in records})
    # The row's own comment stays where it is, under the suppression row.
    assert (
        10,
        10,
        "        # vorlane: disable-next=queryset-length\n"
        "        total = len(entries)  # shown in the header",
    ) in items
    # Too long with the comment behind it: the comment takes a row of its own.
    assert (
        29,
        29,
        "    # vorlane: disable-next=queryset-length, count-instead-exists\n"
        '    context = {"entries": entries, "empty": len(entries) == 0}',
    ) in items

    # Applied and formatted by black, as the project would: nothing comes back.
    copy = views.with_name(f"case_{next(CASES)}.py")
    applied = apply_items(views.read_text(), items)
    assert black.format_str(applied, mode=MODE) == applied
    copy.write_text(applied)
    assert checker.get_messages(str(shop.root), {str(copy): None}) == []


def tall_models(head):
    """A models module of eleven models named alike (C3000 and C3003, reported on the
    module), whose first model has a field whose row is too long for a trailing
    comment and one whose row is not, and a last model with a field left reported."""
    classes = "".join(
        f"\n\nclass LedgerThing{i}(models.Model):\n    label = models.TextField()\n"
        for i in range(1, 10)
    )
    return (
        f"{head}from django.db import models\n\n\n"
        "class LedgerThing0(models.Model):\n"
        "    description = models.CharField(max_length=200, null=True, blank=True)\n"
        "    n = models.TextField(null=True)\n"
        f"{classes}\n\n"
        "class LedgerThingLast(models.Model):\n"
        "    title = models.CharField(max_length=20, null=True)\n"
    )


@pytest.mark.parametrize(
    "head",
    [
        "",
        "#!/usr/bin/env python\n",
        "# -*- coding: utf-8 -*-\n",
        '"""The ledger\'s things.\n\nEleven of them."""\n',
    ],
    ids=["plain", "shebang", "encoding", "docstring"],
)
def test_suppressions_silence_what_they_name_after_black(shop, head):
    """Suppressions for the module's findings on the module node and for two fields:
    applied and formatted by black under the project's line length, the module still
    parses, black leaves it, and the linter reports only the field left out."""
    path = shop.root / "ledger" / f"case_{next(CASES)}.py"
    path.write_text(tall_models(head))
    offset = head.count("\n")
    found = lint_codes(shop, path)
    last = len(path.read_text().split("\n")) - 1
    assert found == [
        (1, "C3000"),
        (1, "C3003"),
        (5 + offset, "C2000"),
        (6 + offset, "C2000"),
        (last, "C2000"),
    ]
    # The last model's field is left out of the comments: it must still be reported.
    comments = [finding(path, row, code) for row, code in found if row != last]
    comments += [finding(path, row, SKIP) for row in (1, 5 + offset, 6 + offset)]
    items = items_of(suggest.suggest_fixes(comments, str(shop.root)), path)
    assert len(items) == 3
    top = 1 + int(head.startswith("#"))
    assert (
        top,
        top,
        "# vorlane: disable=tall-models, model-common-prefix\n"
        + path.read_text().split("\n")[top - 1],
    ) in items
    assert (
        5 + offset,
        5 + offset,
        "    # vorlane: disable-next=nullable-string-field\n"
        "    description = models.CharField(max_length=200, null=True, blank=True)",
    ) in items
    assert (
        6 + offset,
        6 + offset,
        "    n = models.TextField(null=True)  # vorlane: disable=nullable-string-field",
    ) in items

    applied = apply_items(path.read_text(), items)
    ast.parse(applied)
    assert black.format_str(applied, mode=MODE) == applied
    assert [code for _, code in relinted(shop, path, items)] == ["C2000"]


# Rewritten, 81 columns: black splits it under a line length of 79, not under its
# default 88.
LONG_ROW = (
    '    context = {"entries": entries, "total": len(entries), "title": "All rows"}'
)
SPLIT = (
    "    context = {\n"
    '        "entries": entries,\n'
    '        "total": entries.count(),\n'
    '        "title": "All rows",\n'
    "    }"
)


@pytest.mark.parametrize(
    "table, bad_keys, expected",
    [
        (
            'line-length = "eighty"',
            ["line-length"],
            LONG_ROW.replace("len(entries)", "entries.count()"),
        ),
        (
            "line-length = [1, 2]",
            ["line-length"],
            LONG_ROW.replace("len(entries)", "entries.count()"),
        ),
        ('line-length = 79\ntarget-version = ["py99"]', ["target-version"], SPLIT),
        # Control: values black takes, no warning.
        ('line-length = 79\ntarget-version = ["py38"]', [], SPLIT),
    ],
    ids=["length-text", "length-list", "unknown-version", "control-valid"],
)
def test_bad_black_settings_still_give_suggestions(
    tmp_path, monkeypatch, caplog, table, bad_keys, expected
):
    """A [tool.black] value of the wrong kind is logged, naming pyproject.toml and the
    key; the key's default is used and the suggestion is made."""
    root = tmp_path / "shop"
    shutil.copytree(PROJECTS / "suggest_shop", root)
    (root / "pyproject.toml").write_text(f"[tool.black]\n{table}\n")
    monkeypatch.syspath_prepend(str(root))
    path = root / "ledger" / f"case_{next(CASES)}.py"
    path.write_text(VIEW.format(body=LONG_ROW))
    try:
        with caplog.at_level(logging.WARNING):
            result = suggest.suggest_fixes([finding(path, 6, "C9000")], str(root))
        warned = [
            r.getMessage() for r in caplog.records if r.levelno == logging.WARNING
        ]
        assert len(warned) == len(bad_keys)
        for key, text in zip(bad_keys, warned):
            assert str(root / "pyproject.toml") in text and f"] {key} = " in text
        items = items_of(result, path)
        assert items == [(6, 6, expected)]
        applied = apply_items(path.read_text(), items)
        length = 88 if "line-length = 79" not in table else 79
        assert (
            black.format_str(applied, mode=black.FileMode(line_length=length))
            == applied
        )
        after = path.with_name(f"case_{next(CASES)}.py")
        after.write_text(applied)
        assert checker.get_messages(str(root), {str(after): None}) == []
    finally:
        forget_project(root)


# --- The README's main job ---------------------------------------------------------------

REPO = Path(__file__).resolve().parent.parent

# A fix of each family among what the example prints for the sample project:
# (path below sample/, start, end, replacement).
SAMPLE_FIXES = [
    (
        "shop/migrations/0002_title_case_titles.py",
        15,
        17,
        "    operations = [\n"
        "        migrations.RunPython(\n"
        "            title_case_titles, atomic=False, "
        "reverse_code=migrations.RunPython.noop\n"
        "        ),\n"
        "    ]",
    ),
    ("shop/models.py", 8, 8, "    newsletter = models.BooleanField(null=True)"),
    (
        "shop/views.py",
        9,
        9,
        '    context = {"books": books, "total": Book.objects.all().count()}',
    ),
    ("shop/views.py", 2, 2, "from django.urls import reverse"),
    ("shop/views.py", 20, 20, '        return redirect(reverse("shop:book-list"))'),
    (
        "shop/templates/shop/book_list.html",
        3,
        3,
        '<h1><img src=\'{% static "img/books.png" %}\' alt=""> Books ({{ total }})</h1>',
    ),
    (
        "shop/templates/shop/book_list.html",
        2,
        2,
        "{% load static %}\n{% block content %}",
    ),
]


def test_example_prints_a_fix_of_each_family(sample_output):
    comments = sample_output["review_comments"]
    sample = REPO / "sample"
    printed = [
        (Path(path).relative_to(sample).as_posix(), *item)
        for path in {c["path"] for c in comments}
        for item in items_of(comments, path)
    ]
    for fix in SAMPLE_FIXES:
        assert fix in printed
