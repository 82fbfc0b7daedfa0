// QuerySet checker: QuerySet sizes and truth tests, and foreign keys read through the
// related object, with the rewrites that fix them.
#include "support.h"

namespace {

using support::borrow;
using support::contains;
using support::helpers_is_queryset;
using support::is_a;

using support::is_text;
using support::name;

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle module; // this module: the rewrite table names its own attributes
    py::handle helpers, safe_infer, extract_node, Instance, MroError,
        BUILTIN_PREDICATES;
    // astroid node classes
    py::handle AnnAssign, Assign, AssignName, Attribute, BoolOp, Call, ClassDef,
        Compare, Const, Import, ImportFrom, List, Name, Subscript, Tuple, UnaryOp;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C9000", "queryset-length",
     "Detects using len(queryset) instead of queryset.count()"},
    {"C9001", "indirect-foreign-key",
     "Traversting foo.bar.pk instead of using foo.bar_pk"},
    {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
    {"C9003", "truthy-instead-exists",
     "Using truthy/falsey check on queryset when exists could be better"},
};

py::object test_predicate(py::handle predicate);
py::object not_operand_predicate(py::handle predicate);

// Per code, in this order; the If and UnaryOp rows ask their predicate about the test
// or the operand of a `not`.
const support::Rewrite REWRITES[] = {
    {"C9000", "Call", "transform_queryset_length", "is_queryset_length"},
    {"C9001", "Attribute", "transform_indirect_fk_lookup", "is_indirect_fk_lookup"},
    {"C9002", "Compare", "transform_queryset_exists_compare",
     "is_inefficient_queryset_exists"},
    {"C9002", "UnaryOp", "transform_queryset_exists_count_unaryop", "is_queryset_count",
     &not_operand_predicate},
    {"C9002", "If", "transform_queryset_exists_count_if", "is_queryset_count",
     &test_predicate},
    {"C9003", "UnaryOp", "transform_queryset_exists_naked_unaryop", "is_queryset",
     &not_operand_predicate},
    {"C9003", "If", "transform_queryset_exists_naked_if", "is_queryset",
     &test_predicate},
};

py::object safe_infer(py::handle node) {
    return L->safe_infer(node);
}

py::object as_string(py::handle node) {
    return support::call_method(node, name<"as_string">());
}

// not qs
bool is_not(py::handle unaryop) {
    return is_text(unaryop.attr(name<"op">()), name<"not">());
}

// --- Predicates ----------------------------------------------------------------------

// len(Book.objects.all()), len(qs)
py::object is_queryset_length(py::handle node) {
    if (!is_a(node, L->Call)) return py::none();
    py::object func = node.attr(name<"func">());
    if (!is_a(func, L->Name) || !is_text(func.attr(name<"name">()), name<"len">()))
        return py::none();
    py::object args = node.attr(name<"args">());
    if (py::len(args) != 1) return py::none();
    return helpers_is_queryset(safe_infer(args[py::int_(0)]));
}

// qs.count(), Book.objects.filter(a=1).count(); not qs.count(1), not count()
py::object is_queryset_count(py::handle node) {
    if (!is_a(node, L->Call)) return py::none();
    py::object func = node.attr(name<"func">());
    // A plain function named count is no QuerySet's method.
    if (!is_a(func, L->Attribute) ||
        !is_text(func.attr(name<"attrname">()), name<"count">()))
        return py::none();
    if (support::truthy(node.attr(name<"args">()))) return py::none();
    return helpers_is_queryset(safe_infer(func.attr(name<"expr">())));
}

// if qs:, not Book.objects.all()
bool is_queryset_value(py::handle node) {
    // A comparison, a constant or a `not` never infers to a QuerySet (they make bools
    // or stay uninferable): spare the inference, the not's operand being the costly
    // part.
    if (is_a(node, L->Compare) || is_a(node, L->Const)) return false;
    if (is_a(node, L->UnaryOp) && is_not(node)) return false;
    return support::truthy(helpers_is_queryset(safe_infer(node)));
}

py::object is_queryset(py::handle node) {
    return py::bool_(is_queryset_value(node));
}

