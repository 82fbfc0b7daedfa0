// Shared helpers over astroid nodes and Django classes: predicates, static evaluation,
// call editing, token-positioned trees, and the small text and visitor types.
#include "support.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using support::borrow;
using support::is_a;
using support::name;

using namespace pybind11::literals;
using support::call_method;
using support::steal;

// --- Libraries and names, made once at load and never released -----------------------

struct Libs {
    py::handle Decimal, attrgetter, re, astroid, walk, ASTTokens, TransformVisitor,
        AstroidManager, safe_infer, tok_name;
    // astroid node classes; instance tests go by the C type, see is_a
    py::handle BinOp, Attribute, AssignName, Name, Const, List, Tuple, Dict, ImportFrom,
        Assign, ClassDef, Module;
    py::handle Uninferable, InferenceError, extract_node, AstroidBuilder,
        find_statement_by_line, modpath_from_file_with_callback;
    py::handle open, whitespace, by_lineno, any_is_package;
    py::handle NL, COMMENT, ENCODING;
};
const Libs *L = nullptr;

struct Names {
    py::handle mro, qname, root, nodes_of_class, Meta, abstract, is_statement;
    py::handle lookup, name, value, items, get_children, keywords, infer, arg,
        statement, parent, targets, args, defaults, arguments, kwonlyargs, kw_defaults,
        init;
    py::handle func, attrname, as_string, lineno, col_offset, first_token, last_token;
    py::handle body, _append_node, sort, scope, _visit_generic, split, index, readlines,
        close, join;
    py::handle _transform, register_transform, unregister_transform,
        register_transforms, string_build, tokens, extra_line_map, type, line, start,
        string, replace, tree, startswith, sub, NOT_PROVIDED, __name__, insert, append;
};
const Names *N = nullptr;

// The qualified names of the Django classes the predicates look for.
struct Django {
    py::handle Model, QuerySet, RelatedField, BaseModelAdmin, Manager, Field, Migration;
};
const Django *D = nullptr;

// node.statement(), climbed here: astroid's own climb warns (deprecation) each time it
// reaches the module, which placeholders and bare expressions in a body make common.
py::object statement_of(py::handle node) {
    py::object current = borrow(node);
    while (!is_a(current, L->Module)) {
        if (support::truthy(current.attr(N->is_statement))) return current;
        py::object parent = current.attr(N->parent);
        if (!support::truthy(parent)) return current.attr(N->statement)(); // its error
        current = parent;
    }
    return current;
}

// --- Field-name sets -----------------------------------------------------------------

py::set name_set(std::initializer_list<const char *> names) {
    py::set out;
    for (const char *n : names)
        out.add(py::str(n));
    return out;
}

// --- Small types ---------------------------------------------------------------------

const char *const context_string_doc =
    "Allow deferring string render: instead of rendering string when pylint does "
    "'foo %s' % args use this and do\n"
    "'foo {name}' % args to return a dict, save the dict in db then render on last "
    "worker";

// pylint renders a message as `msgs[code][0] % args`: handing back args unrendered
// keeps the mapping for whoever renders it later.
py::object context_string_mod(py::handle, py::object kwargs) {
    return kwargs;
}

// The base visit() wants a module; rewrites visit single statements and expressions.
py::object node_transform_visitor_visit(py::handle self, py::handle node) {
    return self.attr(N->_visit_generic)(node);
}

// --- Django class predicates ---------------------------------------------------------

// Searches value.mro() for an entry whose qname() is the qualified name sought: 1
// found, 0 not found, -1 with the Python error set (no mro, an MRO astroid cannot
// compute, an entry without qname). Plain C API: the predicates run per node while
// trees are built, and most values they meet have no mro at all, so a C++ exception per
// miss would cost more than the search.
int mro_search(PyObject *value, PyObject *qualname) {
    PyObject *mro = PyObject_CallMethodObjArgs(value, N->mro.ptr(), nullptr);
    if (!mro) return -1;
    PyObject *it = PyObject_GetIter(mro);
    Py_DECREF(mro);
    if (!it) return -1;
    int found = 0;
    while (PyObject *entry = PyIter_Next(it)) {
        PyObject *name = PyObject_CallMethodObjArgs(entry, N->qname.ptr(), nullptr);
        Py_DECREF(entry);
        if (!name) {
            found = -1;
            break;
        }
        found = PyObject_RichCompareBool(name, qualname, Py_EQ);
        Py_DECREF(name);
        if (found != 0) break;
    }
    Py_DECREF(it);
    if (found == 0 && PyErr_Occurred()) found = -1;
    return found;
}

// After a failed search: an ordinary error (Exception) is dropped and the answer is
// False; KeyboardInterrupt, SystemExit and the like go on up.
bool false_on_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// False on any ordinary error: most values handed in are whatever inference gave back.
// None and Uninferable have no walkable MRO, so they are answered before any call.
bool inherits(py::handle value, py::handle qualname) {
    if (value.is_none() || value.is(L->Uninferable)) return false;
    int found = mro_search(value.ptr(), qualname.ptr());
    return found >= 0 ? found == 1 : false_on_ordinary_error();
}

bool is_model(py::handle node, py::kwargs) {
    return inherits(node, D->Model);
}
bool is_queryset(py::handle node) {
    return inherits(node, D->QuerySet);
}
bool is_related_field(py::handle node, py::kwargs) {
    return inherits(node, D->RelatedField);
}
bool is_model_admin(py::handle node) {
    return inherits(node, D->BaseModelAdmin);
}
bool is_model_manager(py::handle node) {
    return inherits(node, D->Manager);
}

// models.CharField(max_length=10): the call infers to an instance of a field class.
bool is_model_field(py::handle node) {
    PyObject *value =
        PyObject_CallFunctionObjArgs(L->safe_infer.ptr(), node.ptr(), nullptr);
    if (!value) return false_on_ordinary_error();
    int found = mro_search(value, D->Field.ptr());
    Py_DECREF(value);
    return found >= 0 ? found == 1 : false_on_ordinary_error();
}

// The first class of the module whose MRO can be read decides; finding and inferring
// the classes is not guarded.
bool is_migration_file(py::handle node) {
    py::object classes = node.attr(N->root)().attr(N->nodes_of_class)(L->ClassDef);
    for (py::handle cls : classes) {
        py::object value = L->safe_infer(cls);
        int found = mro_search(value.ptr(), D->Migration.ptr());
        if (found >= 0) return found == 1;
        false_on_ordinary_error();
    }
    return false;
}

// class Meta: abstract = ...: answers the binding node, true whatever it assigns.
py::object is_node_abstract_model(py::handle node) {
    try {
        return node[N->Meta][N->abstract];
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_KeyError)) throw;
        return py::bool_(false);
    }
}

// --- Static evaluation ---------------------------------------------------------------

py::object astroid_node_to_value(py::handle node) {
    support::RecursionGuard guard(" while evaluating an astroid node");
    if (is_a(node, L->BinOp) || is_a(node, L->Attribute) || is_a(node, L->AssignName)) {
        py::object inferred = L->safe_infer(node);
        if (support::truthy(inferred)) return astroid_node_to_value(inferred);
        return borrow(node);
    }
    if (is_a(node, L->Name)) {
        // The binding is evaluated, not the name: an import binding comes back as is.
        py::object found = node.attr(N->lookup)(node.attr(N->name));
        py::object bindings = found[py::int_(1)];
        if (support::truthy(bindings))
            return astroid_node_to_value(bindings[py::int_(0)]);
        return borrow(node);
    }
    if (is_a(node, L->Const)) return node.attr(N->value);
    if (is_a(node, L->List) || is_a(node, L->Tuple)) {
        py::list out;
        for (py::handle child : node.attr(N->get_children)()) {
            out.append(astroid_node_to_value(child));
        }
        return std::move(out);
    }
    if (is_a(node, L->Dict)) {
        py::dict out;
        for (py::handle pair : node.attr(N->items)) {
            py::object key = astroid_node_to_value(pair[py::int_(0)]);
            py::object value = astroid_node_to_value(pair[py::int_(1)]);
            if (PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) {
                // {(1, 2): 'x'}: a tuple key comes back as a list, which no mapping
                // takes; such a dict has no static value.
                if (!PyErr_ExceptionMatches(PyExc_TypeError))
                    throw py::error_already_set();
                PyErr_Clear();
                return borrow(node);
            }
        }
        return std::move(out);
    }
    return borrow(node);
}

py::handle NodeValueUndefinable;

py::object get_astroid_node_constant_values(py::handle node, py::handle key) {
    py::object binding;
    try {
        binding = node[key];
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_KeyError)) throw;
        return py::none();
    }
    // A from-import is not followed into the other module.
    if (is_a(binding, L->ImportFrom)) return py::none();
    py::object inferred = L->safe_infer(binding);
    if (support::truthy(inferred)) return astroid_node_to_value(inferred);
    support::raise(NodeValueUndefinable);
}

