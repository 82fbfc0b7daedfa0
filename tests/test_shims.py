"""Django inference shims and settings-parse transforms, on Django's real sources."""
import pickle
import textwrap
import warnings

import astroid
import pytest
from astroid.exceptions import AstroidImportError, UseInferenceDefault
from astroid.transforms import TransformVisitor
from pylint.checkers.utils import safe_infer

from conftest import forget_project
from vorlane.staticanalysis import helpers, shims

MODELS = """
from django.db import models
from django.contrib.contenttypes.fields import GenericForeignKey

class SomeManager(models.Manager):
    pass

class PublishedManager(models.Manager):
    pass

class Book(models.Model):
    objects = SomeManager()
    published = PublishedManager()

class Plain:
    objects = []

class Holder:
    books = Book.objects.all()
    manager = models.Manager()

qs = Book.objects.all()
"""


def extract(code):
    """The nodes marked with #@ in `code`, appended to the model module."""
    node = astroid.extract_node(MODELS + textwrap.dedent(code))
    return node


def describe(value):
    """What an inferred value stands for, in a form a table can hold."""
    if value is None:
        return None
    if isinstance(value, shims.QuerySetNode):
        return ("queryset", [element.qname() for element in value.elts])
    if isinstance(value, astroid.Instance):
        return ("instance", value.qname())
    return (type(value).__name__, getattr(value, "name", None))


BOOK = ("instance", ".Book")
BOOKS = ("queryset", [".Book"])
MANAGER = ("instance", "django.db.models.manager.Manager")


# --- Loading and registration ---------------------------------------------------


def shim_entries(registry):
    """The predicate names of the shims in a transform registry, by node class name."""
    own = {
        getattr(shims, name)
        for name in dir(shims)
        if name.startswith(("looks_like_", "may_be_"))
        and callable(getattr(shims, name))
    }
    found = {}
    for node_class, entries in registry.transforms.items():
        for _, predicate in entries:
            if predicate in own:
                found.setdefault(node_class.__name__, []).append(predicate.__name__)
    return found


# The call and attribute transforms register syntactic predicates: the tips they set
# infer only when something infers the node.
REGISTRATIONS = [
    ("ClassDef", "looks_like_model"),
    ("Call", "may_be_queryset_method_call"),
    ("Call", "may_be_model_get_call"),
    ("Attribute", "may_be_model_manager_attribute"),
    ("Call", "looks_like_list_call"),
    ("Module", "looks_like_star_import_module"),
]
BY_CLASS = {
    "ClassDef": ["looks_like_model"],
    "Call": [
        "may_be_queryset_method_call",
        "may_be_model_get_call",
        "looks_like_list_call",
    ],
    "Attribute": ["may_be_model_manager_attribute"],
    "Module": ["looks_like_star_import_module"],
}


def test_module_contents_in_load_order():
    names = [name for name in vars(shims) if not name.startswith("_")]
    assert names == [
        "QuerySetNode",
        "looks_like_model",
        "apply_model_manager_lookup_shim",
        "apply_queryset_lookup_shim",
        "apply_model_get_shim",
        "apply_model_manager_shim",
        "apply_is_used_in_generic_fk_shim",
        "looks_like_model_manager",
        "looks_like_model_get",
        "looks_like_queryset_lookup",
        "looks_like_model_manager_lookup",
        "may_be_queryset_method_call",
        "infer_queryset_method_call",
        "may_be_model_get_call",
        "infer_model_get_call",
        "may_be_model_manager_attribute",
        "infer_model_manager_attribute",
        "looks_like_list_call",
        "apply_list_of_queryset_shim",
        "looks_like_star_import_module",
        "apply_later_bindings_shim",
        "transform_path_manipulation",
        "looks_like_path_manipulation",
        "BuilderWithSettingsTransforms",
        "looks_like_environment_variable_lookup",
        "transform_environment_variable_lookup",
        "register_transforms",
    ]


def test_loading_registers_the_transforms_once():
    import importlib

    importlib.import_module(
        "vorlane.staticanalysis.shims"
    )  # a second import adds nothing
    assert shim_entries(astroid.MANAGER._transform) == BY_CLASS


def test_register_transforms_fills_a_fresh_registry():
    registry = TransformVisitor()
    assert shims.register_transforms(registry) is None
    assert shim_entries(registry) == BY_CLASS
    assert sum(len(entries) for entries in registry.transforms.values()) == len(
        REGISTRATIONS
    )
    # The class, module and list() transforms are the functions themselves; the others
    # are inference tips.
    ((transform, _),) = registry.transforms[astroid.ClassDef]
    assert transform is shims.apply_is_used_in_generic_fk_shim
    ((transform, _),) = registry.transforms[astroid.Module]
    assert transform is shims.apply_later_bindings_shim
    *tips, (transform, _) = registry.transforms[astroid.Call]
    assert transform is shims.apply_list_of_queryset_shim
    call = astroid.extract_node("f()")
    for transform, _ in tips:
        assert transform(call) is call
        assert call._explicit_inference is not None


