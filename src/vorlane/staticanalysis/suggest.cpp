// Fix suggestions: turns findings held as review comments into review comments with
// suggestion blocks (black-formatted rewrites, template rows, suppression comments).
#include "support.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using support::borrow;
using support::contains;

using namespace pybind11::literals;
using support::name;
using support::steal;

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle defaultdict, partial, re, textwrap, warnings, realpath;
    py::handle AsStringVisitor, Module, Decorators, Pass, Import, ImportFrom, Match,
        TryStar;
    // The nodes that own a bracket pair, whose last item may be followed by a comma.
    py::handle Call, List, Tuple, Set, Dict, Subscript;
    py::handle black, linegen, black_strings;
    // Modules whose functions and tables are read at each call (tests patch them).
    py::handle constants, helpers, meta, templates, colspec, settings, migrations,
        fetchplan, urls;
    py::handle suggest, logger; // this module, for the functions it hands to black
    py::handle fstring_field;   // compiled once: the replacement fields of an f-string
    py::handle extract_node, NodeNG, JoinedStr;
    long OP, NAME, STRING, COMMENT, NL, NEWLINE, ENDMARKER;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const char *const SUPPRESSION_COMMENT = "  # vorlane: disable=";
const char *const DISABLE_NEXT_COMMENT = "# vorlane: disable-next=";
// Codes reported on the module node: a comment on a row does not reach them, one of the
// module's own at its top does.
const char *const MODULE_CODES[] = {"C3000", "C3003"};
const char *const LOAD_STATIC = "{% load static %}";
// Any of these, once whitespace runs are collapsed, means the static tags are loaded.
const char *const STATIC_LOADS[] = {"{% load static %}",
                                    "{% load static from staticfiles %}",
                                    "{% load staticfiles %}"};
// Codes whose settings rewrite hands back the line's fix itself.
const char *const SETTINGS_REMOVALS[] = {"C4005", "C4015"};

// The rule families, in the order their rewrites run on a statement: each family table
// of `constants` and the checker module whose build_transformer_visitor serves it.
// `edits_imports`: besides the statement, its rewrites edit an import of the file.
struct Family {
    const char *table;
    py::handle Libs::*module;
    bool edits_imports;
};
const Family FAMILIES[] = {
    {"TRANSFORMABLE_MODEL_FIELD_RULES", &Libs::colspec, false},
    {"TRANSFORMABLE_URL_RULES", &Libs::urls, true},
    {"TRANSFORMABLE_MIGRATION_RULES", &Libs::migrations, false},
    {"TRANSFORMABLE_QUERYSET_RULES", &Libs::fetchplan, false},
};

// The statement lists of a compound statement. While its header is rewritten or
// rendered they are swapped out: `body` for a lone placeholder, the rest for nothing.
const char *const BLOCK_FIELDS[] = {"body", "orelse", "handlers", "finalbody"};

// --- Small helpers -------------------------------------------------------------------

