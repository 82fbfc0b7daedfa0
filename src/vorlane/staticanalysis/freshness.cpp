// Which of astroid's cached module trees and module lookups a call of an entry point
// may still use, and what each call lets go when it ends.
//
// astroid keeps every module tree it builds for the life of the process, keyed by name,
// and its lookups of module files, failed ones included. A caller that lints one
// commit after another in one process, or one checkout after another, would be
// answered about files as they were at an earlier call, or about another checkout's
// files of the same module name; so each call of an entry point first forgets the trees
// and lookups it would not build itself, and at its end lets go of what it made for
// itself alone. Unchanged modules stay cached: Django's and the libraries' trees are
// parsed once per process.
#include "freshness.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace freshness {

namespace {

using support::name;
using support::steal;

constexpr int DEBUG = 10; // logging.DEBUG

// --- Libraries, imported once --------------------------------------------------------

// The libraries and the caches of astroid and pylint that hold nodes, and the lookup
// answers that a new file may change. Imported at the first call: meta itself needs no
// pylint.
struct Libs {
    py::handle os_stat, abspath, realpath, time_ns, logger, MANAGER;
    py::handle invalidate_inference, clear_inference_tips, clear_pylint_caches,
        message_definitions, is_namespace, cache_manager, lookup,
        metaclass_lookup_attribute, object_model_attributes;
    py::handle AssignAttr, ClassDef, FunctionDef, UninferableBase, AstroidBuildingError,
        PY_NAMESPACE, C_BUILTIN, PY_FROZEN;
    py::handle NodeNG, Proxy, ObjectModel, InferenceContext;
    // The interpreter's own prefixes (its standard library, its site-packages), as
    // file system bytes, each as named and with its links resolved.
    std::vector<std::string> library;
};

const Libs &libs() {
    static const Libs *made = [] {
        using support::import;
        auto *c = new Libs();
        c->os_stat = import("os", "stat");
        c->abspath = import("os.path", "abspath");
        c->realpath = import("os.path", "realpath");
        c->time_ns = import("time", "time_ns");
        c->logger = py::object(py::module_::import("logging").attr("getLogger")(
                                   "vorlane.staticanalysis.meta"))
                        .release();
        c->MANAGER = import("astroid", "MANAGER");
        c->invalidate_inference = import("astroid.context", "_invalidate_cache");
        c->clear_inference_tips =
            import("astroid.inference_tip", "clear_inference_tip_cache");
        c->clear_pylint_caches = import("pylint.checkers.utils", "clear_lru_caches");
        // module.cls.attr, kept for the life of the process
        auto member = [](const char *module, const char *cls, const char *attr) {
            return py::object(import(module, cls).attr(attr)).release();
        };
        c->message_definitions =
            member("pylint.message.message_definition_store", "MessageDefinitionStore",
                   "get_message_definitions");
        c->is_namespace = import("astroid.interpreter._import.util", "is_namespace");
        c->cache_manager = import("astroid._cache", "CACHE_MANAGER");
        c->lookup = member("astroid.nodes.node_classes", "LookupMixIn", "lookup");
        c->ClassDef = import("astroid.nodes", "ClassDef");
        c->metaclass_lookup_attribute =
            member("astroid.nodes", "ClassDef", "_metaclass_lookup_attribute");
        c->object_model_attributes =
            member("astroid.interpreter.objectmodel", "ObjectModel", "attributes");
        c->AssignAttr = import("astroid.nodes", "AssignAttr");
        c->FunctionDef = import("astroid.nodes", "FunctionDef");
        c->UninferableBase = import("astroid.util", "UninferableBase");
        c->AstroidBuildingError = import("astroid.exceptions", "AstroidBuildingError");
        py::object types =
            py::module_::import("astroid.interpreter._import.spec").attr("ModuleType");
        c->PY_NAMESPACE = py::object(types.attr("PY_NAMESPACE")).release();
        c->C_BUILTIN = py::object(types.attr("C_BUILTIN")).release();
        c->PY_FROZEN = py::object(types.attr("PY_FROZEN")).release();
        c->NodeNG = import("astroid.nodes", "NodeNG");
        c->Proxy = import("astroid.bases", "Proxy");
        c->ObjectModel = import("astroid.interpreter.objectmodel", "ObjectModel");
        c->InferenceContext = import("astroid.context", "InferenceContext");
        py::handle sys = import("sys");
        for (const char *prefix : {"prefix", "base_prefix"}) {
            py::object path = sys.attr(prefix);
            c->library.push_back(support::fs_bytes(c->abspath(path)));
            c->library.push_back(support::fs_bytes(c->realpath(path)));
        }
        return c;
    }();
    return *made;
}

bool same(py::handle a, py::handle b) {
    return a.ptr() == b.ptr();
}

py::dict astroid_cache() {
    return libs().MANAGER.attr(name<"astroid_cache">());
}

// --- Stamps --------------------------------------------------------------------------

// A file is taken as unchanged while its modification time, size and inode are those
// read when its tree was last seen (an editor's rewrite of the same size moves the
// time; a replace by rename changes the inode). A module met for the first time is
// stamped as it is then; a file whose modification time is not earlier than the start
// of the call that built its tree may have changed while it was read, and gets a stamp
// that matches nothing, so the next call parses it again.
struct Stamps {
    py::dict by_path; // one stat per path and call: path -> stamp (None: no such file)