def test_register_transforms_passes_three_positional_arguments():
    calls = []

    class Recorder:
        def register_transform(self, *args, **kwargs):
            calls.append((args, kwargs))

    shims.register_transforms(Recorder())
    assert [(args[0].__name__, args[2].__name__, kwargs) for args, kwargs in calls] == [
        (node_class, predicate, {}) for node_class, predicate in REGISTRATIONS
    ]


def test_later_class_transforms_still_run_on_models():
    # The class transform hands back the node it got, so the registry goes on to the
    # transforms registered after it for the same node class.
    registry = TransformVisitor()
    shims.register_transforms(registry)
    seen = []
    registry.register_transform(astroid.ClassDef, lambda node: seen.append(node.name))
    registry.visit(astroid.parse(MODELS))
    assert seen == ["SomeManager", "PublishedManager", "Book", "Plain", "Holder"]


# --- QuerySetNode -----------------------------------------------------------------


def test_queryset_node_is_a_class_and_a_list():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from astroid import node_classes, scoped_nodes
    assert shims.QuerySetNode.__bases__ == (scoped_nodes.ClassDef, node_classes.List)
    assert shims.QuerySetNode.__module__ == "vorlane.staticanalysis.shims"
    namespace = vars(shims.QuerySetNode)
    assert namespace["qname"] is namespace["pytype"]


@pytest.mark.parametrize(
    "index",
    [0, 5, slice(1, 3), astroid.extract_node("qs[0]").slice, None],
    ids=["zero", "out-of-range", "slice", "node", "none"],
)
def test_queryset_node_answers_its_element_for_any_index(index):
    element = astroid.extract_node("Book()")
    node = shims.QuerySetNode.from_elements([element])
    assert node.elts == [element]
    assert node.getitem(index) is element
    assert node.getitem(index, context=None) is element
    assert node.qname() == node.pytype() == "django.db.models.query.QuerySet"
    assert helpers.is_queryset(node) is True


def test_queryset_node_pickles():
    assert pickle.loads(pickle.dumps(shims.QuerySetNode)) is shims.QuerySetNode
    node = shims.QuerySetNode.from_elements([astroid.nodes.Const(7)])
    copy = pickle.loads(pickle.dumps(node))
    assert type(copy) is shims.QuerySetNode
    assert [element.value for element in copy.elts] == [7]


# --- Inference through managers and QuerySet calls --------------------------------


@pytest.mark.parametrize(
    "code, expected",
    [
        ("Book.objects #@", MANAGER),  # Django's Manager, not the declared SomeManager
        ("Book.objects.all() #@", BOOKS),
        ("Book.objects.filter(x=1) #@", BOOKS),
        ("Book.objects.exclude(x=1) #@", BOOKS),
        ("Book.objects.filter(x=1)[0] #@", BOOK),
        ("Book.objects.filter(x=1)[1:3] #@", BOOK),
        ("for book in Book.objects.all():\n    book #@", BOOK),
        ("Book.objects.get(pk=1) #@", BOOK),
        ("Book.objects.first() #@", BOOK),
        ("Book.objects.last() #@", BOOK),
        ("Book.objects.filter(x=1).exclude(y=2) #@", BOOKS),
        ("Book.published.filter() #@", BOOKS),
        ("qs.filter(x=1) #@", BOOKS),
        ("Book().objects #@", MANAGER),
        # silent: no shim applies
        ("Book.other #@", None),
        ("Book.objects.count() #@", None),
        ("Book.objects.filter(x=1).first() #@", None),
        ("qs.first() #@", None),
        ("Plain.objects #@", ("instance", "builtins.list")),
        (
            "Holder.books.first() #@",
            None,
        ),  # a QuerySet held by a class that is no model
        ("Plain.objects.filter() #@", None),
    ],
)
def test_inference_through_shims(code, expected):
    assert describe(safe_infer(extract(code))) == expected


@pytest.mark.parametrize(
    "code",
    [
        "Book.other #@",
        "Book.objects.count() #@",
        "Book.objects.filter(x=1).first() #@",
        "qs.first() #@",
        "import os\nos.environ.get('X') #@",  # the standard library's
    ],
)
def test_nodes_without_tip(code):
    assert extract(code)._explicit_inference is None


