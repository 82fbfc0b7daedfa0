"""The model field checker: its rule predicates, its findings and its rewrites."""
import ast
import textwrap
from pathlib import Path

import astroid
import black
import pytest

from suggest_support import apply_items, finding, items_of
from vorlane.staticanalysis import helpers, shims  # noqa: F401  (shims: as linting has)
from vorlane.staticanalysis import suggest
from vorlane.staticanalysis.checkers import colspec

# Every snippet below is appended to this module.
HEADER = """
from django.db import models
from django.contrib.contenttypes.fields import GenericForeignKey

class Author(models.Model):
    pass

class RenamedChar(models.CharField):
    pass

class AutoSlugField(models.SlugField):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("editable", False)
        super().__init__(*args, **kwargs)

def make_field(**options):
    return models.CharField(**options)

FIELDS = {"flag": models.NullBooleanField}
"""


def node_of(snippet):
    """The node marked #@; of a marked assignment, the value assigned."""
    node = astroid.extract_node(HEADER + textwrap.dedent(snippet))
    return node.value if isinstance(node, astroid.nodes.Assign) else node


def first_keyword(snippet):
    return node_of(snippet).keywords[0]


def same_answer(answer, expected):
    # True, False, None and a value are different answers: 1 is no True.
    return answer == expected and type(answer) is type(expected)


# --- Predicates ----------------------------------------------------------------------

# (predicate, snippet with the call marked #@, expected answer). For the keyword
# predicates the call's first keyword is asked.
KEYWORD_PREDICATES = {"is_redundant_kwargs", "is_fragile_unique_for"}
PREDICATE_ANSWERS = [
    # is_huge_char_field
    ("is_huge_char_field", "models.CharField(max_length=513)  #@", True),
    ("is_huge_char_field", "models.CharField(max_length='600')  #@", True),
    ("is_huge_char_field", "models.CharField(max_length=512)  #@", False),
    ("is_huge_char_field", "models.CharField(max_length=None)  #@", False),
    ("is_huge_char_field", "models.CharField()  #@", False),
    ("is_huge_char_field", "models.CharField(max_length=512.9)  #@", False),
    ("is_huge_char_field", "models.CharField(max_length='abc')  #@", False),
    ("is_huge_char_field", "models.CharField(max_length=[600])  #@", False),
    ("is_huge_char_field", "RenamedChar(max_length=600)  #@", None),
    ("is_huge_char_field", "models.TextField(max_length=600)  #@", None),
    ("is_huge_char_field", "len('x')  #@", False),
    # is_null_stringfield
    ("is_null_stringfield", "models.CharField(null=True)  #@", True),
    ("is_null_stringfield", "models.TextField(null=1)  #@", 1),
    ("is_null_stringfield", "models.CharField()  #@", False),
    ("is_null_stringfield", "models.IntegerField(null=True)  #@", None),
    # NULL lets many rows of a unique column stay blank.
    ("is_null_stringfield", "models.CharField(null=True, unique=True)  #@", False),
    ("is_null_stringfield", "models.CharField(null=True, unique=False)  #@", True),
    ("is_null_stringfield", "len('x')  #@", False),
    # is_missing_blank_true
    ("is_missing_blank_true", "models.IntegerField(null=True)  #@", True),
    ("is_missing_blank_true", "models.IntegerField(null=True, default=None)  #@", True),
    (
        "is_missing_blank_true",
        "models.ForeignKey(Author, on_delete=models.CASCADE, null=True)  #@",
        True,
    ),
    ("is_missing_blank_true", "models.IntegerField(null=True, blank=True)  #@", False),
    ("is_missing_blank_true", "models.IntegerField(null=True, default=0)  #@", False),
    ("is_missing_blank_true", "models.IntegerField(null=False)  #@", False),
    ("is_missing_blank_true", "models.IntegerField()  #@", None),
    ("is_missing_blank_true", "models.CharField(null=True)  #@", None),
    ("is_missing_blank_true", "models.BooleanField(null=True)  #@", None),
    # Not editable, so no form asks for it.
    (
        "is_missing_blank_true",
        "models.IntegerField(null=True, editable=False)  #@",
        False,
    ),
    ("is_missing_blank_true", "models.BinaryField(null=True)  #@", False),
    ("is_missing_blank_true", "models.BinaryField(null=True, editable=True)  #@", True),
    ("is_missing_blank_true", "models.DateField(null=True, auto_now=True)  #@", False),
    ("is_missing_blank_true", "len('x')  #@", False),
    # is_fk_mising_related_name
    (
        "is_fk_mising_related_name",
        "models.ForeignKey(Author, on_delete=models.CASCADE)  #@",
        True,
    ),
    (
        "is_fk_mising_related_name",
        "models.ForeignKey(Author, on_delete=models.CASCADE, related_name='')  #@",
        True,
    ),
    (
        "is_fk_mising_related_name",
        "models.ForeignKey(Author, on_delete=models.CASCADE, related_name='+')  #@",
        False,
    ),
    (
        "is_fk_mising_related_name",
        "models.OneToOneField(Author, on_delete=models.CASCADE)  #@",
        None,
    ),
    ("is_fk_mising_related_name", "undefined_name()  #@", None),
    # is_nullboolean
    ("is_nullboolean", "models.NullBooleanField()  #@", True),
    ("is_nullboolean", "models.BooleanField(null=True)  #@", False),
    ("is_nullboolean", "len('x')  #@", False),
    # is_non_unique_fk
    ("is_non_unique_fk", "models.IntegerField(primary_key=True, unique=False)  #@", True),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True)  #@", False),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True, unique=0)  #@", False),
    ("is_non_unique_fk", "models.IntegerField(unique=False)  #@", False),
    # is_redundant_kwargs: the first keyword
    ("is_redundant_kwargs", "models.CharField(null=False, max_length=20)  #@", True),
    ("is_redundant_kwargs", "models.CharField(blank=0)  #@", True),
    ("is_redundant_kwargs", "models.CharField(max_length=20, null=False)  #@", False),
    ("is_redundant_kwargs", "models.CharField(blank=True)  #@", False),
    ("is_redundant_kwargs", "models.CharField(**{'null': False})  #@", None),
    ("is_redundant_kwargs", "models.CharField(colour='red')  #@", None),
    # The class's own __init__ sets editable: no default known to restate.
    ("is_redundant_kwargs", "AutoSlugField(editable=True)  #@", None),
    ("is_redundant_kwargs", "AutoSlugField(max_length=50)  #@", True),
    ("is_redundant_kwargs", "dict(null=False)  #@", None),
    # SlugField declares `db_index=True` keyword-only, after Field's db_index=False.
    ("is_redundant_kwargs", "models.SlugField(db_index=True)  #@", True),
    ("is_redundant_kwargs", "models.SlugField(db_index=False)  #@", False),
    # is_fragile_unique_for: the keyword alone decides
    ("is_fragile_unique_for", "models.DateField(unique_for_date='d')  #@", True),
    ("is_fragile_unique_for", "models.DateField(unique_for_month=None)  #@", True),
    ("is_fragile_unique_for", "dict(unique_for_year=1)  #@", True),
    ("is_fragile_unique_for", "models.DateField(unique=True)  #@", None),
    # has_redundant_kwargs
    ("has_redundant_kwargs", "models.CharField(max_length=20, null=False)  #@", True),
    ("has_redundant_kwargs", "models.CharField(max_length=20)  #@", False),
    ("has_redundant_kwargs", "models.CharField()  #@", False),
]


