// URL checker: duplicate URL names and reverse_lazy where reverse would do, with the
// rewrite of a misused reverse_lazy call into reverse and its import fixer.
#include "support.h"

#include <vector>

namespace {

using support::borrow;
using support::is_a;
using support::str_equals;

using support::name;

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle module, helpers, resolvers;
    // astroid node classes; instance tests go by the C type, see is_a
    py::handle Name, ImportFrom, Lambda, FunctionDef;
    py::handle C6001, C6002; // from Codes, once
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C6001", "non-unique-url-name", "Non unique URL name"},
    {"C6002", "reverse-lazy-misuse", "Using reverse_lazy when reverse would be better"},
};

const support::Rewrite REWRITES[] = {
    {"C6002", "Call", "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy"},
};

// --- Small helpers -------------------------------------------------------------------

// The callee of a call when it is a plain name (`path(...)`, not `urls.path(...)`),
// else nullopt.
std::optional<py::object> plain_callee(py::handle call) {
    py::object func = call.attr(name<"func">());
    if (!is_a(func, L->Name)) return std::nullopt;
    return func.attr(name<"name">());
}

// A lambda's body is one expression; a def's body is its list of statements.
bool body_holds(py::handle function, py::handle child) {
    py::object body = function.attr(name<"body">());
    if (!is_a(function, L->FunctionDef)) return body.is(child);
    for (py::handle statement : body)
        if (statement.is(child)) return true;
    return false;
}

// The functions and lambdas whose bodies hold node, innermost first. A def's
// decorators, defaults and annotations run in the scope around the def; class bodies,
// comprehensions and compound statements run when their enclosing scope runs.
std::vector<py::object> enclosing_bodies(py::handle node, bool innermost_only) {
    std::vector<py::object> found;
    py::object child = borrow(node);
    py::object parent = child.attr(name<"parent">());
    while (!parent.is_none()) {
        if (is_a(parent, L->Lambda) && body_holds(parent, child)) {
            found.push_back(parent);
            if (innermost_only) break;
        }
        child = parent;
        parent = child.attr(name<"parent">());
    }
    return found;
}

// `from django.urls import ...`: relative imports never count.
bool imports_from(py::handle import, const char *module) {
    return str_equals(import.attr(name<"modname">()), module) &&
           !support::truthy(import.attr(name<"level">()));
}

// The imported names of a from-import, as its (name, alias) pairs say them.
bool imports_name(py::handle import, const char *wanted) {
    for (py::handle pair : import.attr(name<"names">()))
        if (str_equals(pair[py::int_(0)], wanted)) return true;
    return false;
}

// The name a pair binds in the importing scope: its alias, else the name itself.
bool binds(py::handle pair, const char *bound) {
    py::object alias = pair[py::int_(1)];
    return str_equals(alias.is_none() ? py::object(pair[py::int_(0)]) : alias, bound);
}

// --- Predicates ----------------------------------------------------------------------

// urlpatterns = [...] and a first `from django.urls import path` (or
// `from django.conf.urls import url`). The first such from-import decides alone.
bool is_urls_module(py::handle module_node) {
    if (!support::contains(module_node, name<"urlpatterns">())) return false;
    py::object imports = module_node.attr(name<"nodes_of_class">())(L->ImportFrom);
    for (py::handle import : imports) {
        if (imports_from(import, "django.urls")) return imports_name(import, "path");
        if (imports_from(import, "django.conf.urls"))
            return imports_name(import, "url");
    }
    return false;
}

// def view(request): return redirect(reverse_lazy("home")): a misuse, since the call
// runs when a function runs, where reverse would do. At module level, in class bodies
// and in a def's defaults it runs at import time and is fit. None for other calls.
py::object is_misusing_reverse_lazy(py::handle call_node) {
    std::optional<py::object> callee = plain_callee(call_node);
    if (!callee || !str_equals(*callee, "reverse_lazy")) return py::none();
    return py::bool_(!enclosing_bodies(call_node, true).empty());
}

// --- Checker -------------------------------------------------------------------------

// Whether the module is a URL module is asked once, here, for all its calls.
void visit_module(py::handle self, py::handle node) {
    py::setattr(self, name<"urls">(), py::set());
    py::setattr(self, name<"_urls_module">(), py::bool_(is_urls_module(node)));
}