long as_long(py::handle value) {
    long result = PyLong_AsLong(value.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

bool equal(py::handle a, py::handle b) {
    int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

bool string_is(py::handle token, const char *text) {
    return support::str_equals(token.attr(name<"string">()), text);
}

py::object constant(const char *table) {
    return L->constants.attr(py::str(table));
}

// The three items of a SuggestionItem (or of any triple), as unpacking would take them.
std::vector<py::object> unpack(py::handle sequence, size_t size) {
    py::object fast =
        steal(PySequence_Fast(sequence.ptr(), "cannot unpack non-sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    if (static_cast<size_t>(n) != size) {
        std::string message =
            static_cast<size_t>(n) > size
                ? "too many values to unpack (expected " + std::to_string(size) + ")"
                : "not enough values to unpack (expected " + std::to_string(size) +
                      ", got " + std::to_string(n) + ")";
        support::raise(PyExc_ValueError, message);
    }
    std::vector<py::object> items;
    for (Py_ssize_t i = 0; i < n; ++i)
        items.push_back(borrow(PySequence_Fast_GET_ITEM(fast.ptr(), i)));
    return items;
}

// --- Records -------------------------------------------------------------------------

py::dict build_comment(py::object path, py::object start_line, py::object end_line,
                       py::object body) {
    py::dict comment;
    comment["body"] = body;
    comment["path"] = path;
    comment["side"] = "RIGHT";
    if (equal(start_line, end_line)) {
        comment["line"] = start_line;
    } else {
        comment["start_line"] = start_line;
        comment["line"] = end_line;
    }
    return comment;
}

py::str markup_suggestion(py::handle suggestion) {
    return py::str("```suggestion\n") + py::str(suggestion) + py::str("\n```");
}

py::object group_comments_by_line(py::handle comments) {
    py::object groups =
        L->defaultdict(py::handle(reinterpret_cast<PyObject *>(&PyList_Type)));
    for (py::handle comment : py::iter(comments)) {
        py::object line = steal(PyNumber_Long(py::object(comment["line"]).ptr()));
        py::tuple key = py::make_tuple(comment["path"], line);
        // dict(comment): a shallow copy (pybind11's py::dict would share a dict).
        py::object copy = steal(PyObject_CallOneArg(
            reinterpret_cast<PyObject *>(&PyDict_Type), comment.ptr()));
        groups[key].attr(name<"append">())(copy);
    }
    return groups;
}

// --- Code formatting -----------------------------------------------------------------

// More single quotes than double quotes anywhere in the text: move strings toward
// single quotes; otherwise (a tie included) toward double quotes.
py::tuple get_comma_character_target(py::str source) {
    Py_ssize_t singles = as_long(source.attr(name<"count">())("'"));
    Py_ssize_t doubles = as_long(source.attr(name<"count">())("\""));
    if (singles > doubles) return py::make_tuple("\"", "'");
    return py::make_tuple("'", "\"");
}

// black's helpers moved from `black` to `black.strings` (their home in the pinned
// release); either will do.
py::object black_helper(py::handle attr) {
    if (auto found = support::try_attr(L->black_strings, attr)) return *found;
    return L->black.attr(attr);
}

py::object compile_with_quote(const char *head, py::handle quote) {
    return L->re.attr(name<"compile">())(py::str(head) + py::str(quote));
}

py::object normalize_string_quotes(py::handle comma_character_target, py::str s) {
    std::vector<py::object> pair = unpack(comma_character_target, 2);
    py::object comma_before = pair[0], comma_after = pair[1];
    py::object prefix_chars = black_helper(name<"STRING_PREFIX_CHARS">());
    py::object sub_twice = black_helper(name<"sub_twice">());

    py::str value = s.attr(name<"lstrip">())(prefix_chars);
    auto starts = [&](py::handle text, const char *head) {
        return support::truthy(text.attr(name<"startswith">())(head));
    };
    if (starts(value, "\"\"\"")) return std::move(s); // never touched
    py::str orig_quote, new_quote;
    if (starts(value, "'''")) {
        orig_quote = py::str("'''");
        new_quote = py::str("\"\"\"");
    } else if (equal(value[py::slice(0, 1, 1)], comma_before)) {
        orig_quote = comma_before;
        new_quote = comma_after;
    } else {
        orig_quote = comma_after;
        new_quote = comma_before;
    }
    Py_ssize_t first_quote_pos = as_long(s.attr(name<"find">())(orig_quote));
    if (first_quote_pos == -1) return std::move(s);
    Py_ssize_t quote_len = PyObject_Length(orig_quote.ptr());
    py::str prefix = s[py::slice(0, first_quote_pos, 1)];

    py::object unescaped_new_quote =
        compile_with_quote(R"re((([^\\]|^)(\\\\)*))re", new_quote);
    py::object escaped_new_quote =
        compile_with_quote(R"re(([^\\]|^)\\((?:\\\\)*))re", new_quote);
    py::object escaped_orig_quote =
        compile_with_quote(R"re(([^\\]|^)\\((?:\\\\)*))re", orig_quote);
    Py_ssize_t size = PyObject_Length(s.ptr());
    py::str body = s[py::slice(first_quote_pos + quote_len, size - quote_len, 1)];

    py::str folded = prefix.attr(name<"casefold">())();
    py::str new_body;
    if (contains(folded, py::str("r"))) {
        // A raw literal keeps its backslashes: it converts only when nothing needs one.
        if (support::truthy(unescaped_new_quote.attr(name<"search">())(body)))
            return std::move(s);
        new_body = body;
    } else {
        new_body = sub_twice(escaped_new_quote, py::str(R"(\1\2)") + new_quote, body);
        // Only needless escapes go; the quotes stay for this call.
        if (!equal(new_body, body)) return prefix + orig_quote + new_body + orig_quote;
        new_body =
            sub_twice(escaped_orig_quote, py::str(R"(\1\2)") + orig_quote, new_body);
        new_body =
            sub_twice(unescaped_new_quote, py::str(R"(\1\\)") + new_quote, new_body);
    }
    if (contains(folded, py::str("f"))) {
        // A backslash may not go into a replacement field.
        for (py::handle field : L->fstring_field.attr(name<"findall">())(new_body))
            if (contains(py::str(field), py::str("\\"))) return std::move(s);
    }
    if (equal(new_quote, py::str("\"\"\"")) &&
        support::truthy(new_body.attr(name<"endswith">())("\""))) {
        Py_ssize_t n = PyObject_Length(new_body.ptr());
        new_body = py::str(new_body[py::slice(0, n - 1, 1)]) + py::str("\\\"");
    }
    long orig_escape_count = as_long(body.attr(name<"count">())("\\"));
    long new_escape_count = as_long(new_body.attr(name<"count">())("\\"));
    if (new_escape_count > orig_escape_count) return std::move(s); // more escaping
    if (new_escape_count == orig_escape_count && equal(orig_quote, comma_after))
        return std::move(s); // already preferred, and switching saves nothing
    return prefix + new_quote + new_body + new_quote;
}

// For black releases whose normaliser edits a leaf in place.
void normalize_string_quotes_backwards_compatible(py::handle comma_character_target,
                                                  py::handle leaf) {
    py::object normalize = L->suggest.attr(name<"normalize_string_quotes">());
    leaf.attr(name<"value">()) =
        normalize("comma_character_target"_a = comma_character_target,
                  "s"_a = leaf.attr(name<"value">()));
}

// Puts a module attribute back when the formatting call ends, whether black succeeded
// or raised; restoring a plain attribute does not fail.
class AttributeSwap {
public:
    AttributeSwap(py::handle module, py::handle attr, py::handle replacement)
        : module_(module), attr_(attr), previous_(module.attr(attr)) {
        py::setattr(module, attr, replacement);
    }
    ~AttributeSwap() {
        if (PyObject_SetAttr(module_.ptr(), attr_.ptr(), previous_.ptr()) < 0)
            PyErr_Clear();
    }
    AttributeSwap(const AttributeSwap &) = delete;
    AttributeSwap &operator=(const AttributeSwap &) = delete;

private:
    py::handle module_, attr_;
    py::object previous_;
};

// The line length of a code style: its own, else black's default.
long line_length_of(py::handle code_style) {
    py::object length = code_style.attr(name<"get">())(
        "line_length", L->black.attr(name<"DEFAULT_LINE_LENGTH">()));
    return as_long(length);
}

py::str format_code(py::str code, py::str indentation, py::handle code_style,
                    py::handle comma_character_target) {
    if (!PyDict_Check(code_style.ptr()) &&
        !support::try_attr(code_style, name<"keys">()))
        support::raise(PyExc_TypeError,
                       "FileMode() argument after ** must be a mapping");
    py::dict options;
    options["experimental_string_processing"] = true;
    options["string_normalization"] = true;
    if (PyDict_Merge(options.ptr(), code_style.ptr(), 1) < 0)
        throw py::error_already_set();
    // The code is formatted at the top level and indented afterwards: black, run on the
    // fixed file, counts the indentation too, so the code gets that much less room.
    Py_ssize_t width = PyObject_Length(indentation.ptr());
    if (width > 0) {
        options["line_length"] = std::max<long>(line_length_of(options) - width, 1);
    }
    py::object mode;
    {
        // black 22.12 still honours experimental_string_processing but warns at every
        // mode made with it; the warning is about this call, not about the user's code.
        support::QuietWarning quiet(
            "`experimental string processing` has been included", PyExc_UserWarning);
        mode = steal(PyObject_Call(L->black.attr(name<"FileMode">()).ptr(),
                                   py::tuple().ptr(), options.ptr()));
    }

    py::object module = borrow(L->linegen);
    py::object normalize = L->suggest.attr(name<"normalize_string_quotes">());
    // Older black releases keep a normaliser that edits a leaf on `black` itself.
    if (support::try_attr(L->black, name<"normalize_string_quotes">())) {
        module = borrow(L->black);
        normalize =
            L->suggest.attr(name<"normalize_string_quotes_backwards_compatible">());
    }
    py::object replacement = L->partial(normalize, comma_character_target);
    py::str formatted;
    {
        AttributeSwap swap(module, name<"normalize_string_quotes">(), replacement);
        formatted = L->black.attr(name<"format_str">())(code, "mode"_a = mode);
    }
    formatted = formatted.attr(name<"strip">())("\n");
    return L->textwrap.attr(name<"indent">())(formatted, indentation);
}

// --- Comment-aware rendering ---------------------------------------------------------

bool is_statement(py::handle node) {
    auto flag = support::try_attr(node, name<"is_statement">());
    return flag && support::truthy(*flag);
}

// A statement that holds statement lists of its own (if, for, def, class, try, ...).
bool is_compound(py::handle node) {
    if (!is_statement(node)) return false;
    auto body = support::try_attr(node, name<"body">());
    return body && PyList_Check(body->ptr());
}

bool in_extra_line_map(py::handle atok, py::handle node) {
    py::object lineno = support::attr_or_none(node, name<"lineno">());
    return contains(atok.attr(name<"extra_line_map">()), lineno);
}

// The comment that follows token on token's last row, unless a rendering placed it
// already: "  " + its text, for the end of that row, and the comment marked placed.
std::optional<py::str> take_same_row_comment(py::handle atok, py::handle token) {
    py::object next = atok.attr(name<"next_token">())(token, "include_extra"_a = true);
    if (as_long(next.attr(name<"type">())) != L->COMMENT) return std::nullopt;
    if (as_long(next.attr(name<"start">())[py::int_(0)]) !=
        as_long(token.attr(name<"end">())[py::int_(0)]))
        return std::nullopt;
    if (support::try_attr(next, name<"consumed">())) return std::nullopt;
    next.attr(name<"consumed">()) = true;
    return py::str("  ") + py::str(next.attr(name<"string">()));
}

// --- Magic trailing commas -----------------------------------------------------------

bool is_exactly(py::handle node, py::handle cls) {
    return reinterpret_cast<PyObject *>(Py_TYPE(node.ptr())) == cls.ptr();
}

bool is_bracket_owner(py::handle node) {
    return is_exactly(node, L->Call) || is_exactly(node, L->List) ||
           is_exactly(node, L->Tuple) || is_exactly(node, L->Dict) ||
           is_exactly(node, L->Set) || is_exactly(node, L->Subscript) ||
           is_exactly(node, L->ImportFrom);
}

// Whether the tokens first..last are one bracket pair: `(a, b,)` is, while the
// unbracketed tuple `(a), f(b,)` starts and ends on brackets of two other pairs.
bool one_bracket_pair(py::handle atok, py::handle first, py::handle last) {
    if (!string_is(first, "(")) return false;
    py::list tokens = atok.attr(name<"tokens">());
    Py_ssize_t from = as_long(first.attr(name<"index">()));
    Py_ssize_t to = as_long(last.attr(name<"index">()));
    int depth = 0;
    for (Py_ssize_t i = from; i < to && i < PyList_GET_SIZE(tokens.ptr()); ++i) {
        py::handle token = PyList_GET_ITEM(tokens.ptr(), i);
        if (as_long(token.attr(name<"type">())) != L->OP) continue;
        auto text = support::as_string(token.attr(name<"string">()));
        if (!text) continue;
        if (*text == "(" || *text == "[" || *text == "{") ++depth;
        if (*text == ")" || *text == "]" || *text == "}") --depth;
        if (depth == 0) return false; // closed before the last token
    }
    return true;
}

// `f(\n    a,\n    b,\n)`: a comma after the last item before the closing bracket,
// black's sign to keep one item per row.
bool had_magic_comma(py::handle atok, py::handle node) {
    auto last = support::try_attr(node, name<"last_token">());
    if (!last) return false; // built by a rewrite, or inside an f-string
    auto closing = support::as_string(last->attr(name<"string">()));
    if (!closing || (*closing != ")" && *closing != "]" && *closing != "}"))
        return false;
    py::object before = atok.attr(name<"prev_token">())(*last);
    if (!string_is(before, ",")) return false;
    if (is_exactly(node, L->Tuple))
        return one_bracket_pair(atok, node.attr(name<"first_token">()), *last);
    return true;
}

// The rendered node with the comma its source had after its last item. astroid renders
// without it, and black would then join the rows that the project keeps apart; with
// it, black keeps them apart and the rows a rewrite did not touch come back as they
// were. An import is rendered without brackets, so it gets them back too.
py::str with_magic_comma(py::handle node, py::str text) {
    Py_ssize_t size = PyUnicode_GetLength(text.ptr());
    if (is_exactly(node, L->ImportFrom)) {
        Py_ssize_t at = as_long(text.attr(name<"find">())(" import "));
        if (at < 0 || support::truthy(text.attr(name<"endswith">())("*"))) return text;
        Py_ssize_t names = at + 8; // past " import "
        return py::str(text[py::slice(0, names, 1)]) + py::str("(") +
               py::str(text[py::slice(names, size, 1)]) + py::str(",)");
    }
    if (size < 2) return text;
    py::str inner = py::str(text[py::slice(0, size - 1, 1)]).attr(name<"rstrip">())();
    Py_UCS4 last =
        PyUnicode_ReadChar(inner.ptr(), PyUnicode_GetLength(inner.ptr()) - 1);
    // Nothing between the brackets (`qs.count()` in place of `len(\n    qs,\n)`), or a
    // comma already there (a one-item tuple).
    if (last == ',' || last == '(' || last == '[' || last == '{') return text;
    return inner + py::str(",") + py::str(text[py::slice(size - 1, size, 1)]);
}

// The same-row comment after a node goes with the node's text. Only a simple statement
// takes it: inside a statement the comment would land within brackets of the rendered
// code, and a compound statement's last token belongs to its body.
py::object handle_comment_suffix(py::handle self, py::handle func, py::handle node) {
    py::str text = func(node);
    py::object atok = self.attr(name<"atok">());
    if (in_extra_line_map(atok, node)) return std::move(text);
    auto last_token = support::try_attr(node, name<"last_token">());
    if (!last_token) return std::move(text);
    if (support::isinstance(node, L->Module)) return text.attr(name<"strip">())();
    if (is_bracket_owner(node) && had_magic_comma(atok, node))
        text = with_magic_comma(node, text);
    if (is_statement(node) && !is_compound(node))
        if (auto comment = take_same_row_comment(atok, *last_token))
            text = text + *comment;
    // The decorators' text ends with the newline that puts the definition on a row of
    // its own.
    if (support::isinstance(node, L->Decorators)) return std::move(text);
    return text.attr(name<"strip">())();
}

void visitor_init(py::handle self, py::handle atok, py::args args, py::kwargs kwargs) {
    self.attr(name<"atok">()) = atok;
    py::object init = L->AsStringVisitor.attr(name<"__init__">());
    init(self, *args, **kwargs);
}

// Every visit method the base renderer fetches comes wrapped, so each node of the
// rendered tree is offered its comment.
py::object visitor_getattribute(py::handle self, py::str attr) {
    py::object found = steal(PyObject_GenericGetAttr(self.ptr(), attr.ptr()));
    py::str prefix("visit_");
    Py_ssize_t visit =
        PyUnicode_Tailmatch(attr.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (visit < 0) throw py::error_already_set();
    if (visit) return self.attr(name<"with_comment_decorator">())(found);
    return found;
}

py::object visitor_with_comment_decorator(py::handle self, py::handle func) {
    return py::cpp_function(
        [self = borrow(self), func = borrow(func)](py::handle node) {
            return handle_comment_suffix(self, func, node);
        },
        py::name("handle_comment_suffix"), py::arg("node"));
}

// A placeholder call of a blank or comment row renders as that row's source text.
py::object visitor_visit_call(py::handle self, py::handle node) {
    py::object map = self.attr(name<"atok">()).attr(name<"extra_line_map">());
    py::object lineno = support::attr_or_none(node, name<"lineno">());
    if (contains(map, lineno)) return map[lineno];
    return L->AsStringVisitor.attr(name<"visit_call">())(self, node);
}

py::str node_as_string(py::handle atok, py::handle node) {
    py::object visitor = L->suggest.attr(name<"CommentAwareAsStringVisitor">())(
        "indent"_a = "    ", "atok"_a = atok);
    py::str text = visitor(node);
    return text.attr(name<"rstrip">())().attr(name<"strip">())("\n");
}

// --- Template line suggestions -------------------------------------------------------

py::str get_indentation(py::str code) {
    Py_ssize_t size = PyObject_Length(code.ptr());
    Py_ssize_t rest = PyObject_Length(code.attr(name<"lstrip">())().ptr());
    return code[py::slice(0, size - rest, 1)];
}

// Rows are 1-based; a row outside the template is an IndexError, never a read from the
// other end of the list.
py::tuple read_code_line(py::handle code_lines, py::handle line_number) {
    long row = as_long(line_number);
    Py_ssize_t count = PyObject_Length(code_lines.ptr());
    if (count < 0) throw py::error_already_set();
    if (row < 1 || row > count)
        support::raise(PyExc_IndexError, "row " + std::to_string(row) +
                                             " is outside the template's rows 1.." +
                                             std::to_string(count));
    py::str text = code_lines[py::int_(row - 1)];
    Py_ssize_t size = PyObject_Length(text.ptr());
    Py_ssize_t rest = PyObject_Length(text.attr(name<"lstrip">())().ptr());
    return py::make_tuple(text[py::slice(size - rest, size, 1)], get_indentation(text));
}

// None when the static tags are loaded already; else the 0-based row before which the
// load line goes: right after the row where the `{% extends %}` tag ends, since Django
// wants extends as the template's first tag, or before the first row.
py::object get_staticfile_template_tag_insertion_point(py::str content) {
    py::object normalized =
        L->helpers.attr(name<"normalize_django_template">())(content);
    for (const char *load : STATIC_LOADS)
        if (contains(normalized, py::str(load))) return py::none();
    // "{% extends" after whitespace runs are collapsed is this pattern before.
    py::object match = L->re.attr(name<"search">())(R"(\{%\s+extends)", content);
    if (match.is_none()) return py::int_(0);
    py::object tag_end = match.attr(name<"end">())();
    py::object close = content.attr(name<"find">())("%}", tag_end);
    if (as_long(close) == -1) close = tag_end;
    long rows_before = as_long(content.attr(name<"count">())("\n", 0, close));
    return py::int_(rows_before + 1);
}

py::tuple
get_staticfile_template_tag_insertion_point_and_current(py::handle code_lines) {
    // One "\n" between rows whatever endings they carry, so the point counts rows.
    py::list rows;
    for (py::handle row : py::iter(code_lines))
        rows.append(row.attr(name<"rstrip">())("\r\n"));
    py::str content = py::str("\n").attr(name<"join">())(rows);
    py::object point = get_staticfile_template_tag_insertion_point(content);
    if (point.is_none()) return py::make_tuple(py::none(), py::none());
    long index = as_long(point);
    if (index >= static_cast<long>(PyList_GET_SIZE(rows.ptr()))) // no such row
        return py::make_tuple(py::none(), py::none());
    py::object current =
        py::object(code_lines[py::int_(index)]).attr(name<"strip">())();
    return py::make_tuple(point, current);
}

py::str get_suggestion_for_html(py::str code, py::handle message_ids,
                                py::handle settings) {
    py::object static_url = settings[py::str("STATIC_URL")];
    if (support::truthy(static_url)) {
        py::object visitor = L->templates.attr(name<"build_transformer_visitor">())(
            "message_ids"_a = message_ids, "settings"_a = settings);
        code = visitor.attr(name<"visit">())(code);
    }
    return code.attr(name<"strip">())();
}

// A template row, without its line ending, as its own fix would leave it: rewritten
// behind its indentation, or exactly as it is when the rewrite does not change it.
py::str html_row_as_fixed(py::handle code_lines, long row, py::handle message_ids,
                          py::handle settings) {
    py::tuple split = read_code_line(code_lines, py::int_(row));
    py::str code = split[0], indentation = split[1];
    py::str rewritten = get_suggestion_for_html(code, message_ids, settings);
    if (equal(rewritten, code.attr(name<"strip">())()))
        return py::str(code_lines[py::int_(row - 1)]).attr(name<"rstrip">())("\r\n");
    return indentation + rewritten;
}

// The suggestions of one template line; the load tag's insertion point is asked of
// insertion_point(), which a caller fixing several lines of one file answers once.
py::list html_line_suggestions(py::handle code_lines, py::handle line,
                               py::handle message_ids, py::handle settings,
                               const std::function<py::tuple()> &insertion_point) {
    py::list suggestions;
    long row = as_long(line);
    Py_ssize_t count = PyObject_Length(code_lines.ptr());
    if (count < 0) throw py::error_already_set();
    if (row < 1 || row > count) return suggestions; // a row the template does not have
    py::tuple split = read_code_line(code_lines, line);
    py::str code = split[0], indentation = split[1];
    py::str rewritten = get_suggestion_for_html(code, message_ids, settings);
    if (equal(rewritten.attr(name<"strip">())(), code.attr(name<"strip">())()))
        return suggestions;
    py::str text = indentation + rewritten;
    if (contains(message_ids, py::str("C7001"))) {
        py::tuple point = insertion_point();
        long load_row = point[0].is_none() ? 0 : as_long(point[0]) + 1;
        // The load line goes before the finding's own row: one item holds both, since
        // two items of one row would each undo the other when applied.
        if (load_row == row) text = py::str(LOAD_STATIC) + py::str("\n") + text;
        suggestions.append(py::make_tuple(line, line, text));
        if (load_row != 0 && load_row != row) {
            // The row that the load line goes before comes back as it was, indentation
            // included, or with its own fix should it have one: that row's line offers
            // the same text, never a block that undoes it.
            py::str load =
                py::str(LOAD_STATIC) + py::str("\n") +
                html_row_as_fixed(code_lines, load_row, message_ids, settings);
            suggestions.append(
                py::make_tuple(py::int_(load_row), py::int_(load_row), load));
        }
        return suggestions;
    }
    suggestions.append(py::make_tuple(line, line, text));
    return suggestions;
}

py::list get_suggestions_for_html(py::handle code_lines, py::handle line,
                                  py::handle message_ids, py::handle settings) {
    return html_line_suggestions(code_lines, line, message_ids, settings, [&] {
        return get_staticfile_template_tag_insertion_point_and_current(code_lines);
    });
}

// A fix item: [first row, last row, replacement text].
py::list make_item(py::handle start, py::handle end, py::handle text) {
    py::list item;
    item.append(start);
    item.append(end);
    item.append(text);
    return item;
}

// --- Python line suggestions: rows and tokens ----------------------------------------

long start_row(py::handle token) {
    return as_long(token.attr(name<"start">())[py::int_(0)]);
}
long end_row(py::handle token) {
    return as_long(token.attr(name<"end">())[py::int_(0)]);
}

// The file's tokens, reached by index: the walks below look at a few tokens each.
struct Tokens {
    py::list list;
    explicit Tokens(py::handle atok) : list(atok.attr(name<"tokens">())) {}
    Py_ssize_t size() const { return PyList_GET_SIZE(list.ptr()); }
    py::handle at(Py_ssize_t i) const { return PyList_GET_ITEM(list.ptr(), i); }
    static long type(py::handle token) { return as_long(token.attr(name<"type">())); }
    static Py_ssize_t index(py::handle token) {
        return as_long(token.attr(name<"index">()));
    }
    bool is_noise(Py_ssize_t i) const {
        long t = type(at(i));
        return t == L->NL || t == L->COMMENT;
    }
    // The nearest code token before / after index i (comments and blank-row NL tokens
    // skipped), or -1 at either end of the file.
    Py_ssize_t prev_code(Py_ssize_t i) const {
        for (--i; i >= 0; --i)
            if (!is_noise(i)) return i;
        return -1;
    }
    Py_ssize_t next_code(Py_ssize_t i) const {
        for (++i; i < size(); ++i)
            if (!is_noise(i)) return i;
        return -1;
    }
};

// The ':' that ends a compound statement's header: the first one outside brackets that
// no lambda of the header claims (`if key(lambda x: x):`, `@lambda f: f`).
py::object header_colon(const Tokens &tokens, py::handle node) {
    Py_ssize_t i = Tokens::index(node.attr(name<"first_token">()));
    Py_ssize_t last = Tokens::index(node.attr(name<"last_token">()));
    int depth = 0, lambdas = 0;
    for (; i <= last && i < tokens.size(); ++i) {
        py::handle token = tokens.at(i);
        long type = Tokens::type(token);
        if (type == L->NAME && depth == 0 && string_is(token, "lambda")) ++lambdas;
        if (type != L->OP) continue;
        auto text = support::as_string(token.attr(name<"string">()));
        if (!text) continue;
        if (*text == "(" || *text == "[" || *text == "{") ++depth;
        if (*text == ")" || *text == "]" || *text == "}") --depth;
        if (*text == ":" && depth == 0) {
            if (lambdas == 0) return borrow(token);
            --lambdas;
        }
    }
    return py::none();
}

// The rows a statement's fix replaces: from its first token to the row where its last
// token ends (a string may run over several rows); for a compound statement only its
// header, down to the colon, so that its body stays as it is.
struct Span {
    long start = 0, end = 0;
    py::object first, last; // the first and the last token of the span
};

std::optional<Span> statement_span(const Tokens &tokens, py::handle node) {
    Span span;
    span.first = node.attr(name<"first_token">());
    span.last = is_compound(node) ? header_colon(tokens, node)
                                  : py::object(node.attr(name<"last_token">()));
    if (span.last.is_none()) return std::nullopt;
    span.start = start_row(span.first);
    span.end = end_row(span.last);
    return span;
}

// `a = 1; b = len(qs)`, `if x: b = len(qs)`: replacing the span's rows would take the
// other statement with it.
bool shares_rows(const Tokens &tokens, const Span &span) {
    Py_ssize_t before = tokens.prev_code(Tokens::index(span.first));
    if (before >= 0 && end_row(tokens.at(before)) == span.start &&
        Tokens::type(tokens.at(before)) == L->OP)
        return true;
    Py_ssize_t after = tokens.next_code(Tokens::index(span.last));
    if (after >= 0 && string_is(tokens.at(after), ";"))
        after = tokens.next_code(after); // a trailing semicolon alone shares nothing
    if (after < 0) return false;
    py::handle next = tokens.at(after);
    long type = Tokens::type(next);
    return start_row(next) == span.end && type != L->NEWLINE && type != L->ENDMARKER;
}

// The comments on a span's rows. A fix replaces those rows whole, so each of them must
// come back in the rendered code or applying the fix would delete it.
std::vector<py::object> span_comments(const Tokens &tokens, const Span &span) {
    std::vector<py::object> comments;
    for (Py_ssize_t i = Tokens::index(span.first); i < tokens.size(); ++i) {
        py::handle token = tokens.at(i);
        if (start_row(token) > span.end) break;
        if (Tokens::type(token) == L->COMMENT) comments.push_back(borrow(token));
    }
    return comments;
}

// Renders a node of the file with render(), which attaches comments, and answers
// nullopt when a comment of the node's rows stays behind: the renderer keeps only the
// comment at the end of a statement, so one inside a bracket or between rows would be
// lost. The node's own comments are offered afresh, since an earlier line of the same
// call may have rendered the same statement and taken them.
template <typename Render>
std::optional<py::str> render_keeping_comments(const Tokens &tokens, const Span &span,
                                               Render &&render) {
    std::vector<py::object> comments = span_comments(tokens, span);
    for (py::object &comment : comments)
        if (support::try_attr(comment, name<"consumed">()) &&
            PyObject_DelAttr(comment.ptr(), name<"consumed">().ptr()) < 0)
            throw py::error_already_set();
    py::str rendered = render();
    for (py::object &comment : comments)
        if (!support::try_attr(comment, name<"consumed">())) return std::nullopt;
    return rendered;
}

// The source rows of the parsed file, as its tokens count them (split at "\n" only).
py::list source_rows(py::handle atok) {
    return atok.attr(name<"text">()).attr(name<"split">())("\n");
}

py::str row_text(py::handle rows, long row) {
    py::str text = rows[py::int_(row - 1)];
    return text.attr(name<"rstrip">())("\r");
}

// A row that ends inside a string spanning rows, or with a backslash continuation: a
// comment put at its end would become string content or a syntax error.
bool row_ends_open(py::handle atok, py::handle rows, long row) {
    py::str text = row_text(rows, row);
    py::object token = atok.attr(name<"get_token">())(row, PyObject_Length(text.ptr()));
    if (end_row(token) > row) return true;
    long type = Tokens::type(token);
    return type != L->NEWLINE && type != L->NL;
}

// --- Python line suggestions: f-strings ----------------------------------------------

// f"{len(qs)} rows", rb"...": a STRING token whose prefix holds an f.
bool is_fstring_token(py::handle token) {
    if (Tokens::type(token) != L->STRING) return false;
    auto text = support::as_string(token.attr(name<"string">()));
    if (!text) return false;
    for (char c : *text) {
        if (c == '\'' || c == '"') return false;
        if (c == 'f' || c == 'F') return true;
    }
    return false;
}

bool span_has_fstring(const Tokens &tokens, const Span &span) {
    for (Py_ssize_t i = Tokens::index(span.first); i < tokens.size(); ++i) {
        py::handle token = tokens.at(i);
        if (start_row(token) > span.end) break;
        if (is_fstring_token(token)) return true;
    }
    return false;
}

// Python 3.11 tokenizes an f-string as one STRING token, so the nodes of its
// replacement fields carry no tokens, while the rewrites place the nodes they build by
// the tokens of those they replace (`len(qs)` -> `qs.count()` in f"{len(qs)} rows").
// Each such node is lent its f-string's tokens, the narrowest that hold it: rows read
// from them stay right, and a comment is never looked for inside a string.
void lend_fstring_tokens(py::handle node) {
    for (py::handle joined : node.attr(name<"nodes_of_class">())(L->JoinedStr)) {
        auto first = support::try_attr(joined, name<"first_token">());
        auto last = support::try_attr(joined, name<"last_token">());
        if (!first || !last) continue; // built by a rewrite: nothing below is source
        for (py::handle inner : joined.attr(name<"nodes_of_class">())(L->NodeNG)) {
            if (support::try_attr(inner, name<"first_token">())) continue;
            inner.attr(name<"first_token">()) = *first;
            inner.attr(name<"last_token">()) = *last;
        }
    }
}

// Whether two f-strings read the same: the same literal texts and replacement fields,
// in the same order, each field with the same expression text, conversion and format
// spec.
bool same_fstring(py::handle a, py::handle b) {
    py::list values_a = a.attr(name<"values">()), values_b = b.attr(name<"values">());
    if (PyList_GET_SIZE(values_a.ptr()) != PyList_GET_SIZE(values_b.ptr()))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values_a.ptr()); ++i) {
        py::handle x = PyList_GET_ITEM(values_a.ptr(), i);
        py::handle y = PyList_GET_ITEM(values_b.ptr(), i);
        if (Py_TYPE(x.ptr()) != Py_TYPE(y.ptr())) return false;
        if (!support::try_attr(x, name<"conversion">())) { // a literal text
            if (!equal(x.attr(name<"value">()), y.attr(name<"value">()))) return false;
            continue;
        }
        if (!equal(x.attr(name<"conversion">()), y.attr(name<"conversion">())) ||
            !equal(x.attr(name<"value">()).attr(name<"as_string">())(),
                   y.attr(name<"value">()).attr(name<"as_string">())()))
            return false;
        py::object spec_a = x.attr(name<"format_spec">());
        py::object spec_b = y.attr(name<"format_spec">());
        if (spec_a.is_none() != spec_b.is_none()) return false;
        if (!spec_a.is_none() && !same_fstring(spec_a, spec_b)) return false;
    }
    return true;
}

// Whether every f-string of the rewritten statement renders as code that reads back as
// the same f-string. astroid's rendering has blind spots: a field that starts with a
// brace (`{ {"a": 1}["a"] }` comes out as the escaped brace `{{`), a text that ends
// with the quote that closes it. Such a line gets no suggestion rather than a wrong
// one.
bool fstrings_render_faithfully(py::handle node) {
    for (py::handle joined : node.attr(name<"nodes_of_class">())(L->JoinedStr)) {
        py::object again;
        try {
            again = L->extract_node(joined.attr(name<"as_string">())());
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return false; // does not parse
        }
        if (!support::isinstance(again, L->JoinedStr) || !same_fstring(joined, again))
            return false;
    }
    return true;
}

// --- Python line suggestions: compound statements ------------------------------------

// Takes a compound statement's blocks off while its header is rewritten or rendered,
// and puts them back when the scope ends, also when a rewrite raises.
class BlocksOff {
public:
    explicit BlocksOff(py::handle node) : node_(node) {}
    void take_off() {
        for (const char *field : BLOCK_FIELDS) {
            py::str attr(field);
            auto value = support::try_attr(node_, attr);
            if (!value) continue;
            saved_.emplace_back(attr, *value);
            py::list replacement;
            if (std::string(field) == "body") replacement.append(L->Pass());
            py::setattr(node_, attr, replacement);
        }
        if (auto doc = support::try_attr(node_, name<"doc_node">())) {
            saved_.emplace_back(borrow(name<"doc_node">()), *doc);
            py::setattr(node_, name<"doc_node">(), py::none());
        }
    }
    ~BlocksOff() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            if (PyObject_SetAttr(node_.ptr(), it->first.ptr(), it->second.ptr()) < 0)
                PyErr_Clear();
    }
    BlocksOff(const BlocksOff &) = delete;
    BlocksOff &operator=(const BlocksOff &) = delete;

private:
    py::handle node_;
    std::vector<std::pair<py::object, py::object>> saved_;
};

// An elif or except clause is no statement black can format alone: it is formatted
// behind these rows, which are cut off again afterwards.
const char *header_lead(py::handle node) {
    if (string_is(node.attr(name<"first_token">()), "elif")) return "if _:\n    pass\n";
    if (string_is(node.attr(name<"first_token">()), "except"))
        return "try:\n    pass\n";
    return "";
}

// Headers black cannot be given: a match statement (its cases are its body) and an
// except* clause (rendered without its star).
bool header_unsupported(py::handle node) {
    if (support::isinstance(node, L->Match)) return true;
    py::object parent = support::attr_or_none(node, name<"parent">());
    return !parent.is_none() && support::isinstance(parent, L->TryStar);
}

// The code black formats for a rewritten header: the header as rendered over its
// placeholder body, with the comment that followed its colon, behind any lead rows.
py::str header_snippet(py::handle atok, py::handle node, py::handle colon,
                       py::str rendered) {
    py::list lines = rendered.attr(name<"split">())("\n");
    Py_ssize_t header_row = PyList_GET_SIZE(lines.ptr()) - 2; // above the placeholder
    if (header_row >= 0)
        if (auto comment = take_same_row_comment(atok, colon))
            lines[py::int_(header_row)] =
                py::str(lines[py::int_(header_row)]) + *comment;
    py::str text = py::str("\n").attr(name<"join">())(lines);
    if (string_is(node.attr(name<"first_token">()), "elif"))
        text = py::str("el") + text; // rendered as the `if` it is in the tree
    return py::str(header_lead(node)) + text;
}

// The formatted header alone: lead rows and placeholder body cut off.
py::str cut_header(py::handle node, py::str formatted) {
    py::list lines = formatted.attr(name<"split">())("\n");
    std::string lead = header_lead(node);
    Py_ssize_t skip =
        static_cast<Py_ssize_t>(std::count(lead.begin(), lead.end(), '\n'));
    Py_ssize_t size = PyList_GET_SIZE(lines.ptr());
    py::object kept = lines[py::slice(skip, std::max(size - 1, skip), 1)];
    return py::str("\n").attr(name<"join">())(kept);
}

// --- Python line suggestions ---------------------------------------------------------

bool meets(py::handle message_ids, py::handle table) {
    return support::truthy(message_ids.attr(name<"intersection">())(table));
}

// C4005 and C4015: the settings module's remove_node gives the line's fix itself.
bool is_settings_removal(py::handle message_ids) {
    if (!meets(message_ids, constant("TRANSFORMABLE_SETTINGS_RULES"))) return false;
    for (const char *code : SETTINGS_REMOVALS)
        if (contains(message_ids, py::str(code))) return true;
    return false;
}

py::tuple no_fix() {
    return py::make_tuple(py::none(), py::none(), py::none());
}

py::object get_suggestion_for_python(py::handle atok, py::handle node,
                                     py::handle message_ids,
                                     py::handle settings_modpath) {
    if (header_unsupported(node)) return no_fix();
    Tokens tokens(atok);
    std::optional<Span> span = statement_span(tokens, node);
    if (!span || shares_rows(tokens, *span)) return no_fix();
    bool compound = is_compound(node);
    py::int_ start(span->start), end(span->end);
    bool fstrings = span_has_fstring(tokens, *span);

    py::object code_before;
    {
        BlocksOff blocks(node);
        if (compound) blocks.take_off();
        if (fstrings) lend_fstring_tokens(node);
        code_before = node.attr(name<"as_string">())();
        for (const Family &family : FAMILIES) {
            if (!meets(message_ids, constant(family.table))) continue;
            py::object visitor =
                (L->*family.module)
                    .attr(name<"build_transformer_visitor">())(message_ids);
            visitor.attr(name<"visit">())(node);
        }
    }
    if (meets(message_ids, constant("TRANSFORMABLE_SETTINGS_RULES"))) {
        if (is_settings_removal(message_ids))
            return L->settings.attr(name<"remove_node">())(
                "atok"_a = atok, "node"_a = node, "start"_a = start, "end"_a = end);
        py::object visitor = L->settings.attr(name<"build_transformer_visitor">())(
            "message_ids"_a = message_ids, "settings_modpath"_a = settings_modpath);
        visitor.attr(name<"visit">())(node.attr(name<"root">())());
    }
    BlocksOff blocks(node);
    if (compound) blocks.take_off();
    py::object code_after = node.attr(name<"as_string">())();
    if (equal(code_after, code_before)) return no_fix();
    std::optional<py::str> rendered;
    if (!fstrings || fstrings_render_faithfully(node))
        rendered = render_keeping_comments(tokens, *span, [&] {
            py::str text = node_as_string(atok, node);
            return compound ? header_snippet(atok, node, span->last, text) : text;
        });
    if (!rendered) {
        // Nothing of the line is offered: the nodes its rewrites recorded needed this
        // edit (an import of the name the fix calls).
        for (py::handle list : {name<"replace_other_nodes">(), name<"new_nodes">()})
            if (auto nodes = support::try_attr(node.attr(name<"root">())(), list))
                nodes->attr(name<"clear">())();
        return no_fix();
    }
    return py::make_tuple(start, end, *rendered);
}

// The symbols of codes, sorted by code and joined as a pragma lists them.
py::str symbols_of(const std::vector<py::object> &codes, py::handle store) {
    py::list sorted;
    for (const py::object &code : codes)
        sorted.append(code);
    sorted.attr(name<"sort">())();
    py::list symbols;
    for (py::handle code : sorted)
        symbols.append(store[code]);
    return py::str(", ").attr(name<"join">())(symbols);
}

// The row before which a comment row of the module's own goes: after a shebang row and
// an encoding declaration, which must stay the first rows to be read as such.
long module_comment_row(py::handle rows) {
    auto text = [&](long row) -> py::str {
        if (row > static_cast<long>(PyList_GET_SIZE(rows.ptr()))) return py::str("");
        return row_text(rows, row);
    };
    auto matches = [&](py::handle pattern, long row) {
        return !L->re.attr(name<"match">())(pattern, text(row)).is_none();
    };
    py::str cookie(R"(^[ \t\f]*#.*?coding[:=][ \t]*[-\w.]+)");
    py::str blank_or_comment(R"(^[ \t\f]*(?:#|$))");
    if (matches(cookie, 1)) return 2;
    if (!matches(blank_or_comment, 1)) return 1;
    if (matches(cookie, 2)) return 3;
    return support::truthy(text(1).attr(name<"startswith">())("#!")) ? 2 : 1;
}

// The rows of the statement at the finding's row (of its header, for a compound
// statement), with what silences the codes on that row: the trailing comment, or, when
// the row would then be longer than the line length, a row of its own above it, at its
// indentation (black would split the statement and take a trailing comment away from
// the row it silences). The comment goes on the finding's own row, so on the def row
// of a decorated function, not on its decorator's. Nullopt where neither fits.
std::optional<std::pair<Span, py::list>>
suppressed_rows(py::handle atok, py::handle node, long line, py::handle rows,
                py::str disable, long line_length) {
    Tokens tokens(atok);
    std::optional<Span> span = statement_span(tokens, node);
    if (!span || line < span->start || line > span->end) return std::nullopt;
    py::str row = row_text(rows, line);
    py::str trailing = row + py::str(SUPPRESSION_COMMENT) + disable;
    bool fits = PyUnicode_GetLength(trailing.ptr()) <= line_length;
    if (fits && row_ends_open(atok, rows, line)) return std::nullopt;
    if (!fits && line > 1 && row_ends_open(atok, rows, line - 1)) return std::nullopt;
    py::list lines;
    for (long at = span->start; at <= span->end; ++at) {
        if (at == line && !fits)
            lines.append(get_indentation(row) + py::str(DISABLE_NEXT_COMMENT) +
                         disable);
        lines.append(at == line && fits ? trailing : row_text(rows, at));
    }
    return std::make_pair(*span, lines);
}

// The suppression items of a line: the statement's rows with what silences its codes,
// and, for codes reported on the module node, which no row's comment reaches, a comment
// row at the top of the module. When both take the same rows they make one item.
py::list suppression_items(py::handle atok, py::handle node, long line,
                           py::handle message_ids, py::handle store, long line_length) {
    py::object skip = constant("SKIP_LINE_ID");
    std::vector<py::object> row_codes, module_codes;
    for (py::handle code : py::iter(message_ids)) {
        if (equal(code, skip)) continue;
        bool module_level = false;
        for (const char *module_code : MODULE_CODES)
            module_level = module_level || support::str_equals(code, module_code);
        (module_level ? module_codes : row_codes).push_back(borrow(code));
    }
    py::list rows = source_rows(atok);
    py::list items;
    long start = 0, end = 0;
    py::list lines;
    // Module codes alone need no statement; with none at all, the trailing comment
    // names nothing, as it always has.
    bool statement = !row_codes.empty() || module_codes.empty();
    if (statement && !node.is_none() && !support::isinstance(node, L->Module)) {
        auto found = suppressed_rows(atok, node, line, rows,
                                     symbols_of(row_codes, store), line_length);
        if (found) {
            start = found->first.start;
            end = found->first.end;
            lines = found->second;
        }
    }
    if (!module_codes.empty()) {
        long top = module_comment_row(rows);
        py::str comment =
            py::str("# vorlane: disable=") + symbols_of(module_codes, store);
        if (start != 0 && start <= top && top <= end) {
            lines.insert(top - start, comment);
        } else {
            long count = static_cast<long>(PyList_GET_SIZE(rows.ptr()));
            py::str below = top <= count ? row_text(rows, top) : py::str("");
            items.append(make_item(py::int_(top), py::int_(top),
                                   comment + py::str("\n") + below));
        }
    }
    if (start != 0)
        items.append(make_item(py::int_(start), py::int_(end),
                               py::str("\n").attr(name<"join">())(lines)));
    return items;
}

// Runs `format(code, indentation)`; a failure of black is logged (with its traceback
// when asked) and answers nullopt.
template <typename Format>
std::optional<py::str> format_or_log(Format &&format, py::str code, py::str indentation,
                                     bool traceback) {
    try {
        return format(code, indentation);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        support::log_exception(L->logger, e.value(), e, traceback);
        return std::nullopt;
    }
}

// The marks a rewrite leaves on the module node for edits it makes once per file
// (`skip_reverse`: the django.urls import is handled).
py::set rewrite_marks(py::handle tree) {
    py::set marks;
    py::object attributes = steal(PyObject_GenericGetDict(tree.ptr(), nullptr));
    for (py::handle key : attributes) {
        auto text = support::as_string(key);
        if (text && text->rfind("skip_", 0) == 0) marks.add(key);
    }
    return marks;
}

// A line that yields no items offered none of its edits: the marks its rewrites left
// are taken back, so the next line that needs the edit makes and offers it.
void retract_marks(py::handle tree, py::handle before) {
    for (py::handle mark : rewrite_marks(tree))
        if (!contains(before, mark) && PyObject_DelAttr(tree.ptr(), mark.ptr()) < 0)
            throw py::error_already_set();
}

// What a line's rewrites may change in the file's shared tree, as it stood before them:
// the nodes of the statement (of its header, for a compound statement) and, for the
// families that edit an import too, the file's from-imports. A line that offers nothing
// puts them back, so that the later lines of the file, and the imports they offer, see
// only edits that were offered: a call left as reverse_lazy keeps its import.
class TreeState {
public:
    TreeState(py::handle tree, py::handle node, py::handle message_ids) {
        bool statement = false, imports = false;
        for (const Family &family : FAMILIES)
            if (meets(message_ids, constant(family.table))) {
                statement = true;
                imports = imports || family.edits_imports;
            }
        if (statement) keep(node, is_compound(node)); // else no rewrite runs on it
        if (imports)
            for (py::handle import : tree.attr(name<"nodes_of_class">())(L->ImportFrom))
                keep(import, false);
    }
    void restore() {
        for (auto &[node, state] : saved_) {
            py::object current = steal(PyObject_GenericGetDict(node.ptr(), nullptr));
            PyDict_Clear(current.ptr());
            if (PyDict_Update(current.ptr(), state.ptr()) < 0)
                throw py::error_already_set();
        }
    }

private:
    // A node's attributes, its lists copied (rewrites append to an argument list in
    // place), and the same for the nodes below it.
    void keep(py::handle node, bool header_only) {
        py::object attributes = steal(PyObject_GenericGetDict(node.ptr(), nullptr));
        py::dict state;
        for (auto [key, value] : py::reinterpret_borrow<py::dict>(attributes))
            state[key] = PyList_Check(value.ptr()) ? steal(PySequence_List(value.ptr()))
                                                   : borrow(value);
        saved_.emplace_back(borrow(node), state);
        py::object fields = py::type::handle_of(node).attr(name<"_astroid_fields">());
        for (py::handle field : fields) {
            if (header_only && is_block_field(field)) continue;
            PyObject *child = PyDict_GetItemWithError(attributes.ptr(), field.ptr());
            if (!child) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;
            }
            keep_below(child);
        }
    }
    // A child field holds a node, None, or a list or tuple of those, next to texts: a
    // dict's items are (key, value) pairs, a comparison's ops ("==", node) pairs.
    void keep_below(py::handle value) {
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
            for (py::handle item : value)
                keep_below(item);
        } else if (support::isinstance(value, L->NodeNG)) {
            keep(value, false);
        }
    }
    static bool is_block_field(py::handle field) {
        for (const char *block : BLOCK_FIELDS)
            if (support::str_equals(field, block)) return true;
        return false;
    }
    std::vector<std::pair<py::object, py::dict>> saved_;
};

