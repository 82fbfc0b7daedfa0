"""The model module layout checker: model counts, member order and name prefixes."""
import textwrap
from collections import Counter

import astroid
import pytest

from vorlane.staticanalysis import shims  # noqa: F401  (shims: as linting has)
from vorlane.staticanalysis.checkers import classlayout


def test_standard_layout():
    assert classlayout.STANDARD_CLASSLAYOUT == (
        "Meta",
        "__str__",
        "save",
        "get_absolute_url",
    )


# --- Prefixes ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, min_length, expected",
    [
        # A name adds its prefixes of min_length - 1 up to len - 2 characters.
        (["Product"], 4, {"Pro": 1, "Prod": 1, "Produ": 1}),
        (["Product", "ProductA"], 4, {"Pro": 2, "Prod": 2, "Produ": 2, "Produc": 1}),
        (["Cart", "Shop"], 4, {}),
        (["ab", "ab"], 1, {"": 2}),
        # i = 0 slices to -1: the name less its last character.
        (["abc"], 0, {"ab": 1, "": 1, "a": 1}),
        # Below 0 a name may add one prefix twice.
        (["abcd"], -1, {"ab": 2, "abc": 1, "": 1, "a": 1}),
        ([], 4, {}),
        (iter(["Product"]), 7, {}),
    ],
    ids=[
        "one",
        "shared",
        "too-short",
        "empty-prefix",
        "zero",
        "negative",
        "no-names",
        "iterator",
    ],
)
def test_get_longest_common_prefix(values, min_length, expected):
    counter = classlayout.get_longest_common_prefix(values, min_length)
    assert isinstance(counter, Counter)
    assert dict(counter) == expected


def test_get_longest_common_prefix_keywords_and_order():
    counter = classlayout.get_longest_common_prefix(
        values=["ShopAaaa", "CartAaaa"], min_length=4
    )
    assert list(counter) == ["Sho", "Shop", "ShopA", "ShopAa", "Car", "Cart", "CartA", "CartAa"]


# --- Module totals -------------------------------------------------------------------


@pytest.fixture
def lint_layout(lint_project):
    """Findings of the layout checker on a module: (code, line, column, args); the
    package's empty __init__ module is left out."""

    def lint(source, config=None):
        records = lint_project(
            {"shop/__init__.py": "", "shop/models.py": source}, config=config
        )
        assert not [r for r in records if r["type"] == "fatal"]
        return [
            (r["message-id"], r["line"], r["column"], r["message"])
            for r in records
            if r["message-id"].startswith("C3") and r["path"].endswith("models.py")
        ]

    return lint


def models_module(*names):
    classes = "".join(f"\n\nclass {name}(models.Model):\n    pass\n" for name in names)
    return "from django.db import models\n" + classes


