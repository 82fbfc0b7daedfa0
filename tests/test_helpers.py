"""Tests of vorlane.staticanalysis.helpers, called as its users call it."""
import decimal
import gc
import inspect
import io
import json.decoder
import os
import pickle
import subprocess
import sys
import textwrap

import astroid
import asttokens
import pytest

from vorlane.staticanalysis import helpers

DJANGO_MODULE = """
from django.db import models
from django.contrib import admin
from django.db.migrations import Migration


class Book(models.Model):
    title = models.CharField(max_length=10)


class Shelf(models.Manager):
    pass


class BookAdmin(admin.ModelAdmin):
    pass


class Plain:
    pass
"""


def value_of(module, expression):
    """The one value that `expression`, evaluated at the end of module, infers to."""
    node = astroid.extract_node(module + "\n" + expression + "  #@\n")
    inferred = node.inferred()
    assert len(inferred) == 1
    return inferred[0]


# --- module contents ------------------------------------------------------------------


def test_module_contents_in_load_order():
    names = [name for name in vars(helpers) if not name.startswith("_")]
    assert names == [
        "DJANGO_STRING_FIELDS",
        "DJANGO_BOOLEAN_FIELDS",
        "context_string",
        "preserve_metadata",
        "normalize_django_template",
        "is_migration_file",
        "is_model_field",
        "get_function_name",
        "add_to_keywords",
        "NodeValueUndefinable",
        "astroid_node_to_value",
        "get_astroid_node_constant_values",
        "set_function_name",
        "get_node_default_arguments",
        "get_node_explicit_arguments",
        "is_model",
        "get_member_name",
        "is_queryset",
        "is_related_field",
        "is_model_admin",
        "get_module_name",
        "get_middleware_position",
        "read_code_from_file",
        "module_path_from_file",
        "add_node",
        "build_atok",
        "is_model_manager",
        "is_node_abstract_model",
        "find_node_by_position",
        "find_node_parent",
        "serializer",
        "NodeTransformVisitor",
    ]


def test_field_name_sets():
    assert helpers.DJANGO_STRING_FIELDS == {
        "TextField",
        "CharField",
        "URLField",
        "EmailField",
        "SlugField",
    }
    assert helpers.DJANGO_BOOLEAN_FIELDS == {"BooleanField", "NullBooleanField"}
    assert type(helpers.DJANGO_STRING_FIELDS) is set


def test_loading_does_not_load_shims():
    # helpers alone must not pull the shims in: that import belongs to build_atok.
    code = (
        "import sys, vorlane.staticanalysis.helpers; "
        "print('vorlane.staticanalysis.shims' in sys.modules)"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    assert out.stdout.strip() == "False"


# --- context_string ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "right",
    [{"count": 3}, 5, None, ("a", "b"), "text"],
    ids=["mapping", "number", "none", "tuple", "text"],
)
def test_context_string_mod_answers_right_operand(right):
    assert helpers.context_string() % right is right
    assert helpers.context_string("foo %s") % right is right


def test_context_string_is_text():
    assert helpers.context_string() == ""
    assert helpers.context_string("x") == "x"
    assert helpers.context_string(12) == "12"
    assert isinstance(helpers.context_string(), str)
    assert hash(helpers.context_string("ab")) == hash("ab")
    assert helpers.context_string("a") + "b" == "ab"
    assert "Allow deferring string render" in helpers.context_string.__doc__
    assert helpers.context_string.__doc__.count("\n") == 1


def test_context_string_pickles():
    text = pickle.loads(pickle.dumps(helpers.context_string("ab")))
    assert type(text) is helpers.context_string and text == "ab"
    assert pickle.loads(pickle.dumps(helpers.context_string)) is helpers.context_string


def test_node_value_undefinable_is_bare_type_error():
    assert issubclass(helpers.NodeValueUndefinable, TypeError)
    assert helpers.NodeValueUndefinable.__module__ == "vorlane.staticanalysis.helpers"


# --- NodeTransformVisitor -------------------------------------------------------------------


def test_node_transform_visitor_without_registration_answers_node():
    node = astroid.extract_node("f(1, 2)")
    assert helpers.NodeTransformVisitor().visit(node) is node
    assert issubclass(helpers.NodeTransformVisitor, astroid.transforms.TransformVisitor)


def test_node_transform_visitor_replaces_child():
    statement = astroid.extract_node("x = f(1)")
    visitor = helpers.NodeTransformVisitor()
    replacement = astroid.Const(7)
    visitor.register_transform(astroid.Call, lambda node: replacement, None)
    assert visitor.visit(statement) is statement
    assert statement.value is replacement
    assert statement.as_string() == "x = 7"


def test_node_transform_visitor_predicate_and_lists():
    statements = astroid.parse("a = f(1)\nb = g(2)\n").body
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(
        astroid.Call, lambda node: astroid.Const(0), lambda node: node.func.name == "g"
    )
    assert [s.as_string() for s in visitor.visit(statements)] == ["a = f(1)", "b = 0"]
    assert isinstance(visitor.visit(tuple(statements)), tuple)


def test_node_transform_visitor_pickles_as_class():
    assert pickle.loads(pickle.dumps(helpers.NodeTransformVisitor)) is (
        helpers.NodeTransformVisitor
    )


# --- serializer and small text utilities --------------------------------------------------


@pytest.mark.parametrize(
    "obj, expected",
    [
        (decimal.Decimal("2.9"), 2),
        (decimal.Decimal("-2.9"), -2),
        (set(), []),
        ({"a"}, ["a"]),
    ],
    ids=["decimal", "negative-decimal", "empty-set", "set"],
)
def test_serializer(obj, expected):
    result = helpers.serializer(obj)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "obj, name",
    [
        (frozenset(), "frozenset"),
        (1.5, "float"),
        (object(), "object"),
        (decimal.Context(), "Context"),
    ],
    ids=["frozenset", "float", "object", "qualified-class"],
)
def test_serializer_refuses(obj, name):
    with pytest.raises(TypeError) as error:
        helpers.serializer(obj)
    assert str(error.value) == f"Object of type {name} is not JSON serializable"


def test_serializer_non_finite_decimal_raises():
    with pytest.raises((ValueError, OverflowError)):
        helpers.serializer(decimal.Decimal("NaN"))


def test_serializer_with_json():
    import json

    assert json.dumps({"a": {1}}, default=helpers.serializer) == '{"a": [1]}'