@pytest.mark.parametrize(
    "code, asked, expected",
    [
        (
            "Book.objects.filter(x=1) #@",
            ["looks_like_queryset_lookup", "looks_like_model_manager_lookup"],
            BOOKS,
        ),
        ("qs.all() #@", ["looks_like_queryset_lookup"], BOOKS),
        ("Book.objects.get(pk=1) #@", ["looks_like_model_get"], BOOK),
        ("Book.objects #@", ["looks_like_model_manager"], MANAGER),
        # the tip declines, and astroid's own inference answers
        (
            "Plain.objects.filter() #@",
            ["looks_like_queryset_lookup", "looks_like_model_manager_lookup"],
            None,
        ),
        (
            "Plain.objects #@",
            ["looks_like_model_manager"],
            ("instance", "builtins.list"),
        ),
    ],
)
def test_tips_infer_only_when_the_node_is_inferred(monkeypatch, code, asked, expected):
    calls = []
    for name in (
        "looks_like_queryset_lookup",
        "looks_like_model_manager_lookup",
        "looks_like_model_get",
        "looks_like_model_manager",
    ):
        real = getattr(shims, name)
        monkeypatch.setattr(
            shims,
            name,
            lambda node, real=real, name=name: (calls.append(name), real(node))[1],
        )
    node = extract(code)
    assert node._explicit_inference is not None
    assert calls == []  # building the tree inferred nothing
    assert describe(safe_infer(node)) == expected
    assert set(asked) <= set(calls)
    # the answer (or the refusal) is kept for the node: no second inference
    del calls[:]
    assert describe(safe_infer(node)) == expected
    assert calls == []


def test_chained_lookup_infers_to_the_inner_queryset():
    outer = extract("Book.objects.filter(x=1).exclude(y=2) #@")
    assert safe_infer(outer) is safe_infer(outer.func.expr)


# --- list() of a QuerySet ---------------------------------------------------------


def kind(value):
    """The class of an inferred value and what its elements infer to."""
    if value is None:
        return None
    elements = [describe(safe_infer(element)) for element in value.elts]
    return (type(value).__name__, elements)


@pytest.mark.parametrize(
    "code, expected",
    [
        # a list, tuple or set made from a QuerySet holds its rows
        ("list(qs) #@", ("List", [BOOK])),
        ("list(Book.objects.filter(x=1)) #@", ("List", [BOOK])),
        ("tuple(qs) #@", ("Tuple", [BOOK])),
        ("set(qs) #@", ("Set", [BOOK])),
        ("list(qs)[:2] #@", ("List", [BOOK])),
        # controls: the QuerySet itself, and list() of anything else as astroid has it
        ("qs #@", ("QuerySetNode", [BOOK])),
        ("list([1, 2]) #@", ("List", [("instance", "builtins.int")] * 2)),
        ("list((qs, 1)) #@", ("List", [BOOKS, ("instance", "builtins.int")])),
        ("list() #@", ("List", [])),
    ],
    ids=[
        "list",
        "list-of-filter",
        "tuple",
        "set",
        "slice-of-list",
        "queryset",
        "list-of-list",
        "list-of-tuple",
        "empty-list",
    ],
)
def test_containers_made_from_querysets(code, expected):
    value = safe_infer(extract(code))
    assert kind(value) == expected
    assert helpers.is_queryset(value) is (expected[0] == "QuerySetNode")


@pytest.mark.parametrize(
    "code, expected",
    [
        ("sorted(qs) #@", None),
        ("list(qs)[0] #@", BOOK),  # a row of the list is a row of the model
        ("list(book for book in qs) #@", ("instance", "builtins.list")),
    ],
)
def test_values_made_from_querysets_are_no_querysets(code, expected):
    assert describe(safe_infer(extract(code))) == expected


@pytest.mark.parametrize(
    "code, expected",
    [
        ("list(qs) #@", True),
        ("list(Book.objects.all()) #@", True),
        # silent
        ("list() #@", False),
        ("list(qs, qs) #@", False),
        ("list(qs, key=1) #@", False),
        ("tuple(qs) #@", False),
        ("builtins.list(qs) #@", False),
        ("qs.list(qs) #@", False),
    ],
)
def test_looks_like_list_call(code, expected):
    assert shims.looks_like_list_call(extract(code)) is expected


def test_list_shim_keeps_the_node_without_a_tip():
    # A manager without astroid's brain leaves list() to astroid's default inference:
    # nothing to wrap.
    registry = TransformVisitor()
    shims.register_transforms(registry)
    call = (
        registry.visit(astroid.parse("list(x)", apply_transforms=False)).body[0].value
    )
    assert call._explicit_inference is None
    assert shims.apply_list_of_queryset_shim(call) is call
    assert call._explicit_inference is None