// A name the rule can key and report: a text or a number. None, astroid nodes (names
// that cannot be evaluated), lists and bytes are not checked, so every record's args
// stay plain JSON values.
bool is_constant_url_name(py::handle value) {
    return PyUnicode_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
           PyFloat_Check(value.ptr());
}

// path("<int:pk>/", ...): the positional route, else the last route= or regex=.
py::object route_of(py::handle call, py::handle to_value) {
    py::object args = call.attr(name<"args">());
    if (support::truthy(args)) return to_value(args[py::int_(0)]);
    py::object route = py::none();
    for (py::handle keyword : call.attr(name<"keywords">())) {
        py::object arg = keyword.attr(name<"arg">());
        if (str_equals(arg, "route") || str_equals(arg, "regex"))
            route = to_value(keyword.attr(name<"value">()));
    }
    return route;
}

// "detail:['IntConverter']": the name, and the classes of the route's converters in
// the order of its parameters.
py::str url_key(py::handle url_name, py::handle converters) {
    py::list classes;
    for (py::handle converter : converters.attr(name<"values">())())
        classes.append(py::type::handle_of(converter).attr(name<"__name__">()));
    return py::str(url_name) + py::str(":") + py::str(classes);
}

// path("a/", v, name="home") ... path("b/", w, name="home"): the second is reported.
void check_url_unique(py::handle self, py::handle node) {
    std::optional<py::object> callee = plain_callee(node);
    if (!callee || !(str_equals(*callee, "path") || str_equals(*callee, "re_path") ||
                     str_equals(*callee, "url")))
        return;
    py::object keywords = node.attr(name<"keywords">());
    if (!support::truthy(keywords)) return;
    py::object to_value = L->helpers.attr(name<"astroid_node_to_value">());
    for (py::handle keyword : keywords) {
        if (!str_equals(keyword.attr(name<"arg">()), "name")) continue;
        py::object url_name = to_value(keyword.attr(name<"value">()));
        if (!is_constant_url_name(url_name)) continue;
        py::object route = route_of(node, to_value);
        if (!PyUnicode_Check(route.ptr())) continue;
        py::object converters;
        try {
            py::object parsed = L->resolvers.attr(name<"_route_to_regex">())(route);
            converters = parsed[py::int_(1)];
        } catch (py::error_already_set &e) {
            // A converter Django does not know, or a malformed parameter.
            if (e.matches(L->resolvers.attr(name<"ImproperlyConfigured">()))) return;
            throw;
        }
        py::str key = url_key(url_name, converters);
        py::object seen = self.attr(name<"urls">());
        if (support::contains(seen, key)) {
            py::dict args;
            args["name"] = url_name;
            support::add_message(self, L->C6001, node, args);
        } else {
            seen.attr(name<"add">())(key);
        }
    }
}

// reverse_lazy('home', kwargs={'pk': 1}) -> "('home', kwargs={'pk': 1})": the callee
// goes, the arguments stay as written (a "reverse_lazy" inside them too).
py::str call_signature(py::handle call) {
    py::str text = support::call_method(call, name<"as_string">());
    Py_ssize_t callee = PyUnicode_GetLength(name<"reverse_lazy">().ptr());
    return text[py::slice(callee, PyUnicode_GetLength(text.ptr()), 1)];
}

void visit_call(py::handle self, py::handle node) {
    if (support::truthy(self.attr(name<"_urls_module">())))
        check_url_unique(self, node);
    if (support::truthy(is_misusing_reverse_lazy(node))) {
        py::dict args;
        args["signature"] = call_signature(node);
        support::add_message(self, L->C6002, node, args);
    }
}

// --- Rewrite -------------------------------------------------------------------------

// The module's from-imports of django.urls, in source order (nested ones included).
std::vector<py::object> django_urls_imports(py::handle module_node) {
    std::vector<py::object> found;
    py::object imports = module_node.attr(name<"nodes_of_class">())(L->ImportFrom);
    for (py::handle import : imports)
        if (imports_from(import, "django.urls")) found.push_back(borrow(import));
    return found;
}