// Constructor defaults along the MRO of what the call infers to, keyword-only ones
// included (SlugField declares `*args, max_length=50, db_index=True`); the most derived
// class that defaults a parameter wins, and Django's NOT_PROVIDED sentinel leaves it
// out.
py::dict get_node_default_arguments(py::handle node) {
    py::dict out;
    auto store = [&](py::handle parameter, py::handle default_node) {
        py::object sentinel = support::attr_or_none(default_node, N->name);
        int provided =
            PyObject_RichCompareBool(sentinel.ptr(), N->NOT_PROVIDED.ptr(), Py_NE);
        if (provided < 0) throw py::error_already_set();
        if (!provided) return;
        py::object key = parameter.attr(N->name);
        int taken = PyDict_Contains(out.ptr(), key.ptr());
        if (taken < 0) throw py::error_already_set();
        if (!taken) out[key] = astroid_node_to_value(default_node);
    };
    py::object inferred = L->safe_infer(node);
    if (!support::truthy(inferred)) return out;
    py::object mro = call_method(inferred, N->mro);
    for (py::handle cls : mro) {
        int has_init = PySequence_Contains(cls.ptr(), N->init.ptr());
        if (has_init < 0) throw py::error_already_set();
        if (!has_init) continue;
        // `__init__ = other.__init__` binds a name, not a function: no parameters.
        auto args = support::try_attr(cls[N->init], N->args);
        if (!args) continue;
        // Functions astroid builds from living objects (object.__init__ at the end of
        // every MRO) know no parameters: their defaults are None, so nothing to pair.
        py::object given = args->attr(N->defaults);
        if (support::truthy(given)) {
            py::list defaults(given);
            py::list arguments(args->attr(N->arguments));
            Py_ssize_t n_defaults = PyList_GET_SIZE(defaults.ptr());
            Py_ssize_t offset = PyList_GET_SIZE(arguments.ptr()) - n_defaults;
            for (Py_ssize_t i = 0; i < n_defaults; ++i) {
                if (offset + i < 0)
                    continue; // more defaults than parameters: nothing to pair
                store(PyList_GET_ITEM(arguments.ptr(), offset + i),
                      PyList_GET_ITEM(defaults.ptr(), i));
            }
        }
        // Keyword-only parameters pair with kw_defaults one to one; None marks a
        // parameter without a default.
        py::object kwonly = args->attr(N->kwonlyargs);
        py::object kw_defaults = args->attr(N->kw_defaults);
        if (!support::truthy(kwonly) || !support::truthy(kw_defaults)) continue;
        py::list parameters(kwonly), kw_values(kw_defaults);
        Py_ssize_t count = std::min(PyList_GET_SIZE(parameters.ptr()),
                                    PyList_GET_SIZE(kw_values.ptr()));
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::handle default_node = PyList_GET_ITEM(kw_values.ptr(), i);
            if (default_node.is_none()) continue;
            store(PyList_GET_ITEM(parameters.ptr(), i), default_node);
        }
    }
    return out;
}

py::dict get_node_explicit_arguments(py::handle node) {
    py::dict out;
    py::object keywords = node.attr(N->keywords);
    if (!support::truthy(keywords)) return out;
    for (py::handle keyword : keywords) {
        py::object first;
        try {
            py::object values = keyword.attr(N->value).attr(N->infer)();
            py::object it = steal(PyObject_GetIter(values.ptr()));
            PyObject *raw = PyIter_Next(it.ptr());
            if (!raw) {
                if (PyErr_Occurred()) throw py::error_already_set();
                PyErr_SetNone(PyExc_StopIteration); // as next() would
                throw py::error_already_set();
            }
            first = py::reinterpret_steal<py::object>(raw);
        } catch (py::error_already_set &e) {
            if (!e.matches(L->InferenceError)) throw;
            continue;
        }
        py::object value = astroid_node_to_value(first);
        py::object key = keyword.attr(N->arg);
        if (PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0)
            throw py::error_already_set();
    }
    return out;
}

// name = models.CharField(): "name"; a = b = f(): "a"; anything else: None.
py::object get_member_name(py::handle node) {
    py::object statement = statement_of(node);
    while (!is_a(statement, L->Assign)) {
        py::object parent = statement.attr(N->parent);
        if (!support::truthy(parent)) return py::none();
        statement = statement_of(parent);
    }
    py::object target = statement.attr(N->targets)[py::int_(0)];
    if (is_a(target, L->AssignName)) return target.attr(N->name);
    return py::none();
}

// --- Call editing and node metadata --------------------------------------------------

py::object get_function_name(py::handle node) {
    py::object func = node.attr(N->func);
    if (is_a(func, L->Attribute)) return func.attr(N->attrname);
    if (is_a(func, L->Name)) return func.attr(N->name);
    return py::none();
}

void set_function_name(py::handle node, py::object new_name) {
    py::object func = node.attr(N->func);
    if (is_a(func, L->Attribute))
        func.attr(N->attrname) = new_name;
    else if (is_a(func, L->Name))
        func.attr(N->name) = new_name;
    else
        support::raise(PyExc_NotImplementedError);
}

// A trailing **kwargs stays last; only the last entry is looked at.
void add_to_keywords(py::object keywords, py::object keyword) {
    Py_ssize_t size = PyObject_Length(keywords.ptr());
    if (size < 0) throw py::error_already_set();
    if (size > 0) {
        py::object last = keywords[py::int_(size - 1)];
        py::object starred = call_method(last, N->as_string).attr(N->startswith)("**");
        if (support::truthy(starred)) {
            keywords.attr(N->insert)(size - 1, keyword);
            return;
        }
    }
    keywords.attr(N->append)(keyword);
}

py::object preserve_metadata(py::object new_node, py::handle old_node) {
    py::object lineno = old_node.attr(N->lineno);
    for (py::handle node : L->walk(new_node))
        node.attr(N->lineno) = lineno;
    new_node.attr(N->first_token) = old_node.attr(N->first_token);
    new_node.attr(N->last_token) = old_node.attr(N->last_token);
    new_node.attr(N->col_offset) = old_node.attr(N->col_offset);
    new_node.attr(N->parent) = old_node.attr(N->parent);
    return new_node;
}

// --- Statement lookup and node insertion ---------------------------------------------

py::object find_node_by_position(py::handle tree, py::handle line) {
    py::object node = L->find_statement_by_line(tree, line);
    if (!support::truthy(node)) return py::none();
    return statement_of(node);
}

// Steps upward to the nearest row that holds a node. The module sits at row 0, so a
// tree's rows all end there; a row below 0 (never one of a file) belongs to the module.
py::object find_node_parent(py::handle tree, py::handle line) {
    py::object row = borrow(line);
    py::int_ zero(0), one(1);
    while (true) {
        int below = PyObject_RichCompareBool(row.ptr(), zero.ptr(), Py_LT);
        if (below < 0) throw py::error_already_set();
        if (below) return tree.attr(N->root)();
        py::object node = L->find_statement_by_line(tree, row);
        if (support::truthy(node)) return statement_of(node).attr(N->scope)();
        row = steal(PyNumber_Subtract(row.ptr(), one.ptr()));
    }
}

void add_node(py::handle tree, py::handle node, py::handle line_number) {
    py::object parent = find_node_parent(tree, line_number);
    node.attr(N->lineno) = line_number;
    parent.attr(N->_append_node)(node);
    // Stable: the new node lands after every statement of its row.
    parent.attr(N->body).attr(N->sort)("key"_a = L->by_lineno);
}

// --- Token-positioned trees and source files -----------------------------------------

py::list read_code_from_file(py::handle path) {
    py::object file = L->open(path, "r");
    py::object lines;
    try {
        lines = file.attr(N->readlines)();
    } catch (py::error_already_set &) {
        file.attr(N->close)();
        throw;
    }
    file.attr(N->close)();
    return lines;
}

py::str module_path_from_file(py::handle path, py::handle) {
    py::object modpath = L->modpath_from_file_with_callback(
        path, py::none(), "is_package_cb"_a = L->any_is_package);
    return py::str(".").attr(N->join)(modpath);
}

// The placeholder of an own-line comment is a call of print on the comment's text. The
// text is escaped so that it comes back whole as the string's value (double quotes made
// single, as the placeholder has always shown them): a trailing backslash would
// otherwise swallow the closing quote.
py::object comment_placeholder(py::handle comment) {
    py::object text =
        comment.attr(N->replace)("\"", "'").attr(N->replace)("\\", "\\\\");
    return py::str("print(\"") + text + py::str("\")");
}

void add_non_code_placeholders(py::handle atok) {
    py::object tree = atok.attr(N->tree);
    py::object extra_line_map = atok.attr(N->extra_line_map);
    py::object blank_line = py::str("print(\"\")");
    // Row of the last token that is code (not NL, COMMENT or ENCODING), as asttokens'
    // prev_token sees it; none yet at the top of the file.
    py::object last_code_row;
    for (py::handle token : atok.attr(N->tokens)) {
        py::object type = token.attr(N->type);
        py::object row = token.attr(N->start)[py::int_(0)];
        bool is_nl = type.equal(L->NL), is_comment = type.equal(L->COMMENT);
        if (is_nl) {
            auto line = support::as_string(token.attr(N->line));
            if (line && *line == "\n") {
                py::object node = L->extract_node(blank_line);
                add_node(tree, node, row);
                extra_line_map[row] = py::str("");
            }
        }
        if (is_comment) {
            bool after_code = last_code_row && last_code_row.equal(row);
            if (!after_code) {
                py::object text = token.attr(N->string);
                py::object node = L->extract_node(comment_placeholder(text));
                add_node(tree, node, row);
                extra_line_map[row] = text;
            }
        }
        if (!is_nl && !is_comment && !type.equal(L->ENCODING)) last_code_row = row;
    }
}