@pytest.mark.parametrize(
    "text, expected",
    [
        ("  <a>\n\t<b> ", " <a> <b> "),
        ("<p>x</p>", "<p>x</p>"),
        ("a\u00a0\u2003b", "a b"),
        ("", ""),
    ],
    ids=["collapsed", "untouched", "unicode-space", "empty"],
)
def test_normalize_django_template(text, expected):
    assert helpers.normalize_django_template(text) == expected
    assert helpers.normalize_django_template(template_content=text) == expected


@pytest.mark.parametrize(
    "module, expected",
    [
        ("a.b.c", "c"),
        ("abc", "abc"),
        ("a.", ""),
    ],
    ids=["dotted", "plain", "trailing-dot"],
)
def test_get_module_name(module, expected):
    assert helpers.get_module_name(module) == expected


def test_get_module_name_needs_text():
    with pytest.raises(AttributeError):
        helpers.get_module_name(3)


@pytest.mark.parametrize(
    "middlewares, middleware, expected",
    [
        (["a", "b", "c"], "a", 33),
        (["a", "b", "c"], "b", 66),
        (["a", "b", "c"], "c", 99),
        (["a", "b", "c"], "z", None),
        (["a", "b", "a", "c"], "a", 25),
        (["a", "b", "c", "d"], "d", 100),
        (["only"], "only", 100),
        ([str(i) for i in range(101)], "100", 0),
        ((), "a", None),
    ],
    ids=[
        "first",
        "second",
        "last-of-three",
        "absent",
        "first-occurrence",
        "last-of-four",
        "single",
        "over-hundred",
        "empty",
    ],
)
def test_get_middleware_position(middlewares, middleware, expected):
    assert helpers.get_middleware_position(middlewares, middleware) == expected


def test_get_middleware_position_needs_index():
    with pytest.raises(AttributeError):
        helpers.get_middleware_position(None, "a")


# --- Django class predicates ----------------------------------------------------------------


@pytest.mark.parametrize(
    "expression, predicate, expected",
    [
        ("Book", "is_model", True),
        ("Book()", "is_model", True),
        ("models.Model", "is_model", True),
        ("Plain", "is_model", False),
        ("Plain()", "is_model", False),
        ("Shelf()", "is_model_manager", True),
        ("Shelf", "is_model_manager", True),
        ("Book", "is_model_manager", False),
        ("Book.title", "is_model_manager", False),
        ("BookAdmin", "is_model_admin", True),
        ("Book", "is_model_admin", False),
        ("models.ForeignKey", "is_related_field", True),
        ("models.CharField", "is_related_field", False),
        ("models.QuerySet()", "is_queryset", True),
        ("Book", "is_queryset", False),
        ("Shelf()", "is_queryset", False),
    ],
)
def test_mro_predicates_on_inferred_values(expression, predicate, expected):
    value = value_of(DJANGO_MODULE, expression)
    assert getattr(helpers, predicate)(value) is expected


@pytest.mark.parametrize(
    "predicate",
    [
        "is_model",
        "is_queryset",
        "is_related_field",
        "is_model_admin",
        "is_model_manager",
        "is_model_field",
    ],
)
@pytest.mark.parametrize(
    "value",
    [
        None,
        astroid.Uninferable,
        astroid.extract_node("f(1)"),
        3,
    ],
    ids=["none", "uninferable", "call", "number"],
)
def test_mro_predicates_answer_false_for_values_without_mro(predicate, value):
    assert getattr(helpers, predicate)(value) is False


def test_mro_predicates_answer_false_when_mro_cannot_be_computed():
    # A duplicated base makes astroid's MRO computation raise.
    value = value_of(DJANGO_MODULE + "\nclass Twice(Book, Book): pass\n", "Twice")
    with pytest.raises(Exception):
        value.mro()
    assert helpers.is_model(value) is False


def test_mro_predicates_let_keyboard_interrupt_through():
    class Interrupting:
        def mro(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        helpers.is_model(Interrupting())


def test_mro_predicates_false_on_failing_qname():
    class Entry:
        def qname(self):
            raise RuntimeError("broken")

    class Value:
        def mro(self):
            return [Entry()]

    assert helpers.is_model(Value()) is False


def test_mro_predicates_accept_keywords():
    model = value_of(DJANGO_MODULE, "Book")
    related = value_of(DJANGO_MODULE, "models.ForeignKey")
    assert helpers.is_model(model, context=None, extra=1) is True
    assert helpers.is_model(node=model) is True
    assert helpers.is_related_field(related, anything="x") is True
    assert helpers.is_related_field(node=value_of(DJANGO_MODULE, "Plain"), x=1) is False
    with pytest.raises(TypeError):
        helpers.is_queryset(model, extra=1)


def test_is_queryset_of_a_class_like_node_with_queryset_qname():
    class QuerySetLike(astroid.ClassDef):
        def qname(self):
            return "django.db.models.query.QuerySet"

    node = QuerySetLike(name="QuerySetLike")
    assert helpers.is_queryset(node) is True
    assert helpers.is_model(node) is False


@pytest.mark.parametrize(
    "source, expected",
    [
        ("models.CharField(max_length=10)", True),
        ("models.ForeignKey(Book, on_delete=models.CASCADE)", True),
        ("undefined_name(max_length=10)", False),
        ("Plain()", False),
        ("Book()", False),
    ],
    ids=["charfield", "foreignkey", "uninferable", "plain-instance", "model-instance"],
)
def test_is_model_field(source, expected):
    node = astroid.extract_node(DJANGO_MODULE + "\n" + source + "  #@\n")
    assert helpers.is_model_field(node) is expected


MIGRATION_BASE = "from django.db import migrations\n"


@pytest.mark.parametrize(
    "source, expected",
    [
        (MIGRATION_BASE + "class Migration(migrations.Migration):\n    pass\n", True),
        (MIGRATION_BASE + "X = 1\n", False),
        (
            MIGRATION_BASE + "class Helper:\n    pass\n"
            "class Migration(migrations.Migration):\n    pass\n",
            False,
        ),
        # The first class's MRO cannot be read, so the next one decides.
        (
            MIGRATION_BASE + "class Base: pass\nclass Broken(Base, Base):\n    pass\n"
            "class Migration(migrations.Migration):\n    pass\n",
            False,
        ),
        (
            MIGRATION_BASE + "class Broken(int, int):\n    pass\n"
            "class Migration(migrations.Migration):\n    pass\n",
            True,
        ),
        (
            MIGRATION_BASE + "def f():\n    class Migration(migrations.Migration):\n"
            "        pass\n",
            True,
        ),
    ],
    ids=[
        "migration",
        "no-class",
        "helper-first",
        "readable-first",
        "broken-first",
        "nested",
    ],
)
def test_is_migration_file(source, expected):
    module = astroid.parse(source)
    assert helpers.is_migration_file(module.body[-1]) is expected
    assert helpers.is_migration_file(node=module) is expected


def test_is_migration_file_lets_root_errors_through():
    with pytest.raises(AttributeError):
        helpers.is_migration_file(None)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("class A(models.Model):\n    x = 1\n", None),
        ("class A(models.Model):\n    class Meta:\n        ordering = []\n", None),
        (
            "class A(models.Model):\n    class Meta:\n        abstract = True\n",
            "abstract",
        ),
        (
            "class A(models.Model):\n    class Meta:\n        abstract = False\n",
            "abstract",
        ),
    ],
    ids=["no-meta", "meta-without-abstract", "abstract-true", "abstract-false"],
)
def test_is_node_abstract_model(source, expected):
    cls = astroid.parse("from django.db import models\n" + source).body[-1]
    answer = helpers.is_node_abstract_model(cls)
    if expected is None:
        assert answer is False
    else:
        assert isinstance(answer, astroid.AssignName) and answer.name == expected
        assert answer.parent.parent is cls["Meta"]


