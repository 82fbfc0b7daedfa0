// Inference shims that let astroid see through Django managers, QuerySet objects, model
// instances and GenericForeignKey fields, and bind a module's names as Python does,
// plus the settings-parse transforms that fold os.path calls and environment look-ups
// into constants.
#include "support.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using namespace pybind11::literals;

// Imports, made once at load and never released (interpreter exit order).
struct Libs {
    py::handle module; // this module: transforms are registered as its own attributes
    py::handle os_path;
    py::handle safe_infer;
    py::handle MANAGER;
    py::handle inference_tip;
    py::handle AstroidBuilder;
    py::handle ClassDef;
    py::handle List;
    py::handle Call;
    py::handle Attribute;
    py::handle Name;
    py::handle ImportFrom;
    py::handle Const;
    py::handle Uninferable;
    py::handle UseInferenceDefault;
    py::handle AstroidBuildingError;
    py::handle Module;
    py::handle Assign;
    py::handle AnnAssign;
    py::handle Import;
    py::handle FunctionDef;
    py::handle Lambda;
    py::handle QuerySetNode; // made at load, below
};
const Libs *L = nullptr;

// Interned attribute names and texts.
struct Names {
    py::handle attrname = support::intern("attrname");
    py::handle expr = support::intern("expr");
    py::handle func = support::intern("func");
    py::handle args = support::intern("args");
    py::handle keywords = support::intern("keywords");
    py::handle arg = support::intern("arg");
    py::handle value = support::intern("value");
    py::handle name = support::intern("name");
    py::handle bases = support::intern("bases");
    py::handle elts = support::intern("elts");
    py::handle lineno = support::intern("lineno");
    py::handle col_offset = support::intern("col_offset");
    py::handle parent = support::intern("parent");
    py::handle transforms = support::intern("transforms");
    py::handle as_string = support::intern("as_string");
    py::handle pytype = support::intern("pytype");
    py::handle lookup = support::intern("lookup");
    py::handle real_name = support::intern("real_name");
    py::handle from_elements = support::intern("from_elements");
    py::handle instantiate_class = support::intern("instantiate_class");
    py::handle nodes_of_class = support::intern("nodes_of_class");
    py::handle ast_from_module_name = support::intern("ast_from_module_name");
    py::handle register_transform = support::intern("register_transform");
    py::handle unregister_transform = support::intern("unregister_transform");
    py::handle generic_foreign_key_field_names =
        support::intern("generic_foreign_key_field_names");
    // helpers' predicates, looked up at each call so that tests can patch them
    py::handle is_model = support::intern("is_model");
    py::handle is_queryset = support::intern("is_queryset");
    py::handle is_model_manager = support::intern("is_model_manager");
    // our own functions, registered as the module's attributes
    py::handle looks_like_model = support::intern("looks_like_model");
    py::handle looks_like_model_manager = support::intern("looks_like_model_manager");
    py::handle looks_like_model_get = support::intern("looks_like_model_get");
    py::handle looks_like_queryset_lookup =
        support::intern("looks_like_queryset_lookup");
    py::handle looks_like_model_manager_lookup =
        support::intern("looks_like_model_manager_lookup");
    py::handle apply_model_manager_lookup_shim =
        support::intern("apply_model_manager_lookup_shim");
    py::handle apply_queryset_lookup_shim =
        support::intern("apply_queryset_lookup_shim");
    py::handle apply_model_get_shim = support::intern("apply_model_get_shim");
    py::handle apply_model_manager_shim = support::intern("apply_model_manager_shim");
    py::handle apply_is_used_in_generic_fk_shim =
        support::intern("apply_is_used_in_generic_fk_shim");
    py::handle may_be_queryset_method_call =
        support::intern("may_be_queryset_method_call");
    py::handle infer_queryset_method_call =
        support::intern("infer_queryset_method_call");
    py::handle may_be_model_get_call = support::intern("may_be_model_get_call");
    py::handle infer_model_get_call = support::intern("infer_model_get_call");
    py::handle may_be_model_manager_attribute =
        support::intern("may_be_model_manager_attribute");
    py::handle infer_model_manager_attribute =
        support::intern("infer_model_manager_attribute");
    py::handle transform_path_manipulation =
        support::intern("transform_path_manipulation");
    py::handle looks_like_path_manipulation =
        support::intern("looks_like_path_manipulation");
    py::handle transform_environment_variable_lookup =
        support::intern("transform_environment_variable_lookup");
    py::handle looks_like_environment_variable_lookup =
        support::intern("looks_like_environment_variable_lookup");
    // texts compared with node attributes
    py::handle objects = support::intern("objects");
    py::handle all = support::intern("all");
    py::handle filter = support::intern("filter");
    py::handle exclude = support::intern("exclude");
    py::handle first = support::intern("first");
    py::handle last = support::intern("last");
    py::handle get = support::intern("get");
    py::handle fk_field = support::intern("fk_field");
    py::handle GenericForeignKey = support::intern("GenericForeignKey");
    py::handle Manager = support::intern("Manager");
    py::handle Model = support::intern("Model");
    py::handle manager_module = support::intern("django.db.models.manager");
    py::handle queryset_qname = support::intern("django.db.models.query.QuerySet");
    py::handle builtins_str = support::intern("builtins.str");
    py::handle abspath = support::intern("abspath");
    py::handle dirname = support::intern("dirname");
    py::handle basename = support::intern("basename");
    py::handle join = support::intern("join");
};
const Names *N = nullptr;

