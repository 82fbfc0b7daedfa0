"""URL rules: duplicate URL names (C6001), reverse_lazy misuse (C6002) and its rewrite."""
import inspect
import json
import textwrap
from pathlib import Path

import astroid
import django
import pytest
from django.urls import resolvers

from vorlane.staticanalysis import checker, helpers
from vorlane.staticanalysis.checkers import urls

URL_CODES = {"C6001", "C6002"}


@pytest.fixture
def lint(write_tree, tmp_path):
    """Lint a {relative path: source} project through checker.get_messages; answers the
    URL findings as (code, relative path, line, message)."""

    def run(files):
        root = write_tree(files)
        selection = {str((root / rel).resolve()): None for rel in files}
        records = checker.get_messages(str(root), selection)
        json.dumps(records)  # every record stays plain data
        return [
            (
                r["message-id"],
                Path(r["path"]).relative_to(root).as_posix(),
                r["line"],
                r["message"],
            )
            for r in records
            if r["message-id"] in URL_CODES
        ]

    return run


def lint_urls(lint, body):
    return [
        (code, line, message)
        for code, _, line, message in lint({"app/urls.py": textwrap.dedent(body)})
    ]


URLS_HEAD = """\
from django.urls import path, re_path
from . import views
"""


# --- C6001 ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "body, expected",
    [
        (
            """
            urlpatterns = [
                path("a/", views.a, name="home"),
                path("b/", views.b, name="home"),
                path("c/", views.c, name="home"),
            ]
            """,
            [("C6001", 6, {"name": "home"}), ("C6001", 7, {"name": "home"})],
        ),
        (
            """
            urlpatterns = [
                path("<int:pk>/", views.a, name="detail"),
                path("<slug:slug>/", views.b, name="detail"),
                path("<int:id>/edit/", views.c, name="detail"),
            ]
            """,
            [("C6001", 7, {"name": "detail"})],
        ),
        (
            """
            urlpatterns = [
                path("a/", views.a, name=None),
                path("b/", views.b, name=None),
                path(ROUTE, views.a, name="x"),
                path(ROUTE, views.b, name="x"),
            ]
            """,
            [],
        ),
        (
            """
            urlpatterns = [
                path("<year:y>/", views.a, name="archive"),
                path("a/", views.b, name="archive"),
                path("b/", views.c, name="archive"),
            ]
            """,
            [("C6001", 7, {"name": "archive"})],
        ),
        (
            """
            urlpatterns = [
                re_path(regex="^a/$", view=views.a, name="x"),
                re_path(regex="^a/$", view=views.a, name="x"),
            ]
            """,
            [("C6001", 6, {"name": "x"})],
        ),
        (
            """
            urlpatterns = [
                path(route="<int:pk>/", regex="a/", view=views.a, name="n"),
                path("b/", views.b, name="n"),
                path("<int:pk>/", views.c, name="n"),
            ]
            """,
            [("C6001", 6, {"name": "n"})],
        ),
        (
            """
            HOME = "home"
            urlpatterns = [
                path("a/", views.a, name=HOME),
                path("b/", views.b, name="home"),
                path("c/", views.a, name=views.name()),
                path("d/", views.b, name=views.name()),
                path("e/", views.a, name=b"raw"),
                path("f/", views.b, name=b"raw"),
                path("g/", views.b, name=["a"]),
                path("h/", views.b, name=["a"]),
            ]
            """,
            [("C6001", 7, {"name": "home"})],
        ),
        (
            """
            urlpatterns = [
                path("a/", views.a, name=7),
                path("b/", views.b, name="7"),
            ]
            """,
            [("C6001", 6, {"name": "7"})],
        ),
        (
            """
            from django import urls
            urlpatterns = [
                urls.path("a/", views.a, name="home"),
                urls.path("b/", views.b, name="home"),
                path(name="nowhere"),
                path(name="nowhere"),
                path("c/", views.c, **{"name": "home"}),
                path("c/", views.c, **{"name": "home"}),
            ]
            """,
            [],
        ),
    ],
    ids=[
        "every-later-declaration",
        "converters-take-part",
        "name-none-or-route-unknown",
        "unknown-converter-ends-call",
        "regex-keyword",
        "later-route-keyword-wins",
        "names-evaluated-or-skipped",
        "name-text-form",
        "silent-callees",
    ],
)
def test_duplicate_url_names(lint, body, expected):
    assert lint_urls(lint, URLS_HEAD + textwrap.dedent(body)) == expected


