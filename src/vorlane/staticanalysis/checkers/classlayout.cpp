// Model module layout checker: how many models a module holds, the order of their
// members and the prefixes of their names.
#include "support.h"

#include <string>

namespace {

using support::contains;
using support::is_a;

using support::name;
using support::steal;

// --- Libraries -----------------------------------------------------------------------

// Imports, made once at load and never released (interpreter exit order).
struct Libs {
    // classlayout itself: STANDARD_CLASSLAYOUT and Codes are read back at each use
    py::handle module;
    py::handle Counter, ClassDef, FunctionDef, Assign, InferenceError;
};
const Libs *L = nullptr;

// --- Tables --------------------------------------------------------------------------

// C3001 is a retired number: never hand it out again.
const support::Message MESSAGES[] = {
    {"C3000", "tall-models", "To many models"},
    {"C3002", "model-method-order", "Wrong method order"},
    {"C3003", "model-common-prefix", "Common application prefix"},
};

const support::IntOption OPTIONS[] = {
    {"max-models", 10, "Maximum number of models per module"},
    {"min-common-model-prefix-length", 4, "Minimum length of model prefixes"},
    {"max-common-model-prefix", 4,
     "Maximum number of models that can have the same prefix"},
};

// Prefixes that say what kind of class a model is, not which application it belongs
// to: many models may share them.
const char *const GENERIC_PREFIXES[] = {"abstract", "base"};

// --- Small tools ---------------------------------------------------------------------

bool compare(py::handle left, py::handle right, int op) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), op);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::object option(py::handle self, py::handle option_name) {
    return self.attr(name<"linter">()).attr(name<"config">()).attr(option_name);
}

py::object layout() {
    return L->module.attr(name<"STANDARD_CLASSLAYOUT">());
}

// A member's place in STANDARD_CLASSLAYOUT; only asked for names it holds.
Py_ssize_t rank(py::handle member) {
    Py_ssize_t index = PySequence_Index(layout().ptr(), member.ptr());
    if (index < 0) throw py::error_already_set();
    return index;
}

void report(py::handle self, py::handle which, py::handle node, py::handle args) {
    py::object code = py::object(L->module.attr(name<"Codes">())).attr(which);
    support::add_message(self, code, node, args);
}

py::dict order_args(py::handle before, py::handle after) {
    py::dict args;
    args[name<"before">()] = before;
    args[name<"after">()] = after;
    return args;
}