// The main fix, the replaced nodes and the added code of one line, once the statement
// is found and no suppression is asked for.
// `formatted`, when given, holds black's output by (code, indentation, quotes) for the
// whole call: it is the same for the same input, and the same field, test or call
// stands in many models and views.
py::list fix_items(py::handle atok, py::handle node, py::handle message_ids,
                   py::handle code_style, py::handle settings_modpath,
                   py::handle indent, py::handle formatted) {
    py::object tree = atok.attr(name<"tree">());
    py::list suggestions;
    std::vector<py::object> fix =
        unpack(get_suggestion_for_python(atok, node, message_ids, settings_modpath), 3);
    py::object comma_character_target =
        get_comma_character_target(atok.attr(name<"text">()));
    auto formatter = [&](py::str code, py::str indentation) -> py::str {
        if (!formatted)
            return format_code(code, indentation, code_style, comma_character_target);
        py::tuple key = py::make_tuple(code, indentation, comma_character_target);
        PyObject *known = PyDict_GetItemWithError(formatted.ptr(), key.ptr());
        if (known) return borrow(known);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::str text =
            format_code(code, indentation, code_style, comma_character_target);
        if (PyDict_SetItem(formatted.ptr(), key.ptr(), text.ptr()) < 0)
            throw py::error_already_set();
        return text;
    };
    bool indented = indent.ptr() != Py_False; // only False itself turns it off
    auto indentation_of = [&](py::handle n) {
        if (!indented) return py::str("");
        return get_indentation(n.attr(name<"first_token">()).attr(name<"line">()));
    };

    if (!fix[2].is_none()) {
        auto formatted = format_or_log(formatter, fix[2], indentation_of(node), false);
        if (!formatted) return py::list();
        py::str text = *formatted;
        if (is_compound(node) && !is_settings_removal(message_ids))
            text = cut_header(node, text);
        suggestions.append(make_item(fix[0], fix[1], text));
    }

    // The line's fix may need a replaced node's edit (the import of a name the fix
    // calls): a replaced node that cannot be offered whole takes the line's items with
    // it, as when black fails on it.
    Tokens tokens(atok);
    for (py::handle replace_node : tree.attr(name<"replace_other_nodes">())) {
        std::optional<Span> span = statement_span(tokens, replace_node);
        if (!span || shares_rows(tokens, *span))
            return py::list(); // its rows hold more
        std::optional<py::str> code = render_keeping_comments(
            tokens, *span, [&] { return node_as_string(atok, replace_node); });
        if (!code) return py::list();
        auto formatted =
            format_or_log(formatter, *code, indentation_of(replace_node), false);
        if (!formatted) return py::list();
        suggestions.append(
            make_item(py::int_(span->start), py::int_(span->end), *formatted));
    }

    py::list new_nodes = tree.attr(name<"new_nodes">());
    if (PyList_GET_SIZE(new_nodes.ptr()) == 0) return suggestions;
    py::list append_suggestion, prepend_suggestion;
    for (py::handle new_node : new_nodes) {
        auto formatted = format_or_log(formatter, new_node.attr(name<"as_string">())(),
                                       py::str(""), true);
        if (!formatted) continue;
        bool is_import = support::isinstance(new_node, L->Import) ||
                         support::isinstance(new_node, L->ImportFrom);
        (is_import ? prepend_suggestion : append_suggestion).append(*formatted);
    }
    py::str blank_row("\n\n");
    py::str append_code = blank_row.attr(name<"join">())(append_suggestion);
    py::str prepend_code = blank_row.attr(name<"join">())(prepend_suggestion);
    py::object last_token = tree.attr(name<"last_token">());
    long last_line = end_row(last_token);
    py::str last_code = last_token.attr(name<"line">());
    py::str delim(PyObject_Length(last_code.ptr()) ? "\n\n" : "\n");

    // Added code joins the item that already replaces the file's first or last row;
    // otherwise it gets an item of its own. Rows are the file's own, so a comment on
    // row 1 or a string ending on the last row stays whole.
    bool append_placed = PyObject_Length(append_code.ptr()) == 0;
    bool prepend_placed = PyObject_Length(prepend_code.ptr()) == 0;
    for (py::handle item : suggestions) {
        if (!append_placed && as_long(item[py::int_(1)]) == last_line) {
            item[py::int_(2)] = py::str(item[py::int_(2)]) + delim + append_code;
            append_placed = true;
        }
        if (!prepend_placed && as_long(item[py::int_(0)]) == 1) {
            item[py::int_(2)] = prepend_code + blank_row + py::str(item[py::int_(2)]);
            prepend_placed = true;
        }
    }
    py::list rows = source_rows(atok);
    if (!append_placed) {
        py::int_ row(last_line);
        suggestions.append(
            make_item(row, row, row_text(rows, last_line) + blank_row + append_code));
    }
    if (!prepend_placed) {
        py::int_ row(1);
        suggestions.insert(
            0, make_item(row, row, prepend_code + blank_row + row_text(rows, 1)));
    }
    return suggestions;
}