// Callee texts the path transform folds; only this dotted spelling counts, because the
// transform calls the interpreter's own os.path function of the same attribute name.
const std::array<const char *, 4> PATH_FUNCTIONS = {
    "os.path.abspath", "os.path.dirname", "os.path.basename", "os.path.join"};

// --- Small tools -------------------------------------------------------------------

using support::is_text;

py::object safe_infer(py::handle node) {
    return L->safe_infer(node);
}

using support::helpers_call;

// The tip has nothing to offer: astroid's own inference applies.
[[noreturn]] void decline() {
    support::raise(L->UseInferenceDefault);
}

// Unpacks a (node class, transform, predicate) registration as a with-statement target
// list would, with the interpreter's own messages.
std::array<py::object, 3> unpack_registration(py::handle entry) {
    std::array<py::object, 3> items;
    size_t count = 0;
    for (py::handle item : py::iter(entry)) {
        if (count == 3)
            support::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        items[count++] = py::reinterpret_borrow<py::object>(item);
    }
    if (count < 3)
        support::raise(PyExc_ValueError,
                       "not enough values to unpack (expected 3, got " +
                           std::to_string(count) + ")");
    return items;
}

// --- QuerySetNode ------------------------------------------------------------------

// Bound as both qname and pytype: the node presents itself as Django's QuerySet class,
// so helpers.is_queryset finds that name at the head of its MRO.
py::object queryset_qname(py::handle) {
    return py::reinterpret_borrow<py::object>(N->queryset_qname);
}

// qs[0] and qs[1:3] both stand for one row of the QuerySet.
py::object queryset_getitem(py::handle self, py::handle, py::handle) {
    return py::object(self.attr(N->elts))[py::int_(0)];
}

// A QuerySet over the model that `instance` is one row of.
py::object make_queryset(py::handle instance) {
    py::list elements;
    elements.append(instance);
    return L->QuerySetNode.attr(N->from_elements)(elements);
}

// --- Predicates and inference tips -------------------------------------------------

// class Book(models.Model): ...
py::object looks_like_model(py::handle node) {
    // A class without bases derives from object alone, so only a class named Model can
    // be the model base itself (it has no bases in older Django releases): every other
    // one is answered without inference.
    if (!support::truthy(node.attr(N->bases)) && !is_text(node.attr(N->name), N->Model))
        return py::bool_(false);
    return helpers_call(N->is_model, safe_infer(node));
}

// An instance of the model behind `Book.objects` in Book.objects.filter() or
// Book.objects.first(). Declines when that object is not one model class or instance:
// a module or a plain class holding a manager has no rows to stand for.
py::object instance_behind_receiver(py::handle node) {
    py::object receiver = node.attr(N->func).attr(N->expr);
    if (!support::isinstance(receiver, L->Attribute)) decline();
    py::object model_class = safe_infer(receiver.attr(N->expr));
    if (model_class.is_none() || model_class.is(L->Uninferable)) decline();
    if (!support::truthy(helpers_call(N->is_model, model_class))) decline();
    return model_class.attr(N->instantiate_class)();
}

py::object single(py::handle value) {
    return py::iter(py::make_tuple(value));
}

py::object apply_model_manager_lookup_shim(py::handle node, py::handle, py::kwargs) {
    return single(make_queryset(instance_behind_receiver(node)));
}

py::object apply_queryset_lookup_shim(py::handle node, py::handle, py::kwargs) {
    py::object parent_inferred = safe_infer(node.attr(N->func).attr(N->expr));
    // Filtering a QuerySet keeps it the same QuerySet value.
    if (support::truthy(helpers_call(N->is_queryset, parent_inferred)))
        return single(parent_inferred);
    return single(make_queryset(instance_behind_receiver(node)));
}

py::object apply_model_get_shim(py::handle node, py::handle, py::kwargs) {
    return single(instance_behind_receiver(node));
}