@pytest.mark.parametrize(
    "head, expected",
    [
        ("from django.urls import include, path\n", ["C6001"]),
        ("from django.conf.urls import url as path\n", ["C6001"]),
        ("from django.urls import reverse\nfrom django.urls import path\n", []),
        ("from django.conf.urls import include\nfrom django.urls import path\n", []),
        ("from .django.urls import path\n", []),
        ("def f():\n    from django.urls import path\n", ["C6001"]),
    ],
    ids=[
        "path-import",
        "url-import",
        "first-import-decides",
        "first-conf-import-decides",
        "relative-import",
        "nested-import",
    ],
)
def test_urls_module_is_told_by_its_first_django_import(lint, head, expected):
    body = head + (
        "urlpatterns = [\n"
        '    path("a/", None, name="home"),\n'
        '    path("b/", None, name="home"),\n'
        "]\n"
    )
    assert [code for code, *_ in lint_urls(lint, body)] == expected


def test_names_are_unique_per_module(lint):
    module = URLS_HEAD + 'urlpatterns = [path("a/", views.a, name="home")]\n'
    no_urlpatterns = URLS_HEAD + (
        'patterns = [path("a/", views.a, name="x"), path("b/", views.b, name="x")]\n'
    )
    found = lint(
        {
            "one/urls.py": module,
            "two/urls.py": module,
            "three/urls.py": no_urlpatterns,
        }
    )
    assert found == []


def test_is_urls_module_runs_once_per_module(lint, monkeypatch):
    """The URL-module test is the checker's, made in visit_module, not per call."""
    calls = []
    original = urls.Checker.visit_module

    def counting(self, node):
        calls.append(node.name)
        original(self, node)

    monkeypatch.setattr(urls.Checker, "visit_module", counting)
    body = URLS_HEAD + "urlpatterns = [%s]\n" % ", ".join(
        f'path("{i}/", views.a, name="n")' for i in range(5)
    )
    assert [code for code, *_ in lint_urls(lint, body)] == ["C6001"] * 4
    assert len(calls) == 1


def test_route_parser_of_the_pinned_django():
    """The rule hands a route alone to Django's parser and reads the converter
    classes from the mapping it gives back."""
    pinned = next(
        line.split("==")[1].strip()
        for line in (Path(__file__).parent.parent / "constraints.txt")
        .read_text()
        .splitlines()
        if line.startswith("Django==")
    )
    assert django.get_version() == pinned
    parameters = list(inspect.signature(resolvers._route_to_regex).parameters.values())
    assert parameters[0].name == "route"
    assert all(p.default is not p.empty for p in parameters[1:])
    _, converters = resolvers._route_to_regex("<int:pk>/<slug:s>/<x>/")
    assert [type(c).__name__ for c in converters.values()] == [
        "IntConverter",
        "SlugConverter",
        "StringConverter",
    ]
    with pytest.raises(resolvers.ImproperlyConfigured):
        resolvers._route_to_regex("<year:y>/")


# --- C6002 ---------------------------------------------------------------------------