@pytest.mark.parametrize(
    "predicate, snippet, expected",
    PREDICATE_ANSWERS,
    ids=[f"{row[0]}-{i}" for i, row in enumerate(PREDICATE_ANSWERS)],
)
def test_predicate_answers(predicate, snippet, expected):
    node = node_of(snippet)
    if predicate in KEYWORD_PREDICATES:
        node = node.keywords[0]
    answer = getattr(colspec, predicate)(node)
    assert same_answer(answer, expected), answer


@pytest.mark.parametrize(
    "meta, expected",
    [("", True), ("abstract = True", False), ("abstract = False", False)],
    ids=["concrete", "abstract", "abstract-false-still-counts"],
)
def test_fk_related_name_in_abstract_models(meta, expected):
    meta_class = f"    class Meta:\n        {meta}\n" if meta else ""
    call = node_of(
        "class Book(models.Model):\n"
        "    author = models.ForeignKey(Author, on_delete=models.CASCADE)  #@\n"
        + meta_class
    )
    assert colspec.is_fk_mising_related_name(call) is expected


def test_generic_foreign_key_object_id_may_be_nullable():
    model = """
    class Tag(models.Model):
        content_object = GenericForeignKey("content_type", "object_id")
        object_id = models.CharField(max_length=50, null=True)  #@
    """
    plain = """
    class Tag(models.Model):
        object_id = models.CharField(max_length=50, null=True)  #@
    """
    assert colspec.is_null_stringfield(node_of(model)) is False
    assert colspec.is_null_stringfield(node_of(plain)) is True


def test_limit_is_read_at_each_call(monkeypatch):
    call = node_of("models.CharField(max_length=200)  #@")
    assert colspec.is_huge_char_field(call) is False
    monkeypatch.setattr(colspec, "MAX_CHARFIELD_LENGTH", 100)
    assert colspec.is_huge_char_field(call) is True


def test_module_constants():
    assert colspec.MAX_CHARFIELD_LENGTH == 512
    assert colspec.DJANGO_STRING_FIELDS is helpers.DJANGO_STRING_FIELDS
    assert colspec.DJANGO_BOOLEAN_FIELDS is helpers.DJANGO_BOOLEAN_FIELDS


# --- Checker findings ----------------------------------------------------------------

MODEL_MODULE = """\
from django.db import models


def make_field(**options):
    return models.CharField(**options)


class Author(models.Model):
    name = models.CharField(max_length=100)


class Book(models.Model):
{body}
"""
BODY = 12  # the line before the body: findings below count from it