py::list python_line_items(py::handle atok, py::handle line, py::handle message_ids,
                           py::handle code_style, py::handle settings_modpath,
                           py::handle indent, py::handle formatted) {
    py::object tree = atok.attr(name<"tree">());
    py::object node =
        L->helpers.attr(name<"find_node_by_position">())(tree, "line"_a = line);
    tree.attr(name<"new_nodes">()) = py::list();
    tree.attr(name<"replace_other_nodes">()) = py::list();
    py::list suggestions;
    if (contains(message_ids, constant("SKIP_LINE_ID"))) {
        // Imported here, not at load: the linter core loads every checker module.
        py::object store = py::module_::import("vorlane.staticanalysis.checker")
                               .attr(name<"message_id_symbol_store">());
        return suppression_items(atok, node, as_long(line), message_ids, store,
                                 line_length_of(code_style));
    }
    // Row 0 finds the module itself: no statement starts there.
    if (node.is_none() || support::isinstance(node, L->Module)) return suggestions;

    py::set marks = rewrite_marks(tree);
    TreeState before(tree, node, message_ids);
    py::list items;
    try {
        items = fix_items(atok, node, message_ids, code_style, settings_modpath, indent,
                          formatted);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_Exception)) {
            before.restore();
            retract_marks(tree, marks);
        }
        throw;
    }
    if (PyList_GET_SIZE(items.ptr()) == 0) {
        before.restore();
        retract_marks(tree, marks);
    }
    return items;
}

