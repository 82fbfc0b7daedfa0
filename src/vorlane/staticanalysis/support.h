// Shared support for the package's extension modules: imports, interned names, Python
// classes made at load, errors, and lazy iterators. Every module links it statically.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>

namespace py = pybind11;

namespace support {

// --- Loading -----------------------------------------------------------------------

// Registers the support types a module needs (the lazy iterator); first call of every
// PYBIND11_MODULE body.
void init_module(py::module_ &m);

// An interned str, kept for the life of the process (never released: exit order).
py::handle intern(const char *name);

// The interned str of a name written in the source, made at its first use and kept for
// the life of the process: `obj.attr(support::name<"attrname">())`. Each name is
// interned once however many call sites spell it, and a rule's names stand where the
// rule uses them.
template <size_t N> struct FixedString {
    char value[N];
    constexpr FixedString(const char (&text)[N]) {
        for (size_t i = 0; i < N; ++i)
            value[i] = text[i];
    }
};
template <FixedString S> py::handle name() {
    static const py::handle interned = intern(S.value);
    return interned;
}

// `import module` / `from module import attr`, kept for the life of the process.
py::handle import(const char *module);
py::handle import(const char *module, const char *attr);

// --- Classes -----------------------------------------------------------------------

// type(name, bases, ns) with __module__, __qualname__ and __doc__ set, stored on m.
py::object make_class(py::module_ &m, const char *name, py::tuple bases,
                      py::dict ns = py::dict(), const char *doc = nullptr);

// Binds f as a method of cls. `__init__` and `__setstate__` are bound under another
// name first: pybind11 would treat them as its own constructors.
template <typename F, typename... Extra>
py::object def_method(py::handle cls, const char *name, F &&f, const Extra &...extra) {
    std::string bound = name;
    bool aliased = bound == "__init__" || bound == "__setstate__";
    if (aliased) bound = "_vorlane" + bound;
    py::cpp_function fn(std::forward<F>(f), py::name(bound.c_str()), py::is_method(cls),
                        extra...);
    py::setattr(cls, name, fn);
    return std::move(fn);
}

// Binds f as a staticmethod or classmethod of cls.
template <typename F, typename... Extra>
void def_static(py::handle cls, const char *name, F &&f, const Extra &...extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(cls), extra...);
    py::setattr(cls, name,
                py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr())));
}

// A read-only property computed by getter(self).
template <typename F> void def_property(py::handle cls, const char *name, F &&getter) {
    py::cpp_function fget(std::forward<F>(getter), py::is_method(cls));
    py::handle property = reinterpret_cast<PyObject *>(&PyProperty_Type);
    py::setattr(cls, name, property(fget));
}

// --- Errors ------------------------------------------------------------------------

// A new exception class `module.name` derived from base, stored on m.
py::handle make_exception(py::module_ &m, const char *name, py::handle base);

// Raises cls bare (no arguments) or with a message.
[[noreturn]] void raise(py::handle cls);
[[noreturn]] void raise(py::handle cls, const std::string &message);

// True when the Python error is an instance of cls (subclasses included).
inline bool matches(py::error_already_set &e, py::handle cls) {
    return e.matches(cls);
}

// Runs f; on a Python Exception (never KeyboardInterrupt or SystemExit) answers
// fallback.
template <typename F, typename R>
auto on_exception(F &&f, R fallback) -> decltype(f()) {
    try {
        return f();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return fallback;
    }
}

// logger.error(text), with the exception's traceback when traceback is true.
void log_exception(py::handle logger, py::handle text, py::error_already_set &e,
                   bool traceback);

// For its scope, warnings of the category whose text starts with message are ignored;
// the caller's filters come back when it ends, an unwinding error included. For
// warnings about library calls of our own, which a user can do nothing about.
class QuietWarning {
public:
    QuietWarning(const char *message, PyObject *category);
    ~QuietWarning();
    QuietWarning(const QuietWarning &) = delete;
    QuietWarning &operator=(const QuietWarning &) = delete;

private:
    py::object catcher_;
};

// --- Project files a run goes on without -------------------------------------------

// logger.warning("<path>: <consequence>: <Type>: <text>") for one project file that
// could not be read or parsed, so the user sees which file was left out and why. An
// astroid building error is shown by the error it wraps: the parser's message and row.
void warn_skipped(py::handle logger, py::handle path, const char *consequence,
                  py::error_already_set &e);

// --- Objects -----------------------------------------------------------------------

// isinstance / truth on the C API; a Python error propagates.
bool isinstance(py::handle obj, py::handle cls);
bool truthy(py::handle obj);