// --- Token positions -----------------------------------------------------------------
//
// asttokens tokenises with the standard library's pure-Python tokenizer and marks each
// node from Python methods: on a file of a megabyte that costs several times the parse.
// The same two steps run here, token for token and mark for mark: the stdlib
// tokenizer's loop (its own compiled patterns decide every token that the plain
// ASCII cases below do not), asttokens' merging of identifier pieces, and its marking
// visit with each per-class adjustment.

struct TokenLibs {
    py::handle Token, ASTTokens, ASTTextBase, pseudo_match, compile, endpats,
        single_quoted, triple_quoted, TokenError, expect_token, stmt_class_names,
        Number, AST;
    py::handle empty, newline;
    int NAME, NUMBER, STRING, NEWLINE, INDENT, DEDENT, OP, COMMENT, NL, ERRORTOKEN,
        ENDMARKER, ENCODING;
};
const TokenLibs *T = nullptr;

// Tokens and marks are hundreds of thousands of new tuples and attributes on a large
// file, and every few hundred of them would start a collection that walks the whole
// tree just built; none of them can form a cycle, so collections wait until the end.
struct CollectionPause {
    bool was_enabled = PyGC_Disable() == 1;
    CollectionPause() = default;
    CollectionPause(const CollectionPause &) = delete;
    CollectionPause &operator=(const CollectionPause &) = delete;
    ~CollectionPause() {
        if (was_enabled) PyGC_Enable();
    }
};

// One token as tokenize's TokenInfo holds it.
struct RawToken {
    int type;
    py::object string;
    Py_ssize_t srow, scol, erow, ecol;
    py::object line;
};

py::object substring(py::handle text, Py_ssize_t start, Py_ssize_t end) {
    return steal(PyUnicode_Substring(text.ptr(), start, end));
}

[[noreturn]] void raise_token_error(const char *message, Py_ssize_t row,
                                    Py_ssize_t col) {
    PyErr_SetObject(T->TokenError.ptr(),
                    py::make_tuple(message, py::make_tuple(row, col)).ptr());
    throw py::error_already_set();
}

bool is_ascii_word(Py_UCS4 c) {
    return c < 128 && (std::isalnum(static_cast<int>(c)) || c == '_');
}

bool in(Py_UCS4 c, const char *chars) {
    return c != 0 && c < 128 && std::strchr(chars, static_cast<int>(c)) != nullptr;
}

// tokenize.generate_tokens over io.StringIO(text).readline: rows end at "\n" only.
class Tokenizer {
public:
    explicit Tokenizer(py::handle text) : text(text) {}

    std::vector<RawToken> run() {
        Py_ssize_t lnum = 0, parenlev = 0;
        bool continued = false, needcont = false;
        py::object contstr, contline, endprog; // contstr set: inside a string
        Py_ssize_t strstart_row = 0, strstart_col = 0;
        std::vector<Py_ssize_t> indents{0};
        py::object last_line = borrow(T->empty), line = borrow(T->empty);
        while (true) {
            last_line = line;
            line = readline();
            ++lnum;
            PyObject *l = line.ptr();
            Py_ssize_t pos = 0, max = PyUnicode_GET_LENGTH(l);
            int kind = PyUnicode_KIND(l);
            const void *data = PyUnicode_DATA(l);
            auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
            if (contstr) {
                if (max == 0)
                    raise_token_error("EOF in multi-line string", strstart_row,
                                      strstart_col);
                py::object endmatch = endprog.attr("match")(line);
                if (!endmatch.is_none()) {
                    Py_ssize_t end = endmatch.attr("end")(0).cast<Py_ssize_t>();
                    pos = end;
                    emit(T->STRING, contstr + substring(line, 0, end), strstart_row,
                         strstart_col, lnum, end, contline + line);
                    contstr = py::object();
                    needcont = false;
                    contline = py::object();
                } else if (needcont && !ends_with(line, "\\\n") &&
                           !ends_with(line, "\\\r\n")) {
                    emit(T->ERRORTOKEN, contstr + line, strstart_row, strstart_col,
                         lnum, max, contline);
                    contstr = py::object();
                    contline = py::object();
                    continue;
                } else {
                    contstr = contstr + line;
                    contline = contline + line;
                    continue;
                }
            } else if (parenlev == 0 && !continued) { // a new statement
                if (max == 0) break;
                Py_ssize_t column = 0;
                for (; pos < max; ++pos) {
                    Py_UCS4 c = at(pos);
                    if (c == ' ')
                        column += 1;
                    else if (c == '\t')
                        column = (column / 8 + 1) * 8;
                    else if (c == '\f')
                        column = 0;
                    else
                        break;
                }
                if (pos == max) break;
                Py_UCS4 c = at(pos);
                if (in(c, "#\r\n")) { // a comment or a blank row
                    if (c == '#') {
                        Py_ssize_t end = max;
                        while (end > pos && in(at(end - 1), "\r\n"))
                            --end;
                        emit(T->COMMENT, substring(line, pos, end), lnum, pos, lnum,
                             end, line);
                        pos = end;
                    }
                    emit(T->NL, substring(line, pos, max), lnum, pos, lnum, max, line);
                    continue;
                }
                if (column > indents.back()) {
                    indents.push_back(column);
                    emit(T->INDENT, substring(line, 0, pos), lnum, 0, lnum, pos, line);
                }
                while (column < indents.back()) {
                    if (std::find(indents.begin(), indents.end(), column) ==
                        indents.end()) {
                        PyErr_SetObject(
                            PyExc_IndentationError,
                            py::make_tuple(
                                "unindent does not match any outer indentation level",
                                py::make_tuple("<tokenize>", lnum, pos, line))
                                .ptr());
                        throw py::error_already_set();
                    }
                    indents.pop_back();
                    emit(T->DEDENT, borrow(T->empty), lnum, pos, lnum, pos, line);
                }
            } else { // a continued statement
                if (max == 0) raise_token_error("EOF in multi-line statement", lnum, 0);
                continued = false;
            }

            while (pos < max) {
                // The plain ASCII cases, decided as the pseudo-token pattern would.
                Py_ssize_t p = pos;
                while (p < max && in(at(p), " \f\t"))
                    ++p;
                if (p == max) { // blanks up to the row's end: an empty match
                    pos = max;
                    continue;
                }
                Py_UCS4 c = at(p), next = p + 1 < max ? at(p + 1) : 0;
                if (is_ascii_word(c) && !std::isdigit(static_cast<int>(c))) {
                    Py_ssize_t q = p + 1;
                    while (q < max && is_ascii_word(at(q)))
                        ++q;
                    Py_UCS4 after = q < max ? at(q) : 0;
                    if (after < 128 && after != '\'' && after != '"') { // no prefix
                        emit(T->NAME, substring(line, p, q), lnum, p, lnum, q, line);
                        pos = q;
                        continue;
                    }
                } else if (c < 128 && std::isdigit(static_cast<int>(c))) {
                    Py_ssize_t q = p;
                    bool zeros = true;
                    while (q < max && at(q) < 128 &&
                           std::isdigit(static_cast<int>(at(q)))) {
                        zeros = zeros && at(q) == '0';
                        ++q;
                    }
                    Py_UCS4 after = q < max ? at(q) : 0;
                    if (!in(after, "_.eEjJxXoObB") && (c != '0' || zeros)) {
                        emit(T->NUMBER, substring(line, p, q), lnum, p, lnum, q, line);
                        pos = q;
                        continue;
                    }
                } else if (in(c, "([{)]},;~") ||
                           (c == '.' && next != '.' &&
                            !(next < 128 && std::isdigit(static_cast<int>(next)))) ||
                           (in(c, ":=") && next != '=')) {
                    if (in(c, "([{")) ++parenlev;
                    if (in(c, ")]}")) --parenlev;
                    emit(T->OP, substring(line, p, p + 1), lnum, p, lnum, p + 1, line);
                    pos = p + 1;
                    continue;
                } else if (c == '\n') {
                    emit(parenlev > 0 ? T->NL : T->NEWLINE, borrow(T->newline), lnum, p,
                         lnum, p + 1, line);
                    pos = p + 1;
                    continue;
                }

                // Everything else through tokenize's own pattern and steps.
                py::object pseudomatch = T->pseudo_match(line, pos);
                if (pseudomatch.is_none()) {
                    emit(T->ERRORTOKEN, substring(line, pos, pos + 1), lnum, pos, lnum,
                         pos + 1, line);
                    pos += 1;
                    continue;
                }
                py::tuple span = pseudomatch.attr("span")(1);
                Py_ssize_t start = span[0].cast<Py_ssize_t>(),
                           end = span[1].cast<Py_ssize_t>();
                pos = end;
                if (start == end) continue;
                py::object token = substring(line, start, end);
                Py_UCS4 initial = at(start);
                if ((initial < 128 && std::isdigit(static_cast<int>(initial))) ||
                    (initial == '.' && end - start != 1 && !str_is(token, "..."))) {
                    emit(T->NUMBER, token, lnum, start, lnum, end, line);
                } else if (in(initial, "\r\n")) {
                    emit(parenlev > 0 ? T->NL : T->NEWLINE, token, lnum, start, lnum,
                         end, line);
                } else if (initial == '#') {
                    emit(T->COMMENT, token, lnum, start, lnum, end, line);
                } else if (support::contains(T->triple_quoted, token)) {
                    endprog = T->compile(T->endpats[token]);
                    py::object endmatch = endprog.attr("match")(line, pos);
                    if (!endmatch.is_none()) { // all on one row
                        pos = endmatch.attr("end")(0).cast<Py_ssize_t>();
                        emit(T->STRING, substring(line, start, pos), lnum, start, lnum,
                             pos, line);
                    } else { // over several rows
                        strstart_row = lnum;
                        strstart_col = start;
                        contstr = substring(line, start, max);
                        contline = line;
                        break;
                    }
                } else if (quoted_prefix(token)) {
                    if (at(end - 1) == '\n') { // a string continued by a backslash
                        strstart_row = lnum;
                        strstart_col = start;
                        endprog = T->compile(single_end_pattern(token));
                        contstr = substring(line, start, max);
                        needcont = true;
                        contline = line;
                        break;
                    }
                    emit(T->STRING, token, lnum, start, lnum, end, line);
                } else if (is_identifier_start(initial)) {
                    emit(T->NAME, token, lnum, start, lnum, end, line);
                } else if (initial == '\\') {
                    continued = true;
                } else {
                    if (in(initial, "([{")) ++parenlev;
                    if (in(initial, ")]}")) --parenlev;
                    emit(T->OP, token, lnum, start, lnum, end, line);
                }
            }
        }
        // An implicit NEWLINE when the text does not end with one.
        Py_ssize_t last_size = PyUnicode_GET_LENGTH(last_line.ptr());
        if (last_size > 0 &&
            !in(PyUnicode_READ_CHAR(last_line.ptr(), last_size - 1), "\r\n") &&
            !support::truthy(last_line.attr("strip")().attr("startswith")("#")))
            emit(T->NEWLINE, borrow(T->empty), lnum - 1, last_size, lnum - 1,
                 last_size + 1, borrow(T->empty));
        for (size_t i = 1; i < indents.size(); ++i)
            emit(T->DEDENT, borrow(T->empty), lnum, 0, lnum, 0, borrow(T->empty));
        emit(T->ENDMARKER, borrow(T->empty), lnum, 0, lnum, 0, borrow(T->empty));
        return std::move(tokens);
    }

private:
    py::handle text;
    Py_ssize_t next_row_start = 0;
    std::vector<RawToken> tokens;