// `op == wanted and value == expected` as Python answers it, the right operand's static
// value made only when the operator is the one wanted.
py::object compares(py::handle op, py::handle wanted, py::handle right, int expected) {
    if (!is_text(op, wanted)) return py::bool_(false);
    py::object value = L->helpers.attr(name<"astroid_node_to_value">())(right);
    py::int_ number(expected);
    return support::steal(PyObject_RichCompare(value.ptr(), number.ptr(), Py_EQ));
}

// The one (operator, right operand) pair of a comparison, or a null object when the
// comparison is chained.
std::pair<py::object, py::object> single_pair(py::handle ops) {
    if (py::len(ops) != 1) return {};
    py::object pair = borrow(ops)[py::int_(0)];
    return {pair[py::int_(0)], pair[py::int_(1)]};
}

// `first or second` as Python answers it.
py::object either(py::object first, py::object second) {
    return support::truthy(first) ? first : second;
}

// qs.count() > 0, qs.count() >= 1
py::object is_compare_exists(py::handle ops) {
    auto [op, right] = single_pair(ops);
    if (!op) return py::none();
    return either(compares(op, name<">">(), right, 0),
                  compares(op, name<">=">(), right, 1));
}

// qs.count() == 0, qs.count() < 1
py::object is_compare_not_exists(py::handle ops) {
    auto [op, right] = single_pair(ops);
    if (!op) return py::none();
    return either(compares(op, name<"==">(), right, 0),
                  compares(op, name<"<">(), right, 1));
}

py::object is_existence_compare(py::handle ops) {
    return either(is_compare_exists(ops), is_compare_not_exists(ops));
}

// qs.count() > 0, Book.objects.filter(a=1).count() == 0
py::object is_inefficient_queryset_exists(py::handle node) {
    if (!support::truthy(is_queryset_count(node.attr(name<"left">()))))
        return py::none();
    return is_existence_compare(node.attr(name<"ops">()));
}

// len(qs) > 0, len(qs) == 0
py::object is_queryset_length_exists(py::handle node) {
    if (!support::truthy(is_queryset_length(node.attr(name<"left">()))))
        return py::none();
    return is_existence_compare(node.attr(name<"ops">()));
}

// helpers.is_related_field, read through the module where tests patch it.
bool is_related_field(py::handle cls) {
    return support::truthy(support::helpers_call(name<"is_related_field">(), cls));
}

// Whether the value bound to a model field is a related field:
// `author = models.ForeignKey(Author, ...)` by its callee alone, the class it calls;
// any other value (a field made by a function, a name bound to a field) by what it
// infers to.
bool makes_related_field(py::handle value) {
    if (is_a(value, L->Call)) {
        py::object callee = safe_infer(value.attr(name<"func">()));
        if (is_a(callee, L->ClassDef)) return is_related_field(callee);
    }
    py::object field = safe_infer(value);
    return is_a(field, L->Instance) && is_related_field(field.attr(name<"_proxied">()));
}

// The class attribute `field` of instances of `cls` is a related field: the first class
// of its MRO whose body binds the name decides, by the value of its last binding there
// (`author = models.ForeignKey(...)`, `author: Author = models.ForeignKey(...)`).
// astroid's attribute inference would find the same value, but it walks every ancestor
// under a budget of inferred nodes that a model on many mixins exhausts before the
// field is reached; the cut-short answer then stays in astroid's inference cache, so
// every later read of the field would depend on which was inferred first.
bool declares_related_field(py::handle cls, py::handle field) {
    py::object mro;
    try {
        mro = support::call_method(cls, name<"mro">());
    } catch (py::error_already_set &e) {
        if (!e.matches(L->MroError)) throw;
        return false; // duplicate or inconsistent bases: no class Python would make
    }
    for (py::handle klass : mro) {
        auto locals = support::try_attr(klass, name<"locals">());
        if (!locals || !PyDict_Check(locals->ptr())) continue;
        PyObject *bindings = PyDict_GetItemWithError(locals->ptr(), field.ptr());
        if (!bindings) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        if (!PyList_Check(bindings) || PyList_GET_SIZE(bindings) == 0) continue;
        py::object binding =
            borrow(PyList_GET_ITEM(bindings, PyList_GET_SIZE(bindings) - 1));
        py::object statement = binding.attr(name<"parent">());
        if (!is_a(binding, L->AssignName) ||
            !(is_a(statement, L->Assign) || is_a(statement, L->AnnAssign)))
            return false; // a method, a property, a nested class: no field
        py::object value = statement.attr(name<"value">());
        return !value.is_none() && makes_related_field(value);
    }
    return false;
}