@pytest.fixture
def lint_models(lint_project):
    """Findings of the model checker on a models module: (code, line, args)."""

    def lint(body, config=None, module=MODEL_MODULE):
        text = module.format(body=textwrap.indent(textwrap.dedent(body), "    "))
        records = lint_project(
            {"shop/__init__.py": "", "shop/models.py": text}, config=config
        )
        assert not [r for r in records if r["type"] == "fatal"]
        return [
            (r["message-id"], r["line"], r["message"])
            for r in records
            if r["message-id"].startswith("C20")
        ]

    return lint


@pytest.mark.parametrize(
    "body, expected",
    [
        (
            "title = models.CharField(max_length=600, null=True)",
            [
                ("C2006", 1, {"name": "title", "value": 600}),
                ("C2000", 1, {"name": "title"}),
            ],
        ),
        (
            "author = models.ForeignKey(Author, on_delete=models.CASCADE, null=True)",
            [("C2005", 1, {"name": "author"}), ("C2003", 1, {"name": "author"})],
        ),
        (
            "d = models.DateField(unique_for_date=None)",
            [
                ("C2002", 1, {"name": "d", "option": "unique_for_date", "value": None}),
                ("C2004", 1, {"name": "d", "option": "unique_for_date"}),
            ],
        ),
        ("flag = models.NullBooleanField()", [("C2008", 1, {"name": "flag"})]),
        (
            "pk = models.IntegerField(primary_key=True, unique=False)",
            [
                ("C2011", 1, {"name": "pk"}),
                ("C2002", 1, {"name": "pk", "option": "unique", "value": False}),
            ],
        ),
        (
            # Annotated: neither counted nor examined as a call; its keyword still is.
            "title: str = models.CharField(max_length=600, blank=False)",
            [("C2002", 1, {"name": None, "option": "blank", "value": False})],
        ),
        (
            "slug = models.SlugField(db_index=True)\n"
            "other = models.SlugField(db_index=False)",
            [("C2002", 1, {"name": "slug", "option": "db_index", "value": True})],
        ),
        (
            # The value comes from the defaults when the call writes none.
            "class CharField(models.CharField):\n"
            "    def __init__(self, *args, max_length=600, **kwargs):\n"
            "        super().__init__(*args, max_length=max_length, **kwargs)\n"
            "wide = CharField()",
            [("C2006", 4, {"name": "wide", "value": 600})],
        ),
        (
            # Fields count wherever they stand, in a method too.
            "def build(self):\n    note = models.TextField(null=True)",
            [("C2000", 2, {"name": "note"})],
        ),
        (
            # Leading underscores and aliases: still a class call.
            "_NullBool = models.NullBooleanField\nflag = _NullBool()",
            [("C2008", 2, {"name": "flag"})],
        ),
        # silent
        ("name = models.CharField(max_length=100)", []),
        ("a, b = models.CharField(null=True), 1", []),
        ("title = models.CharField(max_length='abc')", []),
        ("title = models.CharField(max_length=LENGTH)", []),
        ("size = len('abc')", []),
        # A function that returns a field declares nothing: its keywords are its own.
        ("title = make_field(null=True, blank=False)", []),
    ],
    ids=[
        "huge-and-nullable",
        "foreign-key",
        "unique-for",
        "nullboolean",
        "non-unique-primary",
        "annotated",
        "keyword-only-default",
        "huge-by-default",
        "in-a-method",
        "private-alias",
        "plain",
        "tuple-target",
        "length-not-a-number",
        "length-unknown",
        "no-field",
        "factory-function",
    ],
)
def test_field_findings(lint_models, body, expected):
    found = lint_models(body)
    assert [(code, line - BODY, args) for code, line, args in found] == expected


def test_fields_are_examined_outside_models(lint_models):
    module = """\
from django.db import models

loose = models.CharField(null=True)


class Mixin:
    flag = models.NullBooleanField()
{body}
"""
    assert lint_models("", module=module) == [
        ("C2000", 3, {"name": "loose"}),
        ("C2008", 7, {"name": "flag"}),
    ]


def fields(count):
    return "\n".join(f"f{i} = models.IntegerField()" for i in range(count))


@pytest.mark.parametrize(
    "count, config, expected",
    [
        (21, None, [("C2001", BODY, {"count": 21})]),
        (20, None, []),
        (6, {"max-colspec": 5}, [("C2001", BODY, {"count": 6})]),
        (5, {"max-colspec": 5}, []),
    ],
    ids=["21-fields", "20-fields", "option-6", "option-5"],
)
def test_too_many_fields(lint_models, count, config, expected):
    assert lint_models(fields(count), config=config) == expected


def test_tall_model_reported_after_its_fields_and_only_for_models(lint_models):
    module = """\
from django.db import models


class Book(models.Model):
{body}

    class Meta:
        f0 = models.IntegerField()
        f1 = models.IntegerField()


class NotAModel:
    a = models.IntegerField(null=True)
    b = models.IntegerField(null=True)
"""
    found = lint_models(fields(2) + "\nflag = models.NullBooleanField()", {"max-colspec": 1}, module)
    assert found == [
        ("C2008", 7, {"name": "flag"}),
        ("C2001", 4, {"count": 3}),
        ("C2003", 15, {"name": "a"}),
        ("C2003", 16, {"name": "b"}),
    ]


