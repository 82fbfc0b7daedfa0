// QuerySet checker: QuerySet sizes and truth tests, and foreign keys read through the
// related object, with the rewrites that fix them.
#include "support.h"

#include <climits>
#include <vector>

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
        BUILTIN_PREDICATES, FRESH_QUERY_METHODS;
    // astroid node classes
    py::handle AnnAssign, Assign, AssignName, Attribute, BoolOp, Call, ClassDef,
        Compare, Const, Import, ImportFrom, List, Name, Subscript, Tuple, UnaryOp;
    py::handle AugAssign, ComprehensionScope, DelName, Delete, For, GeneratorExp, IfExp,
        Lambda, Starred, While;
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
py::object fetching_test_predicate(py::handle predicate);
py::object fetching_not_operand_predicate(py::handle predicate);

// Per code, in this order; the If and UnaryOp rows ask their predicate about the test
// or the operand of a `not`, and the truth-test rows, like is_queryset_length, leave
// alone a QuerySet whose fetched rows the function goes on to use.
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
     &fetching_not_operand_predicate},
    {"C9003", "If", "transform_queryset_exists_naked_if", "is_queryset",
     &fetching_test_predicate},
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

bool rows_used_after(py::handle tested, py::handle checker);

// len(Book.objects.all()), len(qs); False for len(books) when the function goes on to
// use the rows len() fetched. `checker`, when given, keeps what the function's reads
// are for its next question.
py::object queryset_length(py::handle node, py::handle checker) {
    if (!is_a(node, L->Call)) return py::none();
    py::object func = node.attr(name<"func">());
    if (!is_a(func, L->Name) || !is_text(func.attr(name<"name">()), name<"len">()))
        return py::none();
    py::object args = node.attr(name<"args">());
    if (py::len(args) != 1) return py::none();
    py::object argument = args[py::int_(0)];
    py::object answer = helpers_is_queryset(safe_infer(argument));
    if (support::truthy(answer) && rows_used_after(argument, checker))
        return py::bool_(false);
    return answer;
}