// book.author.pk, book.author.id with author a foreign key of book's model. A book that
// cannot be inferred answers what inference gave (None or Uninferable).
py::object is_indirect_fk_lookup(py::handle node) {
    py::object attrname = node.attr(name<"attrname">());
    if (!is_text(attrname, name<"pk">()) && !is_text(attrname, name<"id">()))
        return py::none();
    py::object expr = node.attr(name<"expr">());
    // book.pk, self.id: no related object in between, so no inference either.
    if (!is_a(expr, L->Attribute)) return py::none();
    py::object parent = safe_infer(expr.attr(name<"expr">()));
    if (!support::truthy(parent)) return parent;
    // An instance is judged by its class; a class holding the field (Book.author.pk)
    // has no row to read a key of.
    auto proxied = support::try_attr(parent, name<"_proxied">());
    py::object holder = proxied ? *proxied : parent;
    if (!is_a(holder, L->ClassDef) ||
        !declares_related_field(holder, expr.attr(name<"attrname">())))
        return py::none();
    if (!proxied) return py::bool_(false);
    return py::bool_(support::helpers_is_model(*proxied));
}

// The name an expression is reached from through attributes, calls and subscripts: os
// in os.path.exists(p), qs in qs.first(). A null object when the chain starts with
// anything else (a literal, a lambda, an operation in parentheses).
py::object chain_root(py::handle node) {
    py::object current = borrow(node);
    while (true) {
        if (is_a(current, L->Name)) return current;
        if (is_a(current, L->Attribute))
            current = current.attr(name<"expr">());
        else if (is_a(current, L->Call))
            current = current.attr(name<"func">());
        else if (is_a(current, L->Subscript))
            current = current.attr(name<"value">());
        else
            return py::object();
    }
}

// import os, import os.path as p, from collections import abc: a binding of a module of
// the standard library or of a name taken from one.
bool is_stdlib_import(py::handle binding, py::handle bound) {
    py::object modname;
    if (is_a(binding, L->ImportFrom)) {
        if (support::truthy(binding.attr(name<"level">())))
            return false; // relative: the project's own
        modname = binding.attr(name<"modname">());
    } else if (is_a(binding, L->Import)) {
        for (py::handle alias : binding.attr(name<"names">())) {
            py::object imported = alias[py::int_(0)], asname = alias[py::int_(1)];
            py::object top = imported.attr(name<"partition">())(".")[py::int_(0)];
            if (asname.is_none() ? top.equal(bound) : asname.equal(bound))
                modname = imported;
        }
        if (!modname) return false;
    } else {
        return false;
    }
    return support::loads_from_standard_library(modname);
}

bool from_stdlib(py::handle root, bool follow_assignments);

// A binding that proves the name's value comes from the standard library: its import,
// or, one assignment deep, `match = re.match(...)`, `head, rest = parser.parse(text)`
// or `match = None`.
bool is_stdlib_binding(py::handle binding, py::handle bound, bool follow_assignments) {
    if (is_stdlib_import(binding, bound)) return true;
    if (!follow_assignments || !is_a(binding, L->AssignName)) return false;
    py::object statement = binding.attr(name<"parent">());
    while (is_a(statement, L->Tuple) || is_a(statement, L->List))
        statement = statement.attr(name<"parent">());
    if (!is_a(statement, L->Assign)) return false; // for loops, arguments, with
    py::object value = statement.attr(name<"value">());
    if (is_a(value, L->Const)) return true;
    py::object root = chain_root(value);
    return root && from_stdlib(root, false);
}