def test_is_node_abstract_model_of_a_module():
    assert helpers.is_node_abstract_model(astroid.parse("x = 1\n")) is False


def test_is_node_abstract_model_lets_other_errors_through():
    with pytest.raises(TypeError):
        helpers.is_node_abstract_model(None)


# --- static evaluation ------------------------------------------------------------------


EVAL_MODULE = """
from os import sep as SEP
import os
X = "a"
PARTS = ("b", "c")
JOINED = "a" + "b"
NUMBER = 2 * 21
"""


@pytest.mark.parametrize(
    "expression, expected",
    [
        ('"x"', "x"),
        ("(1, 2)", [1, 2]),
        ('{"a": [1]}', {"a": [1]}),
        ('{"a": 1, "a": 2}', {"a": 2}),
        ("[X, (X, 3), None]", ["a", ["a", 3], None]),
        ("X", "a"),
        ('"a" + "b"', "ab"),
        ("NUMBER", 42),
        ("JOINED", "ab"),
        ("PARTS", ["b", "c"]),
        ("b'x'", b"x"),
        ("True", True),
    ],
    ids=[
        "const",
        "tuple",
        "dict",
        "dict-later-key",
        "nested",
        "name",
        "binop",
        "name-of-binop",
        "name-of-joined",
        "name-of-tuple",
        "bytes",
        "true",
    ],
)
def test_astroid_node_to_value(expression, expected):
    node = astroid.extract_node(EVAL_MODULE + expression + "  #@\n")
    value = helpers.astroid_node_to_value(node)
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize(
    "expression, kind",
    [
        ("SEP", astroid.ImportFrom),
        ("undefined_name", astroid.Name),
        ("os.unknown_attribute", astroid.Attribute),
        ("f(1)", astroid.Call),
        ("lambda: 1", astroid.Lambda),
        ("[x for x in PARTS]", astroid.ListComp),
        ("os", astroid.Import),
        ("undefined_name + 1", astroid.BinOp),
    ],
    ids=[
        "from-import",
        "unbound-name",
        "uninferable-attribute",
        "call",
        "lambda",
        "comprehension",
        "import",
        "uninferable-binop",
    ],
)
def test_astroid_node_to_value_hands_back_nodes(expression, kind):
    node = astroid.extract_node(EVAL_MODULE + expression + "  #@\n")
    value = helpers.astroid_node_to_value(node)
    assert isinstance(value, kind)
    if kind in (
        astroid.Name,
        astroid.Attribute,
        astroid.Call,
        astroid.Lambda,
        astroid.ListComp,
        astroid.BinOp,
    ):
        assert value is node


def test_astroid_node_to_value_keeps_unevaluated_elements():
    node = astroid.extract_node("[1, f()]")
    value = helpers.astroid_node_to_value(node)
    assert value[0] == 1 and value[1] is node.elts[1]


@pytest.mark.parametrize(
    "value",
    [None, astroid.Uninferable, "text", 5],
    ids=["none", "uninferable", "text", "number"],
)
def test_astroid_node_to_value_of_plain_values(value):
    assert helpers.astroid_node_to_value(value) is value


def test_astroid_node_to_value_of_an_inferred_instance():
    node = astroid.extract_node("class A: pass\nA.attr = A()\nA.attr  #@\n")
    assert isinstance(helpers.astroid_node_to_value(node), astroid.Instance)


def test_astroid_node_to_value_dict_with_unhashable_key_has_no_value():
    # The tuple key converts to a list, which no mapping takes: the node comes back,
    # as for anything else without a static value (a model field's keyword once ended
    # the lint of the whole file here).
    node = astroid.extract_node("{(1, 2): 'x', 'a': 1}")
    assert helpers.astroid_node_to_value(node) is node


def test_astroid_node_to_value_deep_nesting_raises_recursion_error():
    node = astroid.extract_node("[" * 200 + "]" * 200)
    value = helpers.astroid_node_to_value(node)
    for _ in range(199):
        value = value[0]
    assert value == []
    deep = astroid.Const(1)
    for _ in range(sys.getrecursionlimit() + 10):
        outer = astroid.List()
        outer.postinit([deep])
        deep = outer
    with pytest.raises(RecursionError):
        helpers.astroid_node_to_value(deep)


CONSTANTS_MODULE = """
from m import IMPORTED
import os
X = "first"
X = "second"
UNKNOWN = undefined_call()
PATH = os
"""


@pytest.mark.parametrize(
    "key, expected",
    [
        ("X", "first"),
        ("MISSING", None),
        ("IMPORTED", None),
    ],
    ids=["first-binding", "unbound", "from-import"],
)
def test_get_astroid_node_constant_values(key, expected):
    module = astroid.parse(CONSTANTS_MODULE)
    assert helpers.get_astroid_node_constant_values(module, key) == expected
    assert helpers.get_astroid_node_constant_values(node=module, key=key) == expected