# --- Predicates -------------------------------------------------------------------


@pytest.mark.parametrize(
    "predicate, code, expected",
    [
        ("looks_like_model_manager", "Book.objects #@", True),
        ("looks_like_model_manager", "Book().objects #@", True),
        ("looks_like_model_manager", "Plain.objects #@", False),
        ("looks_like_model_manager", "Book.published #@", None),
        ("looks_like_model_manager_lookup", "Book.objects.filter() #@", True),
        ("looks_like_model_manager_lookup", "Book.published.all() #@", True),
        ("looks_like_model_manager_lookup", "Plain.objects.filter() #@", False),
        ("looks_like_model_manager_lookup", "Book.objects.count() #@", None),
        ("looks_like_model_manager_lookup", "qs.filter() #@", None),
        ("looks_like_model_manager_lookup", "filter() #@", None),
        ("looks_like_queryset_lookup", "Book.objects.filter().exclude() #@", True),
        ("looks_like_queryset_lookup", "qs.all() #@", True),
        ("looks_like_queryset_lookup", "Book.objects.filter() #@", False),
        ("looks_like_queryset_lookup", "qs.count() #@", None),
        ("looks_like_model_get", "Book.objects.get() #@", True),
        ("looks_like_model_get", "Holder.books.last() #@", True),
        ("looks_like_model_get", "Plain.objects.first() #@", False),
        ("looks_like_model_get", "Book.objects.filter().first() #@", None),
        ("looks_like_model_get", "qs.get() #@", None),
        ("looks_like_model_get", "Book.objects.exists() #@", None),
    ],
)
def test_predicates(predicate, code, expected):
    assert getattr(shims, predicate)(extract(code)) is expected


@pytest.mark.parametrize(
    "name, expected",
    [("Book", True), ("SomeManager", False), ("Plain", False), ("Holder", False)],
)
def test_looks_like_model(name, expected):
    module = astroid.parse(MODELS)
    assert shims.looks_like_model(module[name]) is expected


def baseless_class(module_name, class_name):
    """A class statement without bases, in a module of the given name; built by hand so
    that astroid's module cache never holds it."""
    module = astroid.nodes.Module(module_name)
    cls = astroid.nodes.ClassDef(
        class_name,
        lineno=1,
        col_offset=0,
        parent=module,
        end_lineno=1,
        end_col_offset=1,
    )
    cls.postinit(bases=[], body=[], decorators=None)
    module.postinit(body=[cls])
    return cls


@pytest.mark.parametrize(
    "module_name, class_name, expected",
    [
        # Django releases before 4.2 declare the model base with a metaclass only.
        ("django.db.models.base", "Model", True),
        # silent
        ("app.models", "Model", False),
        ("django.db.models.base", "ModelState", False),
    ],
    ids=["model-base-itself", "other-module", "other-class"],
)
def test_looks_like_model_of_classes_without_bases(module_name, class_name, expected):
    assert shims.looks_like_model(baseless_class(module_name, class_name)) is expected


def test_predicates_call_helpers_at_call_time(monkeypatch):
    plain = astroid.parse(MODELS)["SomeManager"]
    monkeypatch.setattr(helpers, "is_model", lambda node, **kwargs: True)
    assert shims.looks_like_model(plain) is True

    def broken(node, **kwargs):
        raise RuntimeError("from helpers")

    monkeypatch.setattr(helpers, "is_model", broken)
    with pytest.raises(RuntimeError, match="from helpers"):
        shims.looks_like_model(plain)


# --- Tips without a model class ---------------------------------------------------


@pytest.mark.parametrize(
    "tip, code",
    [
        ("apply_model_manager_lookup_shim", "unknown.objects.filter() #@"),
        ("apply_queryset_lookup_shim", "unknown.objects.filter() #@"),
        ("apply_queryset_lookup_shim", "make().filter() #@"),
        ("apply_model_get_shim", "unknown.objects.get() #@"),
        ("apply_model_get_shim", "(Book if x else 1).objects.first() #@"),
        ("apply_model_get_shim", "Holder.books.first() #@"),
        ("apply_model_manager_lookup_shim", "Holder.manager.filter() #@"),
    ],
)
def test_tip_without_model_class_declines(tip, code):
    with pytest.raises(UseInferenceDefault):
        list(getattr(shims, tip)(extract(code)))