// Whatever a model declares under `objects`, Django's own Manager class stands for it.
py::object apply_model_manager_shim(py::handle, py::handle, py::kwargs) {
    py::object tree;
    try {
        tree = L->MANAGER.attr(N->ast_from_module_name)(N->manager_module);
    } catch (py::error_already_set &e) {
        if (!e.matches(L->AstroidBuildingError)) throw;
        decline();
    }
    py::object bindings = py::object(tree.attr(N->lookup)(N->Manager))[py::int_(1)];
    py::list instances;
    for (py::handle binding : py::iter(bindings)) {
        if (support::isinstance(binding, L->ImportFrom)) continue;
        instances.append(binding.attr(N->instantiate_class)());
    }
    if (instances.empty()) decline();
    return py::iter(instances);
}

// The literal that names an object-id field; anything else names nothing we can use.
void append_literal(py::list &names, py::handle node) {
    if (support::isinstance(node, L->Const)) names.append(node.attr(N->value));
}

// gfk(...) where the module says `from ...fields import GenericForeignKey as gfk`.
bool imports_generic_foreign_key(py::handle call) {
    py::object func = call.attr(N->func);
    if (!support::isinstance(func, L->Name)) return false;
    py::object written = func.attr(N->name);
    py::object bindings = py::object(func.attr(N->lookup)(written))[py::int_(1)];
    for (py::handle binding : py::iter(bindings)) {
        if (!support::isinstance(binding, L->ImportFrom)) continue;
        py::object real = binding.attr(N->real_name)(written);
        if (is_text(real, N->GenericForeignKey)) return true;
    }
    return false;
}

// Only a call of a class can make a GenericForeignKey: its callee is spelled like a
// class (GenericForeignKey, GFK) or imports the class under a name of its own. Every
// other call of the class body (self.save(), reverse(...)) is answered without
// inference, which here runs while the tree is built.
bool may_make_generic_foreign_key(py::handle call) {
    return support::callee_looks_like_class(call) || imports_generic_foreign_key(call);
}

// content_object = GenericForeignKey('content_type', 'object_id')
// content_object = GenericForeignKey(fk_field='object_id')
py::object apply_is_used_in_generic_fk_shim(py::handle node) {
    py::list names;
    if (support::truthy(helpers_call(N->is_model, node))) {
        for (py::handle call : py::iter(node.attr(N->nodes_of_class)(L->Call))) {
            if (!may_make_generic_foreign_key(call)) continue;
            py::object inferred = safe_infer(call);
            if (!support::truthy(inferred)) continue;
            auto name = support::try_attr(inferred, N->name);
            if (!name || !is_text(*name, N->GenericForeignKey)) continue;
            py::object keywords = call.attr(N->keywords);
            bool named = false;
            if (!keywords.is_none()) {
                for (py::handle keyword : py::iter(keywords)) {
                    if (!is_text(keyword.attr(N->arg), N->fk_field)) continue;
                    named = true;
                    append_literal(names, keyword.attr(N->value));
                }
            }
            if (named) continue;
            // Positional: the object-id field follows the content-type field.
            py::object args = call.attr(N->args);
            if (!args.is_none() && py::len(args) >= 2)
                append_literal(names, args[py::int_(1)]);
        }
    }
    node.attr(N->generic_foreign_key_field_names) = names;
    return py::reinterpret_borrow<py::object>(node);
}

// Book.objects, self.objects on a model instance
py::object looks_like_model_manager(py::handle node) {
    if (!is_text(node.attr(N->attrname), N->objects)) return py::none();
    py::object owner = node.attr(N->expr);
    if (support::from_standard_library(owner)) return py::bool_(false);
    return helpers_call(N->is_model, safe_infer(owner));
}

// The callee `receiver.<method>` when it is an attribute access naming one of the
// methods; a null object otherwise.
py::object method_callee(py::handle node, py::handle a, py::handle b, py::handle c) {
    py::object func = node.attr(N->func);
    if (!support::isinstance(func, L->Attribute)) return py::object();
    py::object attrname = func.attr(N->attrname);
    if (!is_text(attrname, a) && !is_text(attrname, b) && !is_text(attrname, c))
        return py::object();
    return func;
}

// Book.objects.get(pk=1), Book.objects.first(), Book.published.last()
py::object looks_like_model_get(py::handle node) {
    py::object func = method_callee(node, N->first, N->last, N->get);
    if (!func) return py::none();
    py::object receiver = func.attr(N->expr);
    if (!support::isinstance(receiver, L->Attribute)) return py::none();
    // os.environ.get(...): a library value is no manager and no QuerySet.
    if (support::from_standard_library(receiver)) return py::bool_(false);
    py::object value = safe_infer(receiver);
    py::object manager = helpers_call(N->is_model_manager, value);
    if (support::truthy(manager)) return manager;
    return helpers_call(N->is_queryset, value);
}

