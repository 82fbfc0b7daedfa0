"""Fix suggestions: the comment-aware renderer and the black formatting with the quote
preference of the file."""
import functools
import os
import subprocess
import sys
import textwrap
import types
import warnings

import astroid
import black
import black.linegen
import pytest

from vorlane.staticanalysis import helpers, suggest

PREFER_DOUBLE = ("'", '"')
PREFER_SINGLE = ('"', "'")


def parse(source, **kwargs):
    return helpers.build_atok(
        source=textwrap.dedent(source),
        modname="suggest_render_case",
        absolute_path="/suggest_render_case.py",
        **kwargs,
    )


def statement(atok, line=1):
    return helpers.find_node_by_position(atok.tree, line=line)


# --- comment-aware rendering ---------------------------------------------------------------


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x = foo(a)", "x = foo(a)"),
        # The comment follows the statement once, after two blanks, as written.
        ("x = foo(a) #   spaced  out", "x = foo(a)  #   spaced  out"),
        ("x = foo(a)        # c", "x = foo(a)  # c"),
        # Never inside the brackets the renderer puts around a tuple.
        ("y = a, b  # c", "y = (a, b)  # c"),
        ("y = [a, b]  # c", "y = [a, b]  # c"),
        # A comment inside the statement is lost; the one after its end is kept.
        ("y = f(a,  # inside\n      b)", "y = f(a, b)"),
        ("y = f(a,\n      b)  # after", "y = f(a, b)  # after"),
        # A compound statement: its statements keep their comments, its header's comment
        # is not the renderer's to place.
        ("if x:  # header\n    y = 1  # body\n", "if x:\n    y = 1  # body"),
        # Each piece is stripped: no blank rows around a nested definition; decorators
        # keep the row break before their definition.
        (
            "class A:\n    @property\n    def f(self):\n        return 1\n",
            "class A:\n    @property\n    def f(self):\n        return 1",
        ),
    ],
    ids=[
        "no-comment",
        "comment-text-kept",
        "two-blanks",
        "tuple",
        "list",
        "comment-inside-lost",
        "comment-after-multirow",
        "compound",
        "nested-definitions",
    ],
)
def test_node_as_string(source, expected):
    atok = parse(source)
    assert suggest.node_as_string(atok, statement(atok)) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x = f(\n    a,\n    b,\n)", "x = f(a, b,)"),
        ("x = [\n    a,\n    b,\n]", "x = [a, b,]"),
        ("x = {\n    a: 1,\n    b: 2,\n}", "x = {a: 1, b: 2,}"),
        ("x = {\n    a,\n    b,\n}", "x = {a, b,}"),
        ("x = (\n    a,\n    b,\n)", "x = (a, b,)"),
        ("x = y[\n    a,\n    b,\n]", "x = y[a, b,]"),
        ("from m import (\n    a,\n    b,\n)", "from m import (a, b,)"),
        ("from . import (\n    a,\n)", "from . import (a,)"),
        # Only the brackets whose source had the comma.
        ("x = f(g(\n    a,\n), b)", "x = f(g(a,), b)"),
        ("x = f(a, [\n    b,\n])  # c", "x = f(a, [b,])  # c"),
        # Controls: no comma in the source, none in the rendering.
        ("x = f(a, b)", "x = f(a, b)"),
        ("x = f(\n    a,\n    b\n)", "x = f(a, b)"),
        ("from m import (a, b)", "from m import a, b"),
        # A tuple without brackets of its own that ends on a call's bracket: the comma
        # is the call's.
        ("u = (a), f(b,)", "u = (a, f(b,))"),
        # A one-item tuple has its comma already.
        ("t = (\n    a,\n)", "t = (a, )"),
    ],
    ids=[
        "call",
        "list",
        "dict",
        "set",
        "tuple",
        "subscript",
        "import",
        "relative-import",
        "inner-call-only",
        "inner-list-with-comment",
        "control-call",
        "control-no-trailing-comma",
        "control-import",
        "bare-tuple",
        "control-one-tuple",
    ],
)
def test_magic_trailing_commas_are_kept(source, expected):
    atok = parse(source)
    assert suggest.node_as_string(atok, statement(atok)) == expected


def test_a_replacement_without_items_takes_no_comma():
    """`len(\n    qs,\n)` rewritten to `qs.count()` keeps the old call's tokens: the
    comma of its last item has no item left to follow."""
    atok = parse("n = len(\n    qs,\n)\n")
    node = statement(atok)
    node.value = helpers.preserve_metadata(
        new_node=astroid.extract_node("qs.count()"), old_node=node.value
    )
    assert suggest.node_as_string(atok, node) == "n = qs.count()"