@pytest.mark.parametrize("key", ["UNKNOWN", "os"], ids=["uninferable-call", "import"])
def test_get_astroid_node_constant_values_uninferable_raises(key):
    # A plain import is followed (unlike a from-import), and an import statement alone
    # does not infer.
    module = astroid.parse(CONSTANTS_MODULE)
    with pytest.raises(helpers.NodeValueUndefinable) as error:
        helpers.get_astroid_node_constant_values(module, key)
    assert error.value.args == ()
    with pytest.raises(TypeError):
        helpers.get_astroid_node_constant_values(module, key)


DEFAULTS_MODULE = """
NOT_PROVIDED = object()
class Base:
    def __init__(self, a=1, b=NOT_PROVIDED, *args, c=3, **kwargs):
        pass
class Child(Base):
    def __init__(self, a=2, d="d"):
        pass
class KeywordOnly(Base):
    def __init__(self, *args, a=4, required, e=NOT_PROVIDED, **kwargs):
        pass
class Bare:
    def __init__(self, x, y):
        pass
class NoInit:
    pass
class Shadowing(Base):
    x = 1
class Rebound(Base):
    __init__ = Bare.__init__
"""


@pytest.mark.parametrize(
    "call, expected",
    [
        ("Base()", {"a": 1, "c": 3}),
        ("Child()", {"a": 2, "d": "d", "c": 3}),
        ("KeywordOnly()", {"a": 4, "c": 3}),
        ("Shadowing()", {"a": 1, "c": 3}),
        ("Rebound()", {"a": 1, "c": 3}),
        ("Bare(1, 2)", {}),
        ("NoInit()", {}),
        ("undefined()", {}),
        ("Base", {"a": 1, "c": 3}),
    ],
    ids=[
        "base",
        "child-wins",
        "keyword-only-child-wins",
        "inherited",
        "init-bound-by-assignment",
        "no-defaults",
        "no-init",
        "uninferable",
        "class",
    ],
)
def test_get_node_default_arguments(call, expected):
    node = astroid.extract_node(DEFAULTS_MODULE + call + "  #@\n")
    assert helpers.get_node_default_arguments(node) == expected


def test_get_node_default_arguments_of_a_django_field():
    node = astroid.extract_node(
        "from django.db import models\nmodels.CharField(max_length=3)  #@\n"
    )
    defaults = helpers.get_node_default_arguments(node)
    assert defaults["null"] is False and defaults["blank"] is False
    assert "default" not in defaults


def test_get_node_default_arguments_keyword_only_field_defaults():
    # SlugField declares `*args, max_length=50, db_index=True`: its own keyword-only
    # defaults win over Field's ordinary ones.
    node = astroid.extract_node(
        "from django.db import models\nmodels.SlugField()  #@\n"
    )
    defaults = helpers.get_node_default_arguments(node)
    assert (defaults["db_index"], defaults["max_length"]) == (True, 50)
    assert defaults["allow_unicode"] is False and defaults["null"] is False


def test_get_node_default_arguments_without_mro_raises():
    with pytest.raises(AttributeError):
        helpers.get_node_default_arguments(
            astroid.extract_node("def f(): pass\nf  #@\n")
        )


EXPLICIT_MODULE = """
OPTIONS = {"blank": True}
def f(**kwargs):
    pass
"""


@pytest.mark.parametrize(
    "call, expected",
    [
        ("f()", {}),
        ("f(1, 2)", {}),
        ("f(null=True)", {"null": True}),
        ("f(null=True, size=(1, 2))", {"null": True, "size": [1, 2]}),
        ("f(value=undefined_name)", {}),
        ("f(**OPTIONS)", {None: {"blank": True}}),
        ("f(a=1, **OPTIONS, b=2)", {"a": 1, None: {"blank": True}, "b": 2}),
    ],
    ids=[
        "no-keyword",
        "positional",
        "constant",
        "two",
        "uninferable",
        "double-star",
        "mixed",
    ],
)
def test_get_node_explicit_arguments(call, expected):
    node = astroid.extract_node(EXPLICIT_MODULE + call + "  #@\n")
    assert helpers.get_node_explicit_arguments(node) == expected


def test_get_node_explicit_arguments_takes_first_inferred_value():
    node = astroid.extract_node(
        "import random\nV = 1 if random.random() else 2\nf(v=V)  #@\n"
    )
    assert helpers.get_node_explicit_arguments(node) == {"v": 1}


def test_get_node_explicit_arguments_stores_uninferable():
    node = astroid.extract_node("def g(x):\n    return f(v=x.attr)  #@\n").value
    assert helpers.get_node_explicit_arguments(node) == {"v": astroid.Uninferable}


@pytest.mark.parametrize(
    "source, expected",
    [
        ("name = models.CharField()  #@", "name"),
        ("a = b = f()  #@", "a"),
        ("a, b = f()  #@", None),
        ("x: int = f()  #@", None),
        ("x += f()  #@", None),
        ("f()  #@", None),
        ("obj.attr = f()  #@", None),
        ("name = g(f())  #@", "name"),
        ("class A:\n    field = f(1)  #@", "field"),
    ],
    ids=[
        "assign",
        "chained",
        "tuple-target",
        "annotated",
        "augmented",
        "expression",
        "attribute-target",
        "nested-call",
        "class-body",
    ],
)
def test_get_member_name(source, expected):
    node = astroid.extract_node(source)
    call = (
        node.value
        if isinstance(
            node, (astroid.Assign, astroid.AnnAssign, astroid.AugAssign, astroid.Expr)
        )
        else node
    )
    assert helpers.get_member_name(call) == expected
    assert helpers.get_member_name(node) == expected


def test_get_member_name_of_a_module():
    assert helpers.get_member_name(astroid.parse("x = 1\n")) is None


# --- call editing and node metadata -----------------------------------------------------


@pytest.mark.parametrize(
    "source, expected",
    [
        ("qs.filter(x=1)", "filter"),
        ("len(x)", "len"),
        ("make()()", None),
        ("handlers[0]()", None),
        ("(lambda: 1)()", None),
    ],
    ids=["attribute", "name", "call-result", "subscript", "lambda"],
)
def test_get_function_name(source, expected):
    assert helpers.get_function_name(astroid.extract_node(source)) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("models.NullBooleanField(null=True)", "models.BooleanField(null=True)"),
        ("NullBooleanField()", "BooleanField()"),
    ],
    ids=["attribute", "name"],
)
def test_set_function_name(source, expected):
    node = astroid.extract_node(source)
    receiver = node.func.expr if isinstance(node.func, astroid.Attribute) else None
    position = (node.lineno, node.col_offset, node.func.lineno, node.func.col_offset)
    assert helpers.set_function_name(node=node, new_name="BooleanField") is None
    assert node.as_string() == expected
    assert (
        node.lineno,
        node.col_offset,
        node.func.lineno,
        node.func.col_offset,
    ) == position
    if receiver is not None:
        assert node.func.expr is receiver