py::object is_queryset_length(py::handle node) {
    return queryset_length(node, py::handle());
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

// --- Rows used after a test ---------------------------------------------------------
// len(qs) and a truth test fetch the QuerySet's rows and keep them on it; count() and
// exists() each run a query of their own. Where the function goes on to use the rows of
// the same QuerySet (`assert len(books) == 1; return books[0]`), the test costs
// nothing more, and the rewrite would add a query. This answers whether it may: the
// QuerySet is a name local to the function, and a read of it can run after the test
// with no assignment or `del` of the name certain to come between.

enum Reach { READ, LATER_READ, BINDING };

// A node's (row, column): the order of the source. A node without one (made by a
// rewrite) sorts last.
std::pair<long, long> position(py::handle node) {
    py::object row = node.attr(name<"lineno">()),
               column = node.attr(name<"col_offset">());
    if (!PyLong_Check(row.ptr()) || !PyLong_Check(column.ptr()))
        return {LONG_MAX, LONG_MAX};
    return {PyLong_AsLong(row.ptr()), PyLong_AsLong(column.ptr())};
}

// The child of `ancestor` that holds node (node itself when a child), or a null object
// when node is not below it.
py::object child_towards(py::handle node, py::handle ancestor) {
    py::object child = borrow(node);
    for (py::object at = child.attr(name<"parent">()); !at.is_none();
         child = at, at = at.attr(name<"parent">()))
        if (at.is(ancestor)) return child;
    return py::object();
}

bool is_inside(py::handle node, py::handle ancestor) {
    return bool(child_towards(node, ancestor));
}

bool holds(py::handle sequence, py::handle node) {
    for (py::handle item : sequence)
        if (item.is(node)) return true;
    return false;
}

// Whether a run of the loop may run node again: it is in the loop's body, or in the
// test of a while loop (a for loop's iterable and else block run once).
bool repeats(py::handle loop, py::handle node) {
    py::object child = child_towards(node, loop);
    if (!child) return false;
    return holds(loop.attr(name<"body">()), child) ||
           (is_a(loop, L->While) && child.is(loop.attr(name<"test">())));
}

// The function the name's variable belongs to, when the name is local to the function
// that holds it (comprehensions in between are no functions); a null object otherwise
// (a module or class name, a variable of an enclosing function, a global).
py::object owning_function(py::handle name_node) {
    py::object identifier = name_node.attr(name<"name">());
    py::object scope = support::call_method(name_node, name<"scope">());
    while (is_a(scope, L->ComprehensionScope) &&
           !contains(scope.attr(name<"locals">()), identifier))
        scope = support::call_method(scope.attr(name<"parent">()), name<"scope">());
    if (!is_a(scope, L->Lambda) || !contains(scope.attr(name<"locals">()), identifier))
        return py::object();
    return scope;
}

// The statement that binds an assigned name for certain whenever it runs: `x = ...`,
// `x: T = ...`, `a, *x = ...`, `del x`. A null object for bindings that may not happen
// or happen again and again (for targets, with, except, :=) and for `x += ...`.
py::object certain_binding(py::handle binding) {
    py::object statement = binding.attr(name<"parent">());
    while (is_a(statement, L->Tuple) || is_a(statement, L->List) ||
           is_a(statement, L->Starred))
        statement = statement.attr(name<"parent">());
    if (is_a(statement, L->Assign) || is_a(statement, L->Delete)) return statement;
    if (is_a(statement, L->AnnAssign) && !statement.attr(name<"value">()).is_none())
        return statement;
    return py::object();
}

// Every place in `function` where its variable `identifier` is read or bound anew, as
// (Reach, node, binding statement or None). A read in a nested function, lambda or
// generator runs whenever that is called or consumed: LATER_READ. A name the nested
// scope binds for itself is another variable and left out, and so are
// `books.filter(...)` and the like, which query afresh and use no fetched rows.
py::list name_events(py::handle function, py::handle identifier) {
    py::list events;
    py::tuple kinds = py::make_tuple(L->Name, L->AssignName, L->DelName);
    for (py::handle node : function.attr(name<"nodes_of_class">())(kinds)) {
        if (!is_text(node.attr(name<"name">()), identifier)) continue;
        bool deferred = false, shadowed = false;
        py::object scope = support::call_method(node, name<"scope">());
        while (!scope.is(function)) {
            if (contains(scope.attr(name<"locals">()), identifier)) {
                shadowed = true;
                break;
            }
            // A class body or a list, set or dict comprehension runs where it stands.
            if (is_a(scope, L->Lambda) || is_a(scope, L->GeneratorExp)) deferred = true;
            py::object parent = scope.attr(name<"parent">());
            if (parent.is_none()) break;
            scope = support::call_method(parent, name<"scope">());
        }
        if (shadowed) continue;
        py::object event;
        if (is_a(node, L->Name)) {
            py::object parent = node.attr(name<"parent">());
            if (is_a(parent, L->Attribute) &&
                py::object(parent.attr(name<"expr">())).is(node) &&
                contains(L->FRESH_QUERY_METHODS, parent.attr(name<"attrname">())))
                continue;
            event = py::make_tuple(int(deferred ? LATER_READ : READ), node, py::none());
        } else if (deferred) {
            // Assigned through `nonlocal`: whatever it holds then, count it as read.
            event = py::make_tuple(int(LATER_READ), node, py::none());
        } else if (is_a(node.attr(name<"parent">()), L->AugAssign)) {
            event = py::make_tuple(int(READ), node, py::none()); // books += ...
        } else {
            py::object statement = certain_binding(node);
            if (!statement) continue;
            event = py::make_tuple(int(BINDING), node, statement);
        }
        events.append(event);
    }
    return events;
}

// Whether every run of `node` comes after a run of the statement `binding`: the
// binding stands in a block of statements that holds node further down.
bool binds_before(py::handle binding, py::handle node) {
    py::object block_owner = binding.attr(name<"parent">());
    py::object sequence = block_owner.attr(name<"child_sequence">())(binding);
    py::object at = borrow(node);
    while (!at.is_none() && !py::object(at.attr(name<"parent">())).is(block_owner))
        at = at.attr(name<"parent">());
    if (at.is_none() || at.is(binding)) return false;
    bool binding_seen = false;
    for (py::handle statement : sequence) {
        if (statement.is(binding))
            binding_seen = true;
        else if (statement.is(at))
            return binding_seen;
    }
    return false;
}

// The conditional expressions whose test holds node: their branches, written before
// the test, run after it (`books[0] if len(books) == 1 else None`).
std::vector<py::object> branches_after(py::handle node) {
    std::vector<py::object> conditionals;
    py::object child = borrow(node);
    for (py::object at = child.attr(name<"parent">());
         !at.is_none() && !support::truthy(child.attr(name<"is_statement">()));
         child = at, at = at.attr(name<"parent">()))
        if (is_a(at, L->IfExp) && child.is(at.attr(name<"test">())))
            conditionals.push_back(at);
    return conditionals;
}

// The loops of the function that may run node again after it ran.
std::vector<py::object> loops_around(py::handle node, py::handle function) {
    std::vector<py::object> loops;
    for (py::object at = node.attr(name<"parent">()); !at.is_none() && !at.is(function);
         at = at.attr(name<"parent">()))
        if ((is_a(at, L->For) || is_a(at, L->While)) && repeats(at, node))
            loops.push_back(at);
    return loops;
}

bool reads_again(py::handle tested, py::handle memo);

py::object events_memo(py::handle self, py::handle node);

// Whether the function that holds `tested` (a name its test fetches the rows of) may
// read the name again afterwards, before it binds it anew. `checker`, when given,
// keeps each function's events of a name for the module. A tree this cannot follow
// answers yes: the test is then left as it is.
bool rows_used_after(py::handle tested, py::handle checker) {
    if (!is_a(tested, L->Name)) return false;
    return support::on_exception(
        [&] {
            py::object memo;
            if (checker) memo = events_memo(checker, tested);
            return reads_again(tested, memo);
        },
        true);
}

bool reads_again(py::handle tested, py::handle memo) {
    py::object function = owning_function(tested);
    if (!function) return false;
    py::object identifier = tested.attr(name<"name">());
    py::object key = py::make_tuple(function, identifier);
    py::object events;
    if (memo) {
        PyObject *known = PyDict_GetItemWithError(memo.ptr(), key.ptr());
        if (known)
            events = borrow(known);
        else if (PyErr_Occurred())
            throw py::error_already_set();
    }
    if (!events) {
        events = name_events(function, identifier);
        if (memo && PyDict_SetItem(memo.ptr(), key.ptr(), events.ptr()) < 0)
            throw py::error_already_set();
    }
    auto test_at = position(tested);
    py::object test_statement = support::call_method(tested, name<"statement">());
    std::vector<py::object> loops = loops_around(tested, function);
    std::vector<py::object> conditionals = branches_after(tested);
    std::vector<py::object> bindings;
    for (py::handle event : events)
        if (event[py::int_(0)].cast<int>() == BINDING)
            bindings.push_back(event[py::int_(2)]);
    // A binding that runs after the test and before every run of the read.
    auto bound_between = [&](py::handle read) {
        for (const py::object &binding : bindings) {
            bool after_test = binding.is(test_statement) || position(binding) > test_at;
            if (after_test && binds_before(binding, read)) return true;
        }
        return false;
    };
    // A binding of the loop's own that comes before every run of the read in it.
    auto bound_in_loop = [&](py::handle loop, py::handle read) {
        for (const py::object &binding : bindings)
            if (is_inside(binding, loop) && binds_before(binding, read)) return true;
        return false;
    };
    for (py::handle event : events) {
        int reach = event[py::int_(0)].cast<int>();
        py::object read = event[py::int_(1)];
        if (reach == BINDING || read.is(tested)) continue;
        if (reach == LATER_READ) return true;
        if (position(read) > test_at && !bound_between(read)) return true;
        for (const py::object &conditional : conditionals)
            if (is_inside(read, conditional)) return true;
        for (const py::object &loop : loops)
            if (repeats(loop, read) && !bound_in_loop(loop, read)) return true;
    }
    return false;
}

// The checker's memo of name_events for the module being linted, a dict keyed by
// (function, name): kept on the checker with its module, and replaced when the module
// changes.
py::object events_memo(py::handle self, py::handle node) {
    py::object module = support::call_method(node, name<"root">());
    py::object kept = support::attr_or_none(self, name<"rows_read">());
    if (PyTuple_Check(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 2 &&
        PyTuple_GET_ITEM(kept.ptr(), 0) == module.ptr())
        return borrow(PyTuple_GET_ITEM(kept.ptr(), 1));
    py::dict memo;
    py::setattr(self, name<"rows_read">(), py::make_tuple(module, memo));
    return std::move(memo);
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
    if (measures_library_value(node) || !support::truthy(queryset_length(node, self)))
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
    if (support::truthy(is_queryset_count(left))) {
        queryset = count_receiver(left);
    } else if (is_a(left, L->Call) && !measures_library_value(left) &&
               support::truthy(queryset_length(left, self))) {
        queryset = left.attr(name<"args">())[py::int_(0)];
    } else {
        return;
    }
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
    else if (may_be_queryset(tested) && is_queryset_value(tested) &&
             !rows_used_after(tested, self))
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

// if qs: and not qs, whose rows are not used after them.
py::object fetching_test_predicate(py::handle predicate) {
    py::object asked = borrow(predicate);
    return py::cpp_function([asked](py::handle node) -> py::object {
        py::object test = node.attr(name<"test">());
        py::object answer = asked(test);
        if (!support::truthy(answer)) return answer;
        return py::bool_(!rows_used_after(test, py::handle()));
    });
}

py::object fetching_not_operand_predicate(py::handle predicate) {
    py::object asked = borrow(predicate);
    return py::cpp_function([asked](py::handle node) -> py::object {
        if (!is_not(node)) return py::bool_(false);
        py::object operand = node.attr(name<"operand">());
        py::object answer = asked(operand);
        if (!support::truthy(answer)) return answer;
        return py::bool_(!rows_used_after(operand, py::handle()));
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
        // Fixed here rather than read from Django: the linter never imports the
        // project's Django, and these have kept their meaning across releases.
        py::frozenset(
            py::make_tuple("aggregate", "alias", "all", "annotate", "bulk_create",
                           "bulk_update", "create", "dates", "datetimes", "defer",
                           "delete", "difference", "distinct", "earliest", "exclude",
                           "explain", "extra", "filter", "get", "get_or_create",
                           "in_bulk", "intersection", "iterator", "latest", "none",
                           "only", "order_by", "prefetch_related", "reverse",
                           "select_for_update", "select_related", "union", "update",
                           "update_or_create", "using", "values", "values_list"))
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
        support::import("astroid.nodes", "AugAssign"),
        support::import("astroid.nodes", "ComprehensionScope"),
        support::import("astroid.nodes", "DelName"),
        support::import("astroid.nodes", "Delete"),
        support::import("astroid.nodes", "For"),
        support::import("astroid.nodes", "GeneratorExp"),
        support::import("astroid.nodes", "IfExp"),
        support::import("astroid.nodes", "Lambda"),
        support::import("astroid.nodes", "Starred"),
        support::import("astroid.nodes", "While"),
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