// Book.objects.filter(x=1).exclude(y=2), qs.all()
py::object looks_like_queryset_lookup(py::handle node) {
    py::object func = method_callee(node, N->all, N->filter, N->exclude);
    if (!func) return py::none();
    py::object receiver = func.attr(N->expr);
    if (support::from_standard_library(receiver)) return py::bool_(false);
    return helpers_call(N->is_queryset, safe_infer(receiver));
}

// Book.objects.all(), Book.published.filter(x=1)
py::object looks_like_model_manager_lookup(py::handle node) {
    py::object func = method_callee(node, N->all, N->filter, N->exclude);
    if (!func) return py::none();
    py::object receiver = func.attr(N->expr);
    if (!support::isinstance(receiver, L->Attribute)) return py::none();
    if (support::from_standard_library(receiver)) return py::bool_(false);
    return helpers_call(N->is_model_manager, safe_infer(receiver));
}

// --- Deferred inference tips ------------------------------------------------------

// The predicates above infer the receiver, and astroid runs a registered predicate on
// every node while it builds the tree: each `x.y.get()` of a project would be inferred
// whether or not anything ever asks for its value. So the predicates registered are
// their syntactic halves only, and the tips run the whole predicate when the node is
// first inferred: a receiver that is no manager and no QuerySet then declines, and
// astroid's own inference answers, as for a node that never had the tip.

// The shim's answer when the module's predicate holds for the node, astroid's own
// inference otherwise; both read through the module, where tests can patch them.
py::object tip_when(py::handle predicate, py::handle shim, py::handle node,
                    py::handle context) {
    py::handle m = L->module;
    if (!support::truthy(m.attr(predicate)(node))) decline();
    return m.attr(shim)(node, context);
}

// qs.filter(x=1), Book.objects.all(): what the two lookup shims look at.
py::object may_be_queryset_method_call(py::handle node) {
    py::object func = method_callee(node, N->all, N->filter, N->exclude);
    return py::bool_(func && !support::from_standard_library(func.attr(N->expr)));
}

// Of the two lookup shims, the QuerySet one was registered last and so won when both
// held.
py::object infer_queryset_method_call(py::handle node, py::handle context, py::kwargs) {
    if (support::truthy(L->module.attr(N->looks_like_queryset_lookup)(node)))
        return L->module.attr(N->apply_queryset_lookup_shim)(node, context);
    return tip_when(N->looks_like_model_manager_lookup,
                    N->apply_model_manager_lookup_shim, node, context);
}

// Book.objects.get(pk=1), x.published.first()
py::object may_be_model_get_call(py::handle node) {
    py::object func = method_callee(node, N->first, N->last, N->get);
    if (!func) return py::bool_(false);
    py::object receiver = func.attr(N->expr);
    return py::bool_(support::isinstance(receiver, L->Attribute) &&
                     !support::from_standard_library(receiver));
}

py::object infer_model_get_call(py::handle node, py::handle context, py::kwargs) {
    return tip_when(N->looks_like_model_get, N->apply_model_get_shim, node, context);
}

// Book.objects, self.objects
py::object may_be_model_manager_attribute(py::handle node) {
    return py::bool_(is_text(node.attr(N->attrname), N->objects) &&
                     !support::from_standard_library(node.attr(N->expr)));
}

py::object infer_model_manager_attribute(py::handle node, py::handle context,
                                         py::kwargs) {
    return tip_when(N->looks_like_model_manager, N->apply_model_manager_shim, node,
                    context);
}

// --- list() of a QuerySet ---------------------------------------------------------

// list(qs), list(Book.objects.filter(title="a")). astroid answers list() of a List with
// that very List, and the QuerySet stand-in is one: the list would pass for the
// QuerySet it was made from. It holds the same rows but is a list, whose len() and
// truth cost no query. tuple(), set() and sorted() make values of their own already.
py::object looks_like_list_call(py::handle node) {
    py::object func = node.attr(N->func);
    return py::bool_(support::is_a(func, L->Name) &&
                     is_text(func.attr(N->name), support::name<"list">()) &&
                     py::len(node.attr(N->args)) == 1 &&
                     !support::truthy(node.attr(N->keywords)));
}

// A plain list of the QuerySet's rows, standing where the call is: list(qs)[0] is still
// a row of the model.
py::object rows_of(py::handle queryset, py::handle call) {
    py::object rows =
        L->List("lineno"_a = call.attr(N->lineno),
                "col_offset"_a = call.attr(N->col_offset), "parent"_a = call);
    rows.attr(support::name<"postinit">())(py::list(queryset.attr(N->elts)));
    return rows;
}