@pytest.mark.parametrize(
    "names, config, expected",
    [
        (
            [f"M{i}" for i in range(10)],
            None,
            [("C3000", 1, 0, {"count": 10, "maximum": 10})],
        ),
        ([f"M{i}" for i in range(9)], None, []),
        ([], None, []),
        ([], {"max-models": 0}, [("C3000", 1, 0, {"count": 0, "maximum": 0})]),
        (
            ["ProductItem", "ProductPrice", "ProductImage", "ProductTag"],
            None,
            [("C3003", 1, 0, {"count": 4, "prefix": "Product"})],
        ),
        # Product adds only Pro, Prod and Produ: Produc is counted three times.
        (
            ["Product", "ProductA", "ProductB", "ProductC"],
            None,
            [("C3003", 1, 0, {"count": 4, "prefix": "Produ"})],
        ),
        # Base and Abstract say what a class is, not where it belongs.
        (
            ["BaseFoo", "BaseBar", "BaseQux", "BaseZap"],
            None,
            [("C3003", 1, 0, {"count": 4, "prefix": "Bas"})],
        ),
        (
            ["AbstractUser", "AbstractItem", "AbstractOrder", "AbstractThing"],
            None,
            [("C3003", 1, 0, {"count": 4, "prefix": "Abstrac"})],
        ),
        # Equally long and common: the prefix counted first wins.
        (
            ["CartAaaa", "CartBbbb", "CartCccc", "CartDddd"]
            + ["ShopAaaa", "ShopBbbb", "ShopCccc", "ShopDddd"],
            None,
            [("C3003", 1, 0, {"count": 4, "prefix": "Cart"})],
        ),
        (["ProductItem", "ProductPrice", "ProductImage"], None, []),
        (
            ["ProductItem", "ProductPrice", "ProductImage"],
            {"max-common-model-prefix": 3},
            [("C3003", 1, 0, {"count": 3, "prefix": "Product"})],
        ),
        (
            ["ShopItem", "ShopPrice", "ShopImage", "ShopTag"],
            {"min-common-model-prefix-length": 6},
            [],
        ),
        (
            [f"Shop{i}x" for i in range(10)],
            None,
            [
                ("C3000", 1, 0, {"count": 10, "maximum": 10}),
                ("C3003", 1, 0, {"count": 10, "prefix": "Shop"}),
            ],
        ),
    ],
    ids=[
        "ten-models",
        "nine-models",
        "no-models",
        "no-models-maximum-0",
        "shared-prefix",
        "name-is-a-prefix",
        "base",
        "abstract",
        "first-counted-wins",
        "three-share",
        "option-common",
        "option-length",
        "both",
    ],
)
def test_module_totals(lint_layout, names, config, expected):
    assert lint_layout(models_module(*names), config) == expected


def test_models_count_wherever_they_stand(lint_layout):
    source = """\
    from django.db import models


    class Plain:
        class InPlain(models.Model):
            pass


    def factory():
        class InFunction(models.Model):
            pass


    class Outer(models.Model):
        class Inner(models.Model):
            pass
    """
    found = lint_layout(textwrap.dedent(source), {"max-models": 4})
    assert found == [("C3000", 1, 0, {"count": 4, "maximum": 4})]


# --- Member order --------------------------------------------------------------------


def model_with(body):
    return "from django.db import models\n\n\nclass Book(models.Model):\n" + (
        textwrap.indent(textwrap.dedent(body), "    ")
    )


@pytest.mark.parametrize(
    "body, expected",
    [
        (
            "def __str__(self):\n    return ''\n\nclass Meta:\n    pass\n",
            [("C3002", 8, 4, {"before": "Meta", "after": "__str__"})],
        ),
        (
            "def publish(self):\n    pass\n\ndef save(self):\n    pass\n",
            [("C3002", 5, 4, {"before": "save", "after": "publish"})],
        ),
        (
            "def get_absolute_url(self):\n    pass\n\ndef save(self):\n    pass\n",
            [("C3002", 8, 4, {"before": "save", "after": "get_absolute_url"})],
        ),
        (
            "class Meta:\n    pass\n\n"
            "title = models.CharField(max_length=10)\n"
            "isbn = models.CharField(max_length=13)\n",
            [("C3002", 8, 12, {"before": "title", "after": "Meta"})],
        ),
        (
            "class Meta:\n    pass\n\n"
            "def f(self):\n    pass\n\n"
            "title: str = models.CharField(max_length=10)\n",
            [("C3002", 11, 17, {"before": None, "after": "Meta"})],
        ),
        # silent
        ("def save(self):\n    pass\n\ndef get_absolute_url(self):\n    pass\n", []),
        ("title = models.CharField(max_length=10)\n\ndef save(self):\n    pass\n", []),
        ("class Meta:\n    pass\n\ndef save(self):\n    pass\n", []),
        ("def save(self):\n    pass\n\ndef publish(self):\n    pass\n", []),
        ("def save(self):\n    pass\n\ndef save(self):\n    pass\n", []),
        ("title = models.CharField(max_length=10)\n\nclass Meta:\n    pass\n", []),
        ("title = models.CharField(max_length=10)\n", []),
        ("x = 1\ntitle = models.CharField(max_length=10)\n", []),
    ],
    ids=[
        "meta-after-str",
        "custom-before-save",
        "save-after-url",
        "fields-after-meta",
        "annotated-after-meta",
        "in-order",
        "after-field",
        "after-meta",
        "custom-after-standard",
        "same-name",
        "meta-last",
        "first-field",
        "no-meta",
    ],
)
def test_member_order(lint_layout, body, expected):
    assert lint_layout(model_with(body)) == expected