// Whether a class is a model, asked once per class: visit_classdef answers it for
// every class before the members of its body come up, and they look it up in
// `model_classes` (per module) instead of walking the class's MRO again.
bool is_model_class(py::handle self, py::handle cls) {
    auto known = support::try_attr(self, name<"model_classes">());
    if (known) {
        PyObject *answer = PyDict_GetItemWithError(known->ptr(), cls.ptr());
        if (answer) return answer == Py_True;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    bool model = support::helpers_is_model(cls);
    if (known &&
        PyDict_SetItem(known->ptr(), cls.ptr(), model ? Py_True : Py_False) < 0)
        throw py::error_already_set();
    return model;
}

// Only a class has an MRO, so a function, lambda or module frame is no model without
// asking.
bool is_model_frame(py::handle self, py::handle frame) {
    return is_a(frame, L->ClassDef) && is_model_class(self, frame);
}

// The class or function around `node` is a model class: `node` is a member of its body.
bool in_model_body(py::handle self, py::handle node) {
    py::object frame =
        support::call_method(node.attr(name<"parent">()), name<"frame">());
    return is_model_frame(self, frame);
}

// --- Prefixes ------------------------------------------------------------------------

// Counts, for each name, its prefixes of min_length - 1 up to len(name) - 2
// characters: `name[:i - 1]` for i in range(min_length, len(name)). A negative stop
// counts from the end, as slicing does.
py::object get_longest_common_prefix(py::handle values, py::handle min_length) {
    py::object counter = L->Counter();
    // Clamped: a length beyond the index range counts nothing, as range() would.
    Py_ssize_t start = PyNumber_AsSsize_t(min_length.ptr(), nullptr);
    if (start == -1 && PyErr_Occurred()) throw py::error_already_set();
    py::int_ one(1);
    for (py::handle value : py::iter(values)) {
        Py_ssize_t length = PyObject_Length(value.ptr());
        if (length < 0) throw py::error_already_set();
        for (Py_ssize_t i = start; i < length; ++i) {
            py::object prefix = steal(PySequence_GetSlice(value.ptr(), 0, i - 1));
            py::object count = steal(PyObject_GetItem(counter.ptr(), prefix.ptr()));
            py::object next = steal(PyNumber_Add(count.ptr(), one.ptr()));
            if (PyObject_SetItem(counter.ptr(), prefix.ptr(), next.ptr()) < 0)
                throw py::error_already_set();
        }
    }
    return counter;
}

// --- Checker -------------------------------------------------------------------------

void visit_module(py::handle self, py::handle) {
    py::setattr(self, name<"model_names">(), py::list());
    py::setattr(self, name<"model_classes">(), py::dict());
}

// Too many models in one module, and a name prefix that many of them share.
void leave_module(py::handle self, py::handle node) {
    py::object model_names = self.attr(name<"model_names">());
    Py_ssize_t model_count = PyObject_Length(model_names.ptr());
    if (model_count < 0) throw py::error_already_set();
    py::object maximum = option(self, name<"max_models">());
    py::int_ count(model_count);
    if (compare(count, maximum, Py_GE)) {
        py::dict args;
        args[name<"count">()] = count;
        args[name<"maximum">()] = maximum;
        report(self, name<"C3000">(), support::call_method(node, name<"root">()), args);
    }
    if (model_count == 0) return;
    py::object prefixes = get_longest_common_prefix(
        model_names, option(self, name<"min_common_model_prefix_length">()));
    py::object least = option(self, name<"max_common_model_prefix">());
    py::list keys = steal(PySequence_List(prefixes.ptr()));
    for (py::handle key : keys) {
        py::object lowered = support::call_method(key, name<"lower">());
        bool generic = false;
        for (const char *text : GENERIC_PREFIXES)
            generic = generic || support::str_equals(lowered, text);
        py::object seen = prefixes[key];
        if (generic || compare(seen, least, Py_LT))
            if (PyObject_DelItem(prefixes.ptr(), key.ptr()) < 0)
                throw py::error_already_set();
    }
    // The longest prefix left; of equally long ones, the first counted.
    py::object prefix;
    Py_ssize_t longest = -1;
    for (py::handle key : py::iter(prefixes)) {
        Py_ssize_t length = PyObject_Length(key.ptr());
        if (length < 0) throw py::error_already_set();
        if (length > longest) {
            longest = length;
            prefix = py::reinterpret_borrow<py::object>(key);
        }
    }
    if (longest <= 0) return; // nothing left, or only the empty prefix
    py::dict args;
    args[name<"count">()] = prefixes[prefix];
    args[name<"prefix">()] = prefix;
    report(self, name<"C3003">(), support::call_method(node, name<"root">()), args);
}

// A standard member (Meta, __str__, save, get_absolute_url) against the method right
// before it:
//     def save(self): ...          def __str__(self): ...
//     class Meta: ...  (Meta       def my_method(self): ...
//     first)                       def save(self): ...  (save before my_method)
void check_attribute_order(py::handle self, py::handle node) {
    py::object member = node.attr(name<"name">());
    if (!contains(layout(), member)) return;
    py::object previous_node = support::call_method(node, name<"previous_sibling">());
    if (!is_a(previous_node, L->FunctionDef)) return;
    py::object previous = previous_node.attr(name<"name">());
    if (!contains(layout(), previous)) {
        report(self, name<"C3002">(), previous_node, order_args(member, previous));
        return;
    }
    if (rank(member) < rank(previous))
        report(self, name<"C3002">(), node, order_args(member, previous));
}

// class Meta: ...
// name = models.CharField()   <- a field after Meta
void visit_call(py::handle self, py::handle node) {
    if (!is_model_frame(self, support::call_method(node, name<"frame">()))) return;
    if (!support::helpers_is_model_field(node)) return;
    py::object previous_node = support::call_method(node, name<"previous_sibling">());
    if (is_a(previous_node, L->Assign))
        previous_node = previous_node.attr(name<"value">());
    // Of a run of fields only the first is judged: it follows something else.
    if (previous_node.is_none() || support::helpers_is_model_field(previous_node))
        return;
    py::object meta;
    try {
        py::object scope = support::call_method(node, name<"scope">());
        py::object found = scope.attr(name<"ilookup">())(name<"Meta">());
        PyObject *first = PyIter_Next(found.ptr());
        if (!first) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return;
        }
        meta = steal(first);
    } catch (py::error_already_set &e) {
        if (!e.matches(L->InferenceError)) throw;
        return;
    }
    // What Meta infers to may have no line (the uninferable marker): no order to judge.
    py::object meta_line = meta.attr(name<"lineno">());
    if (!PyLong_Check(meta_line.ptr())) return;
    if (compare(meta_line, node.attr(name<"lineno">()), Py_LT))
        report(self, name<"C3002">(), node,
               order_args(support::helpers_get_member_name(node), name<"Meta">()));
}