py::list get_suggestions_for_python(py::handle atok, py::handle line,
                                    py::handle message_ids, py::handle code_style,
                                    py::handle settings_modpath, py::handle indent) {
    return python_line_items(atok, line, message_ids, code_style, settings_modpath,
                             indent, py::handle());
}

// --- Driver --------------------------------------------------------------------------

// A file's content for the whole call: template rows or the parsed Python file. A file
// that cannot be read or parsed is logged once with its path and answers None; its
// lines keep their comments without fixes, and the other files go on. So does a file
// whose real path lies outside the project root (a link of the repository, or a path
// named by a comment): it is not opened, since its rows would come back in the blocks.
py::object load_file(py::handle path, bool python, py::handle real_root) {
    if (!support::truthy(L->meta.attr(name<"is_inside_root">())(path, real_root))) {
        L->logger.attr(name<"warning">())(
            "No fix suggestions for %s: it lies outside the project root %s", path,
            real_root);
        return py::none();
    }
    try {
        py::object lines = L->helpers.attr(name<"read_code_from_file">())(path);
        if (!python) return lines;
        py::object source = py::str("").attr(name<"join">())(lines);
        py::object modname = L->helpers.attr(name<"module_path_from_file">())(path);
        return L->helpers.attr(name<"build_atok">())(
            "source"_a = source, "modname"_a = modname, "absolute_path"_a = path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        L->logger.attr(name<"error">())("No fix suggestions for %s: %r", path,
                                        e.value());
        return py::none();
    }
}

// One fix of a line, read from its SuggestionItem, with its suggestion block.
struct Fix {
    py::object start, end, suggestion;
    py::str markup;
};

std::vector<Fix> as_fixes(py::handle items) {
    std::vector<Fix> fixes;
    for (py::handle item : py::iter(items)) {
        std::vector<py::object> parts = unpack(item, 3);
        fixes.push_back({parts[0], parts[1], parts[2], markup_suggestion(parts[2])});
    }
    return fixes;
}

void log_line_failure(py::handle path, py::handle line, py::handle message_ids,
                      py::error_already_set &e) {
    py::list codes = steal(PySequence_List(message_ids.ptr()));
    codes.attr(name<"sort">())();
    py::str text =
        py::str("No fix suggestions for {} line {} ({}): {!r}")
            .format(path, line, py::str(", ").attr(name<"join">())(codes), e.value());
    support::log_exception(L->logger, text, e, true);
}

py::list suggest_line_fixes(py::handle comments, py::handle project_root,
                            py::list &text_trees) {
    py::list comments_with_suggestions;
    py::set seen;
    py::object code_style = L->meta.attr(name<"get_code_style">())(project_root);
    py::dict settings;
    settings["STATIC_URL"] =
        L->meta.attr(name<"get_static_url_setting">())(project_root);
    py::object settings_modpath =
        L->meta.attr(name<"get_settings_modpath">())(project_root);
    py::object real_root = L->realpath(project_root);
    py::dict cache;
    // black's output for each code it was given, for the whole call.
    py::dict formatted;
    // The load tag's insertion point of each template, by path: one per file.
    py::dict load_points;
    // Every block made so far, by (path, start row, end row): its comment and markup.
    py::dict offered;

    py::object groups = group_comments_by_line(comments);
    for (auto entry : groups.attr(name<"items">())()) {
        py::object key = entry[py::int_(0)], group = entry[py::int_(1)];
        py::object path = key[py::int_(0)], line = key[py::int_(1)];
        py::object start_line = line, end_line = line;
        py::list bodies;
        py::set message_ids;
        for (py::handle comment : group) {
            py::object code = comment["message-id"];
            if (contains(constant("TRANSFORMABLE_RULES"), code)) message_ids.add(code);
            bodies.append(comment["body"]);
        }

        std::vector<Fix> fixes;
        bool html = support::truthy(path.attr(name<"endswith">())(".html"));
        bool python = !html && support::truthy(path.attr(name<"endswith">())(".py"));
        if (PySet_GET_SIZE(message_ids.ptr()) > 0 && (html || python)) {
            try {
                if (!cache.contains(path)) {
                    py::object loaded = load_file(path, python, real_root);
                    if (python && !loaded.is_none())
                        text_trees.append(loaded.attr(name<"tree">()));
                    cache[path] = loaded;
                }
                py::object content = cache[path];
                py::object found = py::list();
                if (!content.is_none() && html)
                    found = html_line_suggestions(
                        content, line, message_ids, settings, [&] {
                            if (!load_points.contains(path))
                                load_points[path] =
                                    get_staticfile_template_tag_insertion_point_and_current(
                                        content);
                            return py::tuple(load_points[path]);
                        });
                if (!content.is_none() && python)
                    found =
                        python_line_items(content, line, message_ids, code_style,
                                          settings_modpath, py::bool_(true), formatted);
                fixes = as_fixes(found);
            } catch (py::error_already_set &e) {
                // The last guard: whatever else one line raises costs that line its
                // fixes, never the run. Its comment keeps its advice.
                if (!e.matches(PyExc_Exception)) throw;
                log_line_failure(path, line, message_ids, e);
                fixes.clear();
            }
        }

        // A fix goes in front of the line's bodies when it starts or ends on the line;
        // once one is there, only a fix of that very range joins it, so that no applied
        // block repeats rows of another.
        bool placed = false;
        std::vector<std::pair<py::tuple, py::str>> in_front_blocks;
        for (Fix &fix : fixes) {
            py::object fix_start = fix.start, fix_end = fix.end;
            py::object suggestion = fix.suggestion;
            py::tuple rows = py::make_tuple(path, fix_start, fix_end);
            py::str markup = fix.markup;
            // An earlier line offered a block of these very rows (another finding in
            // the same statement): the lines of a file share one tree, so this text
            // holds that line's edits too, and takes that block's place. Two blocks of
            // the same rows could not both be applied.
            if (offered.contains(rows)) {
                py::tuple held = offered[rows];
                py::object comment = held[0];
                comment["body"] = py::str(comment["body"])
                                      .attr(name<"replace">())(held[1], markup, 1);
                offered[rows] = py::make_tuple(comment, markup);
                continue;
            }
            bool in_front =
                placed ? equal(start_line, fix_start) && equal(end_line, fix_end)
                       : equal(start_line, fix_start) || equal(start_line, fix_end);
            if (in_front) {
                bodies.insert(0, markup);
                in_front_blocks.emplace_back(rows, markup);
                start_line = fix_start;
                end_line = fix_end;
                placed = true;
                continue;
            }
            py::str seen_key = py::str("{}:{}:{}").format(path, fix_start, suggestion);
            if (seen.contains(seen_key)) continue;
            py::dict comment = build_comment(path, fix_start, fix_end, markup);
            comments_with_suggestions.append(comment);
            seen.add(seen_key);
            offered[rows] = py::make_tuple(comment, markup);
        }
        py::dict comment = build_comment(path, start_line, end_line,
                                         py::str("\n\n").attr(name<"join">())(bodies));
        comments_with_suggestions.append(comment);
        for (auto &[rows, markup] : in_front_blocks)
            offered[rows] = py::make_tuple(comment, markup);
    }
    return comments_with_suggestions;
}

// Every file's tree is parsed afresh for the call and edited by its rewrites: the
// trees are the call's own, let go when it ends.
py::list suggest_fixes(py::handle comments, py::handle project_root) {
    return support::fresh_call(project_root, [&](py::list &text_trees) -> py::object {
        return suggest_line_fixes(comments, project_root, text_trees);
    });
}

// --- Load ----------------------------------------------------------------------------

void load_libs(py::module_ &m) {
    Libs *l = new Libs();
    l->defaultdict = support::import("collections", "defaultdict");
    l->partial = support::import("functools", "partial");
    l->re = support::import("re");
    l->textwrap = support::import("textwrap");
    l->warnings = support::import("warnings");
    l->realpath = support::import("os.path", "realpath");
    py::handle token = support::import("token");
    l->OP = as_long(token.attr("OP"));
    l->NAME = as_long(token.attr("NAME"));
    l->STRING = as_long(token.attr("STRING"));
    l->COMMENT = as_long(token.attr("COMMENT"));
    l->NL = as_long(token.attr("NL"));
    l->NEWLINE = as_long(token.attr("NEWLINE"));
    l->ENDMARKER = as_long(token.attr("ENDMARKER"));
    l->AsStringVisitor = support::import("astroid.nodes.as_string", "AsStringVisitor");
    l->Module = support::import("astroid.nodes", "Module");
    l->Decorators = support::import("astroid.nodes", "Decorators");
    l->Pass = support::import("astroid.nodes", "Pass");
    l->Import = support::import("astroid.nodes", "Import");
    l->ImportFrom = support::import("astroid.nodes", "ImportFrom");
    l->Match = support::import("astroid.nodes", "Match");
    l->TryStar = support::import("astroid.nodes", "TryStar");
    l->Call = support::import("astroid.nodes", "Call");
    l->List = support::import("astroid.nodes", "List");
    l->Tuple = support::import("astroid.nodes", "Tuple");
    l->Set = support::import("astroid.nodes", "Set");
    l->Dict = support::import("astroid.nodes", "Dict");
    l->Subscript = support::import("astroid.nodes", "Subscript");
    l->JoinedStr = support::import("astroid.nodes", "JoinedStr");
    l->NodeNG = support::import("astroid.nodes", "NodeNG");
    l->extract_node = support::import("astroid", "extract_node");
    l->black = support::import("black");
    l->linegen = support::import("black.linegen");
    l->black_strings = support::import("black.strings");
    l->constants = support::import("vorlane.staticanalysis.constants");
    l->helpers = support::import("vorlane.staticanalysis.helpers");
    l->meta = support::import("vorlane.staticanalysis.meta");
    l->templates = support::import("vorlane.staticanalysis.checkers.templates");
    l->colspec = support::import("vorlane.staticanalysis.checkers.colspec");
    l->settings = support::import("vorlane.staticanalysis.checkers.settings");
    l->migrations = support::import("vorlane.staticanalysis.checkers.migrations");
    l->fetchplan = support::import("vorlane.staticanalysis.checkers.fetchplan");
    l->urls = support::import("vorlane.staticanalysis.checkers.urls");
    l->fstring_field =
        py::object(
            l->re.attr("compile")(
                "(?:[^{]|^)\\{  # start of the string or a non-{ followed by a single "
                "{\n"
                "    ([^{].*?)  # contents of the brackets except if begins with {{\n"
                "\\}(?:[^}]|$)  # A } followed by end of the string or a non-}\n",
                l->re.attr("VERBOSE")))
            .release();
    l->suggest = m;
    l->logger = support::module_logger(m).release();
    L = l;
}

// A compiled black does not see a replaced module attribute: the quote preference would
// silently do nothing.
void warn_if_black_compiled() {
    auto compiled = support::try_attr(L->black, name<"COMPILED">());
    if (!compiled || !support::truthy(*compiled)) return;
    L->warnings.attr(name<"warn">())(
        "black is compiled (mypyc), so suggested code cannot follow the file's string "
        "quotes and gets black's double quotes; install black from its source "
        "distribution: pip install --no-binary black black==22.12.0",
        py::handle(PyExc_RuntimeWarning));
}

} // namespace