    py::object of(py::handle path) {
        PyObject *known = PyDict_GetItemWithError(by_path.ptr(), path.ptr());
        if (known) return support::borrow(known);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object stamp = py::none();
        try {
            py::object status = libs().os_stat(path);
            stamp = py::make_tuple(status.attr(name<"st_mtime_ns">()),
                                   status.attr(name<"st_size">()),
                                   status.attr(name<"st_ino">()));
        } catch (py::error_already_set &e) {
            // Gone, unreadable, or a name no file system holds (a zip member).
            if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        }
        by_path[path] = stamp;
        return stamp;
    }
};

// The file a cached module was built from, or None (built-in, namespace, text alone).
py::object module_file(py::handle module) {
    py::object file = support::attr_or_none(module, support::name<"file">());
    return PyUnicode_Check(file.ptr()) ? file : py::none();
}

py::handle no_stamp() {
    static const py::handle marker = py::object(py::str("unstamped")).release();
    return marker;
}

py::object recorded_stamp(py::handle module) {
    auto stamp = support::try_attr(module, support::name<"source_stamp">());
    return stamp ? *stamp : support::borrow(no_stamp());
}

// --- Roots ---------------------------------------------------------------------------
// astroid keeps trees by module name, and almost every Django project has an
// app.models, a users.models or a config.settings: the tree built from one checkout's
// file would answer a call on another. So each call names its root (the project's
// folder, the folder a snippet's module is imported from), and a cached tree or lookup
// of a file that lies under the root of an earlier call, and outside this call's, is
// forgotten. Files outside every root (Django, the standard library, site-packages)
// stay parsed, and so do those under the interpreter's own prefix wherever a root lies:
// a virtual environment inside a repository is where every call's module search finds
// the libraries.

// A folder as named (made absolute) and with its links resolved, as file system bytes:
// a module's file may be named either way (along a search path entry as written, or as
// a linted file resolved).
struct Folder {
    std::string named, real;

    static Folder of(py::handle path) {
        return {support::fs_bytes(libs().abspath(path)),
                support::fs_bytes(libs().realpath(path))};
    }
    bool holds(const std::string &path) const {
        return support::within(path, named) || support::within(path, real);
    }
    bool operator==(const Folder &other) const {
        return named == other.named && real == other.real;
    }
};

// The roots of earlier calls under which astroid may still hold a tree or a lookup.
// Plain bytes, kept for the process; each call's end drops the roots that hold nothing
// any more, so a service that reviews one checkout after another keeps a root or two.
std::vector<Folder> &earlier_roots() {
    static auto *roots = new std::vector<Folder>();
    return *roots;
}

bool in_library(const std::string &path) {
    for (const std::string &prefix : libs().library)
        if (support::within(path, prefix)) return true;
    return false;
}

// What one call may use of astroid's caches, and the files' stamps as this call reads
// them (one stat per path).
class CallView {
public:
    // A null root (a caller of meta.forget_stale_modules that names none) puts no tree
    // of another root aside: only changed files are forgotten.
    explicit CallView(py::handle project_root) {
        if (project_root.is_none()) return;
        root_ = Folder::of(project_root);
        for (const Folder &earlier : earlier_roots())
            if (!(earlier == *root_)) others_.push_back(earlier);
    }