// Those of the imports whose bindings the call sees: the module-level ones and those
// in the functions whose bodies hold the call. Without a call (None), the module-level
// ones alone, which reach every call.
std::vector<py::object> reaching(const std::vector<py::object> &imports,
                                 py::handle module_node, py::handle call) {
    std::vector<py::object> scopes{borrow(module_node)};
    if (!call.is_none())
        for (py::object &function : enclosing_bodies(call, false))
            scopes.push_back(function);
    std::vector<py::object> found;
    for (const py::object &import : imports) {
        py::object scope = support::call_method(import, name<"scope">());
        for (py::object &seen : scopes)
            if (scope.is(seen)) {
                found.push_back(import);
                break;
            }
    }
    return found;
}

// from django.urls import * binds reverse too.
bool provides_reverse(py::handle import) {
    for (py::handle pair : import.attr(name<"names">()))
        if (str_equals(pair[py::int_(0)], "*") || binds(pair, "reverse")) return true;
    return false;
}

// Whether `use` is bound by `import`: the name, looked up from where it stands, finds
// that statement (a function's own import reaches no other function).
bool bound_by(py::handle use, py::handle import) {
    py::object found = use.attr(name<"lookup">())(name<"reverse_lazy">());
    for (py::handle assignment : found[py::int_(1)])
        if (assignment.is(import)) return true;
    return false;
}

// Whether `import` must keep reverse_lazy: a use of the name that it binds is left as
// it is, other than the callee of `call`, the call being fixed now (with None, every
// use counts). A misused call that another line is to fix counts until it is fixed:
// that line may get no suggestion (a comment its rewrite cannot keep), and its call
// must stay bound.
bool keeps_reverse_lazy(py::handle module_node, py::handle import, py::handle call) {
    py::object callee =
        call.is_none() ? py::none() : support::attr_or_none(call, name<"func">());
    py::object names = module_node.attr(name<"nodes_of_class">())(L->Name);
    for (py::handle found : names)
        if (str_equals(found.attr(name<"name">()), "reverse_lazy") &&
            !found.is(callee) && bound_by(found, import))
            return true;
    return false;
}

// Pairs sort by (name, alias or ""): a pair without alias never meets a text alias.
py::object pair_sort_key(py::handle pair) {
    py::object alias = pair[py::int_(1)];
    return py::make_tuple(pair[py::int_(0)], alias.is_none() ? py::str("") : alias);
}

bool binds_reverse_lazy(py::handle import) {
    for (py::handle pair : import.attr(name<"names">()))
        if (binds(pair, "reverse_lazy")) return true;
    return false;
}

// Takes out the pair that binds reverse_lazy, if there is one; `reverse_lazy as rl`
// serves other calls and stays.
bool drop_reverse_lazy(py::handle import) {
    py::list names =
        support::steal(PySequence_List(import.attr(name<"names">()).ptr()));
    for (size_t i = 0; i < names.size(); ++i)
        if (binds(names[i], "reverse_lazy")) {
            names.attr(name<"pop">())(i);
            py::setattr(import, name<"names">(), names);
            return true;
        }
    return false;
}

// from django.urls import path, reverse_lazy -> from django.urls import path, reverse
void fix_import(py::handle import, bool keep_reverse_lazy) {
    py::list names =
        support::steal(PySequence_List(import.attr(name<"names">()).ptr()));
    if (!provides_reverse(import)) {
        names.append(py::make_tuple("reverse", py::none()));
        py::dict by;
        by["key"] = py::cpp_function(&pair_sort_key);
        names.attr(name<"sort">())(**by);
    }
    py::setattr(import, name<"names">(), names);
    if (!keep_reverse_lazy) drop_reverse_lazy(import);
}

// The import goes to the items the fix suggestions offer, once per line.
void offer_import(py::handle module_node, py::handle import) {
    auto others = support::try_attr(module_node, name<"replace_other_nodes">());
    if (others && !support::contains(*others, import))
        others->attr(name<"append">())(import);
}