@pytest.mark.parametrize(
    "source", ["make()()", "handlers[0]()"], ids=["call-result", "subscript"]
)
def test_set_function_name_without_a_name_raises(source):
    node = astroid.extract_node(source)
    with pytest.raises(NotImplementedError) as error:
        helpers.set_function_name(node, "x")
    assert error.value.args == ()
    assert node.as_string() == source


def test_call_editing_needs_a_call():
    const = astroid.extract_node("1")
    with pytest.raises(AttributeError):
        helpers.get_function_name(const)
    with pytest.raises(AttributeError):
        helpers.set_function_name(const, "x")


def keyword_list(source):
    return list(astroid.extract_node(f"f({source})").keywords) if source else []


@pytest.mark.parametrize(
    "existing, expected",
    [
        ("", ["new=1"]),
        ("a=1, b=2", ["a=1", "b=2", "new=1"]),
        ("a=1, **rest", ["a=1", "new=1", "**rest"]),
        ("**rest", ["new=1", "**rest"]),
        ("**rest, a=1", ["**rest", "a=1", "new=1"]),
    ],
    ids=[
        "empty",
        "after-ordinary",
        "before-double-star",
        "only-double-star",
        "double-star-not-last",
    ],
)
def test_add_to_keywords(existing, expected):
    keywords = keyword_list(existing)
    new = keyword_list("new=1")[0]
    parent = new.parent
    assert helpers.add_to_keywords(keywords=keywords, keyword=new) is None
    assert [k.as_string() for k in keywords] == expected
    assert new.parent is parent


def test_add_to_keywords_edits_the_call_in_place():
    call = astroid.extract_node("models.CharField(max_length=3, **extra)")
    helpers.add_to_keywords(call.keywords, keyword_list("null=True")[0])
    assert call.as_string() == "models.CharField(max_length=3, null=True, **extra)"


def test_preserve_metadata():
    source = "\n" * 11 + "value = old_call(1)\n"
    old = asttokens.ASTTokens(source, tree=astroid.parse(source)).tree.body[0].value
    new = astroid.extract_node("\n\nnew_call(arg)")
    child_offsets = [child.col_offset for child in new.get_children()]
    assert helpers.preserve_metadata(new_node=new, old_node=old) is new
    assert [node.lineno for node in new.nodes_of_class(astroid.NodeNG)] == [12] * 3
    assert (new.parent, new.col_offset) == (old.parent, old.col_offset)
    assert new.first_token is old.first_token and new.last_token is old.last_token
    assert [child.col_offset for child in new.get_children()] == child_offsets
    assert old.lineno == 12 and old.parent.value is old


def test_preserve_metadata_without_tokens_raises_after_line_numbers():
    old = astroid.extract_node("\n\nold_call(1)")
    new = astroid.extract_node("new_call(arg)")
    with pytest.raises(AttributeError):
        helpers.preserve_metadata(new, old)
    assert new.lineno == 3 and new.func.lineno == 3


# --- statement lookup and node insertion ----------------------------------------------------


LOOKUP_SOURCE = '''\
x = 1

value = call(
    argument,
)
class Box:
    def method(self):
        inside = 1

        return inside

after = """
text
"""
'''


@pytest.mark.parametrize(
    "line, expected",
    [
        (1, "x = 1"),
        (2, None),
        (3, "value = call(argument)"),
        (4, "value = call(argument)"),
        (6, "class Box"),
        (8, "inside = 1"),
        (9, None),
        (13, None),
        (40, None),
    ],
    ids=[
        "simple",
        "blank",
        "first-row",
        "argument-row",
        "class",
        "body",
        "blank-in-body",
        "inside-string",
        "past-end",
    ],
)
def test_find_node_by_position(line, expected):
    tree = astroid.parse(LOOKUP_SOURCE)
    node = helpers.find_node_by_position(tree, line)
    if expected is None:
        assert node is None
    else:
        assert node.as_string().lstrip().startswith(expected)
        assert node is node.statement()


def test_find_node_by_position_of_row_zero_is_the_module():
    tree = astroid.parse(LOOKUP_SOURCE)
    assert helpers.find_node_by_position(tree=tree, line=0) is tree


@pytest.mark.parametrize(
    "line, expected",
    [
        (0, "module"),
        (1, "module"),
        (2, "module"),
        (4, "module"),
        (6, "Box"),
        (7, "method"),
        (8, "method"),
        (9, "method"),
        (11, "method"),
        (12, "module"),
        (14, "module"),
        (200, "module"),
        (-1, "module"),
        (-50, "module"),
    ],
    ids=[
        "row-zero",
        "statement",
        "blank-between",
        "call-argument",
        "class-line",
        "def-line",
        "body",
        "blank-in-body",
        "blank-after-function",
        "next-module-row",
        "inside-string",
        "past-end",
        "below-zero",
        "far-below-zero",
    ],
)
def test_find_node_parent(line, expected):
    tree = astroid.parse(LOOKUP_SOURCE)
    scope = helpers.find_node_parent(tree=tree, line=line)
    assert scope is tree if expected == "module" else scope.name == expected


def test_find_node_parent_above_first_statement():
    tree = astroid.parse("\n\n# comment\nx = 1\n")
    assert helpers.find_node_parent(tree, 2) is tree


def test_find_node_parent_after_last_method_of_a_class():
    tree = astroid.parse("class A:\n    def f(self):\n        pass\n\n\ny = 1\n")
    assert helpers.find_node_parent(tree, 5).name == "f"


def test_find_node_parent_long_rows_without_nodes():
    source = "x = '''\n" + "text\n" * (sys.getrecursionlimit() * 2) + "'''\n"
    tree = astroid.parse(source)
    assert helpers.find_node_parent(tree, sys.getrecursionlimit() * 2) is tree


def assignments(*rows):
    lines = [""] * max(rows)
    for row in rows:
        lines[row - 1] = f"v{row} = {row}"
    return astroid.parse("\n".join(lines) + "\n")