    // The file is one this call's module search may find where the cache says: inside
    // this call's root, inside the interpreter's prefix, or inside no other root.
    bool may_use(py::handle file) const {
        if (others_.empty()) return true;
        std::string path = support::fs_bytes(file);
        if (path.empty() || path[0] != '/')
            path = support::fs_bytes(libs().abspath(file));
        if (root_->holds(path) || in_library(path)) return true;
        for (const Folder &other : others_)
            if (other.holds(path)) return false;
        return true;
    }

    // From now on, this call's root is an earlier call's root for the calls after it,
    // and the last of them.
    void remember_root() const {
        if (!root_) return;
        std::vector<Folder> &roots = earlier_roots();
        roots.erase(std::remove(roots.begin(), roots.end(), *root_), roots.end());
        roots.push_back(*root_);
    }

    Stamps stamps;

private:
    std::optional<Folder> root_;
    std::vector<Folder> others_; // the earlier roots but this call's own
};

// --- Is this tree still the right one ------------------------------------------------

// astroid's cached tree of `module` is the one this call would build: its file is one
// this call's module search may find there, unchanged since the tree was built. A
// module met for the first time is stamped as its file is now. A module without a file
// (built in, built from text alone) is always right.
bool is_right_tree(py::handle module, CallView &view) {
    py::object file = module_file(module);
    if (file.is_none()) return true;
    if (!view.may_use(file)) return false;
    py::object now = view.stamps.of(file);
    py::object recorded = recorded_stamp(module);
    if (same(recorded, no_stamp())) {
        py::setattr(module, name<"source_stamp">(), now);
        return true;
    }
    return recorded.equal(now);
}

// astroid's cached lookup of a module (key: the name and the file asking) answers this
// call as a new lookup would: not a failed one, not a namespace package (a new
// __init__.py makes it a package), and not a file that is gone, or that another root
// holds, or asked about from another root's file.
bool is_right_lookup(py::handle key, py::handle answer, CallView &view) {
    const Libs &c = libs();
    if (support::isinstance(answer, c.AstroidBuildingError)) return false;
    py::object type = support::attr_or_none(answer, name<"type">());
    if (same(type, c.PY_NAMESPACE)) return false;
    if (same(type, c.C_BUILTIN) || same(type, c.PY_FROZEN)) return true;
    py::object location = support::attr_or_none(answer, name<"location">());
    if (!PyUnicode_Check(location.ptr()) || !view.may_use(location)) return false;
    if (PyTuple_Check(key.ptr()) && PyTuple_GET_SIZE(key.ptr()) == 2) {
        py::handle asking = PyTuple_GET_ITEM(key.ptr(), 1);
        if (PyUnicode_Check(asking.ptr()) && !view.may_use(asking)) return false;
    }
    return !view.stamps.of(location).is_none();
}

// --- Inference caches ----------------------------------------------------------------

// The special attributes of each kind of node (`__module__`, `__dict__`...) are
// answered by one object model per class, which keeps the last node it answered for,
// and the class model an inference context that runs on. Both are let go.
void release_object_models() {
    const Libs &c = libs();
    std::vector<py::object> pending{support::borrow(c.NodeNG),
                                    support::borrow(c.Proxy)};
    std::unordered_set<PyObject *> seen;
    while (!pending.empty()) {
        py::object cls = std::move(pending.back());
        pending.pop_back();
        if (!seen.insert(cls.ptr()).second) continue;
        for (py::handle subclass : cls.attr(name<"__subclasses__">())())
            pending.push_back(support::borrow(subclass));
        PyObject *own = PyDict_GetItemWithError(
            reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict,
            name<"special_attributes">().ptr());
        if (!own) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        py::object model = support::borrow(own);
        // A lazy one that was never asked holds nothing yet.
        if (auto resolved = support::try_attr(model, name<"__resolved__">())) {
            if (!support::truthy(*resolved)) continue;
            model = model.attr(name<"__wrapped__">());
        }
        if (!support::isinstance(model, c.ObjectModel)) continue;
        py::setattr(model, name<"_instance">(), py::none());
        if (support::try_attr(model, name<"context">()))
            py::setattr(model, name<"context">(), c.InferenceContext());
    }
}

// Every inference cache of astroid and pylint, which hold nodes of the trees they were
// asked about. The method caches of astroid's nodes are registered in one list that
// only grows: emptied, the dictionaries of nodes no longer alive (held by that list
// alone) leave it too.
void clear_inference_caches() {
    const Libs &c = libs();
    c.invalidate_inference();
    c.clear_inference_tips();
    for (py::handle cached : {c.lookup, c.metaclass_lookup_attribute,
                              c.object_model_attributes, c.message_definitions})
        cached.attr(name<"cache_clear">())();
    c.clear_pylint_caches();
    release_object_models();
    c.cache_manager.attr(name<"clear_all_caches">())();
    py::object dicts = c.cache_manager.attr(name<"dict_caches">());
    if (!PyList_Check(dicts.ptr())) return;
    py::list alive;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dicts.ptr()); ++i) {
        PyObject *cache = PyList_GET_ITEM(dicts.ptr(), i);
        if (Py_REFCNT(cache) > 1) alive.append(cache);
    }
    if (PyList_SetSlice(dicts.ptr(), 0, PY_SSIZE_T_MAX, alive.ptr()) < 0)
        throw py::error_already_set();
}