def test_manager_of_a_module_falls_back_to_default_inference(write_tree, monkeypatch):
    # holders.manager is a Manager, but the object behind it is a module: there is no
    # model class to instantiate, and astroid's own inference applies.
    root = write_tree(
        {
            "shimholders.py": """\
            from django.db import models
            manager = models.Manager()
            """
        }
    )
    monkeypatch.syspath_prepend(str(root))
    node = astroid.extract_node("import shimholders\nshimholders.manager.filter() #@")
    assert node._explicit_inference is not None
    assert describe(safe_infer(node)) != BOOKS
    with pytest.raises(UseInferenceDefault):
        list(shims.apply_model_manager_lookup_shim(node))


@pytest.mark.parametrize(
    "source, expected",
    [
        ("class Manager:\n    pass\n", [("instance", "shimmanager.Manager")]),
        (
            "if x:\n    class Manager: pass\nelse:\n    class Manager: pass\n",
            [("instance", "shimmanager.Manager")] * 2,
        ),
        ("from elsewhere import Manager\n", UseInferenceDefault),
        (AstroidImportError("no django"), UseInferenceDefault),
    ],
    ids=["class", "two-classes", "import-only", "not-loadable"],
)
def test_model_manager_shim_reads_djangos_manager_module(monkeypatch, source, expected):
    def ast_from_module_name(name):
        assert name == "django.db.models.manager"
        if isinstance(source, Exception):
            raise source
        return astroid.parse(source, module_name="shimmanager")

    monkeypatch.setattr(astroid.MANAGER, "ast_from_module_name", ast_from_module_name)
    node = extract("Book.other #@")
    if expected is UseInferenceDefault:
        with pytest.raises(UseInferenceDefault):
            list(shims.apply_model_manager_shim(node))
    else:
        assert [
            describe(v) for v in shims.apply_model_manager_shim(node, None)
        ] == expected


# --- GenericForeignKey field names ------------------------------------------------


@pytest.mark.parametrize(
    "body, expected",
    [
        ("g = GenericForeignKey('content_type', 'object_id')", ["object_id"]),
        ("g = GenericForeignKey(fk_field='obj_pk')", ["obj_pk"]),
        ("g = GenericForeignKey('ct', 'obj_id', for_concrete_model=False)", ["obj_id"]),
        ("g = GenericForeignKey(ct_field='ct', fk_field='oid')", ["oid"]),
        ("g = GenericForeignKey('ct', fk_field='oid')", ["oid"]),
        (
            "a = GenericForeignKey('ct', 'first_id')\n"
            "b = GenericForeignKey(fk_field='second_id')",
            ["first_id", "second_id"],
        ),
        ("g = GFK('ct', 'aliased_id')", ["aliased_id"]),
        # Only calls spelled like a class, or of a name imported as the class, are
        # inferred while the tree is built: every spelling of the class still counts.
        ("g = gfk('ct', 'lower_alias_id')", ["lower_alias_id"]),
        ("g = fields.GenericForeignKey('ct', 'module_id')", ["module_id"]),
        ("g = _Private('ct', 'private_id')", ["private_id"]),
        (
            "def m(self):\n    return GenericForeignKey('ct', 'in_method')",
            ["in_method"],
        ),
        ("class Inner:\n    g = GenericForeignKey('ct', 'nested')", ["nested"]),
        # silent
        ("g = GenericForeignKey()", []),
        ("g = GenericForeignKey('ct')", []),
        ("g = GenericForeignKey(ct_field='ct')", []),
        ("g = GenericForeignKey('ct', FIELD)", []),
        ("g = GenericForeignKey(fk_field=FIELD)", []),
        ("g = GenericForeignKey('ct', FIELD, for_concrete_model=False)", []),
        ("g = GenericForeignKey(**options)", []),
        ("name = models.CharField(max_length=10)", []),
        ("g = unknown('ct', 'oid')", []),
    ],
)
def test_generic_foreign_key_field_names(body, expected):
    source = (
        "from django.db import models\n"
        "from django.contrib.contenttypes.fields import GenericForeignKey\n"
        "from django.contrib.contenttypes.fields import GenericForeignKey as GFK\n"
        "from django.contrib.contenttypes.fields import GenericForeignKey as gfk\n"
        "from django.contrib.contenttypes import fields\n"
        "_Private = GenericForeignKey\n"
        "FIELD = 'not_literal'\n"
        "class Book(models.Model):\n" + textwrap.indent(body, "    ") + "\n"
    )
    book = astroid.parse(source)["Book"]
    assert book.generic_foreign_key_field_names == expected


def test_generic_foreign_key_shim_on_other_classes():
    module = astroid.parse(
        "from django.contrib.contenttypes.fields import GenericForeignKey\n"
        "class Plain(object):\n"
        "    g = GenericForeignKey('ct', 'oid')\n"
    )
    plain = module["Plain"]
    assert not hasattr(plain, "generic_foreign_key_field_names")
    assert shims.apply_is_used_in_generic_fk_shim(plain) is plain
    assert plain.generic_foreign_key_field_names == []