// Whether every binding of the name is one of the above; a name bound nowhere is not.
bool from_stdlib(py::handle root, bool follow_assignments) {
    py::object bound = root.attr(name<"name">());
    py::object bindings = root.attr(name<"lookup">())(bound)[py::int_(1)];
    if (!support::truthy(bindings)) return false;
    for (py::handle binding : bindings)
        if (!is_stdlib_binding(binding, bound, follow_assignments)) return false;
    return true;
}

// isinstance(x, Book), hasattr(x, "all"), len(x): astroid answers calls of these names
// as the builtins do (a bool or a number), whatever the name is bound to.
bool is_builtin_predicate_call(py::handle tested, py::handle root) {
    return is_a(tested, L->Call) && root.is(tested.attr(name<"func">())) &&
           contains(L->BUILTIN_PREDICATES, root.attr(name<"name">()));
}

// A value that is no QuerySet whatever it infers to: one reached from the standard
// library, or the bool or number a call of a builtin predicate makes. Inferring those
// costs the most (it builds modules that nothing else needs) and never finds one.
bool from_library(py::handle value) {
    py::object root = chain_root(value);
    return root && (is_builtin_predicate_call(value, root) || from_stdlib(root, true));
}

// len(x) of such a value
bool measures_library_value(py::handle call) {
    py::object func = call.attr(name<"func">()), args = call.attr(name<"args">());
    return is_a(func, L->Name) && is_text(func.attr(name<"name">()), name<"len">()) &&
           py::len(args) == 1 && from_library(args[py::int_(0)]);
}

// --- Checker -------------------------------------------------------------------------

py::dict queryset_args(py::handle expression) {
    py::dict args;
    args["queryset"] = as_string(expression);
    return args;
}

// The receiver of qs.count()
py::object count_receiver(py::handle call) {
    return call.attr(name<"func">()).attr(name<"expr">());
}

// len(qs)
void visit_call(py::handle self, py::handle node) {
    if (measures_library_value(node) || !support::truthy(is_queryset_length(node)))
        return;
    py::dict args;
    args["foo"] = "bar";
    support::add_message(self, name<"C9000">(), node, args);
}

// book.author.pk
void visit_attribute(py::handle self, py::handle node) {
    if (!support::truthy(is_indirect_fk_lookup(node))) return;
    py::object expr = node.attr(name<"expr">());
    py::object me = support::attr_or_none(expr.attr(name<"expr">()), name<"name">());
    py::dict args;
    args["me"] = me.is_none() ? py::str("model") : me;
    args["related_name"] = expr.attr(name<"attrname">());
    args["pk_attribute"] = node.attr(name<"attrname">());
    support::add_message(self, name<"C9001">(), node, args);
}

// qs.count() > 0, len(qs) == 0: reported on the statement that holds the comparison.
// Both predicates ask for an existence comparison; it is read first, as it costs no
// inference when the right operand is a literal, and most comparisons are none.
void visit_compare(py::handle self, py::handle node) {
    if (!support::truthy(is_existence_compare(node.attr(name<"ops">())))) return;
    py::object left = node.attr(name<"left">());
    py::object queryset;
    if (support::truthy(is_queryset_count(left)))
        queryset = count_receiver(left);
    else if (is_a(left, L->Call) && !measures_library_value(left) &&
             support::truthy(is_queryset_length(left)))
        queryset = left.attr(name<"args">())[py::int_(0)];
    else
        return;
    py::object statement = node.attr(name<"statement">())();
    support::add_message(self, name<"C9002">(), statement, queryset_args(queryset));
}

// Truth tests whose inference is spared: a boolean operation is not examined, and a
// value of the library is no QuerySet.
bool may_be_queryset(py::handle tested) {
    return !is_a(tested, L->BoolOp) && !from_library(tested);
}

// `tested` used as a truth value, reported on node: a QuerySet's count() (C9002) or
// the QuerySet itself (C9003).
void check_existence_test(py::handle self, py::handle node, py::handle tested) {
    if (support::truthy(is_queryset_count(tested)))
        support::add_message(self, name<"C9002">(), node,
                             queryset_args(count_receiver(tested)));
    else if (may_be_queryset(tested) && is_queryset_value(tested))
        support::add_message(self, name<"C9003">(), node, queryset_args(tested));
}