// getattr(obj, name) or nullopt when the attribute is missing; other errors propagate.
std::optional<py::object> try_attr(py::handle obj, py::handle name);

// getattr(obj, name, None).
py::object attr_or_none(py::handle obj, py::handle name);

// A str as std::string, or nullopt for anything that is not a str. Never throws C++.
std::optional<std::string> as_string(py::handle obj);

// Owns a new reference from the C API; a null result raises the pending Python error.
py::object steal(PyObject *result);

// obj.name() through the C API, without building an argument tuple.
py::object call_method(py::handle obj, py::handle name);

// logging.getLogger(m.__name__), stored on m as `logger`.
py::object module_logger(py::module_ &m);

// --- Paths -------------------------------------------------------------------------

// A path str as bytes in the file system's encoding, so that names that do not decode
// (surrogate escapes) compare and round-trip exactly.
std::string fs_bytes(py::handle text);

// path is the directory dir or lies inside it, by whole path components: the prefix
// /proj/env holds /proj/env/lib, not /proj/envoy. Both are file system bytes.
bool within(const std::string &path, const std::string &dir);

// --- Checker tables ----------------------------------------------------------------

// One rule of a checker: its code, symbol and description.
struct Message {
    const char *code, *symbol, *description;
};

// One integer option of a checker, as pylint declares options.
struct IntOption {
    const char *name;
    int default_value;
    const char *help;
};

// The namespace of a `Codes` class: one attribute per code, holding the code.
py::dict codes_namespace(const Message *messages, size_t count);

// A `msgs` table in message order: code -> (helpers.context_string(), symbol,
// description). Every text is an empty context string, so `text % args` is the args
// mapping itself; each entry gets a text object of its own.
py::dict msgs_table(const Message *messages, size_t count);

// An `options` tuple: (name, {"default", "type": "int", "metavar": "<int>", "help"}).
py::tuple int_options(const IntOption *options, size_t count);

// The two classes of a checker module over Python sources: `Codes`, and `Checker`
// derived from pylint's BaseChecker with `__implements__` IAstroidChecker, `name`,
// `msgs` and, when there are options, `options`. Both are stored on m; answers Checker.
py::object make_python_checker(py::module_ &m, const char *name,
                               const Message *messages, size_t message_count,
                               const IntOption *options = nullptr,
                               size_t option_count = 0);

template <size_t N>
py::object make_python_checker(py::module_ &m, const char *name,
                               const Message (&messages)[N]) {
    return make_python_checker(m, name, messages, N);
}
template <size_t N, size_t K>
py::object make_python_checker(py::module_ &m, const char *name,
                               const Message (&messages)[N],
                               const IntOption (&options)[K]) {
    return make_python_checker(m, name, messages, N, options, K);
}

template <size_t N> py::dict codes_namespace(const Message (&messages)[N]) {
    return codes_namespace(messages, N);
}
template <size_t N> py::dict msgs_table(const Message (&messages)[N]) {
    return msgs_table(messages, N);
}
template <size_t N> py::tuple int_options(const IntOption (&options)[N]) {
    return int_options(options, N);
}

// self.add_message(code, node=node, args=args): how every Python checker reports.
void add_message(py::handle self, py::handle code, py::handle node, py::handle args);

// One rewrite of a checker module: for `code`, register (astroid.nodes.<node_class>,
// module.<transform>, module.<predicate>) on the visitor. Transform and predicate are
// read from the module at each call, so the visitor holds the very objects the module
// exposes (and a test that patches them is seen).
struct Rewrite {
    const char *code, *node_class, *transform, *predicate;
    // When set, the predicate registered is wrap(module.<predicate>), a function made
    // for this visitor (a predicate asked about a child of the node, say).
    py::object (*wrap)(py::handle predicate) = nullptr;
};

// A new helpers.NodeTransformVisitor with the rewrites of `message_ids` registered:
// the codes in sorted order (one input, one output, whatever the set's order), each
// compared with every row of the table in table order. Unknown codes are ignored.
py::object build_transformer_visitor(py::module_ &m, py::handle message_ids,
                                     const Rewrite *rewrites, size_t count);
template <size_t N>
py::object build_transformer_visitor(py::module_ &m, py::handle message_ids,
                                     const Rewrite (&rewrites)[N]) {
    return build_transformer_visitor(m, message_ids, rewrites, N);
}

// --- Small object tools ------------------------------------------------------------

// A new reference to h.
inline py::object borrow(py::handle h) {
    return py::reinterpret_borrow<py::object>(h);
}

// isinstance() for astroid node classes without a Python call: they define no
// __instancecheck__ and register no virtual subclasses, so the C type decides.
inline bool is_a(py::handle obj, py::handle cls) {
    return PyType_IsSubtype(Py_TYPE(obj.ptr()),
                            reinterpret_cast<PyTypeObject *>(cls.ptr())) != 0;
}