def test_max_charfield_length_option_changes_nothing(lint_models):
    body = "a = models.CharField(max_length=200)\nb = models.CharField(max_length=513)"
    assert lint_models(body, config={"max-charfield-length": 100}) == [
        ("C2006", BODY + 2, {"name": "b", "value": 513})
    ]


def test_migrations_are_not_judged(lint_project):
    migration = """\
    from django.db import migrations, models


    class Migration(migrations.Migration):
        operations = [
            migrations.AddField(
                model_name="book",
                name="title",
                field=models.CharField(max_length=600, null=True, blank=False),
            ),
        ]
        title = models.NullBooleanField()
    """
    records = lint_project(
        {
            "shop/__init__.py": "",
            "shop/migrations/__init__.py": "",
            "shop/migrations/0002_title.py": migration,
        }
    )
    assert records == []


def test_odd_declarations_do_not_end_the_lint(lint_project):
    # Each of these once raised inside a visit method, and pylint then drops the rest of
    # the file: the last field must still be reported.
    module = """\
    from django.db import models

    FIELDS = {"flag": models.NullBooleanField}


    class Odd(models.Model):
        a = models.CharField(max_length="abc")
        b = models.CharField(max_length=object())
        c = FIELDS["flag"](null=False)
        d = models.CharField(null=True, choices=[("a",), 3])
        f = models.IntegerField(null=True, error_messages={(1, 2): "x"})

        class Meta:
            abstract = True

        e = models.NullBooleanField()
    """
    records = lint_project({"shop/__init__.py": "", "shop/models.py": module})
    assert [(r["message-id"], r["line"]) for r in records if r["message-id"] < "C3"] == [
        ("C2000", 10),
        ("C2003", 11),
        ("C2008", 16),
    ]


def test_library_named_project_package_still_declares_fields(
    lint_project, tmp_path, monkeypatch
):
    # Calls of what the standard library provides are never inferred; a project package
    # that shadows a library name (tabnanny) is not the library.
    root = (tmp_path / "project").resolve()
    monkeypatch.syspath_prepend(str(root))
    module = """\
    import decimal

    from tabnanny.fields import models


    class Book(models.Model):
        price = decimal.Decimal("1.00")
        error = ValueError("not a field")
        flag = models.NullBooleanField()
    """
    manager = astroid.MANAGER
    for key in [k for k in manager._mod_file_cache if k[0].startswith("tabnanny")]:
        del manager._mod_file_cache[key]
    try:
        records = lint_project(
            {
                "tabnanny/__init__.py": "",
                "tabnanny/fields.py": "from django.db import models\n",
                "shop/__init__.py": "",
                "shop/models.py": module,
            }
        )
    finally:
        for key in [k for k in manager._mod_file_cache if k[0].startswith("tabnanny")]:
            del manager._mod_file_cache[key]
    assert [(r["message-id"], r["line"]) for r in records] == [("C2008", 9)]


# --- What the project's own code decides ---------------------------------------------


def findings_and_fixes(lint_project, monkeypatch, files, codes):
    """Lints the {path: text} project and hands its findings of `codes` to suggest_fixes
    as a review tool would: ([(member name, code, option or None)], [suggestion text of
    each block]). Applied, the suggestions give a module that parses and that black
    keeps as it is."""
    records = lint_project(files)
    assert not [r for r in records if r["type"] == "fatal"]
    found = [r for r in records if r["message-id"] in codes]
    if not found:
        return [], []
    path = Path(found[0]["path"])
    root = path.parent.parent
    monkeypatch.syspath_prepend(str(root))
    comments = [finding(r["path"], r["line"], r["message-id"]) for r in found]
    items = items_of(suggest.suggest_fixes(comments, str(root)), path)
    after = apply_items(path.read_text(), items)
    ast.parse(after)
    formatted = black.format_str(after, mode=black.FileMode())
    assert all(text in formatted for _, _, text in items)
    named = [
        (r["message"]["name"], r["message-id"], r["message"].get("option"))
        for r in found
    ]
    return named, [text.strip() for _, _, text in items]


FIELD_CLASSES = """\
from django.db import models


class AutoSlugField(models.SlugField):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("editable", False)
        super().__init__(*args, **kwargs)


class EditableSlugField(AutoSlugField):
    def __init__(self, *args, editable=True, **kwargs):
        super().__init__(*args, editable=editable, **kwargs)


class StampField(models.DateTimeField):
    def __init__(self, *args, **kwargs):
        kwargs["editable"] = False
        super().__init__(*args, **kwargs)


class GuardedField(models.CharField):
    def __init__(self, *args, **kwargs):
        self.hidden = kwargs.get("blank", True)
        self.indexed = kwargs.pop("db_index", True)
        self.told = "unique" in kwargs
        super().__init__(*args, **kwargs)


class OptionsField(models.TextField):
    def __init__(self, *args, **options):
        options.update(null=True)
        super().__init__(*args, **options)


class MomentField(models.DateTimeField):
    pass


class HiddenField(models.IntegerField):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("editable", False)
        super().__init__(*args, **kwargs)


class HiddenChildField(HiddenField):
    pass


class LabelledField(models.IntegerField):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("help_text", "count")
        self.shown = kwargs.get("editable", True)
        super().__init__(*args, **kwargs)


class SometimesHiddenField(models.IntegerField):
    def __init__(self, *args, secret=False, **kwargs):
        if secret:
            kwargs["editable"] = False
        super().__init__(*args, **kwargs)


class PoppingField(HiddenField):
    def __init__(self, *args, **kwargs):
        self.shown = kwargs.pop("editable", True)
        super().__init__(*args, **kwargs)
"""