    py::object readline() {
        Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
        if (next_row_start >= size) return borrow(T->empty);
        Py_ssize_t found =
            PyUnicode_FindChar(text.ptr(), '\n', next_row_start, size, 1);
        if (found == -2) throw py::error_already_set();
        Py_ssize_t end = found < 0 ? size : found + 1;
        py::object row = substring(text, next_row_start, end);
        next_row_start = end;
        return row;
    }

    void emit(int type, py::object string, Py_ssize_t srow, Py_ssize_t scol,
              Py_ssize_t erow, Py_ssize_t ecol, py::object line) {
        tokens.push_back(
            {type, std::move(string), srow, scol, erow, ecol, std::move(line)});
    }

    static bool str_is(py::handle s, const char *ascii) {
        return PyUnicode_CompareWithASCIIString(s.ptr(), ascii) == 0;
    }

    static bool ends_with(py::handle s, const char *ascii) {
        Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(ascii)),
                   size = PyUnicode_GET_LENGTH(s.ptr());
        if (size < n) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyUnicode_READ_CHAR(s.ptr(), size - n + i) !=
                static_cast<Py_UCS4>(ascii[i]))
                return false;
        return true;
    }

    static py::object prefix(py::handle token, Py_ssize_t n) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(token.ptr());
        return substring(token, 0, std::min(n, size));
    }

    // initial in single_quoted or token[:2] in single_quoted or token[:3] in ...
    static bool quoted_prefix(py::handle token) {
        for (Py_ssize_t n = 1; n <= 3; ++n)
            if (support::contains(T->single_quoted, prefix(token, n))) return true;
        return false;
    }

    // endpats.get(initial) or endpats.get(token[1]) or endpats.get(token[2])
    static py::object single_end_pattern(py::handle token) {
        for (Py_ssize_t i = 0; i < 3; ++i) {
            py::object key = steal(PySequence_GetItem(token.ptr(), i));
            PyObject *found = PyDict_GetItemWithError(T->endpats.ptr(), key.ptr());
            if (found && PyObject_IsTrue(found)) return borrow(found);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return py::none();
    }

    static bool is_identifier_start(Py_UCS4 c) {
        py::object s = steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
        return PyUnicode_IsIdentifier(s.ptr()) == 1;
    }
};

// asttokens' patched_generate_tokens: a run of touching NAME, NUMBER and ERRORTOKEN
// tokens on one row that holds an ERRORTOKEN is one NAME (identifiers the stdlib
// tokenizer splits).
std::vector<RawToken> merge_identifier_pieces(std::vector<RawToken> raw) {
    std::vector<RawToken> out;
    out.reserve(raw.size());
    std::vector<RawToken> group;
    auto flush = [&] {
        bool has_error = false, one_row = true;
        for (const RawToken &t : group)
            has_error = has_error || t.type == T->ERRORTOKEN;
        for (size_t i = 1; has_error && one_row && i < group.size(); ++i) {
            int same = PyObject_RichCompareBool(group[i].line.ptr(),
                                                group.front().line.ptr(), Py_EQ);
            if (same < 0) throw py::error_already_set();
            one_row = same == 1;
        }
        if (!has_error || !one_row) {
            for (RawToken &t : group)
                out.push_back(std::move(t));
        } else {
            py::list parts;
            for (const RawToken &t : group)
                parts.append(t.string);
            out.push_back({T->NAME, py::str("").attr("join")(parts), group.front().srow,
                           group.front().scol, group.back().erow, group.back().ecol,
                           group.front().line});
        }
        group.clear();
    };
    for (RawToken &tok : raw) {
        bool joins =
            tok.type == T->NAME || tok.type == T->ERRORTOKEN || tok.type == T->NUMBER;
        if (joins && (group.empty() || (group.back().erow == tok.srow &&
                                        group.back().ecol == tok.scol))) {
            group.push_back(std::move(tok));
        } else {
            flush();
            out.push_back(std::move(tok));
        }
    }
    flush();
    return out;
}

// Offsets of each row's first character, as asttokens' LineNumbers finds them.
std::vector<Py_ssize_t> row_offsets(py::handle text) {
    std::vector<Py_ssize_t> offsets{0};
    PyObject *t = text.ptr();
    Py_ssize_t size = PyUnicode_GET_LENGTH(t);
    int kind = PyUnicode_KIND(t);
    const void *data = PyUnicode_DATA(t);
    for (Py_ssize_t i = 0; i < size; ++i)
        if (PyUnicode_READ(kind, data, i) == '\n') offsets.push_back(i + 1);
    return offsets;
}

// LineNumbers.line_to_offset
Py_ssize_t line_to_offset(const std::vector<Py_ssize_t> &rows, Py_ssize_t size,
                          Py_ssize_t line, Py_ssize_t column) {
    line -= 1;
    if (line >= static_cast<Py_ssize_t>(rows.size())) return size;
    if (line < 0) return 0;
    return std::min(rows[line] + std::max<Py_ssize_t>(0, column), size);
}

py::object position(Py_ssize_t row, Py_ssize_t col) {
    return steal(Py_BuildValue("(nn)", row, col));
}

// asttokens' Token tuples of text, indexed and with their character offsets.
py::list make_tokens(py::handle text) {
    std::vector<RawToken> raw = merge_identifier_pieces(Tokenizer(text).run());
    std::vector<Py_ssize_t> rows = row_offsets(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    py::list out(raw.size());
    auto *type = reinterpret_cast<PyTypeObject *>(T->Token.ptr());
    for (size_t i = 0; i < raw.size(); ++i) {
        RawToken &t = raw[i];
        PyObject *token = type->tp_alloc(type, 8); // a namedtuple: a tuple subtype
        if (!token) throw py::error_already_set();
        PyObject *items[8] = {
            PyLong_FromLong(t.type),
            t.string.release().ptr(),
            position(t.srow, t.scol).release().ptr(),
            position(t.erow, t.ecol).release().ptr(),
            t.line.release().ptr(),
            PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)),
            PyLong_FromSsize_t(line_to_offset(rows, size, t.srow, t.scol)),
            PyLong_FromSsize_t(line_to_offset(rows, size, t.erow, t.ecol)),
        };
        for (int k = 0; k < 8; ++k)
            PyTuple_SET_ITEM(token, k, items[k]);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), token);
    }
    return out;
}