MISUSE_POSITIONS = [
    # (source with the reverse_lazy call marked #@, misused)
    ("X = reverse_lazy('a') #@", False),
    ("if DEBUG:\n    X = reverse_lazy('a') #@", False),
    ("try:\n    X = reverse_lazy('a') #@\nexcept Exception:\n    pass", False),
    ("class A:\n    x = reverse_lazy('a') #@", False),
    ("class A:\n    class B:\n        x = reverse_lazy('a') #@", False),
    ("def f(x=reverse_lazy('a')): #@\n    pass", False),
    ("class A:\n    def f(self, x=reverse_lazy('a')): #@\n        pass", False),
    ("if DEBUG:\n    def f(x=reverse_lazy('a')): #@\n        pass", False),
    ("def f(x=str(reverse_lazy('a'))): #@\n    pass", False),
    ("def f(*, x=reverse_lazy('a')): #@\n    pass", False),
    ("@cache(reverse_lazy('a')) #@\ndef f():\n    pass", False),
    ("X = [reverse_lazy(n) for n in NAMES] #@", False),
    ("f = lambda x=reverse_lazy('a'): x #@", False),
    ("def f():\n    return reverse_lazy('a') #@", True),
    ("class A:\n    def f(self):\n        return reverse_lazy('a') #@", True),
    ("f = lambda: reverse_lazy('a') #@", True),
    ("def f():\n    class A:\n        x = reverse_lazy('a') #@", True),
    ("def f():\n    return [reverse_lazy(n) for n in NAMES] #@", True),
    ("def f():\n    def g(x=reverse_lazy('a')): #@\n        pass", True),
    ("async def f():\n    return reverse_lazy('a') #@", True),
    ("def f():\n    return urls.reverse_lazy('a') #@", None),
    ("def f():\n    return lazy('a') #@", None),
    ("def f():\n    return reverse('a') #@", None),
]


def marked_call(source):
    """The call under test in the marked statement: the one of a reverse-like name."""
    node = astroid.extract_node(source)
    return next(
        call
        for call in node.nodes_of_class(astroid.nodes.Call)
        if call.func.as_string().rpartition(".")[2]
        in ("reverse_lazy", "lazy", "reverse")
    )


@pytest.mark.parametrize(
    "source, misused",
    MISUSE_POSITIONS,
    ids=[f"{i}-{m}" for i, (_, m) in enumerate(MISUSE_POSITIONS)],
)
def test_reverse_lazy_positions(source, misused):
    call = marked_call(source)
    assert urls.is_misusing_reverse_lazy(call) is misused


def test_reverse_lazy_findings(lint):
    found = lint(
        {
            "app/views.py": """\
                from django.urls import reverse_lazy

                SUCCESS = reverse_lazy("home")


                def view(request):
                    return reverse_lazy('reverse_lazy_view')


                class Detail:
                    success_url = reverse_lazy("detail", kwargs={"pk": 1})

                    def get(self):
                        return reverse_lazy("detail", kwargs={"pk": 1})
                """,
        }
    )
    assert found == [
        ("C6002", "app/views.py", 7, {"signature": "('reverse_lazy_view')"}),
        ("C6002", "app/views.py", 14, {"signature": "('detail', kwargs={'pk': 1})"}),
    ]


# --- reverse_lazy rewrite -------------------------------------------------------------


def fix(source, codes=("C6002",), lines=None, replace_other_nodes=True):
    """Visit the statements on `lines` (default: those holding a misused call) with the
    module's visitor, as the fix suggestions do; answers the module node."""
    module = helpers.build_atok(
        source=textwrap.dedent(source), modname="fixture", absolute_path="fixture.py"
    ).tree
    if replace_other_nodes:
        module.replace_other_nodes = []
    if lines is None:
        lines = sorted(
            {
                call.lineno
                for call in module.nodes_of_class(astroid.nodes.Call)
                if urls.is_misusing_reverse_lazy(call)
            }
        )
    for line in lines:
        visitor = urls.build_transformer_visitor(set(codes))
        visitor.visit(helpers.find_node_by_position(module, line=line))
    return module


def imports_of(module):
    return [
        node.as_string()
        for node in module.nodes_of_class(astroid.nodes.ImportFrom)
        if node.modname == "django.urls"
    ]


def calls_of(module):
    return [
        node.as_string()
        for node in module.nodes_of_class(astroid.nodes.Call)
        if node.func.as_string() in ("reverse", "reverse_lazy")
    ]


MISUSE = "\ndef view():\n    return reverse_lazy('home')\n"