// Wraps the inference that astroid's own transforms gave the call (its list() tip), so
// that every other value comes back as astroid answers it. Without a tip (a manager
// without astroid's brain), astroid makes an instance of list, no QuerySet.
py::object apply_list_of_queryset_shim(py::handle node) {
    py::handle tip_name = support::name<"_explicit_inference">();
    py::object earlier = node.attr(tip_name);
    if (earlier.is_none()) return py::reinterpret_borrow<py::object>(node);
    py::cpp_function wrapped(
        [earlier](py::handle call, py::object context, py::kwargs kwargs) {
            py::list values;
            for (py::handle value : earlier(call, context, **kwargs)) {
                if (support::is_a(value, L->QuerySetNode))
                    values.append(rows_of(value, call));
                else
                    values.append(value);
            }
            return py::iter(values);
        },
        py::arg("node"), py::arg("context") = py::none());
    py::setattr(node, tip_name, wrapped);
    return py::reinterpret_borrow<py::object>(node);
}

// --- Names bound after a star import -------------------------------------------------

// from app.modelmix import *
// class Mixin: ...
// astroid binds every public name of app.modelmix in this module and keeps that binding
// beside the module's own, so a module that imports Mixin from here infers both classes
// (a form built on this Mixin passes for a model). Python ends the module with the
// later binding alone. So a star import's binding of a name that a later statement of
// the module body always rebinds is dropped; it stays where the module reads the name
// between the two, or in the rebinding statement itself, since that read gets the star
// import's value (`class Mixin(Mixin): ...`, `INSTALLED_APPS += [...]`).

bool is_star_import(py::handle node) {
    if (!support::is_a(node, L->ImportFrom)) return false;
    for (py::handle pair : node.attr(support::name<"names">()))
        if (is_text(py::object(pair[py::int_(0)]), support::name<"*">())) return true;
    return false;
}

// A star import among the statements that run with the module: its body and the blocks
// of its if, try, with and loop statements (a class or function body cannot hold one).
bool runs_star_import(py::handle statement) {
    if (is_star_import(statement)) return true;
    if (support::is_a(statement, L->ClassDef) || support::is_a(statement, L->Lambda) ||
        !PyObject_HasAttr(statement.ptr(), support::name<"body">().ptr()))
        return false;
    for (py::handle child : statement.attr(support::name<"get_children">())()) {
        if (support::truthy(child.attr(support::name<"is_statement">())) &&
            runs_star_import(child))
            return true;
    }
    return false;
}

py::object looks_like_star_import_module(py::handle node) {
    for (py::handle statement : node.attr(support::name<"body">()))
        if (runs_star_import(statement)) return py::bool_(true);
    return py::bool_(false);
}

// The statement that holds a binding: the assignment of a target, the definition or
// import itself.
py::object statement_of(py::handle node) {
    py::object current = py::reinterpret_borrow<py::object>(node);
    while (!current.is_none() &&
           !support::truthy(current.attr(support::name<"is_statement">())))
        current = current.attr(N->parent);
    return current;
}

// The statement of the module body that binds `binding` every time the module runs:
// an assignment, an annotated assignment with a value, a class or function definition
// or an import. A null object for anything else: a binding inside an if, try, with or
// loop block may not run, and a loop, with-block or augmented assignment binds
// conditionally or reads the old value first.
py::object always_binding_statement(py::handle binding, py::handle module) {
    if (is_star_import(binding)) return py::object();
    py::object statement = statement_of(binding);
    if (statement.is_none() || statement.attr(N->parent).ptr() != module.ptr())
        return py::object();
    if (support::is_a(statement, L->AnnAssign))
        return statement.attr(N->value).is_none() ? py::object() : statement;
    if (support::is_a(statement, L->Assign) || support::is_a(statement, L->ClassDef) ||
        support::is_a(statement, L->FunctionDef) ||
        support::is_a(statement, L->Import) || support::is_a(statement, L->ImportFrom))
        return statement;
    return py::object();
}

// A row of a node (lineno, fromlineno, tolineno); 0 for a node built without one.
long line_of(py::handle node, py::handle attribute) {
    py::object line = node.attr(attribute);
    return line.is_none() ? 0 : line.cast<long>();
}

// A star import's binding of `name` in `entries` (the module's locals), and the rows
// from the star import to the end of the first statement that rebinds the name after
// it.
struct Shadowed {
    py::object name, entries, star;
    long first, last;
};

struct Read {
    py::object name;
    long line;
};