def test_add_node_keeps_body_in_row_order():
    tree = assignments(1, 5, 9)
    node = astroid.extract_node("new()")
    assert helpers.add_node(tree=tree, node=node, line_number=5) is None
    assert [n.as_string() for n in tree.body] == ["v1 = 1", "v5 = 5", "new()", "v9 = 9"]
    assert node.parent is tree and node.lineno == 5


def test_add_node_same_row_keeps_insertion_order():
    tree = assignments(1, 3)
    first, second = astroid.extract_node("first()"), astroid.extract_node("second()")
    helpers.add_node(tree, first, 2)
    helpers.add_node(tree, second, 2)
    assert [n.as_string() for n in tree.body] == [
        "v1 = 1",
        "first()",
        "second()",
        "v3 = 3",
    ]


def test_add_node_into_a_function_scope():
    tree = astroid.parse("def f():\n    a = 1\n\n    b = 2\nc = 3\n")
    node = astroid.extract_node("placed()")
    helpers.add_node(tree, node, 3)
    function = tree.body[0]
    assert [n.as_string() for n in function.body] == ["a = 1", "placed()", "b = 2"]
    assert node.parent is function
    assert len(tree.body) == 2


def test_add_node_changes_nothing_else():
    tree = assignments(1, 3)
    before = [(n.lineno, n.col_offset) for n in tree.body]
    node = astroid.extract_node("x()")
    helpers.add_node(tree, node, 2)
    assert [(n.lineno, n.col_offset) for n in tree.body if n is not node] == before
    assert not hasattr(node, "first_token")


def test_add_node_with_unsortable_body_raises():
    tree = assignments(1, 3)
    tree.body[0].lineno = None
    with pytest.raises(TypeError):
        helpers.add_node(tree, astroid.extract_node("x()"), 2)


# --- token-positioned trees and source files ------------------------------------------------


def body_summary(scope):
    """(row, text) per statement; a placeholder shows the text it carries."""
    out = []
    for node in scope.body:
        if isinstance(node, astroid.Call) and node.func.as_string() == "print":
            out.append((node.lineno, "placeholder", node.args[0].value))
        else:
            out.append((node.lineno, node.as_string()))
    return out


def test_build_atok_plain():
    atok = helpers.build_atok("x = 1\n")
    assert isinstance(atok, asttokens.ASTTokens)
    assert [n.as_string() for n in atok.tree.body] == ["x = 1"]
    assert atok.extra_line_map == {}
    assert atok.tree.name == ""
    assert atok.tree.file in (None, "<?>")
    for node in atok.tree.nodes_of_class(astroid.NodeNG):
        assert node.first_token is not None and node.last_token is not None
    assert atok.tree.body[0].first_token.string == "x"
    assert atok.get_text(atok.tree.body[0].value) == "1"


def test_build_atok_names_the_tree(tmp_path):
    path = str(tmp_path / "app" / "models.py")
    atok = helpers.build_atok(
        source="x = 1\n", modname="tests_build_atok_named", absolute_path=path
    )
    assert atok.tree.name == "tests_build_atok_named"
    assert atok.tree.file == path
    again = helpers.build_atok("x = 1\n", "tests_build_atok_named", path, False)
    assert again.tree is not atok.tree and again is not atok


def token_marks(tree):
    """Each node's first and last tokens (whole token tuples), in tree order."""
    marks = []
    for node in tree.nodes_of_class(astroid.NodeNG):
        first, last = (getattr(node, n, None) for n in ("first_token", "last_token"))
        marks.append((type(node).__name__, first and tuple(first), last and tuple(last)))
    return marks


WIDE_AND_VARIED = (
    "import os\n"
    "DATA = [" + ", ".join(f"('k{i}', {i}, x{i % 7})" for i in range(3000)) + "]\n"
    "@decorated(a=1)\n"
    "class C(Base, metaclass=M):\n"
    "    def f(self, *args, b=2, **kw):\n"
    "        return {k: v[1:-1] for k, v in kw.items() if (v and not k)}\n"
    "    async def g(self):\n"
    "        async with x as y:\n"
    "            await y(f'{self!r:>10} {os.sep}')\n"
    "try:\n    z = lambda q=(1, [2, {3}]): q\nexcept (A, B) as e:\n    raise\n"
)

# Sources that take the tokenizer and the marking through their rarer paths.
TRICKY_SOURCES = {
    "decorators": "@deco\n@deco()\n@a.b(1,)\nclass C:\n    @property\n    def f(s): ...\n",
    "f-strings": "x = f'{a!r:>{w}}' f\"{b}\" rf'{c}\\d'\ny = F'''{\n1}'''\n",
    "strings": "s = 'a' \"b\" u'e', b'c' Rb'd'\nt = '''one\ntwo''' + \"\"\"\n\"\"\"\n",
    "string-continued": "s = 'one \\\ntwo'\nt = (\"a\"\n     \"b\")\n",
    "parentheses": "x = ((a)) + (b,)\ny = ((1, 2),)\nz = [(i) for i in ((j))]\n",
    "trailing-commas": "f(a, b,)\ng(\n    x=1,\n    *y,\n)\nt = 1,\n",
    "lambdas": "f = lambda: 0\ng = lambda a, *b, c=(1,), **d: (a, b)\n",
    "comprehensions": "a = [x for x in y if x]\nb = {k: v for k, v in z}\n"
    "c = {i async for i in q}\nd = (j for j in r for k in j)\n",
    "slices": "a[1:2]\na[::3]\na[:]\na[1:2, ::3]\na[x, ...]\na[-1]\n",
    "keywords-and-stars": "f(*a, **b, c=-1, d=+2.5e-3, e=1j, g=-3j)\nprint(*[1], sep='')\n",
    "async": "async def f():\n    async for a in b:\n        pass\n"
    "    async with c as d, e:\n        await d\n",
    "walrus": "if (n := len(a)) > 10:\n    pass\nelif m := 2:\n    pass\n",
    "match": "match p:\n    case Point(x=0, y=0):\n        pass\n"
    "    case [1, *rest] | {'k': _}:\n        pass\n    case str() as s if s:\n        pass\n",
    "unicode-names": "a\u00b7b = 1\n\u00e9t\u00e9 = '\u00e9' + a\u00b7b\nx\u0300 = '\u2603'\n",
    "tabs": "if x:\n\tif y:\n\t\tz = 1\n\telse:\n\t\tz = 2\n",
    "backslash-continuation": "x = 1 + \\\n    2\nif a and \\\n   b:\n    pass\n",
    "comments": "# head\n\nx = 1  # tail\n  # indented\ndef f():\n    # inside\n    return 1\n# end",
    "numbers": "n = [0, 00, 0x1F, 0o7, 0b1, 1_000, 1., .5, 1e5, 1E-5, 3j, 1.5J, 0_0]\n",
    "operators": "a **= 2; b //= 3; c @= d; e >>= 1\ndef f(x) -> int: return x != ~y\n",
    "try-and-except": "try:\n    pass\nexcept E as e:\n    raise\nfinally:\n    pass\n"
    "try:\n    pass\nexcept* F:\n    pass\n",
    "crlf": "x = 1\r\nif x:\r\n    y = '''a\r\nb'''\r\n",
    "form-feed": "x = 1\n\f\ny = 2\n",
    "no-final-newline": "def f():\n    return 1",
    "empty": "",
    "attributes-and-calls": "a.b.c(d)[e].f\n(a\n .b)()\nx.y = 1\ndel x.y\n",
    "docstrings-and-global": 'def f():\n    """doc"""\n    global g\n    g = 1\nclass K:\n    "d"\n',
}