// --- Letting go of trees -------------------------------------------------------------

// node.root(), read along the parents without a call per step.
py::object root_of(py::handle node) {
    py::object at = support::borrow(node);
    for (;;) {
        py::object parent = support::attr_or_none(at, name<"parent">());
        if (parent.is_none()) return at;
        at = std::move(parent);
    }
}

// The lists of node bindings that a scope holds: its locals, and the instance
// attributes of a class or function.
std::vector<py::object> binding_lists(py::handle scope) {
    std::vector<py::object> lists;
    for (py::handle table : {name<"locals">(), name<"instance_attrs">()}) {
        py::object bindings = support::attr_or_none(scope, table);
        if (!PyDict_Check(bindings.ptr())) continue;
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(bindings.ptr(), &at, &key, &value))
            if (PyList_Check(value)) lists.push_back(support::borrow(value));
    }
    return lists;
}

// Drops node from the binding `attribute` of owner's locals and instance attributes.
void unbind(py::handle owner, py::handle attribute, py::handle node) {
    for (py::handle table : {name<"locals">(), name<"instance_attrs">()}) {
        py::object bindings = support::attr_or_none(owner, table);
        if (!PyDict_Check(bindings.ptr())) continue;
        PyObject *values = PyDict_GetItemWithError(bindings.ptr(), attribute.ptr());
        if (!values) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        if (!PyList_Check(values)) continue;
        for (Py_ssize_t i = PyList_GET_SIZE(values); i-- > 0;)
            if (PyList_GET_ITEM(values, i) == node.ptr() &&
                PySequence_DelItem(values, i) < 0)
                throw py::error_already_set();
        if (PyList_GET_SIZE(values) == 0 &&
            PyDict_DelItem(bindings.ptr(), attribute.ptr()) < 0)
            throw py::error_already_set();
    }
}