# --- Names bound after a star import ----------------------------------------------


@pytest.fixture
def star_module(tmp_path, monkeypatch):
    """Builds `shadow.mod`, a module that starts with `from shadow.base import *`
    (shadow.base binds Mixin, Other and VALUE) and goes on with the given text; astroid
    forgets the package afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    package = tmp_path / "shadow"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "base.py").write_text(
        "class Mixin:\n    pass\n\n\nclass Other:\n    pass\n\n\nVALUE = [1]\n"
    )

    def build(text):
        (package / "mod.py").write_text(
            "from shadow.base import *\n\n" + textwrap.dedent(text)
        )
        return astroid.MANAGER.ast_from_module_name("shadow.mod")

    yield build
    forget_project(tmp_path)


def bindings(module, name):
    """The kinds of the module's bindings of `name`, in order."""
    return [type(binding).__name__ for binding in module.locals[name]]


@pytest.mark.parametrize(
    "text, name, expected",
    [
        # a statement of the module body that always rebinds the name wins
        ("class Mixin:\n    pass\n", "Mixin", ["ClassDef"]),
        ("def Mixin():\n    pass\n", "Mixin", ["FunctionDef"]),
        ("Mixin = 1\n", "Mixin", ["AssignName"]),
        ("Mixin: type = object\n", "Mixin", ["AssignName"]),
        ("from collections import OrderedDict as Mixin\n", "Mixin", ["ImportFrom"]),
        # a function body runs after the module
        (
            "def make():\n    return Mixin()\n\nclass Mixin:\n    pass\n",
            "Mixin",
            ["ClassDef"],
        ),
        (
            "if DEBUG:\n    class Mixin:\n        pass\nclass Mixin:\n    pass\n",
            "Mixin",
            ["ClassDef", "ClassDef"],
        ),
        # the star import's binding stays: the module reads it before the rebinding
        ("class Mixin(Mixin):\n    pass\n", "Mixin", ["ImportFrom", "ClassDef"]),
        (
            "Old = Mixin\n\nclass Mixin:\n    pass\n",
            "Mixin",
            ["ImportFrom", "ClassDef"],
        ),
        (
            "def make(base=Mixin):\n    pass\n\nclass Mixin:\n    pass\n",
            "Mixin",
            ["ImportFrom", "ClassDef"],
        ),
        ("VALUE += [2]\n", "VALUE", ["ImportFrom", "AssignName"]),
        ("VALUE = VALUE + [2]\n", "VALUE", ["ImportFrom", "AssignName"]),
        # or the later binding may not run
        (
            "if DEBUG:\n    class Mixin:\n        pass\n",
            "Mixin",
            ["ImportFrom", "ClassDef"],
        ),
        ("for Mixin in []:\n    pass\n", "Mixin", ["ImportFrom", "AssignName"]),
        ("Mixin: type\n", "Mixin", ["ImportFrom", "AssignName"]),
        # other names keep their one binding
        ("class Mixin:\n    pass\n", "Other", ["ImportFrom"]),
    ],
    ids=[
        "class",
        "function",
        "assignment",
        "annotated-assignment",
        "import",
        "read-in-function-body",
        "conditional-then-always",
        "class-on-itself",
        "read-between",
        "read-by-default",
        "augmented",
        "reads-itself",
        "conditional",
        "loop",
        "annotation-only",
        "other-name",
    ],
)
def test_later_binding_after_star_import(star_module, text, name, expected):
    assert bindings(star_module(text), name) == expected


def test_star_import_in_a_try_block_gives_way_too(star_module):
    text = """\
    try:
        from shadow.base import *
    except ImportError:
        pass

    class Other:
        pass
    """
    module = star_module(text)
    assert bindings(module, "Other") == ["ClassDef"]
    assert bindings(module, "Mixin") == ["ImportFrom", "ImportFrom"]


def test_importers_infer_the_later_binding(star_module):
    star_module("class Mixin:\n    pass\n")
    node = astroid.extract_node("from shadow.mod import Mixin\nMixin #@")
    assert [value.qname() for value in node.inferred()] == ["shadow.mod.Mixin"]
    node = astroid.extract_node("import shadow.mod\nshadow.mod.Mixin #@")
    assert [value.qname() for value in node.inferred()] == ["shadow.mod.Mixin"]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("from os.path import *\n", True),
        ("try:\n    from os.path import *\nexcept ImportError:\n    pass\n", True),
        ("if DEBUG:\n    from os.path import *\n", True),
        # silent
        ("from os.path import join\n", False),
        ("import os\n", False),
        ("class A:\n    x = 1\n", False),
    ],
)
def test_looks_like_star_import_module(text, expected):
    module = astroid.parse(text, apply_transforms=False)
    assert shims.looks_like_star_import_module(module) is expected