def test_a_comment_is_taken_once_per_parsed_file():
    atok = parse("x = foo(a)  # c\n")
    node = statement(atok)
    assert suggest.node_as_string(atok, node) == "x = foo(a)  # c"
    assert suggest.node_as_string(atok, node) == "x = foo(a)"


def test_new_nodes_render_without_tokens():
    atok = parse("x = f(a)  # c\n")
    node = statement(atok)
    node.value = astroid.extract_node("g(b, [1, 2])")
    assert not hasattr(node.value, "last_token")
    assert suggest.node_as_string(atok, node) == "x = g(b, [1, 2])  # c"


def test_placeholder_rows_render_as_their_source():
    source = "def f():\n    x = 1\n\n    # note\n    return x  # end\n"
    atok = parse(source, parse_non_code=True)
    assert suggest.node_as_string(atok, statement(atok)) == (
        "def f():\n    x = 1\n    # note\n    return x  # end"
    )
    placeholder = astroid.extract_node('print("# note")')
    placeholder.lineno = 4
    visitor = suggest.CommentAwareAsStringVisitor(atok=atok)
    assert visitor.visit_call(placeholder) == "# note"


def test_module_renders_stripped_without_comment():
    atok = parse("\n\nx = 1  # c\n")
    assert suggest.node_as_string(atok, atok.tree) == "x = 1  # c"
    visitor = suggest.CommentAwareAsStringVisitor(atok=atok, indent="  ")
    assert visitor.indent == "  " and visitor.atok is atok
    assert visitor.visit_module(atok.tree) == "x = 1"


# --- quote preference --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, expected",
    [
        ("", PREFER_DOUBLE),
        ("a = 'x' + \"y\"", PREFER_DOUBLE),
        ("a = 'x' + \"y\"  # it's", PREFER_SINGLE),
        ('a = "x"', PREFER_DOUBLE),
    ],
    ids=["none", "tie", "one-single-more", "doubles"],
)
def test_comma_character_target(source, expected):
    assert suggest.get_comma_character_target(source) == expected


# (literal, with double quotes preferred, with single quotes preferred)
LITERALS = [
    ("'abc'", '"abc"', "'abc'"),
    ('"abc"', '"abc"', "'abc'"),
    # Converting would add a backslash.
    ("'a\"b'", "'a\"b'", "'a\"b'"),
    ('"it\'s"', '"it\'s"', '"it\'s"'),
    # Converting removes one.
    ('"a\\"b"', "'a\"b'", "'a\"b'"),
    ("'it\\'s'", '"it\'s"', '"it\'s"'),
    # A needless escape goes, the quotes stay, whatever the preference.
    ("'a\\\"b'", "'a\"b'", "'a\"b'"),
    # Raw literals: never a backslash added or removed.
    ("r'a\"b'", "r'a\"b'", "r'a\"b'"),
    ("r'a\\d'", 'r"a\\d"', "r'a\\d'"),
    ('Rb"a\\d"', 'Rb"a\\d"', "Rb'a\\d'"),
    # A replacement field may not get a backslash.
    ("f'{x[\"k\"]}'", "f'{x[\"k\"]}'", "f'{x[\"k\"]}'"),
    ("f'{x} y'", 'f"{x} y"', "f'{x} y'"),
    # Triple quotes: double ones stay, single ones become double for either preference.
    ('"""a\'b"""', '"""a\'b"""', '"""a\'b"""'),
    ("'''ab'''", '"""ab"""', '"""ab"""'),
    ("'''a\"'''", "'''a\"'''", "'''a\"'''"),
]


@pytest.mark.parametrize("literal, double, single", LITERALS)
def test_normalize_string_quotes(literal, double, single):
    assert suggest.normalize_string_quotes(PREFER_DOUBLE, literal) == double
    assert (
        suggest.normalize_string_quotes(comma_character_target=PREFER_SINGLE, s=literal)
        == single
    )
    for result in (double, single):  # still the same string
        names = {"x": {"k": 1}}
        assert eval(result, names) == eval(literal, names)  # the table's literals


@pytest.mark.parametrize("pair", [("'",), ("'", '"', "x"), "'"])
def test_normalize_string_quotes_wants_a_pair(pair):
    with pytest.raises(ValueError, match="values to unpack"):
        suggest.normalize_string_quotes(pair, "'a'")


def test_leaf_normaliser_changes_the_leaf():
    leaf = types.SimpleNamespace(value="'abc'")
    assert (
        suggest.normalize_string_quotes_backwards_compatible(PREFER_DOUBLE, leaf)
        is None
    )
    assert leaf.value == '"abc"'


