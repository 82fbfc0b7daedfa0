// Migration checker: model imports and irreversible RunPython operations in migrations.
#include "support.h"

namespace {

using support::borrow;

using support::name;

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle module; // this module: the rewrite table names its own attributes
    py::handle helpers, Attribute, Call, ClassDef, Keyword, Name, InferenceError,
        AstroidBuildingError;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C8000", "migration-model-import", "Detects importing model in migration"},
    {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"},
};

const support::Rewrite REWRITES[] = {
    {"C8001", "Call", "add_reverse_code", "is_missing_reverse"},
};

// The reverse function the rewrite adds: one name whose text holds the dots.
constexpr const char *NOOP = "migrations.RunPython.noop";

// --- Predicates ----------------------------------------------------------------------

// migrations.RunPython(forwards), migrations.RunPython(code=forwards, atomic=False):
// True when no reverse function is named, False when a reverse_code keyword names one,
// None when the node is no attribute call named RunPython or has a second positional
// argument. Syntax only: the migration test comes after it.
py::object reverse_missing_shape(py::handle node) {
    auto func = support::try_attr(node, name<"func">());
    if (!func || !support::isinstance(*func, L->Attribute)) return py::none();
    if (!support::is_text(func->attr(name<"attrname">()), name<"RunPython">()))
        return py::none();
    py::object args = node.attr(name<"args">());
    if (py::len(args) >= 2) return py::none();
    py::object keywords = node.attr(name<"keywords">());
    if (!support::truthy(keywords)) return py::bool_(true);
    for (py::handle keyword : keywords)
        if (support::is_text(keyword.attr(name<"arg">()), name<"reverse_code">()))
            return py::bool_(false);
    return py::bool_(true);
}

using support::helpers_is_migration_file;

// The RunPython call of a migration module that names no reverse function; None in
// any other module.
py::object is_missing_reverse(py::handle node) {
    py::object shape = reverse_missing_shape(node);
    if (shape.is_none() || !helpers_is_migration_file(node)) return py::none();
    return shape;
}

// --- Checker -------------------------------------------------------------------------

using support::in_migration_module;

void visit_module(py::handle self, py::handle) {
    py::setattr(self, name<"imported_model_names">(), py::list());
    py::setattr(self, name<"migration_module">(), py::none());
}

// from shop.models import Order: every model class of shop.models is collected,
// whatever the statement names.
void visit_importfrom(py::handle self, py::handle node) {
    if (!in_migration_module(self, node)) return;
    py::object module;
    try {
        module = node.attr(name<"do_import_module">())();
    } catch (py::error_already_set &e) {
        // Missing modules and modules astroid cannot build (a syntax error) alike.
        if (e.matches(PyExc_ImportError) || e.matches(L->AstroidBuildingError)) return;
        throw;
    }
    py::object found = self.attr(name<"imported_model_names">());
    for (py::handle child : module.attr(name<"nodes_of_class">())(L->ClassDef))
        if (support::helpers_is_model(child)) found.attr(name<"append">())(child);
}

// The first value inference gives, or a null object when there is none (an undefined
// name, an empty inference).
py::object first_inferred(py::handle node) {
    py::object values;
    try {
        values = node.attr(name<"infer">())();
    } catch (py::error_already_set &e) {
        if (e.matches(L->InferenceError)) return py::object();
        throw;
    }
    py::object it = support::steal(PyObject_GetIter(values.ptr()));
    PyObject *first = PyIter_Next(it.ptr());
    if (first) return py::reinterpret_steal<py::object>(first);
    if (PyErr_Occurred()) {
        py::error_already_set e;
        if (e.matches(L->InferenceError)) return py::object();
        throw e;
    }
    return py::object();
}

// Order.objects.create(...) where Order comes from a from-imported module.
void visit_attribute(py::handle self, py::handle node) {
    if (!support::is_text(node.attr(name<"attrname">()), name<"objects">())) return;
    py::object found = self.attr(name<"imported_model_names">());
    if (!support::truthy(found)) return; // nothing collected: no inference needed
    if (!in_migration_module(self, node)) return;
    py::object model = first_inferred(node.attr(name<"expr">()));
    if (!model) return;
    for (py::handle collected : found) {
        if (!collected.is(model)) continue;
        py::dict args;
        args["name"] = model.attr(name<"name">());
        support::add_message(self, name<"C8000">(), node, args);
        return;
    }
}

// What the finding names as the forwards function: the first positional argument, else
// the last `code=` keyword as written; None when the call names none (RunPython(),
// RunPython(atomic=False), RunPython(**kwargs)).
py::object forwards_name(py::handle node) {
    py::object args = node.attr(name<"args">());
    if (support::truthy(args)) return args[py::int_(0)].attr(name<"as_string">())();
    py::object named = py::none();
    py::object keywords = node.attr(name<"keywords">());
    if (!support::truthy(keywords)) return named;
    for (py::handle keyword : keywords)
        if (support::is_text(keyword.attr(name<"arg">()), name<"code">()))
            named = keyword.attr(name<"as_string">())();
    return named;
}

void visit_call(py::handle self, py::handle node) {
    if (!support::truthy(reverse_missing_shape(node))) return;
    if (!in_migration_module(self, node)) return;
    py::dict args;
    args["forwards_name"] = forwards_name(node);
    support::add_message(self, name<"C8001">(), node, args);
}

// --- Rewrites ------------------------------------------------------------------------

// migrations.RunPython(forwards) -> migrations.RunPython(forwards,
// migrations.RunPython.noop); with keywords, or with no positional argument at all, the
// reverse function goes in as reverse_code=. The new nodes take the row and column of
// the call and hang below it, and carry no source tokens: a renderer that attaches the
// comment following a node's last token would otherwise place the statement's comment
// inside the call.
py::object add_reverse_code(py::handle node) {
    py::object call;
    for (py::handle found : node.attr(name<"nodes_of_class">())(L->Call)) {
        call = borrow(found);
        break;
    }
    if (!call) return borrow(node); // nothing to add a reverse function to
    py::object lineno = node.attr(name<"lineno">());
    py::object col_offset = node.attr(name<"col_offset">());
    py::object name_node = L->Name(NOOP, lineno, col_offset);
    py::object keywords = call.attr(name<"keywords">());
    py::object args = call.attr(name<"args">());
    if (support::truthy(keywords) || !support::truthy(args)) {
        py::object keyword = L->Keyword("reverse_code", lineno, col_offset, call);
        keyword.attr(name<"postinit">())(name_node);
        py::setattr(name_node, name<"parent">(), keyword);
        if (keywords.is_none()) {
            keywords = py::list();
            py::setattr(call, name<"keywords">(), keywords);
        }
        keywords.attr(name<"append">())(keyword);
    } else {
        py::setattr(name_node, name<"parent">(), call);
        args.attr(name<"append">())(name_node);
    }
    return borrow(node);
}

// C8001 is the only code with a rewrite, so the order of the codes does not matter;
// one that comes twice registers the rewrite twice.
py::object build_transformer_visitor(py::handle message_ids) {
    auto m = py::reinterpret_borrow<py::module_>(L->module);
    return support::build_transformer_visitor(m, message_ids, REWRITES);
}

} // namespace