// How asttokens adjusts a node of a class after its children: its visit_<name> method,
// looked up by the lower-cased class name.
enum class Adjust {
    none,
    attribute,
    def,
    async_def,
    call,
    following_parens,
    subscript,
    slice,
    tuple,
    str,
    num,
    constant,
    keyword,
    starred,
    assign_name,
    async_,
    comprehension,
    if_
};

struct ClassFacts {
    Adjust adjust;
    bool stmt, module, slice_name, ast_node;
};

Adjust adjust_of(const std::string &lowered) {
    static const std::pair<const char *, Adjust> table[] = {
        {"attribute", Adjust::attribute},
        {"assignattr", Adjust::attribute},
        {"delattr", Adjust::attribute},
        {"classdef", Adjust::def},
        {"functiondef", Adjust::def},
        {"asyncfunctiondef", Adjust::async_def},
        {"call", Adjust::call},
        {"matchclass", Adjust::following_parens},
        {"subscript", Adjust::subscript},
        {"slice", Adjust::slice},
        {"tuple", Adjust::tuple},
        {"str", Adjust::str},
        {"joinedstr", Adjust::str},
        {"bytes", Adjust::str},
        {"num", Adjust::num},
        {"const", Adjust::constant},
        {"constant", Adjust::constant},
        {"keyword", Adjust::keyword},
        {"starred", Adjust::starred},
        {"assignname", Adjust::assign_name},
        {"asyncfor", Adjust::async_},
        {"asyncwith", Adjust::async_},
        {"comprehension", Adjust::comprehension},
        {"if", Adjust::if_},
    };
    for (auto &[name, adjust] : table)
        if (lowered == name) return adjust;
    return Adjust::none;
}

constexpr Py_ssize_t NO_TOKEN = -1;

// asttokens' MarkTokens over an astroid tree, on the token list of an ASTTokens.
class Marker {
public:
    Marker(py::handle tokens_list, py::handle text) : tokens(borrow(tokens_list)) {
        n = PyList_GET_SIZE(tokens.ptr());
        types.resize(n);
        strings.resize(n);
        ops.resize(n);
        starts.resize(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *token = PyList_GET_ITEM(tokens.ptr(), i);
            types[i] = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(token, 0)));
            strings[i] = PyTuple_GET_ITEM(token, 1);
            starts[i] = PyLong_AsSsize_t(PyTuple_GET_ITEM(token, 6));
            if (types[i] == T->OP && PyUnicode_GET_LENGTH(strings[i]) == 1)
                ops[i] = static_cast<char>(PyUnicode_READ_CHAR(strings[i], 0));
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        this->text = borrow(text);
        rows = row_offsets(text);
        ascii = PyUnicode_IS_ASCII(text.ptr());
    }

    void visit_tree(py::handle root) {
        struct Step {
            py::object node, children;
            Py_ssize_t parent_token, token;
            bool entered;
        };
        std::vector<Step> stack;
        stack.push_back({borrow(root), py::object(), NO_TOKEN, NO_TOKEN, false});
        std::unordered_set<PyObject *> done; // a node reached twice would loop forever
        while (!stack.empty()) {
            Step step = std::move(stack.back());
            stack.pop_back();
            if (step.entered) {
                after(step.node, step.children, step.parent_token, step.token);
                continue;
            }
            if (!done.insert(step.node.ptr()).second)
                support::raise(PyExc_ValueError, "a node of the tree is reached twice");
            Py_ssize_t token = before(step.node);
            Py_ssize_t for_children = token != NO_TOKEN ? token : step.parent_token;
            py::object children = children_of(step.node);
            PyObject *list = children.ptr();
            stack.push_back({step.node, children, step.parent_token, token, true});
            for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;)
                stack.push_back({borrow(PyList_GET_ITEM(list, i)), py::object(),
                                 for_children, NO_TOKEN, false});
        }
    }