// When astroid builds a tree, each `obj.attr = value` of it is bound on whatever obj
// infers to, a class or module of another tree included (`book.status = "sold"` binds
// on Book's instance attributes). A tree let go keeps those bindings, and through them
// itself, alive in the trees that stay, which would also go on answering with them.
// They are found again as they were made, by inferring the target, while the trees
// that were there when it was built are still cached.
void unbind_foreign_attribute(py::handle tree, py::handle node) {
    const Libs &c = libs();
    py::object attribute = node.attr(name<"attrname">());
    py::list values;
    try {
        values = py::list(node.attr(name<"expr">()).attr(name<"infer">())());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return; // bound on nothing else either
    }
    for (py::handle value : values) {
        if (support::isinstance(value, c.UninferableBase)) continue;
        // An instance binds on its class, a class or module on itself; a class also
        // has a _proxied (its metaclass), where nothing is bound.
        for (py::handle owner :
             {support::borrow(value), support::attr_or_none(value, name<"_proxied">())})
            if (!owner.is_none() && !same(root_of(owner), tree))
                unbind(owner, attribute, node);
    }
}

// The tree is the one astroid's cache holds under its module name.
bool is_cached_tree(py::handle cache, py::handle tree) {
    py::object module_name = support::attr_or_none(tree, name<"name">());
    PyObject *cached = PyDict_GetItemWithError(cache.ptr(), module_name.ptr());
    if (!cached && PyErr_Occurred()) throw py::error_already_set();
    return cached == tree.ptr();
}

// Adds the cached trees that bound attributes on the scope, one of tree's: built
// against it, they would not answer as they would against its successor.
void add_dependents(py::handle tree, py::handle scope, py::handle cache,
                    std::vector<py::object> &out) {
    const Libs &c = libs();
    for (const py::object &bindings : binding_lists(scope))
        for (py::handle binding : bindings) {
            if (!support::is_a(binding, c.AssignAttr)) continue;
            py::object root = root_of(binding);
            if (!same(root, tree) && is_cached_tree(cache, root)) out.push_back(root);
        }
}

// visit(node) for the tree's root and every node below it, parents first. The walk
// keeps its own stack: a deep expression (a sum of a thousand terms) would pass the
// interpreter's recursion limit.
template <class Visit> void walk_tree(py::handle tree, Visit visit) {
    std::vector<py::object> stack{support::borrow(tree)};
    while (!stack.empty()) {
        py::object node = std::move(stack.back());
        stack.pop_back();
        visit(node);
        py::object children = steal(
            PySequence_List(support::call_method(node, name<"get_children">()).ptr()));
        for (Py_ssize_t i = PyList_GET_SIZE(children.ptr()); i-- > 0;)
            stack.push_back(support::borrow(PyList_GET_ITEM(children.ptr(), i)));
    }
}

// Lets go of the given trees and of the cached trees built against them, in one walk
// of each: their attribute bindings on other trees are undone, and those cached are
// forgotten.
void forget_trees(std::vector<py::object> trees) {
    const Libs &c = libs();
    py::dict cache = astroid_cache();
    std::unordered_set<PyObject *> seen;
    std::vector<py::object> forgotten;
    for (size_t i = 0; i < trees.size(); ++i) {
        py::object tree = trees[i];
        if (!seen.insert(tree.ptr()).second) continue;
        walk_tree(tree, [&](py::handle node) {
            if (support::is_a(node, c.AssignAttr))
                unbind_foreign_attribute(tree, node);
            else if (node.ptr() == tree.ptr() || support::is_a(node, c.ClassDef) ||
                     support::is_a(node, c.FunctionDef))
                add_dependents(tree, node, cache, trees);
        });
        forgotten.push_back(tree);
    }
    for (const py::object &tree : forgotten)
        if (is_cached_tree(cache, tree) &&
            PyDict_DelItem(cache.ptr(), tree.attr(name<"name">()).ptr()) < 0)
            throw py::error_already_set();
}

// Drops each module lookup of astroid's, (key, answer), that `forget` picks.
template <class Forget> void forget_lookups(Forget forget) {
    py::dict lookups = libs().MANAGER.attr(name<"_mod_file_cache">());
    for (py::handle entry : py::list(steal(PyDict_Items(lookups.ptr())))) {
        py::handle key = PyTuple_GET_ITEM(entry.ptr(), 0);
        if (forget(key, PyTuple_GET_ITEM(entry.ptr(), 1)) &&
            PyDict_DelItem(lookups.ptr(), key.ptr()) < 0)
            throw py::error_already_set();
    }
}