// if qs.count():, if qs:
void visit_if(py::handle self, py::handle node) {
    check_existence_test(self, node, node.attr(name<"test">()));
}

// not qs.count(), not qs. Other unary operators make numbers, not existence tests.
void visit_unaryop(py::handle self, py::handle node) {
    if (is_not(node)) check_existence_test(self, node, node.attr(name<"operand">()));
}

// --- Rewrites ------------------------------------------------------------------------

// The expression's text, ready for an attribute access to be joined to it: in
// parentheses unless it binds at least as tightly (a name, an attribute access, a call
// or a subscript). `a if c else b` + ".exists()" would read as a if c else b.exists().
py::object receiver_text(py::handle node) {
    py::object text = as_string(node);
    if (is_a(node, L->Name) || is_a(node, L->Attribute) || is_a(node, L->Call) ||
        is_a(node, L->Subscript))
        return text;
    return py::str("(") + text + py::str(")");
}

// The expression parsed from text, in old's place: old's row for the whole subtree, and
// old's tokens, column and parent.
py::object replacement(py::object text, py::handle old) {
    py::object parsed = L->extract_node(text);
    return L->helpers.attr(name<"preserve_metadata">())(py::arg("new_node") = parsed,
                                                        py::arg("old_node") = old);
}

py::object exists_call(py::handle receiver) {
    return receiver_text(receiver) + py::str(".exists()");
}

// len(qs) -> qs.count()
py::object transform_queryset_length(py::handle node) {
    py::object argument = node.attr(name<"args">())[py::int_(0)];
    return replacement(receiver_text(argument) + py::str(".count()"), node);
}

// qs.count() > 0 -> qs.exists(); qs.count() == 0 -> not qs.exists(), and
// not qs.count() == 0 -> qs.exists(), the enclosing `not` rendering as its operand.
py::object transform_queryset_exists_compare(py::handle node) {
    py::object text = exists_call(count_receiver(node.attr(name<"left">())));
    if (support::truthy(is_compare_not_exists(node.attr(name<"ops">())))) {
        py::object parent = node.attr(name<"parent">());
        if (is_a(parent, L->UnaryOp) && is_not(parent))
            py::setattr(parent, name<"op">(), py::str(""));
        else
            text = py::str("not ") + text;
    }
    return replacement(text, node);
}

// if qs.count(): -> if qs.exists():, if qs: -> if qs.exists():, and the same under not.
// The child named `field` is replaced; the node itself stays.
py::object replace_child(py::handle node, py::handle field, bool count) {
    py::object child = node.attr(field);
    py::object receiver = count ? count_receiver(child) : child;
    py::setattr(node, field, replacement(exists_call(receiver), child));
    return borrow(node);
}

py::object transform_queryset_exists_count_if(py::handle node) {
    return replace_child(node, name<"test">(), true);
}
py::object transform_queryset_exists_count_unaryop(py::handle node) {
    return replace_child(node, name<"operand">(), true);
}
py::object transform_queryset_exists_naked_if(py::handle node) {
    return replace_child(node, name<"test">(), false);
}
py::object transform_queryset_exists_naked_unaryop(py::handle node) {
    return replace_child(node, name<"operand">(), false);
}

// book.author.pk -> book.author_id, at the row and column where book.author starts.
py::object transform_indirect_fk_lookup(py::handle node) {
    py::object expr = node.attr(name<"expr">());
    py::object attrname = py::object(expr.attr(name<"attrname">())) + py::str("_id");
    py::object attribute = L->Attribute(attrname, expr.attr(name<"lineno">()),
                                        expr.attr(name<"col_offset">()));
    py::setattr(attribute, name<"expr">(), expr.attr(name<"expr">()));
    return attribute;
}

// The visitor's predicates over an if statement's test and over the operand of a `not`.
py::object test_predicate(py::handle predicate) {
    py::object asked = borrow(predicate);
    return py::cpp_function(
        [asked](py::handle node) { return asked(node.attr(name<"test">())); });
}