FIELD_MODELS = """\
from django.db import models

from .fields import (
    AutoSlugField,
    EditableSlugField,
    GuardedField,
    OptionsField,
    StampField,
)


class Page(models.Model):
    {declaration}
"""


def field_class_project(declaration):
    """An app whose field classes set some of their own keyword defaults, and a model
    with the given field declaration."""
    return {
        "app/__init__.py": "",
        "app/fields.py": FIELD_CLASSES,
        "app/models.py": FIELD_MODELS.format(declaration=declaration),
    }


@pytest.mark.parametrize(
    "declaration, expected",
    [
        # The default is what the class's own __init__ makes of a missing keyword.
        ("code = AutoSlugField(max_length=20, editable=True)", []),
        ("stamp = StampField(editable=True)", []),
        ("text = GuardedField(max_length=9, blank=False)", []),
        ("text = GuardedField(max_length=9, db_index=False)", []),
        ("text = GuardedField(max_length=9, unique=False)", []),
        ("text = OptionsField(null=False)", []),
        ("email = models.EmailField(max_length=None)", []),
        ("data = models.BinaryField(editable=True)", []),
        # Keywords the constructors leave alone, and a signature nearer the field
        # class than the code that sets the keyword.
        (
            "code = AutoSlugField(max_length=50, editable=True)",
            [("code", "C2002", "max_length")],
        ),
        ("code = AutoSlugField(blank=False)", [("code", "C2002", "blank")]),
        ("code = EditableSlugField(editable=True)", [("code", "C2002", "editable")]),
        (
            "text = GuardedField(max_length=9, editable=True)",
            [("text", "C2002", "editable")],
        ),
        ("email = models.EmailField(blank=False)", [("email", "C2002", "blank")]),
        (
            "code = models.SlugField(max_length=20, editable=True)",
            [("code", "C2002", "editable")],
        ),
    ],
)
def test_defaults_set_by_the_field_class_itself(
    lint_project, monkeypatch, declaration, expected
):
    files = field_class_project(declaration)
    found, _ = findings_and_fixes(lint_project, monkeypatch, files, ("C2002",))
    assert found == expected


@pytest.mark.parametrize(
    "declaration, expected",
    [
        # Only the keyword whose default is known goes; editable stays True.
        (
            "code = AutoSlugField(max_length=50, editable=True)",
            "code = AutoSlugField(editable=True)",
        ),
        (
            "text = GuardedField(max_length=9, blank=False, editable=True)",
            "text = GuardedField(max_length=9, blank=False)",
        ),
        (
            "code = models.SlugField(max_length=50, editable=True)",
            "code = models.SlugField()",
        ),
    ],
)
def test_redundant_default_fix_keeps_keywords_the_class_sets(
    lint_project, monkeypatch, declaration, expected
):
    files = field_class_project(declaration)
    _, fixes = findings_and_fixes(lint_project, monkeypatch, files, ("C2002",))
    assert fixes == [expected]


NULL_MODELS = """\
from django.db import models
from django.db.models import Q


class Shelf(models.Model):
    number = models.IntegerField()
{body}


class Crate(models.Model):
    label = models.CharField(max_length=10, null=True)
"""