// The rows where the module reads one of `names` while it runs. Function and lambda
// bodies run later and are passed over; decorators, defaults and annotations run with
// the definition.
void collect_reads(py::handle node, py::handle names, std::vector<Read> &reads) {
    support::RecursionGuard guard(" while reading a module's names");
    if (support::is_a(node, L->Name)) {
        py::object read = node.attr(N->name);
        if (support::contains(names, read))
            reads.push_back({read, line_of(node, N->lineno)});
        return;
    }
    if (support::is_a(node, L->Lambda)) {
        std::vector<py::object> run = {node.attr(N->args)};
        if (support::is_a(node, L->FunctionDef)) {
            run.push_back(node.attr(support::name<"decorators">()));
            run.push_back(node.attr(support::name<"returns">()));
        }
        for (const py::object &part : run)
            if (!part.is_none()) collect_reads(part, names, reads);
        return;
    }
    for (py::handle child : node.attr(support::name<"get_children">())())
        collect_reads(child, names, reads);
}

py::object apply_later_bindings_shim(py::handle node) {
    py::object module = py::reinterpret_borrow<py::object>(node);
    std::vector<Shadowed> shadowed;
    py::dict locals = node.attr(support::name<"locals">());
    for (auto item : locals) {
        py::handle entries = item.second;
        if (py::len(entries) < 2) continue;
        for (py::handle star : entries) {
            if (!is_star_import(star)) continue;
            long first = line_of(star, N->lineno);
            // The first statement after the star import that always rebinds the name.
            py::object rebinding;
            for (py::handle entry : entries) {
                py::object statement = always_binding_statement(entry, module);
                if (!statement || line_of(statement, N->lineno) <= first) continue;
                if (!rebinding ||
                    line_of(statement, N->lineno) < line_of(rebinding, N->lineno))
                    rebinding = statement;
            }
            if (!rebinding) continue;
            shadowed.push_back({py::reinterpret_borrow<py::object>(item.first),
                                py::reinterpret_borrow<py::object>(entries),
                                py::reinterpret_borrow<py::object>(star), first,
                                line_of(rebinding, support::name<"tolineno">())});
        }
    }
    if (shadowed.empty()) return module;
    py::set names;
    long first = shadowed.front().first, last = shadowed.front().last;
    for (const Shadowed &s : shadowed) {
        names.add(s.name);
        first = std::min(first, s.first);
        last = std::max(last, s.last);
    }
    // Only the statements that overlap the rows between a star import and its rebinding
    // can read a name the star import bound.
    std::vector<Read> reads;
    for (py::handle statement : node.attr(support::name<"body">())) {
        if (line_of(statement, support::name<"tolineno">()) < first ||
            line_of(statement, support::name<"fromlineno">()) > last)
            continue;
        collect_reads(statement, names, reads);
    }
    for (const Shadowed &s : shadowed) {
        bool read = false;
        for (const Read &r : reads)
            read =
                read || (r.line >= s.first && r.line <= s.last && r.name.equal(s.name));
        if (!read) s.entries.attr(support::name<"remove">())(s.star);
    }
    return module;
}

// --- Settings-parse transforms -----------------------------------------------------

// STATIC_ROOT = os.path.join(BASE_DIR, 'static') becomes the joined path.
py::object transform_path_manipulation(py::handle node) {
    py::object self = py::reinterpret_borrow<py::object>(node);
    std::vector<py::object> inferred;
    for (py::handle arg : py::iter(node.attr(N->args))) {
        py::object value = safe_infer(arg);
        if (value.is_none() || value.is(L->Uninferable)) return self;
        inferred.push_back(std::move(value));
    }
    py::object function = L->os_path.attr(node.attr(N->func).attr(N->attrname));
    py::list values;
    for (const py::object &value : inferred) {
        auto constant = support::try_attr(value, N->value);
        if (!constant)
            return self; // an instance or a container: nothing to compute with
        values.append(*constant);
    }
    py::object result;
    try {
        result = function(*values);
    } catch (py::error_already_set &e) {
        // None, a number, or text mixed with bytes: os.path refuses, the call stays.
        if (!e.matches(PyExc_Exception)) throw;
        return self;
    }
    return L->Const(result, "lineno"_a = node.attr(N->lineno),
                    "col_offset"_a = node.attr(N->col_offset),
                    "parent"_a = node.attr(N->parent));
}