// `item in container`; a Python error propagates.
inline bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// obj is a str equal to the ASCII text.
inline bool str_equals(py::handle obj, const char *text) {
    return PyUnicode_Check(obj.ptr()) &&
           PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

// --- Node tests (checker modules) ----------------------------------------------------

// Exact text equality of a node attribute with an interned name. The parser interns
// identifiers too, so the pointer test mostly decides; anything but a str is unequal.
inline bool is_text(py::handle value, py::handle name) {
    if (value.ptr() == name.ptr()) return true;
    if (!PyUnicode_Check(value.ptr())) return false;
    return PyUnicode_Compare(value.ptr(), name.ptr()) == 0;
}

// --- Calls into helpers ------------------------------------------------------------

// vorlane.staticanalysis.helpers.<function>(arg), the function looked up on the module
// at each call so that tests can patch it.
py::object helpers_call(py::handle function, py::handle arg);

// The predicates and look-ups of helpers that several rule modules ask.
inline bool helpers_is_model(py::handle node) {
    return truthy(helpers_call(name<"is_model">(), node));
}
inline bool helpers_is_model_field(py::handle node) {
    return truthy(helpers_call(name<"is_model_field">(), node));
}
inline py::object helpers_get_member_name(py::handle node) {
    return helpers_call(name<"get_member_name">(), node);
}
inline bool helpers_is_migration_file(py::handle node) {
    return truthy(helpers_call(name<"is_migration_file">(), node));
}
// Whether the module holding node is a migration, asked of helpers once per module: the
// answer is kept on the checker (its migration_module) with the module it belongs to,
// and the checker's visit_module drops it.
bool in_migration_module(py::handle checker, py::handle node);
// The answer itself: the predicates that ask it hand it on.
inline py::object helpers_is_queryset(py::handle value) {
    return helpers_call(name<"is_queryset">(), value);
}

// --- One call of an entry point ----------------------------------------------------

// meta.forget_stale_modules(project_root), and meta.release_call_leftovers(text_trees,
// started).
py::object begin_fresh_call(py::handle project_root);
void end_fresh_call(py::handle text_trees, py::handle started);

// body(text_trees) as one call of an entry point over the files of project_root (a
// lint, a snippet's lint, fix suggestions): before it, astroid forgets the trees of
// files that changed since, and those of another root's files, so the call answers
// about its own root's files as they are now; however it ends, the trees the body
// parsed from text (it appends them to text_trees) and the caches holding the call's
// nodes are let go, so nothing made for the call outlives it.
template <class Body> py::object fresh_call(py::handle project_root, Body body) {
    py::object started = begin_fresh_call(project_root);
    py::list text_trees;
    py::object result;
    try {
        result = body(text_trees);
    } catch (...) {
        // The body's own error is the one to report.
        try {
            end_fresh_call(text_trees, started);
        } catch (py::error_already_set &) {
        }
        throw;
    }
    end_fresh_call(text_trees, started);
    return result;
}

// --- Syntax tests ------------------------------------------------------------------

// The callee of `call`, as written, ends in a name spelled like a class: CapWords,
// leading underscores ignored (`models.CharField(...)`, `_Float4Field()`, `GFK(...)`).
// Calls of functions and methods (`self.save()`, `reverse(...)`) and of computed
// callees (`fields[name]()`) answer false without any inference, which is the point:
// the rules that construct Django classes ask this before inferring a call.
bool callee_looks_like_class(py::handle call);

// `expr` reads a name imported from the standard library, or a builtin, through
// attribute accesses only: `os.environ`, `Decimal`, `threading.Thread`, `ValueError`.
// Its value is then the library's, never a Django class or instance, so the rules and
// shims that look for Django objects skip inferring it (which would first build the
// library module). A module is the library's only where astroid itself would load it
// from: a project package of the same name earlier on the search path is not.
bool from_standard_library(py::handle expr);
// The dotted module name is the standard library's: its top package has a standard
// name, and the file astroid would load it from lies in the library's directories (a
// project package named like a library module is the project's).
bool loads_from_standard_library(py::handle module);

// --- Iteration ---------------------------------------------------------------------

// A Python iterator driven by next_item, which answers a null object at the end. It
// does nothing before its first next(); close() drops the state.
py::object lazy_iterator(std::function<py::object()> next_item);

// A Python iterator over what start() returns, start() being called at the first
// next().
py::object lazy_iter(std::function<py::object()> start);

// Enter/leave the interpreter's recursion check around recursive walks.
struct RecursionGuard {
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

} // namespace support