@pytest.mark.parametrize(
    "body, reported",
    [
        # Django's own case: blank and unique, so many blank rows need NULL.
        (
            "code = models.CharField(max_length=10, null=True, blank=True, unique=True)",
            [],
        ),
        (
            "label = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    unique_together = [("number", "label")]',
            [],
        ),
        (
            "label = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    unique_together = ("number", "label")',
            [],
        ),
        (
            "ref = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    constraints = [models.UniqueConstraint(fields=["ref"], name="one_ref")]',
            [],
        ),
        (
            "token = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            "    constraints = [\n"
            "        models.UniqueConstraint(\n"
            '            fields=["number"], condition=Q(token__isnull=False), name="t"\n'
            "        )\n"
            "    ]",
            [],
        ),
        (
            "isbn = models.CharField(max_length=13, null=True)\n"
            "class Meta:\n"
            "    constraints = [\n"
            "        models.CheckConstraint(\n"
            '            check=Q(isbn__isnull=True) | Q(number__gt=0), name="isbn"\n'
            "        )\n"
            "    ]",
            [],
        ),
        # Still reported, and fixed: named nowhere that needs NULL.
        ("note = models.CharField(max_length=10, null=True)", ["note"]),
        ("code = models.CharField(max_length=10, null=True, unique=False)", ["code"]),
        (
            "alias = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    constraints = [models.UniqueConstraint(fields=["number"], name="alias")]',
            ["alias"],
        ),
        (
            "note = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    unique_together = [("number", "label")]\n'
            '    constraints = [models.CheckConstraint(check=Q(notes__isnull=True), name="n")]',
            ["note"],
        ),
        # A constraint class the code computes is not known to be a unique one.
        (
            "note = models.CharField(max_length=10, null=True)\n"
            "class Meta:\n"
            '    constraints = [KINDS["unique"](fields=["note"], name="n")]',
            ["note"],
        ),
    ],
    ids=[
        "unique",
        "unique-together",
        "unique-together-one-tuple",
        "unique-constraint",
        "isnull-condition",
        "isnull-check",
        "named-nowhere",
        "unique-false",
        "constraint-name-only",
        "other-names",
        "computed-callee",
    ],
)
def test_nullable_string_fields_a_model_relies_on(
    lint_project, monkeypatch, body, reported
):
    body = textwrap.indent(body, "    ")
    files = {"app/__init__.py": "", "app/models.py": NULL_MODELS.format(body=body)}
    found, fixes = findings_and_fixes(lint_project, monkeypatch, files, ("C2000",))
    # Crate's label: another model's Meta never speaks for it.
    assert found == [(name, "C2000", None) for name in reported + ["label"]]
    rewritten = {
        "note": 'note = models.CharField(max_length=10, default="", blank=True)',
        "code": 'code = models.CharField(max_length=10, default="", unique=False, '
        "blank=True)",
        "alias": 'alias = models.CharField(max_length=10, default="", blank=True)',
        "label": 'label = models.CharField(max_length=10, default="", blank=True)',
    }
    assert fixes == [rewritten[name] for name in reported + ["label"]]


# A nullable field that no form edits needs no blank=True: Django leaves it out of
# ModelForms and Field.validate passes it by. Each row is a member of one model, with
# the field classes above: (declaration, the C2003 fix, or None where the field is not
# editable and so neither reported nor fixed).
EDITABLE_ROWS = [
    # Not editable: neither reported nor fixed.
    ("a = models.IntegerField(null=True, editable=False)", None),
    ("a = models.IntegerField(null=True, editable=0)", None),
    ("a = models.IntegerField(null=True, editable=HIDDEN)", None),
    ("a = models.BinaryField(null=True)", None),
    ("a = models.DateTimeField(null=True, auto_now=True)", None),
    ("a = models.DateTimeField(null=True, auto_now_add=True)", None),
    ("a = models.DateField(null=True, auto_now=True)", None),
    ("a = models.TimeField(null=True, auto_now_add=True)", None),
    ("a = MomentField(null=True, auto_now=True)", None),
    ("a = StampField(null=True)", None),
    # An __init__ that assigns editable overrides what the call writes.
    ("a = StampField(null=True, editable=True)", None),
    ("a = HiddenField(null=True)", None),
    ("a = HiddenChildField(null=True)", None),
    # Editable: reported and fixed as before.
    (
        "a = models.IntegerField(null=True)",
        "a = models.IntegerField(null=True, blank=True)",
    ),
    (
        "a = models.ForeignKey(Author, on_delete=models.CASCADE, null=True)",
        "a = models.ForeignKey(Author, on_delete=models.CASCADE, null=True, blank=True)",
    ),
    (
        "a = models.IntegerField(null=True, editable=True)",
        "a = models.IntegerField(null=True, editable=True, blank=True)",
    ),
    # setdefault gives way to what the call writes.
    (
        "a = models.BinaryField(null=True, editable=True)",
        "a = models.BinaryField(null=True, editable=True, blank=True)",
    ),
    (
        "a = HiddenField(null=True, editable=True)",
        "a = HiddenField(null=True, editable=True, blank=True)",
    ),
    # Values that may be true: a call's result, or whatever **options carries.
    (
        "a = models.IntegerField(null=True, editable=is_shown())",
        "a = models.IntegerField(null=True, editable=is_shown(), blank=True)",
    ),
    (
        "a = models.BinaryField(null=True, **OPTIONS)",
        "a = models.BinaryField(null=True, blank=True, **OPTIONS)",
    ),
    (
        "a = models.DateTimeField(null=True, auto_now=False)",
        "a = models.DateTimeField(null=True, auto_now=False, blank=True)",
    ),
    (
        "a = models.DateTimeField(null=True, auto_now=is_stamped())",
        "a = models.DateTimeField(null=True, auto_now=is_stamped(), blank=True)",
    ),
    ("a = models.DateField(null=True)", "a = models.DateField(null=True, blank=True)"),
    ("a = MomentField(null=True)", "a = MomentField(null=True, blank=True)"),
    (
        "a = LabelledField(null=True)",
        "a = LabelledField(null=True, blank=True)",
    ),
    # Code that may or may not hide the field, or that takes editable away, is not
    # followed: the field may be editable.
    (
        "a = SometimesHiddenField(null=True)",
        "a = SometimesHiddenField(null=True, blank=True)",
    ),
    (
        "a = PoppingField(null=True, editable=False)",
        "a = PoppingField(null=True, editable=False, blank=True)",
    ),
]

EDITABLE_MODELS = """\
from django.db import models

from .fields import (
    HiddenChildField,
    HiddenField,
    LabelledField,
    MomentField,
    PoppingField,
    SometimesHiddenField,
    StampField,
)

HIDDEN = False
OPTIONS = {"editable": True}


def is_shown():
    return True


def is_stamped():
    return False


class Author(models.Model):
    pass


class Entry(models.Model):
"""


@pytest.fixture(scope="module")
def editable_rows(linted_project, tmp_path_factory):
    """The rows as members of one model, linted once, and suggest_fixes once over a
    C2003 finding on every row, as a tool still holding old findings would ask:
    {declaration: (C2003 reported, the text of its suggestion block or None)}."""
    source = tmp_path_factory.mktemp("editable") / "editable"
    (source / "app").mkdir(parents=True)
    (source / "app" / "__init__.py").write_text("")
    (source / "app" / "fields.py").write_text(FIELD_CLASSES)
    body = "".join(f"    {declaration}\n" for declaration, _ in EDITABLE_ROWS)
    (source / "app" / "models.py").write_text(EDITABLE_MODELS + body)
    project = linted_project(source)
    path = project.root / "app" / "models.py"
    first = EDITABLE_MODELS.count("\n") + 1
    rows = {first + i: declaration for i, (declaration, _) in enumerate(EDITABLE_ROWS)}
    found = project.findings("C2003")
    reported = {line for where, line, _ in found if where == "app/models.py"}
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(project.root))
        comments = [finding(path, row, "C2003") for row in rows]
        blocks = items_of(suggest.suggest_fixes(comments, str(project.root)), path)
    fixes = {start: text.strip() for start, _, text in blocks}
    return {
        declaration: (row in reported, fixes.get(row))
        for row, declaration in rows.items()
    }