// os.path.dirname(os.path.abspath(__file__))
py::object looks_like_path_manipulation(py::handle node) {
    // Rendering costs more than reading the attribute name, and every other callee
    // renders to some other text anyway.
    py::object func = node.attr(N->func);
    if (!support::isinstance(func, L->Attribute)) return py::bool_(false);
    py::object attrname = func.attr(N->attrname);
    if (!is_text(attrname, N->abspath) && !is_text(attrname, N->dirname) &&
        !is_text(attrname, N->basename) && !is_text(attrname, N->join))
        return py::bool_(false);
    auto text = support::as_string(func.attr(N->as_string)());
    if (!text) return py::bool_(false);
    for (const char *name : PATH_FUNCTIONS)
        if (*text == name) return py::bool_(true);
    return py::bool_(false);
}

// The two registrations, kept so that leaving the block removes the very objects that
// entering it added.
void settings_transforms_init(py::handle self) {
    py::handle m = L->module;
    auto registration = [&](py::handle transform, py::handle predicate) {
        py::list entry;
        entry.append(L->Call);
        entry.append(m.attr(transform));
        entry.append(m.attr(predicate));
        return entry;
    };
    py::list transforms;
    transforms.append(
        registration(N->transform_path_manipulation, N->looks_like_path_manipulation));
    transforms.append(registration(N->transform_environment_variable_lookup,
                                   N->looks_like_environment_variable_lookup));
    self.attr(N->transforms) = transforms;
}

py::object settings_transforms_enter(py::handle self) {
    for (py::handle entry : py::iter(self.attr(N->transforms))) {
        auto items = unpack_registration(entry);
        L->MANAGER.attr(N->register_transform)(items[0], items[1], items[2]);
    }
    return L->AstroidBuilder();
}

// Runs also when the block raises; the exception then goes on to the caller.
py::object settings_transforms_exit(py::handle self, py::args, py::kwargs) {
    for (py::handle entry : py::iter(self.attr(N->transforms))) {
        auto items = unpack_registration(entry);
        L->MANAGER.attr(N->unregister_transform)(items[0], items[1], items[2]);
    }
    return py::none();
}

// os.environ.get('STATIC_URL', '/static/'), os.getenv('DEBUG', 'False')
py::object looks_like_environment_variable_lookup(py::handle node) {
    py::object args = node.attr(N->args);
    if (py::len(args) != 2) return py::none();
    py::object name = args[py::int_(0)], fallback = args[py::int_(1)];
    // Every test that answers None is free of side effects, so the cheap node-kind test
    // may run before rendering the call.
    if (!support::isinstance(name, L->Const) ||
        !support::isinstance(fallback, L->Const))
        return py::none();
    auto text = support::as_string(node.attr(N->as_string)());
    if (!text || text->find("env") == std::string::npos) return py::none();
    // os.environ.setdefault is a write: manage.py's settings module must stay readable.
    if (text->find("setdefault") != std::string::npos) return py::none();
    if (!is_text(name.attr(N->pytype)(), N->builtins_str)) return py::bool_(false);
    return py::bool_(is_text(fallback.attr(N->pytype)(), N->builtins_str));
}

// The default stands for the variable: settings are read as the project ships them.
py::object transform_environment_variable_lookup(py::handle node) {
    return py::object(node.attr(N->args))[py::int_(1)];
}

// --- Registration ------------------------------------------------------------------

void register_transforms(py::handle manager) {
    py::handle m = L->module;
    auto tip = [&](py::handle name) { return L->inference_tip(m.attr(name)); };
    manager.attr(N->register_transform)(L->ClassDef,
                                        m.attr(N->apply_is_used_in_generic_fk_shim),
                                        m.attr(N->looks_like_model));
    manager.attr(N->register_transform)(L->Call, tip(N->infer_queryset_method_call),
                                        m.attr(N->may_be_queryset_method_call));
    manager.attr(N->register_transform)(L->Call, tip(N->infer_model_get_call),
                                        m.attr(N->may_be_model_get_call));
    manager.attr(N->register_transform)(L->Attribute,
                                        tip(N->infer_model_manager_attribute),
                                        m.attr(N->may_be_model_manager_attribute));
    // After astroid's own transforms, whose list() tip it wraps.
    manager.attr(N->register_transform)(
        L->Call, m.attr(support::name<"apply_list_of_queryset_shim">()),
        m.attr(support::name<"looks_like_list_call">()));
    manager.attr(N->register_transform)(
        L->Module, m.attr(support::name<"apply_later_bindings_shim">()),
        m.attr(support::name<"looks_like_star_import_module">()));
}

} // namespace