private:
    py::object tokens, text;
    Py_ssize_t n;
    std::vector<int> types;
    std::vector<PyObject *> strings;
    std::vector<char> ops;
    std::vector<Py_ssize_t> starts, rows;
    bool ascii;
    std::unordered_map<Py_ssize_t, std::vector<Py_ssize_t>> utf8_columns;
    std::unordered_map<PyObject *, std::pair<Py_ssize_t, Py_ssize_t>> marks;
    std::unordered_map<PyTypeObject *, ClassFacts> facts_cache;

    // --- the token list, as ASTTokens walks it

    [[noreturn]] static void index_error() {
        support::raise(PyExc_IndexError, "list index out of range");
    }

    Py_ssize_t wrap(Py_ssize_t i) const { // a Python list index
        if (i < 0) i += n;
        if (i < 0 || i >= n) index_error();
        return i;
    }

    bool non_coding(Py_ssize_t i) const {
        int t = types[i];
        return t == T->NL || t == T->COMMENT || t == T->ENCODING;
    }

    Py_ssize_t next(Py_ssize_t i, bool extra = false) const {
        for (Py_ssize_t j = i + 1;; ++j) {
            Py_ssize_t k = wrap(j);
            if (extra || !non_coding(k)) return k;
        }
    }

    Py_ssize_t prev(Py_ssize_t i, bool extra = false) const {
        for (Py_ssize_t j = i - 1;; --j) {
            Py_ssize_t k = wrap(j);
            if (extra || !non_coding(k)) return k;
        }
    }

    bool string_is(Py_ssize_t i, const char *s) const {
        return PyUnicode_CompareWithASCIIString(strings[i], s) == 0;
    }

    bool match(Py_ssize_t i, int type, const char *s = nullptr) const {
        return types[i] == type && (!s || string_is(i, s));
    }

    bool op(Py_ssize_t i, char c) const { return ops[i] == c; }

    Py_ssize_t find(Py_ssize_t i, int type, const char *s, bool reverse = false) const {
        while (!match(i, type, s) && types[i] != T->ENDMARKER)
            i = reverse ? prev(i, true) : next(i, true);
        return i;
    }

    py::handle token_at(Py_ssize_t i) const { return PyList_GET_ITEM(tokens.ptr(), i); }

    // util.expect_token, which raises its own ValueError on a mismatch.
    void expect(Py_ssize_t i, int type, py::handle s = py::none()) const {
        if (!match(i, type) || (!s.is_none() && !borrow(strings[i]).equal(s)))
            T->expect_token(token_at(i), type, s);
    }

    // LineNumbers.from_utf8_col
    Py_ssize_t from_utf8_col(Py_ssize_t line, Py_ssize_t utf8_column) {
        Py_ssize_t count = static_cast<Py_ssize_t>(rows.size());
        Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
        Py_ssize_t first = line - 1 < 0 ? line - 1 + count : line - 1;
        if (first < 0 || first >= count) index_error();
        Py_ssize_t start = rows[first];
        Py_ssize_t end = line >= 0 && line < count ? rows[line] : size;
        if (line < 0) end = line + count >= 0 ? rows[line + count] : 0;
        Py_ssize_t length = std::max<Py_ssize_t>(0, end - start);
        if (ascii) return std::max<Py_ssize_t>(0, std::min(length, utf8_column));
        auto found = utf8_columns.find(line);
        if (found == utf8_columns.end()) {
            std::vector<Py_ssize_t> offsets;
            PyObject *t = text.ptr();
            for (Py_ssize_t i = 0; i < length; ++i) {
                Py_UCS4 c = PyUnicode_READ_CHAR(t, start + i);
                int bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
                for (int b = 0; b < bytes; ++b)
                    offsets.push_back(i);
            }
            offsets.push_back(length);
            found = utf8_columns.emplace(line, std::move(offsets)).first;
        }
        const std::vector<Py_ssize_t> &offsets = found->second;
        Py_ssize_t last = static_cast<Py_ssize_t>(offsets.size()) - 1;
        return offsets[std::max<Py_ssize_t>(0, std::min(last, utf8_column))];
    }

    // ASTTokens.get_token: the token holding the position, or the one before it.
    Py_ssize_t get_token(Py_ssize_t line, Py_ssize_t column) const {
        Py_ssize_t offset =
            line_to_offset(rows, PyUnicode_GET_LENGTH(text.ptr()), line, column);
        auto after = std::upper_bound(starts.begin(), starts.end(), offset);
        return wrap(static_cast<Py_ssize_t>(after - starts.begin()) - 1);
    }

    // --- the visit

    const ClassFacts &facts(py::handle node) {
        PyTypeObject *type = Py_TYPE(node.ptr());
        auto found = facts_cache.find(type);
        if (found != facts_cache.end()) return found->second;
        std::string name = type->tp_name;
        if (auto dot = name.rfind('.'); dot != std::string::npos)
            name.erase(0, dot + 1);
        std::string lowered = name;
        for (char &c : lowered)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ClassFacts f{adjust_of(lowered),
                     support::contains(T->stmt_class_names, py::str(name)),
                     name == "Module", name == "Slice",
                     PyObject_IsInstance(node.ptr(), T->AST.ptr()) == 1};
        return facts_cache.emplace(type, f).first->second;
    }

    py::object children_of(py::handle node) {
        if (facts(node).adjust == Adjust::str && is_joined_str(node)) return py::list();
        return steal(PySequence_List(call_method(node, N->get_children).ptr()));
    }

    static bool is_joined_str(py::handle node) {
        std::string name = Py_TYPE(node.ptr())->tp_name;
        return name == "JoinedStr" || name.ends_with(".JoinedStr");
    }

    Py_ssize_t before(py::handle node) {
        Py_ssize_t token = NO_TOKEN;
        py::object col = support::attr_or_none(node, N->col_offset);
        if (!col.is_none()) {
            py::object line = node.attr(N->lineno);
            if (!PyLong_Check(line.ptr()) || !PyLong_Check(col.ptr()))
                support::raise(PyExc_TypeError, "a node position that is not a number");
            Py_ssize_t row = line.cast<Py_ssize_t>();
            token = get_token(row, from_utf8_col(row, col.cast<Py_ssize_t>()));
        }
        if (token == NO_TOKEN && facts(node).module) token = get_token(1, 0);
        return token;
    }

    std::pair<Py_ssize_t, Py_ssize_t> marks_of(py::handle node) const {
        auto found = marks.find(node.ptr());
        if (found != marks.end()) return found->second;
        auto index = [&](py::handle name) {
            return py::object(node.attr(name)[py::int_(5)]).cast<Py_ssize_t>();
        };
        return {index(N->first_token), index(N->last_token)};
    }

    bool is_empty_astroid_slice(py::handle node) {
        const ClassFacts &f = facts(node);
        if (!f.slice_name || f.ast_node) return false;
        return node.attr(name<"lower">()).is_none() &&
               node.attr(name<"upper">()).is_none() &&
               node.attr(name<"step">()).is_none();
    }

    void after(py::handle node, py::handle children, Py_ssize_t parent_token,
               Py_ssize_t token) {
        Py_ssize_t first = token, last = NO_TOKEN;
        for (py::handle child : children) {
            if (is_empty_astroid_slice(child)) continue;
            auto [child_first, child_last] = marks_of(child);
            if (first == NO_TOKEN || child_first < first) first = child_first;
            if (last == NO_TOKEN || child_last > last) last = child_last;
        }
        if (first == NO_TOKEN) first = parent_token;
        if (last == NO_TOKEN) last = first;
        if (first == NO_TOKEN)
            support::raise(PyExc_AttributeError,
                           "'NoneType' object has no attribute 'index'");
        const ClassFacts &f = facts(node);
        if (f.stmt) last = find_last_in_stmt(last);
        std::tie(first, last) = expand_to_matching_pairs(first, last);
        auto [nfirst, nlast] = adjust(f.adjust, node, children, first, last);
        if (nfirst != first || nlast != last)
            std::tie(nfirst, nlast) = expand_to_matching_pairs(nfirst, nlast);
        if (PyObject_SetAttr(node.ptr(), name<"first_token">().ptr(),
                             token_at(nfirst).ptr()) < 0 ||
            PyObject_SetAttr(node.ptr(), name<"last_token">().ptr(),
                             token_at(nlast).ptr()) < 0)
            throw py::error_already_set();
        marks[node.ptr()] = {nfirst, nlast};
    }

    Py_ssize_t find_last_in_stmt(Py_ssize_t t) const {
        while (!match(t, T->NEWLINE) && !op(t, ';') && types[t] != T->ENDMARKER)
            t = next(t, true);
        return prev(t);
    }

    std::pair<Py_ssize_t, Py_ssize_t> expand_to_matching_pairs(Py_ssize_t first,
                                                               Py_ssize_t last) const {
        std::string to_match_right, to_match_left;
        for (Py_ssize_t i = first; i <= last; ++i) {
            if (non_coding(i)) continue;
            char c = ops[i];
            if (!c) continue;
            if (!to_match_right.empty() && c == to_match_right.back())
                to_match_right.pop_back();
            else if (c == '(' || c == '[' || c == '{')
                to_match_right.push_back(c == '(' ? ')' : c == '[' ? ']' : '}');
            else if (c == ')' || c == ']' || c == '}')
                to_match_left.push_back(c == ')' ? '(' : c == ']' ? '[' : '{');
        }
        for (auto it = to_match_right.rbegin(); it != to_match_right.rend(); ++it) {
            Py_ssize_t candidate = next(last);
            while (op(candidate, ',') || op(candidate, ':'))
                candidate = next(candidate);
            if (op(candidate, *it)) last = candidate;
        }
        for (char c : to_match_left) {
            Py_ssize_t candidate = prev(first);
            if (op(candidate, c)) first = candidate;
        }
        return {first, last};
    }

    // MarkTokens._gobble_parens
    std::pair<Py_ssize_t, Py_ssize_t> gobble_parens(Py_ssize_t first, Py_ssize_t last,
                                                    bool include_all) const {
        while (first > 0) {
            Py_ssize_t before = prev(first), after = next(last);
            if (op(before, '(') && op(after, ')')) {
                first = before;
                last = after;
                if (include_all) continue;
            }
            break;
        }
        return {first, last};
    }

    Py_ssize_t following_brackets(py::handle children, Py_ssize_t last,
                                  const char *bracket) const {
        if (PyList_GET_SIZE(children.ptr()) == 0) {
            PyErr_SetNone(PyExc_StopIteration);
            throw py::error_already_set();
        }
        Py_ssize_t start =
            find(marks_of(PyList_GET_ITEM(children.ptr(), 0)).second, T->OP, bracket);
        return start > last ? start : last;
    }

    Py_ssize_t handle_str(Py_ssize_t last) const {
        for (Py_ssize_t t = next(last); match(t, T->STRING); t = next(last))
            last = t;
        return last;
    }

    std::pair<Py_ssize_t, Py_ssize_t> handle_num(py::object value, Py_ssize_t first,
                                                 Py_ssize_t last) const {
        while (match(last, T->OP))
            last = next(last);
        if (PyComplex_Check(value.ptr())) value = value.attr("imag");
        int negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
        if (negative < 0) throw py::error_already_set();
        if (negative && types[first] == T->NUMBER) first = prev(first);
        return {first, last};
    }

    static bool is_number(py::handle value) {
        PyObject *v = value.ptr();
        if (PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v)) return true;
        if (PyUnicode_Check(v) || PyBytes_Check(v) || v == Py_None) return false;
        int found = PyObject_IsInstance(v, T->Number.ptr());
        if (found < 0) throw py::error_already_set();
        return found == 1;
    }

    std::pair<Py_ssize_t, Py_ssize_t> adjust(Adjust kind, py::handle node,
                                             py::handle children, Py_ssize_t first,
                                             Py_ssize_t last) const {
        switch (kind) {
        case Adjust::none:
            break;
        case Adjust::comprehension:
            first = find(first, T->NAME, "for", true);
            break;
        case Adjust::if_:
            while (!string_is(first, "if") && !string_is(first, "elif"))
                first = prev(first);
            break;
        case Adjust::attribute: {
            Py_ssize_t name = next(find(last, T->OP, "."));
            expect(name, T->NAME);
            last = name;
            break;
        }
        case Adjust::async_def:
            if (match(first, T->NAME, "def")) first = prev(first);
            [[fallthrough]];
        case Adjust::def: {
            if (!support::truthy(node.attr(name<"body">())) &&
                (support::truthy(support::attr_or_none(node, name<"doc_node">())) ||
                 support::truthy(support::attr_or_none(node, name<"doc">()))))
                last = find(last, T->STRING, nullptr);
            if (first > 0) {
                Py_ssize_t before = prev(first);
                if (op(before, '@')) first = before;
            }
            break;
        }
        case Adjust::call:
            last = following_brackets(children, last, "(");
            if (op(first, '@')) first = next(first);
            break;
        case Adjust::following_parens:
            last = following_brackets(children, last, "(");
            break;
        case Adjust::subscript:
            last = following_brackets(children, last, "[");
            break;
        case Adjust::slice:
            for (Py_ssize_t t = prev(first); string_is(t, ":"); t = prev(first))
                first = t;
            for (Py_ssize_t t = next(last); string_is(t, ":"); t = next(last))
                last = t;
            break;
        case Adjust::tuple: {
            py::object elts = node.attr(name<"elts">());
            if (!support::truthy(elts)) break;
            auto [child_first, child_last] = marks_of(elts[py::int_(0)]);
            if (first == gobble_parens(child_first, child_last, true).first) {
                Py_ssize_t comma = next(last);
                if (op(comma, ',')) last = comma;
            }
            break;
        }
        case Adjust::str:
            last = handle_str(last);
            break;
        case Adjust::num:
            return handle_num(node.attr(name<"n">()), first, last);
        case Adjust::constant: {
            py::object value = node.attr(name<"value">());
            if (is_number(value)) return handle_num(value, first, last);
            if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
                last = handle_str(last);
            break;
        }
        case Adjust::keyword: {
            py::object arg = node.attr(name<"arg">());
            if (!arg.is_none() && support::attr_or_none(node, N->lineno).is_none()) {
                Py_ssize_t name = prev(find(first, T->OP, "=", true));
                expect(name, T->NAME, arg);
                first = name;
            }
            break;
        }
        case Adjust::starred:
            if (!op(first, '*')) {
                Py_ssize_t star = prev(first);
                if (op(star, '*')) first = star;
            }
            break;
        case Adjust::assign_name:
            if (match(first, T->NAME, "except"))
                first = last = prev(find(last, T->OP, ":"));
            break;
        case Adjust::async_:
            if (!string_is(first, "async")) first = prev(first);
            break;
        }
        return {first, last};
    }
};