PYBIND11_MODULE(suggest, m) {
    support::init_module(m);
    load_libs(m);
    warn_if_black_compiled();

    // Records and the driver
    m.def("build_comment", &build_comment, py::arg("path"), py::arg("start_line"),
          py::arg("end_line"), py::arg("body"));
    m.def("markup_suggestion", &markup_suggestion, py::arg("suggestion"));
    m.def("group_comments_by_line", &group_comments_by_line, py::arg("comments"));
    m.def("suggest_fixes", &suggest_fixes, py::arg("comments"),
          py::arg("project_root"));
    // Python line suggestions
    m.def("get_suggestions_for_python", &get_suggestions_for_python, py::arg("atok"),
          py::arg("line"), py::arg("message_ids"), py::arg("code_style"),
          py::arg("settings_modpath"), py::arg("indent") = true);
    m.def("get_suggestion_for_python", &get_suggestion_for_python, py::arg("atok"),
          py::arg("node"), py::arg("message_ids"), py::arg("settings_modpath"));
    // Template line suggestions
    m.def("get_suggestions_for_html", &get_suggestions_for_html, py::arg("code_lines"),
          py::arg("line"), py::arg("message_ids"), py::arg("settings"));
    m.def("get_suggestion_for_html", &get_suggestion_for_html, py::arg("code"),
          py::arg("message_ids"), py::arg("settings"));
    m.def("read_code_line", &read_code_line, py::arg("code_lines"),
          py::arg("line_number"));
    m.def("get_indentation", &get_indentation, py::arg("code"));
    m.def("get_staticfile_template_tag_insertion_point_and_current",
          &get_staticfile_template_tag_insertion_point_and_current,
          py::arg("code_lines"));
    m.def("get_staticfile_template_tag_insertion_point",
          &get_staticfile_template_tag_insertion_point, py::arg("content"));
    // Rendering and formatting
    m.def("node_as_string", &node_as_string, py::arg("atok"), py::arg("node"));
    m.def("get_comma_character_target", &get_comma_character_target, py::arg("source"));
    m.def("format_code", &format_code, py::arg("code"), py::arg("indentation"),
          py::arg("code_style"), py::arg("comma_character_target"));
    m.def("normalize_string_quotes", &normalize_string_quotes,
          py::arg("comma_character_target"), py::arg("s"));
    m.def("normalize_string_quotes_backwards_compatible",
          &normalize_string_quotes_backwards_compatible,
          py::arg("comma_character_target"), py::arg("leaf"));

    py::object visitor = support::make_class(
        m, "CommentAwareAsStringVisitor", py::make_tuple(L->AsStringVisitor),
        py::dict(), "Visitor to render an Astroid node as a valid python code string");
    support::def_method(visitor, "__init__", &visitor_init, py::arg("atok"));
    support::def_method(visitor, "__getattribute__", &visitor_getattribute,
                        py::arg("name"));
    support::def_method(visitor, "visit_call", &visitor_visit_call, py::arg("node"));
    support::def_method(visitor, "with_comment_decorator",
                        &visitor_with_comment_decorator, py::arg("func"));
}