# --- formatting ------------------------------------------------------------------------------


def test_format_code_indents_rows_with_content():
    code = "def f( a ):\n  return a\nx=1\n"
    formatted = suggest.format_code(
        code=code,
        indentation="    ",
        code_style={"line_length": 88},
        comma_character_target=PREFER_DOUBLE,
    )
    assert formatted == "    def f(a):\n        return a\n\n\n    x = 1"


def test_format_code_warns_nothing_and_keeps_the_callers_filters():
    """black warns that its string-processing option is deprecated at each mode made:
    the call is ours, so the warning stays quiet, and the caller's filters stay."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        suggest.format_code(
            code="x = 'a'\n",
            indentation="",
            code_style={},
            comma_character_target=PREFER_DOUBLE,
        )
        assert warnings.filters == filters
    assert caught == []


def test_format_code_leaves_room_for_the_indentation():
    code = "result = compute(first_argument, second_argument)"  # 50 wide
    style = {"line_length": 56}
    flat = suggest.format_code(
        code=code,
        indentation="",
        code_style=style,
        comma_character_target=PREFER_DOUBLE,
    )
    assert flat == code
    nested = suggest.format_code(
        code=code,
        indentation="        ",
        code_style=style,
        comma_character_target=PREFER_DOUBLE,
    )
    assert nested == (
        "        result = compute(\n            first_argument, second_argument\n        )"
    )
    assert max(len(row) for row in nested.split("\n")) <= 56


def test_format_code_uses_the_style_and_the_quote_pair():
    style = {"line_length": 88, "target_versions": [black.TargetVersion.PY38]}
    code = "x = {'a': \"b\"}"
    assert suggest.format_code(code, "", style, PREFER_SINGLE) == "x = {'a': 'b'}"
    assert suggest.format_code(code, "", style, PREFER_DOUBLE) == 'x = {"a": "b"}'


def test_normaliser_is_replaced_only_during_the_call(monkeypatch):
    original = black.linegen.normalize_string_quotes
    seen = []
    format_str = black.format_str

    def spy(code, mode):
        seen.append((black.linegen.normalize_string_quotes, mode))
        return format_str(code, mode=mode)

    monkeypatch.setattr(black, "format_str", spy)
    suggest.format_code("x = 'a'", "", {"line_length": 70}, PREFER_SINGLE)
    [(normaliser, mode)] = seen
    assert isinstance(normaliser, functools.partial)
    assert normaliser.func is suggest.normalize_string_quotes
    assert normaliser.args == (PREFER_SINGLE,)
    assert (
        mode.line_length,
        mode.experimental_string_processing,
        mode.string_normalization,
    ) == (70, True, True)
    assert black.linegen.normalize_string_quotes is original


@pytest.mark.parametrize(
    "code, style, error",
    [
        ("x = (", {}, black.InvalidInput),
        ("x = 1", [("line_length", 10)], TypeError),
        ("x = 1", {"no_such_option": 1}, TypeError),
    ],
    ids=["black-rejects", "style-not-a-mapping", "unknown-option"],
)
def test_failed_formatting_restores_blacks_normaliser(code, style, error):
    original = black.linegen.normalize_string_quotes
    with pytest.raises(error):
        suggest.format_code(code, "", style, PREFER_DOUBLE)
    assert black.linegen.normalize_string_quotes is original
    assert black.format_str("x = 'a'\n", mode=black.FileMode()) == 'x = "a"\n'


def test_older_black_gets_the_leaf_normaliser(monkeypatch):
    """A black that keeps its normaliser on the module itself has it replaced there."""
    seen = []

    def spy(code, mode):
        seen.append(black.normalize_string_quotes)
        return code

    sentinel = object()
    monkeypatch.setattr(black, "normalize_string_quotes", sentinel, raising=False)
    monkeypatch.setattr(black, "format_str", spy)
    suggest.format_code("x = 1\n", "", {}, PREFER_SINGLE)
    [normaliser] = seen
    assert normaliser.func is suggest.normalize_string_quotes_backwards_compatible
    assert normaliser.args == (PREFER_SINGLE,)
    assert black.normalize_string_quotes is sentinel


def test_a_compiled_black_is_reported_at_load():
    code = textwrap.dedent(
        """
        import warnings

        import black

        black.COMPILED = True
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vorlane.staticanalysis.suggest
        for warning in caught:
            print(warning.category.__name__, warning.message)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    lines = [
        line for line in out.stdout.splitlines() if line.startswith("RuntimeWarning")
    ]
    assert len(lines) == 1
    assert "black is compiled" in lines[0] and "--no-binary black" in lines[0]