def test_member_order_only_in_model_bodies(lint_layout):
    source = """\
    from django.db import models


    class Plain:
        def __str__(self):
            return ""

        class Meta:
            pass

        title = models.CharField(max_length=10)


    class Book(models.Model):
        def helper(self):
            def save():
                pass

            return save
    """
    assert lint_layout(textwrap.dedent(source)) == []


def test_meta_that_does_not_infer_is_no_finding(lint_layout):
    # Meta bound to what inference cannot settle has no line to compare.
    body = "Meta = make_meta()\nx = 1\ntitle = models.CharField(max_length=10)\n"
    source = "def make_meta():\n    return undefined\n\n\n" + model_with(body)
    assert lint_layout(source) == []


# --- visit_assname -------------------------------------------------------------------


class Recorder(classlayout.Checker):
    def __init__(self):
        self.found = []

    def add_message(self, code, node=None, args=None):
        self.found.append((code, node.lineno, args))


@pytest.mark.parametrize(
    "body, expected",
    [
        ("def save(self):\n    pass\ntitle = 1  #@\n", [("C3002", 7, {"before": "title", "after": "save"})]),
        ("def publish(self):\n    pass\ntitle = 1  #@\n", []),
        ("x = 1\ntitle = 1  #@\n", []),
        ("title = 1  #@\n", []),
    ],
    ids=["after-standard", "after-custom", "after-unnamed", "first"],
)
def test_visit_assname_when_called_directly(body, expected):
    # pylint never calls it: astroid's targets are AssignName nodes.
    assign = astroid.extract_node(model_with(body))
    checker = Recorder()
    checker.visit_assname(assign.targets[0])
    assert checker.found == expected


# --- Classes named like a star import's --------------------------------------------

SHOP_NAMES = ["Cart", "Item", "User", "Bill", "Addr", "Note", "Tax", "Gift", "Size"]
SHOP_NAMES += ["Tag", "Pay"]


def shop_classes(base_module):
    """Eleven classes on `Mixin` of base_module, one with clean before save and one
    with two fields."""
    classes = [f"from {base_module} import Mixin\nfrom django.db import models\n"]
    for name in SHOP_NAMES[:-2]:
        classes.append(f"\nclass Shop{name}Form(Mixin):\n    title = 1\n")
    classes.append(
        "\nclass ShopTagForm(Mixin):\n"
        "    name = models.CharField(max_length=10)\n"
        "    slug = models.SlugField()\n"
    )
    classes.append(
        "\nclass ShopPayForm(Mixin):\n"
        "    def clean(self):\n        pass\n\n"
        "    def save(self):\n        pass\n"
    )
    return "\n".join(classes)


def test_a_name_rebound_after_a_star_import_is_the_later_binding(lint_project):
    # formmix takes in the model mixin by a star import, then binds a plain class of
    # the same name: forms built on it are no models. The same classes on the model
    # mixin itself are.
    records = lint_project(
        {
            "app/__init__.py": "",
            "app/modelmix.py": """\
                from django.db import models


                class Mixin(models.Model):
                    class Meta:
                        abstract = True
                """,
            "app/formmix.py": """\
                from app.modelmix import *


                class Mixin:
                    pass
                """,
            "app/forms.py": shop_classes("app.formmix"),
            "app/models.py": shop_classes("app.modelmix"),
        },
        config={"max-colspec": 1},
    )
    found = sorted(
        (r["path"].rsplit("/", 1)[-1], r["message-id"], r["message"])
        for r in records
        if r["path"].endswith(("forms.py", "models.py"))
    )
    assert found == [
        ("models.py", "C2001", {"count": 2}),
        ("models.py", "C3000", {"count": 11, "maximum": 10}),
        ("models.py", "C3002", {"before": "save", "after": "clean"}),
        ("models.py", "C3003", {"count": 11, "prefix": "Shop"}),
    ]