@pytest.mark.parametrize(
    "declaration, fix", EDITABLE_ROWS, ids=[row[0][4:] for row in EDITABLE_ROWS]
)
def test_null_not_blank_only_where_a_form_edits_the_field(
    editable_rows, declaration, fix
):
    assert editable_rows[declaration] == (fix is not None, fix)


# --- Rewrites ------------------------------------------------------------------------


def rewrite(snippet, codes):
    call = node_of(snippet)
    statement = call.statement(future=True)
    colspec.build_transformer_visitor(codes).visit(statement)
    return call.as_string()


@pytest.mark.parametrize(
    "snippet, codes, expected",
    [
        # C2008
        ("models.NullBooleanField()  #@", {"C2008"}, "models.BooleanField(null=True)"),
        (
            "models.NullBooleanField(null=False, default=None)  #@",
            {"C2008"},
            "models.BooleanField(null=True, default=None)",
        ),
        (
            "models.NullBooleanField(verbose_name='x', **{})  #@",
            {"C2008"},
            "models.BooleanField(verbose_name='x', null=True, **{})",
        ),
        # A class taken from a subscript has no name to change: the call stays.
        ("FIELDS['flag']()  #@", {"C2008"}, "FIELDS['flag']()"),
        # C2006
        (
            "models.CharField(max_length=1000, blank=True)  #@",
            {"C2006"},
            "models.TextField(blank=True)",
        ),
        (
            "models.CharField(verbose_name='x', max_length=600)  #@",
            {"C2006"},
            "models.TextField(verbose_name='x')",
        ),
        (
            "ArrayField(models.CharField(max_length=1000))  #@",
            {"C2006"},
            "ArrayField(models.TextField())",
        ),
        # C2002
        (
            "models.CharField(max_length=20, null=False, blank=False)  #@",
            {"C2002"},
            "models.CharField(max_length=20)",
        ),
        (
            "models.CharField(max_length=20, null=False, default=None)  #@",
            {"C2002"},
            "models.CharField(max_length=20, default=None)",
        ),
        ("models.SlugField(db_index=True)  #@", {"C2002"}, "models.SlugField()"),
        (
            "models.SlugField(db_index=False)  #@",
            {"C2002"},
            "models.SlugField(db_index=False)",
        ),
        # C2003
        (
            "models.IntegerField(null=True)  #@",
            {"C2003"},
            "models.IntegerField(null=True, blank=True)",
        ),
        (
            "models.IntegerField(null=True, blank=False)  #@",
            {"C2003"},
            "models.IntegerField(null=True, blank=True)",
        ),
        (
            "from django.db.models import IntegerField as CharField\n"
            "CharField(null=True)  #@",
            {"C2003"},
            "CharField(null=True)",
        ),
        # C2000
        (
            "models.CharField(max_length=10, null=True)  #@",
            {"C2000"},
            "models.CharField(max_length=10, default='', blank=True)",
        ),
        (
            "models.CharField(null=True, default=None, blank=False)  #@",
            {"C2000"},
            "models.CharField(default='', blank=True)",
        ),
        (
            "models.CharField(null=True, **{})  #@",
            {"C2000"},
            "models.CharField(default='', blank=True, **{})",
        ),
        (
            "models.CharField(null=True, default='draft')  #@",
            {"C2000"},
            "models.CharField(default='draft', blank=True)",
        ),
        (
            "models.CharField(null=True, choices=[('', '---'), ('a', 'A')])  #@",
            {"C2000"},
            "models.CharField(default='', choices=[('', '---'), ('a', 'A')], "
            "blank=True)",
        ),
        (
            "models.CharField(max_length=10, null=True)  #@",
            {"C2000", "C2003"},
            "models.CharField(max_length=10, default='', blank=True)",
        ),
        # C2000 left alone: a unique or a choice list without a blank choice
        ("models.CharField(null=True, unique=True)  #@", {"C2000"}, None),
        ("models.CharField(null=True, unique=1)  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=[('a', 'A')])  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=[])  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=5)  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=None)  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=[('a',), ('', 'x')])  #@", {"C2000"}, None),
        ("models.CharField(null=True, choices=[3, ('', 'x')])  #@", {"C2000"}, None),
        # other modules' codes and unflagged calls
        ("models.CharField(null=True)  #@", {"C9000", "C2002"}, None),
        ("len('x')  #@", {"C2000", "C2002", "C2003", "C2006", "C2008"}, None),
    ],
)
def test_rewrites(snippet, codes, expected):
    if "ArrayField" in snippet:
        snippet = "from django.contrib.postgres.fields import ArrayField\n" + snippet
    before = node_of(snippet).as_string()
    assert rewrite(snippet, codes) == (before if expected is None else expected)