PYBIND11_MODULE(shims, m) {
    support::init_module(m);
    support::import("os");
    // helpers' predicates are called through the module, looked up at each call.
    support::import("vorlane.staticanalysis.helpers");
    auto *libs = new Libs{
        m.inc_ref(),
        support::import("os.path"),
        support::import("pylint.checkers.utils", "safe_infer"),
        support::import("astroid", "MANAGER"),
        support::import("astroid", "inference_tip"),
        support::import("astroid.builder", "AstroidBuilder"),
        // The classes of astroid.scoped_nodes and astroid.node_classes, reached
        // without importing those modules, which warn on import.
        support::import("astroid.nodes", "ClassDef"),
        support::import("astroid.nodes", "List"),
        support::import("astroid", "Call"),
        support::import("astroid.nodes", "Attribute"),
        support::import("astroid.nodes", "Name"),
        support::import("astroid.nodes", "ImportFrom"),
        support::import("astroid", "Const"),
        support::import("astroid.util", "Uninferable"),
        support::import("astroid.exceptions", "UseInferenceDefault"),
        support::import("astroid.exceptions", "AstroidBuildingError"),
        support::import("astroid.nodes", "Module"),
        support::import("astroid.nodes", "Assign"),
        support::import("astroid.nodes", "AnnAssign"),
        support::import("astroid.nodes", "Import"),
        support::import("astroid.nodes", "FunctionDef"),
        support::import("astroid.nodes", "Lambda"),
        py::handle(),
    };
    L = libs;
    N = new Names();

    py::object QuerySetNode = support::make_class(
        m, "QuerySetNode", py::make_tuple(L->ClassDef, L->List), py::dict(),
        "The inferred value of a QuerySet over one model: a list holding one instance "
        "of the model.");
    py::object qname = support::def_method(QuerySetNode, "qname", &queryset_qname);
    py::setattr(QuerySetNode, "pytype", qname);
    support::def_method(QuerySetNode, "getitem", &queryset_getitem, py::arg("index"),
                        py::arg("context") = py::none());
    libs->QuerySetNode = QuerySetNode.release();

    m.def("looks_like_model", &looks_like_model, py::arg("node"));
    m.def("apply_model_manager_lookup_shim", &apply_model_manager_lookup_shim,
          py::arg("node"), py::arg("_context") = py::none());
    m.def("apply_queryset_lookup_shim", &apply_queryset_lookup_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_model_get_shim", &apply_model_get_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_model_manager_shim", &apply_model_manager_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_is_used_in_generic_fk_shim", &apply_is_used_in_generic_fk_shim,
          py::arg("node"));
    m.def("looks_like_model_manager", &looks_like_model_manager, py::arg("node"));
    m.def("looks_like_model_get", &looks_like_model_get, py::arg("node"));
    m.def("looks_like_queryset_lookup", &looks_like_queryset_lookup, py::arg("node"));
    m.def("looks_like_model_manager_lookup", &looks_like_model_manager_lookup,
          py::arg("node"));
    m.def("may_be_queryset_method_call", &may_be_queryset_method_call, py::arg("node"));
    m.def("infer_queryset_method_call", &infer_queryset_method_call, py::arg("node"),
          py::arg("context") = py::none());
    m.def("may_be_model_get_call", &may_be_model_get_call, py::arg("node"));
    m.def("infer_model_get_call", &infer_model_get_call, py::arg("node"),
          py::arg("context") = py::none());
    m.def("may_be_model_manager_attribute", &may_be_model_manager_attribute,
          py::arg("node"));
    m.def("infer_model_manager_attribute", &infer_model_manager_attribute,
          py::arg("node"), py::arg("context") = py::none());
    m.def("looks_like_list_call", &looks_like_list_call, py::arg("node"));
    m.def("apply_list_of_queryset_shim", &apply_list_of_queryset_shim, py::arg("node"));
    m.def("looks_like_star_import_module", &looks_like_star_import_module,
          py::arg("node"));
    m.def("apply_later_bindings_shim", &apply_later_bindings_shim, py::arg("node"));
    m.def("transform_path_manipulation", &transform_path_manipulation, py::arg("node"));
    m.def("looks_like_path_manipulation", &looks_like_path_manipulation,
          py::arg("node"));

    py::object Builder =
        support::make_class(m, "BuilderWithSettingsTransforms", py::tuple(), py::dict(),
                            "Registers the settings-parse transforms on astroid's "
                            "manager for one with-block "
                            "and hands out a tree builder.");
    support::def_method(Builder, "__init__", &settings_transforms_init);
    support::def_method(Builder, "__enter__", &settings_transforms_enter);
    support::def_method(Builder, "__exit__", &settings_transforms_exit);

    m.def("looks_like_environment_variable_lookup",
          &looks_like_environment_variable_lookup, py::arg("node"));
    m.def("transform_environment_variable_lookup",
          &transform_environment_variable_lookup, py::arg("node"));
    m.def("register_transforms", &register_transforms, py::arg("manager"));

    register_transforms(L->MANAGER);
}
