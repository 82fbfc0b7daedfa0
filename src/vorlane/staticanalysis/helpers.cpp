// Shared helpers over astroid nodes and Django classes: predicates, static evaluation,
// call editing, token-positioned trees, and the small text and visitor types.
#include "support.h"
#include "tokens.h"

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

// The parser ends a line at "\r\n", "\n" or a lone "\r"; astroid re-tokenises rows it
// splits at "\n" only, and asttokens reads lines at "\n" only, so in text with a lone
// "\r" their rows miss the parser's (tokenize's error inside a string, an IndexError).
// Such text is read as Python reads a file: its line ends become "\n", as universal
// newlines make them, which keeps every row and column where the parser counts them.
// Text without a lone "\r" (the common case, "\r\n" files included) is used as given.
py::object universal_newlines(py::object source) {
    PyObject *text = source.ptr();
    if (!PyUnicode_Check(text)) return source; // bytes and the like: the parser judges
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t at = 0;; ++at) {
        at = PyUnicode_FindChar(text, '\r', at, size, 1);
        if (at == -2) throw py::error_already_set();
        if (at == -1) return source; // every "\r" ends a "\r\n", or there is none
        if (at + 1 == size || PyUnicode_READ_CHAR(text, at + 1) != '\n') break;
    }
    py::object joined = source.attr(N->replace)("\r\n", "\n");
    return joined.attr(N->replace)("\r", "\n");
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
    source = universal_newlines(std::move(source));
    py::object tree = builder.attr(N->string_build)(source, "modname"_a = modname,
                                                    "path"_a = absolute_path);
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
    l->ASTTokens = tokens::ast_tokens_class();
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