# --- Settings-parse transforms ----------------------------------------------------

SETTINGS_PATH = "/proj/mysite/settings.py"


def build_settings(source, path=SETTINGS_PATH):
    with shims.BuilderWithSettingsTransforms() as builder:
        return builder.string_build(
            textwrap.dedent(source), modname="shimsettings", path=path
        )


def value_of(module, name):
    """The constant assigned to `name`, or the kind of node that is left there."""
    node = module[name].parent.value
    return node.value if isinstance(node, astroid.Const) else type(node).__name__


@pytest.mark.parametrize(
    "source, expected",
    [
        ("X = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))", "/proj"),
        ("X = os.path.join(BASE_DIR, 'static')", "/proj/static"),
        ("X = os.path.basename('/a/b.txt')", "b.txt"),
        ("X = os.path.join('a', 'b', 'c')", "a/b/c"),
        ("X = os.path.join(os.environ.get('ROOT', '/srv'), 'static')", "/srv/static"),
        ("X = os.environ.get('STATIC_URL', '/static/')", "/static/"),
        ("X = os.getenv('DEBUG', 'False')", "False"),
        ("X = read_envfile('a', 'b')", "b"),
        # silent: the call stays
        ("X = os.path.join(UNKNOWN, 'static')", "Call"),
        ("X = os.path.join(PATH_OBJECT, 'static')", "Call"),
        ("X = join(BASE_DIR, 'static')", "Call"),
        ("X = path.join(BASE_DIR, 'static')", "Call"),
        ("X = os.path.exists('/a')", "Call"),
        ("X = os.path.splitext('a.b')", "Call"),
        ("X = os.path.join('a', 1)", "Call"),
        ("X = os.path.join('a', b'b')", "Call"),
        ("X = os.path.basename(None)", "Call"),
        ("X = os.environ.get('STATIC_URL')", "Call"),
        ("X = os.environ.get('PORT', 8000)", "Call"),
        ("X = os.environ.get(NAME, 'x')", "Call"),
        ("X = os.environ.get('A', default='x')", "Call"),
        (
            "X = os.environ.setdefault('DJANGO_SETTINGS_MODULE', 'mysite.settings')",
            "Call",
        ),
        ("X = dict('a', 'b')", "Call"),
    ],
)
def test_settings_transforms(source, expected):
    header = """\
    import os
    import pathlib
    from os import path
    from os.path import join
    BASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    PATH_OBJECT = pathlib.Path('/proj')
    NAME = input()
    """
    module = build_settings(textwrap.dedent(header) + source + "\n")
    assert value_of(module, "X") == expected


def test_settings_transforms_keep_positions():
    module = build_settings("import os\nX = (\n    os.path.join('a', 'b'))\n")
    node = module["X"].parent.value
    assert (node.value, node.lineno, node.col_offset, node.parent) == (
        "a/b",
        3,
        4,
        module.body[1],
    )


def settings_entries():
    return [
        (transform, predicate)
        for transform, predicate in astroid.MANAGER._transform.transforms[astroid.Call]
        if predicate
        in (
            shims.looks_like_path_manipulation,
            shims.looks_like_environment_variable_lookup,
        )
    ]


def test_builder_registers_only_inside_the_block():
    context = shims.BuilderWithSettingsTransforms()
    assert context.transforms == [
        [
            astroid.Call,
            shims.transform_path_manipulation,
            shims.looks_like_path_manipulation,
        ],
        [
            astroid.Call,
            shims.transform_environment_variable_lookup,
            shims.looks_like_environment_variable_lookup,
        ],
    ]
    source = "import os\nX = os.getenv('A', 'b')\n"
    assert settings_entries() == []
    with context as builder:
        assert isinstance(builder, astroid.builder.AstroidBuilder)
        # A manager of its own, sharing the process-wide registry and caches.
        assert builder._manager._transform is astroid.MANAGER._transform
        assert settings_entries() == [tuple(entry[1:]) for entry in context.transforms]
        # Every tree built through the process-wide manager gets them, not only ours.
        assert value_of(astroid.parse(source), "X") == "b"
    assert settings_entries() == []
    assert value_of(astroid.parse(source), "X") == "Call"


def test_builder_removes_transforms_when_the_block_raises():
    with pytest.raises(KeyError, match="inside"):
        with shims.BuilderWithSettingsTransforms():
            assert len(settings_entries()) == 2
            raise KeyError("inside")
    assert settings_entries() == []