// --- Roots that hold nothing any more ----------------------------------------------

// Whether any of astroid's cached trees or lookups names a file the folder holds.
bool holds_cached(const Folder &folder) {
    auto held = [&folder](py::handle file) {
        return PyUnicode_Check(file.ptr()) && folder.holds(support::fs_bytes(file));
    };
    py::dict cache = astroid_cache();
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(cache.ptr(), &at, &key, &value))
        if (held(module_file(value))) return true;
    py::dict lookups = libs().MANAGER.attr(name<"_mod_file_cache">());
    at = 0;
    while (PyDict_Next(lookups.ptr(), &at, &key, &value)) {
        if (held(support::attr_or_none(value, name<"location">()))) return true;
        if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 2 &&
            held(PyTuple_GET_ITEM(key, 1)))
            return true;
    }
    return false;
}

// The roots of earlier calls that hold nothing cached any more are no longer anyone's:
// every later call may use what lies there. The last call's root stays, for the calls
// after it.
void drop_empty_roots() {
    std::vector<Folder> &roots = earlier_roots();
    if (roots.size() < 2) return;
    std::vector<Folder> kept;
    for (size_t i = 0; i + 1 < roots.size(); ++i)
        if (holds_cached(roots[i])) kept.push_back(std::move(roots[i]));
    kept.push_back(std::move(roots.back()));
    roots = std::move(kept);
}

} // namespace

py::object forget_stale_modules(py::handle project_root) {
    const Libs &c = libs();
    py::object started = c.time_ns();
    CallView view(project_root);
    py::dict cache = astroid_cache();
    std::vector<py::object> stale;
    py::list entries = steal(PyDict_Items(cache.ptr()));
    for (py::handle entry : entries) {
        py::handle module = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (!is_right_tree(module, view)) stale.push_back(support::borrow(module));
    }
    if (!stale.empty()) {
        if (support::truthy(c.logger.attr(name<"isEnabledFor">())(DEBUG))) {
            py::list names;
            for (const py::object &module : stale)
                names.append(module.attr(name<"name">()));
            c.logger.attr(name<"debug">())(
                "Forgetting modules changed or of another root: %s", names);
        }
        forget_trees(stale);
        // What finding their attribute bindings inferred holds their nodes.
        clear_inference_caches();
    }
    forget_lookups([&view](py::handle key, py::handle answer) {
        return !is_right_lookup(key, answer, view);
    });
    c.is_namespace.attr(name<"cache_clear">())();
    view.remember_root();
    return started;
}

void release_call_leftovers(py::handle text_trees, py::handle started) {
    std::vector<py::object> trees;
    for (py::handle tree : text_trees)
        trees.push_back(support::borrow(tree));
    forget_trees(std::move(trees));
    py::dict cache = astroid_cache();
    Stamps stamps;
    py::list entries = steal(PyDict_Items(cache.ptr()));
    for (py::handle entry : entries) {
        py::handle module = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (!same(recorded_stamp(module), no_stamp())) continue;
        py::object file = module_file(module);
        if (file.is_none()) continue;
        py::object stamp = stamps.of(file);
        // Written since the call began: what was read may be older than this stamp.
        if (!stamp.is_none()) {
            int racy = PyObject_RichCompareBool(PyTuple_GET_ITEM(stamp.ptr(), 0),
                                                started.ptr(), Py_GE);
            if (racy < 0) throw py::error_already_set();
            if (racy) stamp = py::make_tuple();
        }
        py::setattr(module, name<"source_stamp">(), stamp);
    }
    // A failed lookup is kept as the error it raises, and each raise leaves on it the
    // traceback of the frames it went through, with the nodes they held; the next call
    // would forget it anyway.
    py::handle failed = libs().AstroidBuildingError;
    forget_lookups([failed](py::handle, py::handle answer) {
        return support::isinstance(answer, failed);
    });
    clear_inference_caches();
    drop_empty_roots();
}

} // namespace freshness