// ASTTokens.__init__: text given without tokens is tokenised and marked here; any other
// call is asttokens' own (which still marks through mark_tokens below).
void ast_tokens_init(py::handle self, py::handle source_text, py::handle parse,
                     py::handle tree, py::handle filename, py::handle tokens) {
    if (!tokens.is_none() || support::truthy(parse)) {
        T->ASTTokens.attr("__init__")(self, source_text, parse, tree, filename, tokens);
        return;
    }
    T->ASTTextBase.attr("__init__")(self, source_text, filename);
    py::object text = self.attr(name<"_text">());
    if (!PyUnicode_Check(text.ptr()))
        support::raise(PyExc_TypeError, "source text must be str");
    py::setattr(self, name<"_tree">(), tree);
    CollectionPause pause;
    py::list made = make_tokens(text);
    py::setattr(self, name<"_tokens">(), made);
    py::list offsets(PyList_GET_SIZE(made.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made.ptr()); ++i) {
        PyObject *start = PyTuple_GET_ITEM(PyList_GET_ITEM(made.ptr(), i), 6);
        Py_INCREF(start);
        PyList_SET_ITEM(offsets.ptr(), i, start);
    }
    py::setattr(self, name<"_token_offsets">(), offsets);
    if (support::truthy(tree)) self.attr(name<"mark_tokens">())(tree);
}

void mark_tokens(py::handle self, py::handle root_node) {
    if (!support::try_attr(root_node, N->get_children)) { // a tree of the ast module
        T->ASTTokens.attr(name<"mark_tokens">())(self, root_node);
        return;
    }
    CollectionPause pause;
    Marker(self.attr(name<"_tokens">()), self.attr(name<"_text">()))
        .visit_tree(root_node);
}

// asttokens' class, tokenising and marking in C++.
py::handle fast_ast_tokens() {
    py::dict ns;
    ns["__module__"] = "vorlane.staticanalysis.helpers";
    ns["__qualname__"] = "ASTTokens";
    ns["__doc__"] = "asttokens.ASTTokens, tokenising and marking trees in C++.";
    py::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    py::object cls = type("ASTTokens", py::make_tuple(T->ASTTokens), ns);
    support::def_method(cls, "__init__", &ast_tokens_init, py::arg("source_text"),
                        py::arg("parse") = false, py::arg("tree") = py::none(),
                        py::arg("filename") = "<unknown>",
                        py::arg("tokens") = py::none());
    support::def_method(cls, "mark_tokens", &mark_tokens, py::arg("root_node"));
    return cls.release();
}

void load_token_libs() {
    using support::import;
    using support::intern;
    auto *t = new TokenLibs();
    t->Token = import("asttokens.util", "Token");
    t->ASTTokens = import("asttokens", "ASTTokens");
    t->ASTTextBase = import("asttokens.asttokens", "ASTTextBase");
    py::handle tokenize = import("tokenize");
    t->compile = import("tokenize", "_compile");
    t->pseudo_match =
        py::object(t->compile(tokenize.attr("PseudoToken")).attr("match")).release();
    t->endpats = import("tokenize", "endpats");
    t->single_quoted = import("tokenize", "single_quoted");
    t->triple_quoted = import("tokenize", "triple_quoted");
    t->TokenError = import("tokenize", "TokenError");
    t->expect_token = import("asttokens.util", "expect_token");
    t->stmt_class_names = import("asttokens.util", "stmt_class_names");
    t->Number = import("numbers", "Number");
    t->AST = import("ast", "AST");
    t->empty = intern("");
    t->newline = intern("\n");
    py::handle token = import("token");
    for (auto [field, name] : std::initializer_list<std::pair<int *, const char *>>{
             {&t->NAME, "NAME"},
             {&t->NUMBER, "NUMBER"},
             {&t->STRING, "STRING"},
             {&t->NEWLINE, "NEWLINE"},
             {&t->INDENT, "INDENT"},
             {&t->DEDENT, "DEDENT"},
             {&t->OP, "OP"},
             {&t->COMMENT, "COMMENT"},
             {&t->NL, "NL"},
             {&t->ERRORTOKEN, "ERRORTOKEN"},
             {&t->ENDMARKER, "ENDMARKER"},
             {&t->ENCODING, "ENCODING"}})
        *field = token.attr(name).cast<int>();
    T = t;
}

// The parser ends a line at "\r\n", "\n" or a lone "\r"; asttokens reads lines at "\n"
// only, so in text with a lone "\r" its token positions miss the tree's and it fails on
// them (an IndexError, or tokenize's error inside a string). Such text cannot be given
// token positions: it is refused as a syntax error at the row the lone "\r" ends.
void refuse_lone_carriage_return(py::handle source, py::handle path) {
    PyObject *text = source.ptr();
    if (!PyUnicode_Check(text)) return; // bytes and the like: the parser has judged
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_FindChar(text, '\r', 0, size, 1) < 0) return; // none at all: common
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t row = 1, row_start = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' && (i + 1 == size || PyUnicode_READ(kind, data, i + 1) != '\n')) {
            py::object line = steal(PyUnicode_Substring(text, row_start, i));
            py::object filename =
                PyUnicode_Check(path.ptr()) ? borrow(path) : py::str("<unknown>");
            py::object error = py::handle(PyExc_SyntaxError)(
                "line ends with a lone carriage return",
                py::make_tuple(filename, row, i - row_start + 1, line));
            PyErr_SetObject(PyExc_SyntaxError, error.ptr());
            throw py::error_already_set();
        }
        if (c == '\n' || c == '\r') {
            if (c == '\r') ++i; // "\r\n"
            ++row;
            row_start = i + 1;
        }
    }
}