PYBIND11_MODULE(migrations, m) {
    support::init_module(m);
    support::import("astroid.exceptions");
    auto *libs = new Libs{
        m.inc_ref(),
        support::import("vorlane.staticanalysis.helpers"),
        support::import("astroid.nodes", "Attribute"),
        support::import("astroid.nodes", "Call"),
        support::import("astroid.nodes", "ClassDef"),
        support::import("astroid.nodes", "Keyword"),
        support::import("astroid.nodes", "Name"),
        support::import("astroid.exceptions", "InferenceError"),
        support::import("astroid.exceptions", "AstroidBuildingError"),
    };
    L = libs;
    support::module_logger(m);

    py::object Checker = support::make_python_checker(m, "migrations", MESSAGES);
    m.def("is_missing_reverse", &is_missing_reverse, py::arg("node"));
    m.def("add_reverse_code", &add_reverse_code, py::arg("node"));
    support::def_method(Checker, "visit_module", &visit_module, py::arg("node"));
    support::def_method(Checker, "visit_importfrom", &visit_importfrom,
                        py::arg("node"));
    support::def_method(Checker, "visit_attribute", &visit_attribute, py::arg("node"));
    support::def_method(Checker, "visit_call", &visit_call, py::arg("node"));
    m.def("build_transformer_visitor", &build_transformer_visitor,
          py::arg("message_ids"));
}