def test_builder_exit_accepts_any_arguments():
    context = shims.BuilderWithSettingsTransforms()
    context.__enter__()
    assert context.__exit__(None, None, None, extra=1) is None
    assert settings_entries() == []


@pytest.mark.parametrize(
    "entry, message",
    [
        (
            [astroid.Call, shims.transform_path_manipulation],
            "not enough values to unpack",
        ),
        ([astroid.Call, None, None, None], "too many values to unpack"),
    ],
)
def test_builder_entries_have_three_items(entry, message):
    context = shims.BuilderWithSettingsTransforms()
    context.transforms = [entry]
    with pytest.raises(ValueError, match=message):
        context.__enter__()
    assert settings_entries() == []


@pytest.mark.parametrize(
    "code, expected",
    [
        ("os.path.join(a, b) #@", True),
        ("os.path.abspath(a) #@", True),
        ("os.path.dirname(a) #@", True),
        ("os.path.basename(a) #@", True),
        ("(os.path).join(a) #@", True),
        ("join(a, b) #@", False),
        ("path.join(a, b) #@", False),
        ("posixpath.join(a, b) #@", False),
        ("os.path.exists(a) #@", False),
        ("x.os.path.join(a) #@", False),
        ("f()(a) #@", False),
    ],
)
def test_looks_like_path_manipulation(code, expected):
    assert shims.looks_like_path_manipulation(astroid.extract_node(code)) is expected


@pytest.mark.parametrize(
    "code, expected",
    [
        ("os.environ.get('A', 'b') #@", True),
        ("get_env_value('A', 'b') #@", True),
        ("os.environ.get(1, 'b') #@", False),
        ("os.environ.get('A', 1) #@", False),
        ("os.environ.get('A', b'b') #@", False),
        ("os.environ.get('A') #@", None),
        ("os.environ.get('A', 'b', 'c') #@", None),
        ("os.environ.get(NAME, 'b') #@", None),
        ("os.environ.setdefault('A', 'b') #@", None),
        ("settings.get('A', 'b') #@", None),
        ("os.environ.get('A', default='b') #@", None),
    ],
)
def test_looks_like_environment_variable_lookup(code, expected):
    assert (
        shims.looks_like_environment_variable_lookup(astroid.extract_node(code))
        is expected
    )


def test_environment_transform_answers_the_default_node_itself():
    call = astroid.extract_node("os.environ.get('A', 'b') #@")
    assert shims.transform_environment_variable_lookup(call) is call.args[1]


def test_path_transform_answers_the_call_when_nothing_folds():
    call = astroid.extract_node("os.path.join(UNKNOWN, 'x') #@")
    assert shims.transform_path_manipulation(call) is call


# --- Receivers from the standard library ----------------------------------------------


@pytest.fixture
def shadowing_package(tmp_path, monkeypatch):
    """A project package named like a module of the standard library (tabnanny), first
    on the search path; astroid forgets it afterwards."""
    package = tmp_path / "tabnanny"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "models.py").write_text(
        "from django.db import models\n\nclass Book(models.Model):\n    pass\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    manager = astroid.MANAGER

    def forget():
        for name in [n for n in manager.astroid_cache if n.startswith("tabnanny")]:
            del manager.astroid_cache[name]
        for key in [k for k in manager._mod_file_cache if k[0].startswith("tabnanny")]:
            del manager._mod_file_cache[key]

    forget()
    yield package
    forget()


@pytest.mark.parametrize(
    "code, expected",
    [
        ("import os\nos.environ.get('HOME') #@", False),
        ("import sys\nsys.modules.get('os') #@", False),
        ("from os import environ\nenviron.copy().get('HOME') #@", None),
        ("import collections\ncollections.OrderedDict.objects #@", False),
        ("import itertools\nitertools.chain.objects.filter() #@", False),
    ],
)
def test_library_receivers_are_no_managers(code, expected):
    predicate = (
        shims.looks_like_model_manager
        if code.endswith(".objects #@")
        else shims.looks_like_model_manager_lookup
        if ".filter()" in code
        else shims.looks_like_model_get
    )
    assert predicate(astroid.extract_node(code)) is expected


def test_project_package_named_like_the_library_is_inferred(shadowing_package):
    # Only where astroid itself loads a module from the library does the name count
    # as the library's: this tabnanny is the project's, and its model has a manager.
    call = astroid.extract_node(
        "import tabnanny.models\ntabnanny.models.Book.objects.get(pk=1) #@"
    )
    assert shims.looks_like_model_get(call) is True
    assert describe(safe_infer(call)) == ("instance", "tabnanny.models.Book")