// Edits the first from-import of django.urls that `call` (the call being fixed, or
// None) sees. reverse goes in once per tree: the mark `skip_<modname>` on the module
// says the import has been handled. When imports of django.urls exist but none reaches
// this call, nothing is marked: a later call in another function may still find its
// own. reverse_lazy stays while a use of it is left; the call that fixes the last one
// takes it out, and the import is offered again with that call's line. The imports and
// those of them the call sees come from the caller, which may have found them already.
void ensure_import_of(py::handle module_node, py::handle modname,
                      const std::vector<py::object> &imports,
                      const std::vector<py::object> &seen, py::handle call) {
    py::str mark = py::str("skip_") + py::str(modname);
    if (support::try_attr(module_node, mark)) {
        if (!seen.empty() && binds_reverse_lazy(seen.front()) &&
            !keeps_reverse_lazy(module_node, seen.front(), call) &&
            drop_reverse_lazy(seen.front()))
            offer_import(module_node, seen.front());
        return;
    }
    if (seen.empty()) {
        if (imports.empty()) py::setattr(module_node, mark, py::bool_(true));
        return;
    }
    py::object import = seen.front();
    fix_import(import, keeps_reverse_lazy(module_node, import, call));
    offer_import(module_node, import);
    py::setattr(module_node, mark, py::bool_(true));
}

void ensure_import(py::handle module_node, py::handle modname, py::handle import_string,
                   py::handle node) {
    (void)import_string; // the statement found is edited; this text is not parsed
    py::str mark = py::str("skip_") + py::str(modname);
    if (support::try_attr(module_node, mark)) return;
    std::vector<py::object> imports = django_urls_imports(module_node);
    ensure_import_of(module_node, modname, imports,
                     reaching(imports, module_node, node), node);
}

// reverse_lazy("home") -> reverse("home"), the import fixed first. The callee changes
// only when an import the call sees binds reverse: the fix never leaves it unbound.
py::object transform_reverse_lazy_to_reverse(py::handle call_node) {
    py::object module_node = support::call_method(call_node, name<"root">());
    // Fixing an import rewrites its names only: the imports found stay the ones the
    // call sees.
    std::vector<py::object> imports = django_urls_imports(module_node);
    std::vector<py::object> seen = reaching(imports, module_node, call_node);
    ensure_import_of(module_node, name<"reverse">(), imports, seen, call_node);
    for (py::object &import : seen) {
        if (!provides_reverse(import)) continue;
        py::dict kwargs;
        kwargs["node"] = call_node;
        kwargs["new_name"] = name<"reverse">();
        L->helpers.attr(name<"set_function_name">())(**kwargs);
        break;
    }
    return borrow(call_node);
}

py::object build_transformer_visitor(py::handle message_ids) {
    auto module = py::reinterpret_borrow<py::module_>(L->module);
    return support::build_transformer_visitor(module, message_ids, REWRITES);
}

} // namespace

PYBIND11_MODULE(urls, m) {
    support::init_module(m);
    py::object Checker = support::make_python_checker(m, "urls", MESSAGES);
    py::object Codes = m.attr("Codes");
    L = new Libs{
        m.ptr(),
        support::import("vorlane.staticanalysis.helpers"),
        // Django's route parser names the converters of a route.
        support::import("django.urls.resolvers"),
        support::import("astroid.nodes", "Name"),
        support::import("astroid.nodes", "ImportFrom"),
        support::import("astroid.nodes", "Lambda"),
        support::import("astroid.nodes", "FunctionDef"),
        py::object(Codes.attr("C6001")).release(),
        py::object(Codes.attr("C6002")).release(),
    };

    m.def("is_urls_module", &is_urls_module, py::arg("module_node"));
    m.def("is_misusing_reverse_lazy", &is_misusing_reverse_lazy, py::arg("call_node"));
    support::def_method(Checker, "visit_module", &visit_module, py::arg("node"));
    support::def_method(Checker, "visit_call", &visit_call, py::arg("node"));
    support::def_method(Checker, "check_url_unique", &check_url_unique,
                        py::arg("node"));

    m.def("transform_reverse_lazy_to_reverse", &transform_reverse_lazy_to_reverse,
          py::arg("call_node"));
    m.def("ensure_import", &ensure_import, py::arg("module_node"), py::arg("modname"),
          py::arg("import_string"), py::arg("node") = py::none());
    m.def("build_transformer_visitor", &build_transformer_visitor,
          py::arg("message_ids"));
}
