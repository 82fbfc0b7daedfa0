"""The migration checker: model imports and RunPython without reverse code, and the
rewrite that adds migrations.RunPython.noop."""
import itertools
from pathlib import Path

import astroid
import pytest
from pylint.lint import PyLinter

from vorlane.staticanalysis import helpers
from vorlane.staticanalysis.checkers import migrations

MIGRATION = """\
from django.db import migrations


def forwards(apps, schema_editor):
    pass


def backwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):
    operations = [
        {operation}
    ]
"""

NOT_A_MIGRATION = """\
from django.db import migrations


def forwards(apps, schema_editor):
    pass


operations = [
    {operation}
]
"""


def operation_node(template, operation):
    """The operation's node, parsed inside the given module text."""
    return astroid.extract_node(template.format(operation=operation + "  #@"))


# --- The fixture project -------------------------------------------------------------


@pytest.fixture(scope="module")
def library(linted_project):
    return linted_project("queries_library")


def test_findings_of_the_project(library):
    assert library.findings(("C80",)) == library.marked("catalog/**/*.py", ("C80",))


@pytest.mark.parametrize(
    "path, line, args",
    [
        ("catalog/migrations/0001_initial.py", 11, {"name": "Author"}),
        ("catalog/migrations/0001_initial.py", 12, {"name": "Book"}),
        ("catalog/migrations/0001_initial.py", 30, {"forwards_name": "forwards"}),
        ("catalog/migrations/0001_initial.py", 31, {"forwards_name": "code=forwards"}),
        ("catalog/migrations/0001_initial.py", 32, {"forwards_name": "forwards"}),
        # Nothing names a forwards function: RunPython(), (atomic=False), (**options).
        ("catalog/migrations/0001_initial.py", 37, {"forwards_name": None}),
        ("catalog/migrations/0001_initial.py", 38, {"forwards_name": None}),
        ("catalog/migrations/0001_initial.py", 39, {"forwards_name": None}),
    ],
)
def test_finding_args(library, path, line, args):
    [record] = [
        r
        for r in library.records
        if library.relative(r["path"]) == path and r["line"] == line
    ]
    assert record["message"] == args


def test_odd_imports_and_names_end_nothing(library):
    """A from-import of a module with a syntax error or of a missing module, and
    X.objects where X infers to nothing, give no finding and no error: the findings
    later in the same migration are all there, and no record is fatal."""
    assert library.findings(("C80",))[-2:] == [
        ("catalog/migrations/0003_odd_imports.py", 12, "C8000"),
        ("catalog/migrations/0003_odd_imports.py", 18, "C8001"),
    ]
    assert [r for r in library.records if r["type"] == "fatal"] == []
    # The broken module itself gets its syntax error.
    assert library.findings(("E",)) == [("catalog/broken.py", 2, "E0001")]


@pytest.fixture
def checker_on():
    """A checker outside any linter: visits go straight to it, findings are kept."""

    def make():
        checker = migrations.Checker(PyLinter())
        checker.found = []
        checker.add_message = lambda code, node, args: checker.found.append(
            (code, node.lineno, args)
        )
        return checker

    return make


def test_objects_of_an_empty_inference_is_no_finding(checker_on):
    module = astroid.parse(
        MIGRATION.format(operation="").replace(
            "def forwards(apps, schema_editor):\n    pass",
            "def forwards(apps, schema_editor):\n    Thing.objects.all()",
        )
    )
    checker = checker_on()
    checker.visit_module(module)
    attribute = next(
        n for n in module.nodes_of_class(astroid.nodes.Attribute) if n.attrname == "objects"
    )
    checker.imported_model_names.append(module.body[-1])  # something to compare with
    attribute.expr.infer = lambda *args, **kwargs: iter(())
    checker.visit_attribute(attribute)
    del attribute.expr.infer  # an undefined name: inference raises
    checker.visit_attribute(attribute)
    assert checker.found == []