@pytest.mark.parametrize(
    "source",
    [WIDE_AND_VARIED, inspect.getsource(json.decoder), inspect.getsource(textwrap)]
    + list(TRICKY_SOURCES.values()),
    ids=["wide-and-varied", "json-decoder", "textwrap"] + list(TRICKY_SOURCES),
)
def test_build_atok_tokens_and_marks_equal_asttokens(source):
    atok = helpers.build_atok(source)
    ours = token_marks(atok.tree)
    theirs = asttokens.ASTTokens(source, tree=atok.tree)  # its own marking, same nodes
    assert [tuple(t) for t in atok.tokens] == [tuple(t) for t in theirs.tokens]
    assert token_marks(atok.tree) == ours
    assert isinstance(atok, asttokens.ASTTokens)


# asttokens' other ways in (its own parse, tokens given) and text that the stdlib
# tokenizer refuses behave as with asttokens' own class.
@pytest.mark.parametrize(
    "source, kwargs",
    [
        ("x = (\n", {}),
        ('s = """abc\n', {}),
        ("s = 'a\\\n", {}),
        ("if x:\n        a\n    b\n", {}),
        ("x = $\n", {}),
        ("x = [1,\n 2]\n", {"parse": True}),
        ("x = 1\n", {"parse": True, "filename": "m.py"}),
    ],
    ids=[
        "open-bracket",
        "open-triple",
        "open-continued",
        "dedent",
        "stray",
        "parse",
        "parse-named",
    ],
)
def test_ast_tokens_class_behaves_as_asttokens(source, kwargs):
    def outcome(cls):
        try:
            atok = cls(source, **kwargs)
        except Exception as error:  # the same error, or neither raises
            return type(error), error.args
        marks = [
            (type(node).__name__, tuple(node.first_token), tuple(node.last_token))
            for node in (asttokens.util.walk(atok.tree) if atok.tree else ())
        ]
        return [tuple(t) for t in atok.tokens], marks

    ours = type(helpers.build_atok(""))
    assert ours is not asttokens.ASTTokens
    assert outcome(ours) == outcome(asttokens.ASTTokens)


@pytest.mark.parametrize("enabled", [True, False], ids=["enabled", "disabled"])
def test_build_atok_leaves_garbage_collection_as_it_was(enabled):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        helpers.build_atok("x = [a for a in b]\n")
        assert gc.isenabled() is enabled
        with pytest.raises(astroid.AstroidSyntaxError):
            helpers.build_atok("x = (\n")
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


# The parser also ends a line at a lone "\r", astroid's and asttokens' row splits do not:
# such text is read as Python reads it, every line end made "\n". Text with "\r\n" and
# "\n" line ends only is used as given. Text that does not parse is the parser's.
@pytest.mark.parametrize(
    "source",
    [
        "x = 1\ry = 2\r",
        "x = 1\r\ny = 2\rz = 3\n",
        's = """a\rb"""\n',
        "def f(x):\r    if x:\n        return 1\n    return 2\n",
        '@register\rdef f(field):\r    """Render a field.\n    """\r\n    return 1\n',
        'x = 1\r\ny = """a\r\nb"""\r\n',
        "x = 1\n",
    ],
    ids=["lone-cr", "after-crlf", "in-string", "mixed", "decorated", "crlf", "lf"],
)
def test_build_atok_reads_carriage_returns_as_python_does(source):
    atok = helpers.build_atok(source, absolute_path="/srv/app/m.py")
    if "\r" in source.replace("\r\n", ""):
        assert atok.text == source.replace("\r\n", "\n").replace("\r", "\n")
    else:
        assert atok.text == source
    # The tree is the one of the same text with "\n" line ends: every node on the row
    # Python counts; and the tokens agree with it.
    as_read = io.StringIO(source, newline=None).read()
    assert atok.tree.repr_tree(include_linenos=True) == astroid.parse(
        as_read, path="/srv/app/m.py"
    ).repr_tree(include_linenos=True)
    for node in atok.tree.body:
        assert node.first_token.start == (node.lineno, node.col_offset)
        assert node.last_token.end[0] == node.end_lineno


def test_build_atok_leaves_unparsable_text_to_the_parser():
    with pytest.raises(astroid.AstroidSyntaxError):
        helpers.build_atok("x = (\r")