py::object not_operand_predicate(py::handle predicate) {
    py::object asked = borrow(predicate);
    return py::cpp_function([asked](py::handle node) -> py::object {
        if (!is_not(node)) return py::bool_(false);
        return asked(node.attr(name<"operand">()));
    });
}

py::object build_transformer_visitor(py::handle message_ids) {
    auto m = py::reinterpret_borrow<py::module_>(L->module);
    return support::build_transformer_visitor(m, message_ids, REWRITES);
}

} // namespace

PYBIND11_MODULE(fetchplan, m) {
    support::init_module(m);
    support::import("astroid");
    auto *libs = new Libs{
        m.inc_ref(),
        support::import("vorlane.staticanalysis.helpers"),
        support::import("pylint.checkers.utils", "safe_infer"),
        support::import("astroid", "extract_node"),
        support::import("astroid.bases", "Instance"),
        support::import("astroid.exceptions", "MroError"),
        py::frozenset(py::make_tuple("isinstance", "issubclass", "hasattr", "callable",
                                     "len", "bool"))
            .release(),
        support::import("astroid.nodes", "AnnAssign"),
        support::import("astroid.nodes", "Assign"),
        support::import("astroid.nodes", "AssignName"),
        support::import("astroid.nodes", "Attribute"),
        support::import("astroid.nodes", "BoolOp"),
        support::import("astroid.nodes", "Call"),
        support::import("astroid.nodes", "ClassDef"),
        support::import("astroid.nodes", "Compare"),
        support::import("astroid.nodes", "Const"),
        support::import("astroid.nodes", "Import"),
        support::import("astroid.nodes", "ImportFrom"),
        support::import("astroid.nodes", "List"),
        support::import("astroid.nodes", "Name"),
        support::import("astroid.nodes", "Subscript"),
        support::import("astroid.nodes", "Tuple"),
        support::import("astroid.nodes", "UnaryOp"),
    };
    L = libs;
    support::module_logger(m);

    py::object Checker = support::make_python_checker(m, "fetchplan", MESSAGES);

    m.def("is_queryset_length", &is_queryset_length, py::arg("node"));
    m.def("is_queryset_count", &is_queryset_count, py::arg("node"));
    m.def("is_queryset", &is_queryset, py::arg("node"));
    m.def("is_compare_exists", &is_compare_exists, py::arg("ops"));
    m.def("is_compare_not_exists", &is_compare_not_exists, py::arg("ops"));
    m.def("is_inefficient_queryset_exists", &is_inefficient_queryset_exists,
          py::arg("node"));
    m.def("is_queryset_length_exists", &is_queryset_length_exists, py::arg("node"));
    m.def("is_indirect_fk_lookup", &is_indirect_fk_lookup, py::arg("node"));

    support::def_method(Checker, "visit_call", &visit_call, py::arg("node"));
    support::def_method(Checker, "visit_attribute", &visit_attribute, py::arg("node"));
    support::def_method(Checker, "visit_compare", &visit_compare, py::arg("node"));
    support::def_method(Checker, "visit_if", &visit_if, py::arg("node"));
    support::def_method(Checker, "visit_unaryop", &visit_unaryop, py::arg("node"));

    m.def("transform_queryset_length", &transform_queryset_length, py::arg("node"));
    m.def("transform_indirect_fk_lookup", &transform_indirect_fk_lookup,
          py::arg("node"));
    m.def("transform_queryset_exists_compare", &transform_queryset_exists_compare,
          py::arg("node"));
    m.def("transform_queryset_exists_count_unaryop",
          &transform_queryset_exists_count_unaryop, py::arg("node"));
    m.def("transform_queryset_exists_count_if", &transform_queryset_exists_count_if,
          py::arg("node"));
    m.def("transform_queryset_exists_naked_unaryop",
          &transform_queryset_exists_naked_unaryop, py::arg("node"));
    m.def("transform_queryset_exists_naked_if", &transform_queryset_exists_naked_if,
          py::arg("node"));
    m.def("build_transformer_visitor", &build_transformer_visitor,
          py::arg("message_ids"));
}