py::object build_atok(py::object source, py::object modname, py::object absolute_path,
                      py::object parse_non_code) {
    py::object shims = py::module_::import("vorlane.staticanalysis.shims");
    py::object manager = L->AstroidManager();
    manager.attr(N->_transform) = L->TransformVisitor();
    try {
        // astroid's manager serves both as properties over _transform already and
        // refuses the assignment; a manager that takes it gets them pointed here.
        manager.attr(N->register_transform) =
            manager.attr(N->_transform).attr(N->register_transform);
        manager.attr(N->unregister_transform) =
            manager.attr(N->_transform).attr(N->unregister_transform);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    shims.attr(N->register_transforms)(manager);
    py::object builder = L->AstroidBuilder("manager"_a = manager);
    py::object tree = builder.attr(N->string_build)(source, "modname"_a = modname,
                                                    "path"_a = absolute_path);
    refuse_lone_carriage_return(source, absolute_path);
    py::object atok = L->ASTTokens(source, "tree"_a = tree);
    atok.attr(N->extra_line_map) = py::dict();
    if (support::truthy(parse_non_code)) add_non_code_placeholders(atok);
    return atok;
}

// --- Serialisation and small text utilities ------------------------------------------

py::object serializer(py::handle obj) {
    if (support::isinstance(obj, L->Decimal)) return steal(PyNumber_Long(obj.ptr()));
    if (PySet_Check(obj.ptr())) return steal(PySequence_List(obj.ptr()));
    py::object type_name = py::type::handle_of(obj).attr(N->__name__);
    py::str message =
        py::str("Object of type {} is not JSON serializable").format(type_name);
    PyErr_SetObject(PyExc_TypeError, message.ptr());
    throw py::error_already_set();
}

py::object normalize_django_template(py::handle template_content) {
    return L->whitespace.attr(N->sub)(" ", template_content);
}

py::object get_module_name(py::handle module) {
    return module.attr(N->split)(".")[py::int_(-1)];
}

py::object get_middleware_position(py::handle middlewares, py::handle middleware) {
    py::object index;
    try {
        index = middlewares.attr(N->index)(middleware);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
    py::object position = steal(PyNumber_Add(index.ptr(), py::int_(1).ptr()));
    Py_ssize_t size = PyObject_Length(middlewares.ptr());
    if (size < 0) throw py::error_already_set();
    py::object share =
        steal(PyNumber_FloorDivide(py::int_(100).ptr(), py::int_(size).ptr()));
    return steal(PyNumber_Multiply(share.ptr(), position.ptr()));
}

// A table left with an empty field would crash at its first use, far from the cause.
template <typename T> void check_filled(const T &table, const char *what) {
    static_assert(sizeof(T) % sizeof(py::handle) == 0, "a table holds handles only");
    const py::handle *field = reinterpret_cast<const py::handle *>(&table);
    for (size_t i = 0; i < sizeof(T) / sizeof(py::handle); ++i)
        if (!field[i]) throw std::logic_error(std::string("unfilled entry in ") + what);
}

// Loads the libraries and interns the names once; the structs are never released, as
// the interpreter may tear modules down in any order at exit.
void load_libs() {
    using support::intern;
    Libs *l = new Libs();
    py::handle astroid = support::import("astroid");
    auto from_astroid = [&](const char *name) {
        return py::object(astroid.attr(name)).release();
    };
    l->Decimal = support::import("decimal", "Decimal");
    l->attrgetter = support::import("operator", "attrgetter");
    l->re = support::import("re");
    l->astroid = astroid;
    l->walk = support::import("asttokens.util", "walk");
    load_token_libs();
    l->ASTTokens = fast_ast_tokens();
    l->TransformVisitor = support::import("astroid.transforms", "TransformVisitor");
    l->AstroidManager = support::import("astroid.manager", "AstroidManager");
    l->safe_infer = support::import("pylint.checkers.utils", "safe_infer");
    l->tok_name = support::import("token", "tok_name");
    for (auto [field, name] :
         std::initializer_list<std::pair<py::handle *, const char *>>{
             {&l->BinOp, "BinOp"},
             {&l->Attribute, "Attribute"},
             {&l->AssignName, "AssignName"},
             {&l->Name, "Name"},
             {&l->Const, "Const"},
             {&l->List, "List"},
             {&l->Tuple, "Tuple"},
             {&l->Dict, "Dict"},
             {&l->ImportFrom, "ImportFrom"},
             {&l->Assign, "Assign"},
             {&l->ClassDef, "ClassDef"},
             {&l->Module, "Module"},
             {&l->Uninferable, "Uninferable"},
             {&l->extract_node, "extract_node"}})
        *field = from_astroid(name);
    l->InferenceError = support::import("astroid.exceptions", "InferenceError");
    l->AstroidBuilder = support::import("astroid.builder", "AstroidBuilder");
    l->find_statement_by_line =
        support::import("astroid.builder", "_find_statement_by_line");
    l->modpath_from_file_with_callback =
        support::import("astroid.modutils", "modpath_from_file_with_callback");
    l->open = support::import("builtins", "open");
    l->whitespace = py::object(l->re.attr("compile")("\\s+")).release();
    l->by_lineno = py::object(l->attrgetter("lineno")).release();
    // Every directory between the search-path entry and the file counts as a package.
    l->any_is_package =
        py::cpp_function([](py::handle, py::handle) { return true; }).release();
    // tok_name maps these numbers to "NL", "COMMENT" and "ENCODING".
    py::handle token = support::import("token");
    l->NL = py::object(token.attr("NL")).release();
    l->COMMENT = py::object(token.attr("COMMENT")).release();
    l->ENCODING = py::object(token.attr("ENCODING")).release();
    check_filled(*l, "Libs");
    L = l;

    Names *n = new Names();
#define VORLANE_NAME(field) n->field = support::intern(#field)
    VORLANE_NAME(mro);
    VORLANE_NAME(qname);
    VORLANE_NAME(root);
    VORLANE_NAME(nodes_of_class);
    VORLANE_NAME(Meta);
    VORLANE_NAME(abstract);
    VORLANE_NAME(is_statement);
    VORLANE_NAME(lookup);
    VORLANE_NAME(name);
    VORLANE_NAME(value);
    VORLANE_NAME(items);
    VORLANE_NAME(get_children);
    VORLANE_NAME(keywords);
    VORLANE_NAME(infer);
    VORLANE_NAME(arg);
    VORLANE_NAME(statement);
    VORLANE_NAME(parent);
    VORLANE_NAME(targets);
    VORLANE_NAME(args);
    VORLANE_NAME(defaults);
    VORLANE_NAME(arguments);
    VORLANE_NAME(kwonlyargs);
    VORLANE_NAME(kw_defaults);
    VORLANE_NAME(func);
    VORLANE_NAME(attrname);
    VORLANE_NAME(as_string);
    VORLANE_NAME(lineno);
    VORLANE_NAME(col_offset);
    VORLANE_NAME(first_token);
    VORLANE_NAME(last_token);
    VORLANE_NAME(body);
    VORLANE_NAME(_append_node);
    VORLANE_NAME(sort);
    VORLANE_NAME(scope);
    VORLANE_NAME(_visit_generic);
    VORLANE_NAME(split);
    VORLANE_NAME(index);
    VORLANE_NAME(readlines);
    VORLANE_NAME(close);
    VORLANE_NAME(join);
    VORLANE_NAME(_transform);
    VORLANE_NAME(register_transform);
    VORLANE_NAME(unregister_transform);
    VORLANE_NAME(register_transforms);
    VORLANE_NAME(string_build);
    VORLANE_NAME(tokens);
    VORLANE_NAME(extra_line_map);
    VORLANE_NAME(type);
    VORLANE_NAME(line);
    VORLANE_NAME(start);
    VORLANE_NAME(string);
    VORLANE_NAME(replace);
    VORLANE_NAME(tree);
    VORLANE_NAME(startswith);
    VORLANE_NAME(sub);
    VORLANE_NAME(NOT_PROVIDED);
    VORLANE_NAME(__name__);
    VORLANE_NAME(insert);
    VORLANE_NAME(append);
#undef VORLANE_NAME
    n->init = support::intern("__init__");
    check_filled(*n, "Names");
    N = n;

    D = new Django{
        intern("django.db.models.base.Model"),
        intern("django.db.models.query.QuerySet"),
        intern("django.db.models.fields.related.RelatedField"),
        intern("django.contrib.admin.options.BaseModelAdmin"),
        intern("django.db.models.manager.Manager"),
        intern("django.db.models.fields.Field"),
        intern("django.db.migrations.migration.Migration"),
    };
}

} // namespace

PYBIND11_MODULE(helpers, m) {
    support::init_module(m);
    load_libs();

    m.attr("DJANGO_STRING_FIELDS") =
        name_set({"TextField", "CharField", "URLField", "EmailField", "SlugField"});
    m.attr("DJANGO_BOOLEAN_FIELDS") = name_set({"BooleanField", "NullBooleanField"});

    py::object context_string = support::make_class(
        m, "context_string",
        py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type))),
        py::dict(), context_string_doc);
    support::def_method(context_string, "__mod__", &context_string_mod,
                        py::arg("kwargs"));

    m.def("preserve_metadata", &preserve_metadata, py::arg("new_node"),
          py::arg("old_node"));
    m.def("normalize_django_template", &normalize_django_template,
          py::arg("template_content"));
    m.def("is_migration_file", &is_migration_file, py::arg("node"));
    m.def("is_model_field", &is_model_field, py::arg("node"));
    m.def("get_function_name", &get_function_name, py::arg("node"));
    m.def("add_to_keywords", &add_to_keywords, py::arg("keywords"), py::arg("keyword"));
    NodeValueUndefinable =
        support::make_exception(m, "NodeValueUndefinable", PyExc_TypeError);
    m.def("astroid_node_to_value", &astroid_node_to_value, py::arg("node"));
    m.def("get_astroid_node_constant_values", &get_astroid_node_constant_values,
          py::arg("node"), py::arg("key"));
    m.def("set_function_name", &set_function_name, py::arg("node"),
          py::arg("new_name"));
    m.def("get_node_default_arguments", &get_node_default_arguments, py::arg("node"));
    m.def("get_node_explicit_arguments", &get_node_explicit_arguments, py::arg("node"));
    m.def("is_model", &is_model, py::arg("node"));
    m.def("get_member_name", &get_member_name, py::arg("node"));
    m.def("is_queryset", &is_queryset, py::arg("node"));
    m.def("is_related_field", &is_related_field, py::arg("node"));
    m.def("is_model_admin", &is_model_admin, py::arg("node"));
    m.def("get_module_name", &get_module_name, py::arg("module"));
    m.def("get_middleware_position", &get_middleware_position, py::arg("middlewares"),
          py::arg("middleware"));
    m.def("read_code_from_file", &read_code_from_file, py::arg("path"));
    m.def("module_path_from_file", &module_path_from_file, py::arg("path"),
          py::arg("file") = py::none());
    m.def("add_node", &add_node, py::arg("tree"), py::arg("node"),
          py::arg("line_number"));
    m.def("build_atok", &build_atok, py::arg("source"),
          py::arg("modname") = py::str(""), py::arg("absolute_path") = py::none(),
          py::arg("parse_non_code") = false);
    m.def("is_model_manager", &is_model_manager, py::arg("node"));
    m.def("is_node_abstract_model", &is_node_abstract_model, py::arg("node"));
    m.def("find_node_by_position", &find_node_by_position, py::arg("tree"),
          py::arg("line"));
    m.def("find_node_parent", &find_node_parent, py::arg("tree"), py::arg("line"));
    m.def("serializer", &serializer, py::arg("obj"));

    py::object visitor = support::make_class(m, "NodeTransformVisitor",
                                             py::make_tuple(L->TransformVisitor));
    support::def_method(visitor, "visit", &node_transform_visitor_visit,
                        py::arg("node"));
}