def test_nullable_string_field_with_unique_unknown_is_left_alone():
    # A unique value inference cannot settle may be true: no empty default then.
    snippet = "models.CharField(null=True, unique=FLAG)  #@"
    assert rewrite(snippet, {"C2000"}) == "models.CharField(null=True, unique=FLAG)"


def test_new_blank_keyword_of_nullable_string_rewrite_has_place():
    call = node_of("models.CharField(null=True)  #@")
    colspec.transform_null_to_default_str(call)
    default, blank = call.keywords
    assert (blank.arg, blank.lineno, blank.parent) == ("blank", call.lineno, call)
    assert default.lineno == call.lineno  # the null keyword, renamed in place
    assert blank.value.value is True and default.value.value == ""


def test_rewrites_answer_their_node():
    for transform, snippet in [
        (colspec.transform_null_to_default_str, "models.CharField(null=True)  #@"),
        (colspec.transform_redundant_kwargs, "models.CharField(null=False)  #@"),
        (colspec.transform_add_blank_true, "models.IntegerField(null=True)  #@"),
        (colspec.transform_huge_char_field, "models.CharField(max_length=900)  #@"),
        (colspec.transform_nullboolean, "models.NullBooleanField()  #@"),
    ]:
        call = node_of(snippet)
        assert transform(call) is call


def test_rewrites_give_a_call_without_keywords_a_list():
    call = node_of("models.NullBooleanField()  #@")
    call.keywords = None
    colspec.transform_nullboolean(call)
    assert call.as_string() == "models.BooleanField(null=True)"
    call = node_of("models.TextField()  #@")
    call.keywords = None
    colspec.transform_null_to_default_str(call)
    assert call.as_string() == "models.TextField(blank=True, default='')"


@pytest.mark.parametrize(
    "codes",
    [
        ["C2008", "C2006", "C2003", "C2002", "C2000"],
        ["C2000", "C2002", "C2003", "C2006", "C2008"],
        {"C2006", "C2000", "C2008", "C2002", "C2003", "C7000"},
    ],
    ids=["reversed", "sorted", "set"],
)
def test_registrations_follow_code_order(codes):
    visitor = colspec.build_transformer_visitor(codes)
    assert isinstance(visitor, helpers.NodeTransformVisitor)
    assert list(visitor.transforms) == [astroid.nodes.Call]
    assert [
        (transform.__name__, predicate.__name__)
        for transform, predicate in visitor.transforms[astroid.nodes.Call]
    ] == [
        ("transform_null_to_default_str", "is_null_stringfield"),
        ("transform_redundant_kwargs", "has_redundant_kwargs"),
        ("transform_add_blank_true", "is_missing_blank_true"),
        ("transform_huge_char_field", "is_huge_char_field"),
        ("transform_nullboolean", "is_nullboolean"),
    ]
    # The very objects the module exposes.
    transform, predicate = visitor.transforms[astroid.nodes.Call][0]
    assert transform is colspec.transform_null_to_default_str
    assert predicate is colspec.is_null_stringfield


def test_factory_keeps_repeats_and_ignores_other_codes():
    visitor = colspec.build_transformer_visitor(["C2008", "C6001", "C2008"])
    assert [t.__name__ for t, _ in visitor.transforms[astroid.nodes.Call]] == [
        "transform_nullboolean",
        "transform_nullboolean",
    ]
    assert not colspec.build_transformer_visitor(set()).transforms


# --- Sample project ------------------------------------------------------------------

REPO = Path(__file__).resolve().parent.parent


def test_sample_project_shows_every_model_rule(sample_output):
    codes = {record["message-id"] for record in sample_output["findings"]}
    model_codes = {c for c in codes if c.startswith(("C20", "C30"))}
    assert model_codes == set(colspec.Checker.msgs) | {"C3000", "C3002", "C3003"}