@pytest.mark.parametrize(
    "source, body, extra_line_map",
    [
        (
            "x = 1\n\n# note\ny = 2  # trailing\n",
            [
                (1, "x = 1"),
                (2, "placeholder", ""),
                (3, "placeholder", "# note"),
                (4, "y = 2"),
            ],
            {2: "", 3: "# note"},
        ),
        (
            '# say "hi"\nx = 1\n',
            [(1, "placeholder", "# say 'hi'"), (2, "x = 1")],
            {1: '# say "hi"'},
        ),
        (
            "# top\n\nx = 1\n",
            [(1, "placeholder", "# top"), (2, "placeholder", ""), (3, "x = 1")],
            {1: "# top", 2: ""},
        ),
        ("x = 1\n    \ny = 2\n", [(1, "x = 1"), (3, "y = 2")], {}),
        ("x = 1\r\n\r\ny = 2\r\n", [(1, "x = 1"), (3, "y = 2")], {}),
        ("x = 1  # after code\n", [(1, "x = 1")], {}),
        ("x = 1\n", [(1, "x = 1")], {}),
        # A trailing backslash must not escape the placeholder's closing quote.
        (
            "# ends in \\\nx = 1\n",
            [(1, "placeholder", "# ends in \\"), (2, "x = 1")],
            {1: "# ends in \\"},
        ),
        (
            "# C:\\new\\table \\x41 \\N{DASH}\nx = 1\n",
            [(1, "placeholder", "# C:\\new\\table \\x41 \\N{DASH}"), (2, "x = 1")],
            {1: "# C:\\new\\table \\x41 \\N{DASH}"},
        ),
        ("x = '''a\n\nb'''\n", [(1, "x = 'a\\n\\nb'")], {}),
    ],
    ids=[
        "blank-comment-trailing",
        "double-quotes",
        "comment-at-top",
        "line-of-blanks",
        "crlf-blank",
        "comment-after-code",
        "code-only",
        "trailing-backslash",
        "escape-sequences",
        "blank-inside-string",
    ],
)
def test_build_atok_parse_non_code(source, body, extra_line_map):
    atok = helpers.build_atok(source, parse_non_code=True)
    assert body_summary(atok.tree) == body
    assert atok.extra_line_map == extra_line_map
    assert helpers.build_atok(source).extra_line_map == {}


def test_build_atok_placeholder_inside_a_multi_line_call():
    source = "def f():\n    call(\n        a,\n\n        b,\n    )\n    return 1\n"
    atok = helpers.build_atok(source, parse_non_code=1)
    function = atok.tree.body[0]
    assert body_summary(function) == [
        (2, "call(a, b)"),
        (4, "placeholder", ""),
        (7, "return 1"),
    ]
    assert function.body[1].parent is function
    assert atok.extra_line_map == {4: ""}


def test_build_atok_comment_in_class_body():
    source = "class A:\n    x = 1\n    # about y\n    y = 2\n"
    atok = helpers.build_atok(source, parse_non_code=True)
    assert body_summary(atok.tree.body[0]) == [
        (2, "x = 1"),
        (3, "placeholder", "# about y"),
        (4, "y = 2"),
    ]


def test_build_atok_syntax_error():
    with pytest.raises(astroid.AstroidSyntaxError):
        helpers.build_atok("def broken(:\n")


def test_build_atok_without_shims_raises_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "vorlane.staticanalysis.shims", None)
    with pytest.raises(ImportError):
        helpers.build_atok("x = 1\n")


def transform_counts(registry):
    return {
        cls.__name__: len(pairs) for cls, pairs in registry.transforms.items() if pairs
    }


def test_build_atok_registry_holds_the_shims_transforms_only(monkeypatch):
    from vorlane.staticanalysis import shims

    managers = []
    real = shims.register_transforms

    def recording(manager):
        managers.append(manager)
        return real(manager)

    monkeypatch.setattr(shims, "register_transforms", recording)
    helpers.build_atok("x = 1\n")
    (manager,) = managers
    assert manager is not astroid.MANAGER
    assert manager._transform is not astroid.MANAGER._transform
    assert transform_counts(manager._transform) == {
        "ClassDef": 1,
        "Call": 3,
        "Attribute": 1,
        "Module": 1,
    }
    assert manager.register_transform == manager._transform.register_transform


def test_build_atok_ignores_other_transforms_on_the_process_manager():
    seen = []

    def record(node):
        seen.append(node)

    astroid.MANAGER.register_transform(astroid.Name, record)
    try:
        helpers.build_atok("x = y\n")
        assert seen == []
        astroid.parse("x = y\n")
        assert len(seen) == 1
    finally:
        astroid.MANAGER.unregister_transform(astroid.Name, record)


def test_build_atok_leaves_the_process_manager_with_the_shims_transforms():
    from vorlane.staticanalysis import shims

    helpers.build_atok("x = 1\n")
    predicates = [
        predicate
        for pairs in astroid.MANAGER._transform.transforms.values()
        for _, predicate in pairs
    ]
    assert predicates.count(shims.looks_like_model) == 1
    assert predicates.count(shims.may_be_model_manager_attribute) == 1


def test_build_atok_applies_the_shims(tmp_path):
    source = "from django.db import models\nclass Book(models.Model):\n    pass\n"
    atok = helpers.build_atok(source, "tests_build_atok_shims")
    assert atok.tree.body[1].generic_foreign_key_field_names == []


def test_module_path_from_file(tmp_path, monkeypatch):
    path = tmp_path / "app" / "models.py"
    path.parent.mkdir()
    path.write_text("x = 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert helpers.module_path_from_file(str(path)) == "app.models"
    assert helpers.module_path_from_file(str(path), "x") == "app.models"
    assert helpers.module_path_from_file(path=str(path), file=None) == "app.models"


def test_module_path_from_file_outside_the_search_path(tmp_path):
    path = tmp_path / "elsewhere" / "mod.py"
    path.parent.mkdir()
    path.write_text("")
    with pytest.raises(ImportError):
        helpers.module_path_from_file(str(path))


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"a\r\nb", ["a\n", "b"]),
        (b"a\nb\n", ["a\n", "b\n"]),
        (b"", []),
        (b"a\rb\n", ["a\n", "b\n"]),
    ],
    ids=["crlf-no-final-newline", "lf", "empty", "cr"],
)
def test_read_code_from_file(tmp_path, content, expected):
    path = tmp_path / "code.py"
    path.write_bytes(content)
    assert helpers.read_code_from_file(str(path)) == expected
    assert helpers.read_code_from_file(path=path) == expected


def test_read_code_from_file_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        helpers.read_code_from_file(str(tmp_path / "missing.py"))
    with pytest.raises(IsADirectoryError):
        helpers.read_code_from_file(str(tmp_path))


def test_read_code_from_file_undecodable(tmp_path):
    import locale

    if locale.getpreferredencoding(False).lower().replace("-", "") != "utf8":
        pytest.skip("needs a UTF-8 default encoding")
    path = tmp_path / "latin.py"
    path.write_bytes(b"x = '\xff'\n")
    with pytest.raises(UnicodeDecodeError):
        helpers.read_code_from_file(str(path))


def test_is_queryset_of_the_shims_queryset_node():
    from vorlane.staticanalysis import shims

    model = value_of(DJANGO_MODULE, "Book")
    node = shims.QuerySetNode.from_elements([model.instantiate_class()])
    assert helpers.is_queryset(node) is True
    assert helpers.is_model(node) is False
    assert helpers.is_model_manager(node) is False