@pytest.mark.parametrize(
    "source, imports, calls",
    [
        (
            "from django.urls import path, reverse_lazy" + MISUSE,
            ["from django.urls import path, reverse"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import path, reverse_lazy\nX = reverse_lazy('a')"
            + MISUSE,
            ["from django.urls import path, reverse, reverse_lazy"],
            ["reverse_lazy('a')", "reverse('home')"],
        ),
        (
            "from django.urls import reverse_lazy, path" + MISUSE,
            ["from django.urls import path, reverse"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import reverse, reverse_lazy" + MISUSE,
            ["from django.urls import reverse"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import reverse as rev, reverse_lazy" + MISUSE,
            ["from django.urls import reverse, reverse as rev"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import path as p, path, reverse_lazy" + MISUSE,
            ["from django.urls import path, path as p, reverse"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import *" + MISUSE,
            ["from django.urls import *"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import reverse_lazy, reverse_lazy as rl\nX = rl('a')"
            + MISUSE,
            ["from django.urls import reverse, reverse_lazy as rl"],
            ["reverse('home')"],
        ),
        (
            "from functools import partial\nfrom django.urls import reverse_lazy\n"
            "LAZY = partial(reverse_lazy, 'a')" + MISUSE,
            ["from django.urls import reverse, reverse_lazy"],
            ["reverse('home')"],
        ),
        (
            "from django.urls import path\n"
            "def view():\n"
            "    from django.urls import reverse_lazy\n"
            "    return reverse_lazy('home')\n",
            [
                "from django.urls import path, reverse",
                "from django.urls import reverse_lazy",
            ],
            ["reverse('home')"],
        ),
        (
            "def view():\n"
            "    from django.urls import reverse_lazy\n"
            "    return reverse_lazy('home')\n",
            ["from django.urls import reverse"],
            ["reverse('home')"],
        ),
        (
            "from django.core.urlresolvers import reverse_lazy" + MISUSE,
            [],
            ["reverse_lazy('home')"],
        ),
        (
            "def other():\n"
            "    from django.urls import reverse_lazy\n"
            "    return reverse_lazy('a')\n"
            "from shortcuts import reverse_lazy" + MISUSE,
            ["from django.urls import reverse"],
            ["reverse('a')", "reverse_lazy('home')"],
        ),
    ],
    ids=[
        "replaced",
        "fit-use-keeps-reverse-lazy",
        "sorted",
        "reverse-present",
        "alias-does-not-bind-reverse",
        "alias-and-plain-pair-sort",
        "star-import-left-alone",
        "aliased-reverse-lazy-stays",
        "name-used-as-value-stays",
        "module-import-first",
        "import-in-enclosing-function",
        "no-django-urls-import",
        "import-out-of-reach",
    ],
)
def test_import_fixer(source, imports, calls):
    module = fix(source)
    assert imports_of(module) == imports
    assert calls_of(module) == calls


TWO_LINES = """\
from django.urls import path, reverse_lazy

def a():
    return [reverse_lazy("x"), reverse_lazy("y")]

def b():
    return reverse_lazy("z")
"""


@pytest.mark.parametrize(
    "lines, offered, calls",
    [
        # reverse goes in with the first line; reverse_lazy stays for the call that
        # the second line is to fix, whose line takes it out and offers the import
        # again.
        (
            [4, 7],
            [
                ["from django.urls import path, reverse, reverse_lazy"],
                ["from django.urls import path, reverse"],
            ],
            ["reverse('x')", "reverse('y')", "reverse('z')"],
        ),
        (
            [7, 4],
            [
                ["from django.urls import path, reverse, reverse_lazy"],
                ["from django.urls import path, reverse"],
            ],
            ["reverse('x')", "reverse('y')", "reverse('z')"],
        ),
        # A line that is never fixed leaves its call, and reverse_lazy with it.
        (
            [4],
            [["from django.urls import path, reverse, reverse_lazy"]],
            ["reverse('x')", "reverse('y')", "reverse_lazy('z')"],
        ),
        # Only the second function's line: the first's two calls stay.
        (
            [7],
            [["from django.urls import path, reverse, reverse_lazy"]],
            ["reverse_lazy('x')", "reverse_lazy('y')", "reverse('z')"],
        ),
    ],
    ids=["in-order", "reverse-order", "one-line-left", "other-line-left"],
)
def test_import_keeps_reverse_lazy_while_a_use_is_left(lines, offered, calls):
    """Lines of one file fixed in one run: the import is edited as each line leaves it,
    and offered with each line that changed it."""
    module = helpers.build_atok(
        source=TWO_LINES, modname="fixture", absolute_path="fixture.py"
    ).tree
    found = []
    for line in lines:
        module.replace_other_nodes = []
        visitor = urls.build_transformer_visitor({"C6002", "C6001"})
        visitor.visit(helpers.find_node_by_position(module, line=line))
        found.append([node.as_string() for node in module.replace_other_nodes])
    assert found == offered
    assert module.skip_reverse is True
    assert calls_of(module) == calls


def test_rewrite_needs_its_code():
    source = "from django.urls import reverse_lazy" + MISUSE
    module = fix(source, codes=["C6001", "C9000"], lines=[3])
    assert imports_of(module) == ["from django.urls import reverse_lazy"]
    assert calls_of(module) == ["reverse_lazy('home')"]
    assert not hasattr(module, "skip_reverse") and module.replace_other_nodes == []


def test_import_fixed_without_replace_other_nodes():
    module = fix(
        "from django.urls import reverse_lazy" + MISUSE, replace_other_nodes=False
    )
    assert imports_of(module) == ["from django.urls import reverse"]
    assert module.skip_reverse is True and not hasattr(module, "replace_other_nodes")


@pytest.mark.parametrize(
    "source, marked, imports, calls",
    [
        # Nothing to find anywhere: marked, so later lines do not look again.
        (
            "from shortcuts import reverse_lazy" + MISUSE,
            True,
            [],
            ["reverse_lazy('home')"],
        ),
        # An import the call cannot see: another line may still need it.
        (
            "def other():\n    from django.urls import reverse_lazy\n" + MISUSE,
            False,
            ["from django.urls import reverse_lazy"],
            ["reverse_lazy('home')"],
        ),
    ],
    ids=["no-import", "import-out-of-reach"],
)
def test_call_without_reaching_import_is_left_alone(source, marked, imports, calls):
    module = fix(source, lines=[source.count("\n")])
    assert hasattr(module, "skip_reverse") is marked
    assert module.replace_other_nodes == []
    assert imports_of(module) == imports and calls_of(module) == calls


def test_ensure_import_without_a_call_edits_module_level_imports_only():
    def module_of(source):
        return helpers.build_atok(
            source=source, modname="fixture", absolute_path="fixture.py"
        ).tree

    nested = module_of("def f():\n    from django.urls import reverse_lazy\n")
    assert (
        urls.ensure_import(nested, "reverse", "from django.urls import reverse") is None
    )
    assert imports_of(nested) == ["from django.urls import reverse_lazy"]
    top = module_of("from django.urls import path\n")
    urls.ensure_import(module_node=top, modname="reverse", import_string="unused")
    assert imports_of(top) == ["from django.urls import path, reverse"]
    # The mark stops any further edit of the tree.
    top.body[0].names = [("path", None)]
    urls.ensure_import(top, "reverse", "from django.urls import reverse")
    assert imports_of(top) == ["from django.urls import path"]


def test_sample_project_shows_url_and_template_findings(sample_output):
    """The README's main job prints the URL and template findings of the sample."""
    sample = Path(__file__).resolve().parent.parent / "sample"
    found = {
        (r["message-id"], Path(r["path"]).relative_to(sample).as_posix(), r["line"])
        for r in sample_output["findings"]
        if r["message-id"][:3] in ("C60", "C70")
    }
    assert {
        ("C6001", "shop/urls.py", 10),
        ("C6002", "shop/redirects.py", 14),
        ("C7000", "shop/templates/shop/base.html", 12),
        ("C7001", "shop/templates/shop/base.html", 7),
        ("C7001", "shop/templates/shop/base.html", 12),
    } <= found
    # The fit module-level reverse_lazy of the redirects stays silent.
    assert ("C6002", "shop/redirects.py", 6) not in found