void visit_functiondef(py::handle self, py::handle node) {
    if (in_model_body(self, node)) check_attribute_order(self, node);
}

// A model class is counted wherever it stands; any other class in a model's body (its
// Meta) has its place checked.
void visit_classdef(py::handle self, py::handle node) {
    if (is_model_class(self, node)) {
        self.attr(name<"model_names">())
            .attr(name<"append">())(node.attr(name<"name">()));
        return;
    }
    if (in_model_body(self, node)) check_attribute_order(self, node);
}

// An assignment target after a standard member. pylint calls visit methods by the
// node's class name, and astroid's targets are AssignName nodes, so the walker never
// calls this one; called directly, it stays silent where there is no named statement
// before the target.
void visit_assname(py::handle self, py::handle node) {
    if (!in_model_body(self, node)) return;
    py::object previous_sibling =
        support::call_method(node, name<"previous_sibling">());
    if (previous_sibling.is_none()) return;
    auto previous = support::try_attr(previous_sibling, name<"name">());
    if (!previous || !contains(layout(), *previous)) return;
    report(self, name<"C3002">(), node,
           order_args(node.attr(name<"name">()), *previous));
}

} // namespace

PYBIND11_MODULE(classlayout, m) {
    support::init_module(m);
    L = new Libs{
        m.inc_ref(),
        support::import("collections", "Counter"),
        support::import("astroid.nodes", "ClassDef"),
        support::import("astroid.nodes", "FunctionDef"),
        support::import("astroid.nodes", "Assign"),
        support::import("astroid.exceptions", "InferenceError"),
    };
    m.attr("STANDARD_CLASSLAYOUT") =
        py::make_tuple("Meta", "__str__", "save", "get_absolute_url");
    m.def("get_longest_common_prefix", &get_longest_common_prefix, py::arg("values"),
          py::arg("min_length"));
    py::object Checker = support::make_python_checker(m, "models", MESSAGES, OPTIONS);
    support::def_method(Checker, "visit_module", &visit_module, py::arg("node"));
    support::def_method(Checker, "leave_module", &leave_module, py::arg("node"));
    support::def_method(Checker, "check_attribute_order", &check_attribute_order,
                        py::arg("node"));
    support::def_method(Checker, "visit_call", &visit_call, py::arg("node"));
    support::def_method(Checker, "visit_functiondef", &visit_functiondef,
                        py::arg("node"));
    support::def_method(Checker, "visit_classdef", &visit_classdef, py::arg("node"));
    support::def_method(Checker, "visit_assname", &visit_assname, py::arg("node"));
}