def test_migration_test_runs_once_per_module(library, checker_on, monkeypatch):
    """The checker asks whether a module is a migration once, whatever the number of
    calls, attribute reads and from-imports that would need the answer."""
    asked = []
    is_migration_file = helpers.is_migration_file

    def counting(node):
        asked.append(node.root().name)
        return is_migration_file(node)

    monkeypatch.setattr(helpers, "is_migration_file", counting)
    checker = checker_on()
    modules = [
        astroid.MANAGER.ast_from_file(str(library.root / "catalog" / "migrations" / name))
        for name in ("0001_initial.py", "0003_odd_imports.py")
    ]
    modules.append(astroid.parse("from os import path\nx.RunPython(f)\nA.objects\n"))
    for module in modules:
        checker.visit_module(module)
        for node in module.nodes_of_class(
            (astroid.nodes.ImportFrom, astroid.nodes.Attribute, astroid.nodes.Call)
        ):
            getattr(checker, "visit_" + type(node).__name__.lower())(node)
    assert asked == [m.name for m in modules]
    assert [code for code, _, _ in checker.found].count("C8001") == 7


def test_checker_answers_for_the_module_it_is_given(checker_on):
    """Visits made without visit_module (a caller driving the checker by hand) still
    ask about the module the node is in."""
    checker = checker_on()
    checker.visit_call(operation_node(NOT_A_MIGRATION, "migrations.RunPython(forwards)"))
    checker.visit_call(operation_node(MIGRATION, "migrations.RunPython(forwards)"))
    checker.visit_call(operation_node(NOT_A_MIGRATION, "migrations.RunPython(forwards)"))
    assert [code for code, _, _ in checker.found] == ["C8001"]


# --- The predicate -------------------------------------------------------------------


@pytest.mark.parametrize(
    "operation, expected",
    [
        ("migrations.RunPython(forwards)", True),
        ("migrations.RunPython(code=forwards)", True),
        ("migrations.RunPython(forwards, atomic=False)", True),
        ("migrations.RunPython(**options)", True),
        ("migrations.RunPython()", True),
        ("anything.RunPython(forwards)", True),
        ("migrations.RunPython(forwards, reverse_code=backwards)", False),
        ("migrations.RunPython(code=forwards, reverse_code=backwards)", False),
        ("migrations.RunPython(forwards, backwards)", None),
        ("migrations.RunPython(forwards, backwards, atomic=False)", None),
        ("RunPython(forwards)", None),
        ("migrations.RunSQL('SELECT 1')", None),
        ("forwards", None),
    ],
)
def test_is_missing_reverse(operation, expected):
    assert migrations.is_missing_reverse(operation_node(MIGRATION, operation)) is expected


def test_is_missing_reverse_outside_migrations():
    node = operation_node(NOT_A_MIGRATION, "migrations.RunPython(forwards)")
    assert migrations.is_missing_reverse(node) is None


# --- The rewrite ---------------------------------------------------------------------

_modules = itertools.count()


def parsed_migration(operations, template=MIGRATION):
    """The parsed file of a module holding the operations, as suggest parses it, and
    the statement of the operations list."""
    source = template.format(operation=operations.replace("\n", "\n        "))
    atok = helpers.build_atok(source=source, modname=f"rewrite_mig_{next(_modules)}")
    line = [row.strip() for row in source.splitlines()].index("operations = [") + 1
    return atok, helpers.find_node_by_position(atok.tree, line=line)


@pytest.mark.parametrize(
    "operation, expected",
    [
        (
            "migrations.RunPython(forwards)",
            "migrations.RunPython(forwards, migrations.RunPython.noop)",
        ),
        (
            "migrations.RunPython(code=forwards)",
            "migrations.RunPython(code=forwards, reverse_code=migrations.RunPython.noop)",
        ),
        (
            "migrations.RunPython(forwards, atomic=False)",
            "migrations.RunPython(forwards, atomic=False, "
            "reverse_code=migrations.RunPython.noop)",
        ),
        (
            "migrations.RunPython(forwards, **options)",
            "migrations.RunPython(forwards, **options, "
            "reverse_code=migrations.RunPython.noop)",
        ),
        # No forwards function to follow: the reverse function is named, not put
        # where the forwards function belongs.
        (
            "migrations.RunPython()",
            "migrations.RunPython(reverse_code=migrations.RunPython.noop)",
        ),
        (
            "migrations.RunPython(forwards, backwards)",
            "migrations.RunPython(forwards, backwards)",
        ),
        (
            "migrations.RunPython(forwards, reverse_code=backwards)",
            "migrations.RunPython(forwards, reverse_code=backwards)",
        ),
        ("RunPython(forwards)", "RunPython(forwards)"),
    ],
)
def test_add_reverse_code(operation, expected):
    _, statement = parsed_migration(operation)
    migrations.build_transformer_visitor({"C8001"}).visit(statement)
    assert statement.value.elts[0].as_string() == expected


def test_rewrite_changes_every_operation_of_the_statement():
    _, statement = parsed_migration(
        "migrations.RunPython(forwards),\nmigrations.RunPython(backwards, forwards),\n"
        "migrations.RunPython(code=backwards),"
    )
    migrations.build_transformer_visitor(["C9000", "C8001"]).visit(statement)
    assert [op.as_string() for op in statement.value.elts] == [
        "migrations.RunPython(forwards, migrations.RunPython.noop)",
        "migrations.RunPython(backwards, forwards)",
        "migrations.RunPython(code=backwards, reverse_code=migrations.RunPython.noop)",
    ]


@pytest.mark.parametrize(
    "codes, template",
    [({"C8001"}, NOT_A_MIGRATION), (set(), MIGRATION), ({"C8000", "C9002"}, MIGRATION)],
    ids=["not-a-migration", "no-codes", "other-codes"],
)
def test_rewrite_leaves_alone(codes, template):
    _, statement = parsed_migration("migrations.RunPython(forwards)", template)
    before = statement.as_string()
    migrations.build_transformer_visitor(codes).visit(statement)
    assert statement.as_string() == before


def test_visitor_registrations():
    Call = astroid.nodes.Call
    expected = (migrations.add_reverse_code, migrations.is_missing_reverse)
    assert migrations.build_transformer_visitor(["C8001"]).transforms[Call] == [expected]
    twice = migrations.build_transformer_visitor(iter(["C8001", "C8000", "C8001"]))
    assert twice.transforms[Call] == [expected, expected]
    assert dict(migrations.build_transformer_visitor({"C8000"}).transforms) == {}


@pytest.mark.parametrize(
    "operation", ["migrations.RunPython(forwards)", "migrations.RunPython(code=forwards)"]
)
def test_new_nodes_hang_below_the_call_without_tokens(operation):
    """The new nodes' parents are the call (a positional argument) or the keyword (the
    name) and the call (the keyword); they carry no tokens, so no node inside the call
    ends right before the statement's comment, and a renderer that hands a comment to
    the node it follows cannot put it inside the call."""
    source = MIGRATION.format(operation="") + f"\noperation = {operation}  # keep me\n"
    atok = helpers.build_atok(source=source, modname=f"rewrite_mig_{next(_modules)}")
    statement = atok.tree.body[-1]
    call = statement.value
    migrations.build_transformer_visitor({"C8001"}).visit(statement)
    if call.keywords:
        added = call.keywords[-1]
        assert added.parent is call and added.value.parent is added
        new_nodes = [added, added.value]
    else:
        added = call.args[-1]
        assert added.parent is call
        new_nodes = [added]
    for node in new_nodes:
        assert not hasattr(node, "first_token") and not hasattr(node, "last_token")
        assert (node.lineno, node.col_offset) == (call.lineno, call.col_offset)
    before_comment = [
        node
        for node in call.nodes_of_class(astroid.nodes.NodeNG)
        if hasattr(node, "last_token")
        and atok.next_token(node.last_token, include_extra=True).string == "# keep me"
    ]
    assert before_comment == [call]


def test_add_reverse_code_without_a_call():
    node = astroid.extract_node("forwards")
    assert migrations.add_reverse_code(node) is node


# --- The module ----------------------------------------------------------------------


def test_module_contents():
    assert migrations.logger.name == "vorlane.staticanalysis.checkers.migrations"
    assert (migrations.Codes.C8000, migrations.Codes.C8001) == ("C8000", "C8001")
    assert migrations.Checker.name == "migrations"
    assert {code: entry[1:] for code, entry in migrations.Checker.msgs.items()} == {
        "C8000": ("migration-model-import", "Detects importing model in migration"),
        "C8001": ("missing-reverse-migration", "Detects if migration has no backwards"),
    }


def test_sample_project_shows_the_rules(linted_project):
    sample = linted_project(Path(__file__).resolve().parent.parent / "sample")
    assert sample.findings(("C80",)) == [
        ("shop/migrations/0001_initial.py", 8, "C8000"),
        ("shop/migrations/0001_initial.py", 47, "C8001"),
        ("shop/migrations/0002_title_case_titles.py", 16, "C8001"),
    ]
