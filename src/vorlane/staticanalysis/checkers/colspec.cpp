// Model field checker: the rules on Django model field declarations, and the rewrites
// that fix them.
#include "support.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using support::contains;

using namespace pybind11::literals;
using support::name;
using support::steal;

// --- Libraries -----------------------------------------------------------------------

// Imports, made once at load and never released (interpreter exit order).
struct Libs {
    // colspec itself: its constant and Codes are read back at each use
    py::handle module;
    // its functions are looked up at each call, so tests can patch them
    py::handle helpers;
    py::handle safe_infer, Counter, Iterable, Call, Keyword, const_factory;
    // astroid node classes the rules read
    py::handle AnnAssign, Assign, Attribute, ClassDef, Compare, Const, Dict, Expr,
        FunctionDef, Name, Subscript;
    // astroid.const.Context: tells a read of kwargs["x"] from a write or a del
    py::handle Context;
};
const Libs *L = nullptr;

// --- Tables --------------------------------------------------------------------------

// C2007, C2009 and C2010 are retired numbers: never hand them out again.
const support::Message MESSAGES[] = {
    {"C2000", "nullable-string-field", "Nullable"},
    {"C2001", "tall-model", "Too many fields"},
    {"C2002", "redundant-default-args", "Implicit false"},
    {"C2003", "field-null-not-blank", "Field not nullable"},
    {"C2004", "brittle-unique-for", "Brittle unique"},
    {"C2005", "missing-related-name", "ForeignKey missing"},
    {"C2006", "huge-max-length", "Huge charfield max_length"},
    {"C2008", "deprecated-nullboolean-field", "Nullable BooleanField"},
    {"C2011", "non-unique-primary", "Non-unique primary key"},
};

// "max-charfield-length" is accepted so that a project may set it; the CharField limit
// itself is the module constant MAX_CHARFIELD_LENGTH.
const support::IntOption OPTIONS[] = {
    {"max-colspec", 20, "Maximum number of fields for a model"},
    {"max-charfield-length", 512, "Maximum size of max_length on a CharField"},
};

// The rules with a rewrite, in code order.
const support::Rewrite REWRITES[] = {
    {"C2000", "Call", "transform_null_to_default_str", "is_null_stringfield"},
    {"C2002", "Call", "transform_redundant_kwargs", "has_redundant_kwargs"},
    {"C2003", "Call", "transform_add_blank_true", "is_missing_blank_true"},
    {"C2006", "Call", "transform_huge_char_field", "is_huge_char_field"},
    {"C2008", "Call", "transform_nullboolean", "is_nullboolean"},
};

// --- Small tools ---------------------------------------------------------------------

// Drops the pending Python error when it is an ordinary one (Exception); anything else
// (KeyboardInterrupt, SystemExit) goes on up.
void drop_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
}

// mapping.get(key), for the dicts the helpers hand back.
py::object get(py::handle mapping, py::handle key) {
    PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
}

py::object equals(py::handle left, py::handle right) {
    return steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
}

// Codes.<which>: every code is spelled through the module's Codes class.
py::object code(py::handle which) {
    return py::object(L->module.attr(name<"Codes">())).attr(which);
}

// --- Calls into helpers --------------------------------------------------------------

using support::helpers_call;
using support::helpers_get_member_name;
using support::helpers_is_model;
using support::helpers_is_model_field;
using support::is_text;
py::object helpers_astroid_node_to_value(py::handle node) {
    return helpers_call(name<"astroid_node_to_value">(), node);
}
py::object helpers_get_node_explicit_arguments(py::handle node) {
    return helpers_call(name<"get_node_explicit_arguments">(), node);
}
py::object helpers_get_node_default_arguments(py::handle node) {
    return helpers_call(name<"get_node_default_arguments">(), node);
}
py::object helpers_get_function_name(py::handle node) {
    return helpers_call(name<"get_function_name">(), node);
}
py::object helpers_field_names(py::handle set_name) {
    return L->helpers.attr(set_name);
}

// Renames the field class the call names; false, with the call untouched, when the
// callee is neither `models.X` nor `X` (a class taken from a subscript or a call).
bool helpers_set_function_name(py::handle node, const char *new_name) {
    try {
        L->helpers.attr(name<"set_function_name">())("node"_a = node,
                                                     "new_name"_a = new_name);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_NotImplementedError)) throw;
        return false;
    }
    return true;
}

void helpers_add_to_keywords(py::handle keywords, py::handle keyword) {
    L->helpers.attr(name<"add_to_keywords">())("keywords"_a = keywords,
                                               "keyword"_a = keyword);
}

// --- Syntax --------------------------------------------------------------------------

using support::is_a;

// The text of a string literal, or a null object for any other node.
py::object text_constant(py::handle node) {
    if (!is_a(node, L->Const)) return py::object();
    py::object value = node.attr(name<"value">());
    if (!PyUnicode_Check(value.ptr())) return py::object();
    return value;
}

// A plain name reading `identifier`.
bool is_name(py::handle node, py::handle identifier) {
    return is_a(node, L->Name) && is_text(node.attr(name<"name">()), identifier);
}

// The nodes of the given classes below node (node included), in tree order.
py::object nodes_of_class(py::handle node, py::handle classes) {
    return node.attr(name<"nodes_of_class">())(classes);
}

// The first keyword named `option`, or None.
py::object find_keyword(py::handle keywords, py::handle option) {
    for (py::handle keyword : py::iter(keywords))
        if (is_text(keyword.attr(name<"arg">()), option))
            return py::reinterpret_borrow<py::object>(keyword);
    return py::none();
}

// The truth of what a value node evaluates to (`False`, `0`, a module constant bound
// to False); nullopt where static evaluation stops at a node or an instance (a call,
// an import), whose truth only running the code would tell.
std::optional<bool> known_truth(py::handle node) {
    py::object value = helpers_astroid_node_to_value(node);
    PyObject *v = value.ptr();
    if (v == Py_None || PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v) ||
        PyUnicode_Check(v) || PyBytes_Check(v) || PyList_Check(v) || PyDict_Check(v))
        return support::truthy(value);
    return std::nullopt;
}

// --- Defaults a constructor sets itself ----------------------------------------------

// What an `editable` keyword is as it goes down the constructors: surely false, left
// out (Field then takes editable=True), or maybe true. In this order no later one is
// less editable than an earlier one, whatever code follows: where two outcomes are
// possible, the larger stands for both.
enum Passed : unsigned char { FALSE_VALUE, LEFT_OUT, MAYBE_TRUE };

// What a stretch of constructor code makes of the `editable` that reaches it, for each
// of the three ways it may arrive.
struct EditableFlow {
    Passed out[3] = {FALSE_VALUE, LEFT_OUT, MAYBE_TRUE}; // untouched

    // kwargs["editable"] = value
    static EditableFlow forced(Passed value) {
        return EditableFlow{{value, value, value}};
    }
    // kwargs.setdefault("editable", value)
    static EditableFlow defaulted(Passed value) {
        return EditableFlow{{FALSE_VALUE, value, MAYBE_TRUE}};
    }
    // Code that may or may not run (under an `if`, in a loop): either outcome.
    EditableFlow maybe() const {
        EditableFlow flow;
        for (int i = 0; i < 3; ++i)
            flow.out[i] = std::max(flow.out[i], out[i]);
        return flow;
    }
    // This stretch, then `next`.
    void then(const EditableFlow &next) {
        for (Passed &value : out)
            value = next.out[value];
    }

    // The memo keeps a flow as a small int.
    long code() const { return out[0] + 3 * out[1] + 9 * out[2]; }
    static EditableFlow from_code(long code) {
        EditableFlow flow;
        for (Passed &value : flow.out) {
            value = static_cast<Passed>(code % 3);
            code /= 3;
        }
        return flow;
    }
};

// What a written `editable` value passes on; one whose truth is not known may be true.
Passed passed(py::handle value_node) {
    return known_truth(value_node) == false ? FALSE_VALUE : MAYBE_TRUE;
}

// node.<attribute> is other itself.
bool attr_is(py::handle node, py::handle attribute, py::handle other) {
    return py::object(node.attr(attribute)).ptr() == other.ptr();
}

// What one mention of kwargs["editable"] in an __init__ does to the keyword. Only the
// two writes Django's own fields use are followed, as statements of the __init__ body
// itself (BinaryField's `kwargs.setdefault("editable", False)`); nested in an `if`
// (DateField's auto_now branch) they may not run. Reads change nothing; anything else
// (pop, del, update) may leave any value, so it counts as maybe true.
EditableFlow editable_step(py::handle init, py::handle node) {
    py::object parent = node.attr(name<"parent">());
    if (is_a(node, L->Compare)) return EditableFlow{};
    if (is_a(node, L->Subscript)) {
        if (is_a(parent, L->Assign) && contains(parent.attr(name<"targets">()), node)) {
            auto flow = EditableFlow::forced(passed(parent.attr(name<"value">())));
            return attr_is(parent, name<"parent">(), init) ? flow : flow.maybe();
        }
        py::object load = L->Context.attr(name<"Load">());
        if (attr_is(node, name<"ctx">(), load)) return EditableFlow{};
        return EditableFlow::forced(MAYBE_TRUE);
    }
    py::object method = node.attr(name<"func">()).attr(name<"attrname">());
    if (is_text(method, name<"get">())) return EditableFlow{};
    if (!is_text(method, name<"setdefault">())) return EditableFlow::forced(MAYBE_TRUE);
    py::object args = node.attr(name<"args">());
    // setdefault("editable") puts None there: false.
    auto flow = EditableFlow::defaulted(py::len(args) > 1 ? passed(args[py::int_(1)])
                                                          : FALSE_VALUE);
    // kwargs.setdefault(...) as a statement, or the value a statement assigns.
    bool statement = (is_a(parent, L->Expr) || is_a(parent, L->Assign)) &&
                     attr_is(parent, name<"value">(), node) &&
                     attr_is(parent, name<"parent">(), init);
    return statement ? flow : flow.maybe();
}

// Adds to `out` the keywords that an __init__ sets or reads in its **kwargs, named
// `kwarg`: kwargs.setdefault("x", v), kwargs.get("x"), kwargs.pop("x"),
// kwargs.update(x=v), kwargs["x"] read, written or deleted, and "x" in kwargs. What
// the code does to "editable" goes on `editable`, in the order of the code.
void add_handled_keywords(py::handle init, py::handle kwarg, py::set &out,
                          EditableFlow &editable) {
    auto handled = [&](py::handle key, py::handle node) {
        out.add(key);
        if (is_text(key, name<"editable">())) editable.then(editable_step(init, node));
    };
    py::tuple kinds = py::make_tuple(L->Call, L->Subscript, L->Compare);
    for (py::handle node : nodes_of_class(init, kinds)) {
        if (is_a(node, L->Subscript)) {
            if (!is_name(node.attr(name<"value">()), kwarg)) continue;
            py::object key = text_constant(node.attr(name<"slice">()));
            if (key) handled(key, node);
        } else if (is_a(node, L->Compare)) {
            py::object key = text_constant(node.attr(name<"left">()));
            py::object ops = node.attr(name<"ops">());
            if (!key || py::len(ops) == 0) continue;
            py::object pair = ops[py::int_(0)];
            py::object op = pair[py::int_(0)];
            if ((is_text(op, name<"in">()) || is_text(op, name<"not in">())) &&
                is_name(pair[py::int_(1)], kwarg))
                handled(key, node);
        } else {
            py::object func = node.attr(name<"func">());
            if (!is_a(func, L->Attribute) || !is_name(func.attr(name<"expr">()), kwarg))
                continue;
            py::object method = func.attr(name<"attrname">());
            py::object args = node.attr(name<"args">());
            if (is_text(method, name<"setdefault">()) ||
                is_text(method, name<"get">()) || is_text(method, name<"pop">())) {
                if (py::len(args) == 0) continue;
                py::object key = text_constant(args[py::int_(0)]);
                if (key) handled(key, node);
            } else if (is_text(method, name<"update">())) {
                py::object keywords = node.attr(name<"keywords">());
                if (support::truthy(keywords))
                    for (py::handle keyword : keywords) {
                        py::object arg = keyword.attr(name<"arg">());
                        if (!arg.is_none()) handled(arg, node);
                    }
                if (py::len(args) == 0 || !is_a(args[py::int_(0)], L->Dict)) continue;
                for (py::handle item : args[py::int_(0)].attr(name<"items">())) {
                    py::object key =
                        text_constant(py::reinterpret_borrow<py::tuple>(item)[0]);
                    if (key) handled(key, node);
                }
            }
        }
    }
}

// The parameters of a signature whose default the defaults of the field call take:
// those with a default not written as NOT_PROVIDED, keyword-only ones included.
void add_declared_defaults(py::handle args, py::set &out) {
    auto declare = [&](py::handle parameter, py::handle default_node) {
        py::object written = support::attr_or_none(default_node, name<"name">());
        if (is_text(written, name<"NOT_PROVIDED">())) return;
        out.add(parameter.attr(name<"name">()));
    };
    py::object defaults = args.attr(name<"defaults">());
    py::object arguments = args.attr(name<"arguments">());
    if (support::truthy(defaults) && support::truthy(arguments)) {
        py::list values(defaults), parameters(arguments);
        Py_ssize_t offset = py::len(parameters) - py::len(values);
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(values)); ++i)
            if (offset + i >= 0) declare(parameters[offset + i], values[i]);
    }
    py::object kwonly = args.attr(name<"kwonlyargs">());
    py::object kw_defaults = args.attr(name<"kw_defaults">());
    if (!support::truthy(kwonly) || !support::truthy(kw_defaults)) return;
    py::list parameters(kwonly), values(kw_defaults);
    size_t count = std::min(py::len(parameters), py::len(values));
    for (size_t i = 0; i < count; ++i)
        if (!values[i].is_none()) declare(parameters[i], values[i]);
}

// What the constructors of one field class do themselves, the same for all its calls.
struct InitFacts {
    // The keywords whose default the signatures do not tell.
    py::set handled;
    // What becomes of the editable a call passes.
    EditableFlow editable;
    // Django's DateField or TimeField is a base: a true auto_now or auto_now_add makes
    // the field non-editable, under an `if` that the editable flow does not follow.
    bool stamps = false;
};

// The facts of a field class, read along its MRO. The defaults come from the first
// __init__ that declares each parameter; when an __init__ before it sets or reads the
// keyword in its **kwargs (AutoSlugField's `kwargs.setdefault("editable", False)`,
// EmailField's max_length), a call that leaves the keyword out gets what that code
// makes of it, and writing the declared default is no restatement. For the same reason
// only those __init__s decide what becomes of `editable`.
InitFacts set_in_init(py::handle inferred) {
    InitFacts facts;
    py::set declared;
    py::object mro = support::call_method(inferred, name<"mro">());
    for (py::handle cls : mro) {
        if (!facts.stamps) {
            py::object qualified = support::call_method(cls, name<"qname">());
            facts.stamps =
                is_text(qualified, name<"django.db.models.fields.DateField">()) ||
                is_text(qualified, name<"django.db.models.fields.TimeField">());
        }
        if (!contains(cls, name<"__init__">())) continue;
        py::object init = cls[name<"__init__">()];
        if (!is_a(init, L->FunctionDef)) continue; // `__init__ = other`: no signature
        py::object args = init.attr(name<"args">());
        py::object kwarg = args.attr(name<"kwarg">());
        if (PyUnicode_Check(kwarg.ptr())) {
            py::set seen;
            EditableFlow editable;
            add_handled_keywords(init, kwarg, seen, editable);
            for (py::handle keyword : seen)
                if (!declared.contains(keyword)) facts.handled.add(keyword);
            if (!declared.contains(name<"editable">())) facts.editable.then(editable);
        }
        add_declared_defaults(args, declared);
    }
    return facts;
}

// --- Field facts ---------------------------------------------------------------------

// What the rules read of one call, each fact fetched at its first use. The checker
// asks all its rules about a call through one Field; a predicate called on its own
// makes a Field of its own, so no fact outlives the question.
class Field {
public:
    // `defaults_memo`, when given, is a dict from call node to default arguments that
    // the keywords of one call share; `init_memo` one from field class to what its
    // constructors do themselves (the checker keeps both per module).
    explicit Field(py::handle node, py::object defaults_memo = py::object(),
                   py::object init_memo = py::object())
        : node_(node), memo_(std::move(defaults_memo)),
          init_memo_(std::move(init_memo)) {}

    py::handle node() const { return node_; }

    bool is_model_field() {
        if (!is_field_) is_field_ = helpers_is_model_field(node_);
        return *is_field_;
    }

    // The unqualified class name of what the call infers to; nullopt when it does not
    // infer (the predicates then answer None).
    const std::optional<py::object> &class_name() {
        if (!class_name_known_) {
            class_name_known_ = true;
            py::object inferred = L->safe_infer(node_);
            if (support::truthy(inferred))
                class_name_ = support::attr_or_none(inferred, name<"name">());
        }
        return class_name_;
    }

    bool class_named(py::handle text) {
        return class_name() && is_text(*class_name(), text);
    }

    bool class_in(py::handle set_name) {
        return class_name() && contains(helpers_field_names(set_name), *class_name());
    }

    py::object explicit_args() {
        if (!explicit_) explicit_ = helpers_get_node_explicit_arguments(node_);
        return explicit_;
    }

    py::object defaults() {
        if (defaults_) return defaults_;
        if (memo_) {
            PyObject *known = PyDict_GetItemWithError(memo_.ptr(), node_.ptr());
            if (known) return defaults_ = py::reinterpret_borrow<py::object>(known);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        defaults_ = helpers_get_node_default_arguments(node_);
        if (memo_ && PyDict_SetItem(memo_.ptr(), node_.ptr(), defaults_.ptr()) < 0)
            throw py::error_already_set();
        return defaults_;
    }

    // Whether the field class's constructors set or read the keyword themselves, so
    // that its declared default is not what a call without it gets. Asked only of a
    // keyword that restates its declared default, which few do.
    bool default_set_in_init(py::handle keyword) {
        return contains(init_facts().handled, keyword);
    }

    // What the field class's constructors do themselves; nothing for a call that does
    // not infer, or a class whose MRO cannot be read (it has no signatures either).
    const InitFacts &init_facts() {
        if (init_facts_) return *init_facts_;
        py::object inferred = L->safe_infer(node_);
        if (!support::truthy(inferred)) return init_facts_.emplace();
        // Calls of one class share the answer: it is the class's. The memo keeps it as
        // (handled keywords, editable flow, stamps).
        py::object key = support::attr_or_none(inferred, name<"_proxied">());
        if (key.is_none()) key = inferred;
        if (init_memo_) {
            PyObject *known = PyDict_GetItemWithError(init_memo_.ptr(), key.ptr());
            if (known) {
                auto memo = py::reinterpret_borrow<py::tuple>(known);
                return init_facts_.emplace(
                    InitFacts{py::reinterpret_borrow<py::set>(memo[0]),
                              EditableFlow::from_code(memo[1].cast<long>()),
                              memo[2].ptr() == Py_True});
            }
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        init_facts_ = support::on_exception(
            [&]() -> InitFacts { return set_in_init(inferred); }, InitFacts{});
        if (init_memo_) {
            py::tuple memo =
                py::make_tuple(init_facts_->handled, init_facts_->editable.code(),
                               init_facts_->stamps);
            if (PyDict_SetItem(init_memo_.ptr(), key.ptr(), memo.ptr()) < 0)
                throw py::error_already_set();
        }
        return *init_facts_;
    }

    // The defaults of the field class overlaid with the keywords the call writes; the
    // explicit arguments are fetched first, as their inference may load what the
    // defaults then find.
    py::dict options() {
        py::object explicit_values = explicit_args();
        py::object default_values = defaults();
        py::dict merged;
        if (PyDict_Merge(merged.ptr(), default_values.ptr(), 1) < 0 ||
            PyDict_Merge(merged.ptr(), explicit_values.ptr(), 1) < 0)
            throw py::error_already_set();
        return merged;
    }

private:
    py::handle node_;
    py::object memo_, init_memo_;
    std::optional<InitFacts> init_facts_;
    std::optional<bool> is_field_;
    bool class_name_known_ = false;
    std::optional<py::object> class_name_;
    py::object explicit_, defaults_;
};

// `value, _ = entry` as the interpreter unpacks it; nullopt when entry does not unpack
// into exactly two items.
std::optional<py::object> first_of_pair(py::handle entry) {
    PyObject *iterator = PyObject_GetIter(entry.ptr());
    if (!iterator) {
        drop_ordinary_error();
        return std::nullopt;
    }
    py::object it = steal(iterator);
    py::object items[3];
    int count = 0;
    while (count < 3) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) {
                drop_ordinary_error();
                return std::nullopt;
            }
            break;
        }
        items[count++] = steal(item);
    }
    if (count != 2) return std::nullopt;
    return items[0];
}

// choices=[('', '---'), ('a', 'A')]: a blank choice is offered. Anything that is not a
// list of pairs (a number, None, entries of other sizes) answers false.
bool offers_blank_choice(py::handle keyword) {
    py::object choices = helpers_astroid_node_to_value(keyword.attr(name<"value">()));
    if (!support::isinstance(choices, L->Iterable)) return false;
    py::str blank("");
    for (py::handle entry : py::iter(choices)) {
        auto value = first_of_pair(entry);
        if (!value) return false;
        if (support::truthy(equals(*value, blank))) return true;
    }
    return false;
}

// --- NULL a model relies on ----------------------------------------------------------

// unique=True, or a unique value that cannot be evaluated and so may be true.
bool writes_true_unique(py::handle call) {
    py::object keywords = call.attr(name<"keywords">());
    if (!support::truthy(keywords)) return false;
    py::object unique = find_keyword(keywords, name<"unique">());
    return !unique.is_none() &&
           support::truthy(helpers_astroid_node_to_value(unique.attr(name<"value">())));
}

// Some string literal below node is `text`.
bool mentions_text(py::handle node, py::handle text) {
    for (py::handle constant : nodes_of_class(node, L->Const))
        if (is_text(constant.attr(name<"value">()), text)) return true;
    return false;
}

// Some keyword below node is named `lookup`, or some string literal is `lookup`:
// Q(code__isnull=True) and Q(("code__isnull", True)).
bool mentions_lookup(py::handle node, py::handle lookup) {
    for (py::handle keyword : nodes_of_class(node, L->Keyword))
        if (is_text(keyword.attr(name<"arg">()), lookup)) return true;
    return mentions_text(node, lookup);
}

// What the class body binds to `option`, as astroid's locals hold it (empty when
// nothing).
py::list class_bindings(py::handle cls, py::handle option) {
    py::object locals = cls.attr(name<"locals">());
    PyObject *bindings = PyDict_GetItemWithError(locals.ptr(), option.ptr());
    if (bindings) return py::list(py::reinterpret_borrow<py::object>(bindings));
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::list();
}

// The values the class body assigns to `option`: `unique_together = [...]`.
std::vector<py::object> assigned_values(py::handle cls, py::handle option) {
    std::vector<py::object> values;
    for (py::handle binding : class_bindings(cls, option)) {
        py::object statement = support::attr_or_none(binding, name<"parent">());
        if (!is_a(statement, L->Assign) && !is_a(statement, L->AnnAssign)) continue;
        py::object value = statement.attr(name<"value">());
        if (!value.is_none()) values.push_back(value);
    }
    return values;
}

// The classes the class body defines under `option`: its inner `class Meta`.
std::vector<py::object> assigned_classes(py::handle cls, py::handle option) {
    std::vector<py::object> classes;
    for (py::handle binding : class_bindings(cls, option))
        if (is_a(binding, L->ClassDef))
            classes.push_back(py::reinterpret_borrow<py::object>(binding));
    return classes;
}

// The model's own Meta names the field where a second row with the field blank would
// break a constraint that NULL satisfies:
//     class Meta:
//         unique_together = [("shelf", "code")]
//         constraints = [
//             models.UniqueConstraint(fields=["code"], name="one_code"),
//             models.CheckConstraint(check=Q(code__isnull=False) | Q(...), name="x"),
//         ]
// Expressions of a UniqueConstraint (Lower("code")) name it as its fields do.
bool meta_relies_on_null(py::handle model, py::handle member) {
    py::object lookup = member + py::str("__isnull");
    for (py::handle meta : assigned_classes(model, name<"Meta">())) {
        for (const py::object &value : assigned_values(meta, name<"unique_together">()))
            if (mentions_text(value, member)) return true;
        for (const py::object &value : assigned_values(meta, name<"constraints">())) {
            if (mentions_lookup(value, lookup)) return true;
            for (py::handle call : nodes_of_class(value, L->Call)) {
                // models.UniqueConstraint(...); a computed callee names nothing.
                if (!is_text(helpers_get_function_name(call),
                             name<"UniqueConstraint">()))
                    continue;
                for (py::handle argument : call.attr(name<"args">()))
                    if (mentions_text(argument, member)) return true;
                py::object keywords = call.attr(name<"keywords">());
                if (!support::truthy(keywords)) continue;
                for (py::handle keyword : keywords)
                    if (is_text(keyword.attr(name<"arg">()), name<"fields">()) &&
                        mentions_text(keyword.attr(name<"value">()), member))
                        return true;
            }
        }
    }
    return false;
}

// --- Predicates ----------------------------------------------------------------------
// Each rule is written once over a Field; the Python-visible predicate of the same name
// asks it about a Field of its own.

// title = models.CharField(null=True): answers the merged null option itself.
py::object is_null_stringfield(Field &field) {
    if (!field.is_model_field()) return py::bool_(false);
    // The object-id field of a GenericForeignKey may well be nullable text.
    py::object frame = support::call_method(field.node(), name<"frame">());
    auto generic_names =
        support::try_attr(frame, name<"generic_foreign_key_field_names">());
    if (generic_names && helpers_is_model(frame) &&
        contains(*generic_names, helpers_get_member_name(field.node())))
        return py::bool_(false);
    if (!field.class_in(name<"DJANGO_STRING_FIELDS">())) return py::none();
    py::object null = get(field.options(), name<"null">());
    if (!support::truthy(null)) return null;
    // Where uniqueness rests on the field, NULL is what lets many rows leave it blank:
    // an empty default would make the second such row fail to save.
    if (writes_true_unique(field.node())) return py::bool_(false);
    if (is_a(frame, L->ClassDef)) {
        py::object member = helpers_get_member_name(field.node());
        if (PyUnicode_Check(member.ptr()) && meta_relies_on_null(frame, member))
            return py::bool_(false);
    }
    return null;
}

// Whether the keyword restates its parameter's default: the comparison itself (blank=0
// equals the default False too), or None for a keyword of no parameter with a default.
// A default the class's own constructor code replaces (see defaults_set_in_init) is
// none to restate: None.
py::object restates_default(py::handle keyword, py::handle defaults, Field &call) {
    py::object arg = keyword.attr(name<"arg">());
    if (arg.is_none() || !contains(defaults, arg)) return py::none();
    py::object value = helpers_astroid_node_to_value(keyword.attr(name<"value">()));
    py::object answer = equals(value, py::object(defaults[arg]));
    if (support::truthy(answer) && call.default_set_in_init(arg)) return py::none();
    return answer;
}

// models.CharField(max_length=20, null=False): `null=False` restates Field's default.
py::object is_redundant_kwargs(py::handle node, Field &call) {
    // **options names no parameter: known before the field is inferred.
    if (node.attr(name<"arg">()).is_none()) return py::none();
    if (!call.is_model_field()) return py::none();
    return restates_default(node, call.defaults(), call);
}

// models.CharField(max_length=20, null=False): some keyword restates its default.
bool has_redundant_kwargs(Field &field) {
    py::object keywords = field.node().attr(name<"keywords">());
    if (!support::truthy(keywords)) return false;
    for (py::handle keyword : py::iter(keywords))
        if (support::truthy(is_redundant_kwargs(keyword, field))) return true;
    return false;
}

// No form shows the field, and Field.validate passes it by, so blank=True would change
// nothing:
//     models.IntegerField(null=True, editable=False)
//     models.BinaryField(null=True)      # its __init__: setdefault("editable", False)
//     models.DateTimeField(null=True, auto_now=True)  # DateField's sets editable=False
// A written value whose truth is not known may be true: the field may be editable.
bool is_not_editable(Field &field) {
    py::object keywords = field.node().attr(name<"keywords">());
    if (!support::truthy(keywords)) keywords = py::list();
    const InitFacts &facts = field.init_facts();
    if (facts.stamps)
        for (py::handle option : {name<"auto_now">(), name<"auto_now_add">()}) {
            py::object keyword = find_keyword(keywords, option);
            if (!keyword.is_none() &&
                known_truth(keyword.attr(name<"value">())) == true)
                return true;
        }
    py::object editable = find_keyword(keywords, name<"editable">());
    Passed written = LEFT_OUT;
    if (!editable.is_none())
        written = passed(editable.attr(name<"value">()));
    else
        for (py::handle keyword : keywords)
            if (keyword.attr(name<"arg">()).is_none())
                written = MAYBE_TRUE; // `**options` may carry any editable
    return facts.editable.out[written] == FALSE_VALUE;
}

// count = models.IntegerField(null=True): forms would still demand a value.
py::object is_missing_blank_true(Field &field) {
    if (!field.is_model_field()) return py::bool_(false);
    if (!field.class_name()) return py::none();
    if (field.class_in(name<"DJANGO_STRING_FIELDS">())) return py::none();
    if (field.class_in(name<"DJANGO_BOOLEAN_FIELDS">())) return py::none();
    py::object explicit_args = field.explicit_args();
    py::object null = get(explicit_args, name<"null">());
    if (!support::truthy(null)) return null;
    if (support::truthy(get(explicit_args, name<"blank">()))) return py::bool_(false);
    if (!get(explicit_args, name<"default">()).is_none()) return py::bool_(false);
    // Asked last, of the few calls that would be reported. A field whose code cannot
    // be read is taken as editable: reported, as before.
    auto not_editable = [&]() { return is_not_editable(field); };
    return py::bool_(!support::on_exception(not_editable, false));
}

// models.DateField(unique_for_date='published'): the keyword alone decides.
py::object is_fragile_unique_for(py::handle keyword_node) {
    py::object arg = keyword_node.attr(name<"arg">());
    if (is_text(arg, name<"unique_for_date">()) ||
        is_text(arg, name<"unique_for_month">()) ||
        is_text(arg, name<"unique_for_year">()))
        return py::bool_(true);
    return py::none();
}

// author = models.ForeignKey(Author, on_delete=models.CASCADE) in a concrete model.
py::object is_fk_mising_related_name(Field &field) {
    if (!field.class_named(name<"ForeignKey">())) return py::none();
    py::object node_class = support::call_method(field.node(), name<"frame">());
    if (support::truthy(get(field.explicit_args(), name<"related_name">())))
        return py::bool_(false);
    py::object abstract = helpers_call(name<"is_node_abstract_model">(), node_class);
    return py::bool_(!support::truthy(abstract));
}

// title = models.CharField(max_length=600): over MAX_CHARFIELD_LENGTH.
py::object is_huge_char_field(Field &field) {
    if (!field.is_model_field()) return py::bool_(false);
    if (!field.class_named(name<"CharField">())) return py::none();
    py::object max_length = get(field.options(), name<"max_length">());
    py::object length = py::int_(0);
    if (support::truthy(max_length)) {
        // As int() converts; a length it cannot convert ('abc', a node inference
        // could not evaluate) is no finding.
        PyObject *number = PyNumber_Long(max_length.ptr());
        if (!number) {
            drop_ordinary_error();
            return py::bool_(false);
        }
        length = steal(number);
    }
    py::object limit = L->module.attr(name<"MAX_CHARFIELD_LENGTH">());
    return steal(PyObject_RichCompare(length.ptr(), limit.ptr(), Py_GT));
}

// flag = models.NullBooleanField()
py::object is_nullboolean(Field &field) {
    if (!field.is_model_field()) return py::bool_(false);
    if (!field.class_name()) return py::none();
    return py::bool_(field.class_named(name<"NullBooleanField">()));
}

// code = models.IntegerField(primary_key=True, unique=False)
py::object is_non_unique_fk(Field &field) {
    py::object explicit_args = field.explicit_args();
    py::object primary_key = contains(explicit_args, name<"primary_key">())
                                 ? get(explicit_args, name<"primary_key">())
                                 : get(field.defaults(), name<"primary_key">());
    if (!support::truthy(primary_key)) return primary_key;
    return py::bool_(get(explicit_args, name<"unique">()).ptr() == Py_False);
}

// The predicates as Python sees them: one node each, facts fetched afresh.
template <py::object (*rule)(Field &)> py::object on_call(py::handle node) {
    Field field(node);
    return rule(field);
}

py::object is_redundant_kwargs(py::handle node) {
    Field call(node.attr(name<"parent">()));
    return is_redundant_kwargs(node, call);
}

bool has_redundant_kwargs(py::handle node) {
    Field field(node);
    return has_redundant_kwargs(field);
}

// --- Checker -------------------------------------------------------------------------

void report(py::handle self, py::handle which, py::handle node, py::handle args) {
    support::add_message(self, code(which), node, args);
}

py::dict name_args(py::handle member) {
    py::dict args;
    args[name<"name">()] = member;
    return args;
}

void visit_module(py::handle self, py::handle node) {
    py::setattr(self, name<"field_counter">(), L->Counter());
    // The keywords of a field call share the defaults of its class, and the calls of a
    // class what its constructors set themselves.
    py::setattr(self, name<"field_defaults">(), py::dict());
    py::setattr(self, name<"field_init_keywords">(), py::dict());
    // Not known yet: asked at the first call that may declare a field.
    py::setattr(self, name<"migration_module">(), py::none());
}

// Migrations are full of field calls, none of them a declaration to judge. The answer
// holds for the whole module: it is asked once, when the first call that may declare
// a field comes up, and modules without one never pay for it.
bool in_migration(py::handle self, py::handle node) {
    return support::in_migration_module(self, node);
}

// A field the checker judges: the facts of its call shared by all the rules.
Field checked_field(py::handle self, py::handle node) {
    return Field(node, self.attr(name<"field_defaults">()),
                 self.attr(name<"field_init_keywords">()));
}

// field_counter[node.scope()] += 1, read back in leave_classdef.
void count_field(py::handle self, py::handle node) {
    py::object counter = self.attr(name<"field_counter">());
    py::object scope = support::call_method(node, name<"scope">());
    py::object count = steal(PyObject_GetItem(counter.ptr(), scope.ptr()));
    py::object next = steal(PyNumber_Add(count.ptr(), py::int_(1).ptr()));
    if (PyObject_SetItem(counter.ptr(), scope.ptr(), next.ptr()) < 0)
        throw py::error_already_set();
}

// A field is declared by calling its class: `title = models.CharField(...)`. A call of
// a function or method that returns a field (`copy(field)`, `make_field(null=True)`)
// declares nothing, and its keywords are no field options to judge; telling the two
// apart by the callee's spelling spares inferring every call of a project. A class of
// the standard library or the builtins (`Decimal(...)`, `ValueError(...)`) is no field
// either, and is told from its import alone.
bool may_declare_field(py::handle call) {
    return support::callee_looks_like_class(call) &&
           !support::from_standard_library(call.attr(name<"func">()));
}

// The tests of may_declare_field, with the member name between them: cheapest first.
void visit_call(py::handle self, py::handle node) {
    if (!support::callee_looks_like_class(node)) return;
    // A plain-name assignment is a syntactic test: asked before any inference.
    py::object member = helpers_get_member_name(node);
    if (member.is_none())
        return; // annotated or tuple targets: not a member declaration
    if (support::from_standard_library(node.attr(name<"func">()))) return;
    if (in_migration(self, node)) return;
    Field field = checked_field(self, node);
    if (!field.is_model_field()) return;
    count_field(self, node);
    if (support::truthy(is_huge_char_field(field))) {
        py::dict args;
        args[name<"name">()] = member;
        args[name<"value">()] = get(field.options(), name<"max_length">());
        report(self, name<"C2006">(), node, args);
    }
    if (support::truthy(is_null_stringfield(field)))
        report(self, name<"C2000">(), node, name_args(member));
    if (support::truthy(is_fk_mising_related_name(field)))
        report(self, name<"C2005">(), node, name_args(member));
    if (support::truthy(is_nullboolean(field)))
        report(self, name<"C2008">(), node, name_args(member));
    if (support::truthy(is_non_unique_fk(field)))
        report(self, name<"C2011">(), node, name_args(member));
    if (support::truthy(is_missing_blank_true(field)))
        report(self, name<"C2003">(), node, name_args(member));
}

// A keyword of an annotated field is still examined: only visit_call needs a member
// name.
void visit_keyword(py::handle self, py::handle node) {
    py::object option = node.attr(name<"arg">());
    if (option.is_none()) return; // **options restates nothing and names no rule
    // Class keywords (`class F(Field, metaclass=M)`) are no field options.
    py::object call = node.attr(name<"parent">());
    if (!support::isinstance(call, L->Call) || !may_declare_field(call)) return;
    if (in_migration(self, node)) return;
    Field field = checked_field(self, call);
    if (!field.is_model_field()) return;
    if (support::truthy(is_redundant_kwargs(node, field))) {
        py::dict args;
        args[name<"name">()] = helpers_get_member_name(call);
        args[name<"option">()] = option;
        args[name<"value">()] =
            helpers_astroid_node_to_value(node.attr(name<"value">()));
        report(self, name<"C2002">(), call, args);
    }
    if (support::truthy(is_fragile_unique_for(node))) {
        py::dict args;
        args[name<"name">()] = helpers_get_member_name(call);
        args[name<"option">()] = option;
        report(self, name<"C2004">(), call, args);
    }
}

void leave_classdef(py::handle self, py::handle node) {
    py::object counter = self.attr(name<"field_counter">());
    py::object count = steal(PyObject_GetItem(counter.ptr(), node.ptr()));
    py::object config = self.attr(name<"linter">()).attr(name<"config">());
    py::object maximum = config.attr(name<"max_colspec">());
    if (!support::truthy(
            steal(PyObject_RichCompare(count.ptr(), maximum.ptr(), Py_GT))))
        return;
    // Abstract models count too: their fields land in every concrete child.
    if (!helpers_is_model(node)) return;
    py::dict args;
    args[name<"count">()] = count;
    report(self, name<"C2001">(), node, args);
}

// --- Rewrites ------------------------------------------------------------------------

py::object constant(py::handle value) {
    return L->const_factory(value);
}

// The call's keyword list, made an empty list first when the call has none.
py::object keyword_list(py::handle node) {
    py::object keywords = node.attr(name<"keywords">());
    if (keywords.is_none()) {
        keywords = py::list();
        node.attr(name<"keywords">()) = keywords;
    }
    return keywords;
}

// Gives the keyword `option` a constant value: the first one written is changed in
// place, else a new one goes before any trailing **options.
void set_keyword(py::handle node, py::handle option, py::handle value) {
    py::object keywords = keyword_list(node);
    py::object keyword = find_keyword(keywords, option);
    if (keyword.is_none()) {
        keyword = L->Keyword(option);
        keyword.attr(name<"value">()) = constant(value);
        helpers_add_to_keywords(keywords, keyword);
        return;
    }
    keyword.attr(name<"value">()) = constant(value);
}

// Deletes the entry that is `keyword` itself.
void remove_keyword(py::handle keywords, py::handle keyword) {
    Py_ssize_t size = PyObject_Length(keywords.ptr());
    if (size < 0) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < size; ++i) {
        py::object entry = keywords[py::int_(i)];
        if (entry.is(keyword)) {
            if (PySequence_DelItem(keywords.ptr(), i) < 0)
                throw py::error_already_set();
            return;
        }
    }
}

// models.CharField(max_length=20, null=False, blank=False) -> (max_length=20)
py::object transform_redundant_kwargs(py::object node) {
    py::object defaults = helpers_get_node_default_arguments(node);
    py::object keywords = node.attr(name<"keywords">());
    if (keywords.is_none()) return node;
    Field field(node);
    std::vector<Py_ssize_t> indexes;
    Py_ssize_t index = 0;
    for (py::handle keyword : py::iter(keywords)) {
        if (support::truthy(restates_default(keyword, defaults, field)))
            indexes.push_back(index);
        ++index;
    }
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it)
        if (PySequence_DelItem(keywords.ptr(), *it) < 0) throw py::error_already_set();
    return node;
}

// models.NullBooleanField() -> models.BooleanField(null=True)
py::object transform_nullboolean(py::object node) {
    if (!helpers_set_function_name(node, "BooleanField")) return node;
    set_keyword(node, name<"null">(), Py_True);
    return node;
}

// models.CharField(max_length=1000, blank=True) -> models.TextField(blank=True)
py::object transform_huge_char_field(py::object node) {
    if (!helpers_set_function_name(node, "TextField")) return node;
    py::object keywords = node.attr(name<"keywords">());
    if (!support::truthy(keywords)) return node;
    py::object max_length = find_keyword(keywords, name<"max_length">());
    if (!max_length.is_none()) remove_keyword(keywords, max_length);
    return node;
}

// models.IntegerField(null=True) -> models.IntegerField(null=True, blank=True)
py::object transform_add_blank_true(py::object node) {
    // The written name decides here, where the predicate went by the inferred class.
    py::object written = helpers_get_function_name(node);
    if (contains(helpers_field_names(name<"DJANGO_STRING_FIELDS">()), written))
        return node;
    set_keyword(node, name<"blank">(), Py_True);
    return node;
}

// models.CharField(max_length=10, null=True)
//     -> models.CharField(max_length=10, default='', blank=True)
// A default other than None is the author's choice and stays.
py::object transform_null_to_default_str(py::object node) {
    py::object null_keyword = py::none(), blank_keyword = py::none(),
               default_keyword = py::none();
    py::object written = node.attr(name<"keywords">());
    if (written.is_none()) written = py::list();
    // Every reason to leave the call alone is found before anything changes.
    for (py::handle keyword : py::iter(written)) {
        py::object arg = keyword.attr(name<"arg">());
        if (is_text(arg, name<"null">())) {
            null_keyword = py::reinterpret_borrow<py::object>(keyword);
        } else if (is_text(arg, name<"blank">())) {
            blank_keyword = py::reinterpret_borrow<py::object>(keyword);
        } else if (is_text(arg, name<"default">())) {
            default_keyword = py::reinterpret_borrow<py::object>(keyword);
        } else if (is_text(arg, name<"choices">())) {
            // Without a blank choice an empty default would be no valid value.
            if (!offers_blank_choice(keyword)) return node;
        } else if (is_text(arg, name<"unique">())) {
            // Many rows would share the empty text, which a unique column refuses.
            py::object unique =
                helpers_astroid_node_to_value(keyword.attr(name<"value">()));
            if (support::truthy(unique)) return node;
        }
    }
    py::object keywords = keyword_list(node);
    py::str empty("");
    if (blank_keyword.is_none()) {
        blank_keyword =
            L->Keyword("arg"_a = name<"blank">(),
                       "lineno"_a = node.attr(name<"lineno">()), "parent"_a = node);
        helpers_add_to_keywords(keywords, blank_keyword);
    }
    blank_keyword.attr(name<"value">()) = constant(Py_True);
    auto empty_if_none = [&](py::handle keyword) {
        py::object value = helpers_astroid_node_to_value(keyword.attr(name<"value">()));
        if (value.is_none()) keyword.attr(name<"value">()) = constant(empty);
    };
    if (!null_keyword.is_none() && !default_keyword.is_none()) {
        empty_if_none(default_keyword);
        remove_keyword(keywords, null_keyword);
    } else if (!null_keyword.is_none()) {
        // The null keyword becomes the default keyword, in its place.
        null_keyword.attr(name<"arg">()) = name<"default">();
        null_keyword.attr(name<"value">()) = constant(empty);
    } else if (!default_keyword.is_none()) {
        empty_if_none(default_keyword);
    } else {
        py::object keyword = L->Keyword(name<"default">());
        keyword.attr(name<"value">()) = constant(empty);
        helpers_add_to_keywords(keywords, keyword);
    }
    return node;
}

py::object build_transformer_visitor(py::handle message_ids) {
    py::module_ m = py::reinterpret_borrow<py::module_>(L->module);
    return support::build_transformer_visitor(m, message_ids, REWRITES);
}

} // namespace

PYBIND11_MODULE(colspec, m) {
    support::init_module(m);
    L = new Libs{
        m.inc_ref(),
        support::import("vorlane.staticanalysis.helpers"),
        support::import("pylint.checkers.utils", "safe_infer"),
        support::import("collections", "Counter"),
        support::import("collections.abc", "Iterable"),
        support::import("astroid.nodes", "Call"),
        support::import("astroid.nodes", "Keyword"),
        support::import("astroid.nodes", "const_factory"),
        support::import("astroid.nodes", "AnnAssign"),
        support::import("astroid.nodes", "Assign"),
        support::import("astroid.nodes", "Attribute"),
        support::import("astroid.nodes", "ClassDef"),
        support::import("astroid.nodes", "Compare"),
        support::import("astroid.nodes", "Const"),
        support::import("astroid.nodes", "Dict"),
        support::import("astroid.nodes", "Expr"),
        support::import("astroid.nodes", "FunctionDef"),
        support::import("astroid.nodes", "Name"),
        support::import("astroid.nodes", "Subscript"),
        support::import("astroid.const", "Context"),
    };
    py::object Checker = support::make_python_checker(m, "colspec", MESSAGES, OPTIONS);
    m.attr("MAX_CHARFIELD_LENGTH") = 512;
    m.attr("DJANGO_STRING_FIELDS") = L->helpers.attr("DJANGO_STRING_FIELDS");
    m.attr("DJANGO_BOOLEAN_FIELDS") = L->helpers.attr("DJANGO_BOOLEAN_FIELDS");

    m.def("is_null_stringfield", &on_call<is_null_stringfield>, py::arg("node"));
    m.def("is_redundant_kwargs", py::overload_cast<py::handle>(&is_redundant_kwargs),
          py::arg("node"));
    m.def("has_redundant_kwargs", py::overload_cast<py::handle>(&has_redundant_kwargs),
          py::arg("node"));
    m.def("is_missing_blank_true", &on_call<is_missing_blank_true>, py::arg("node"));
    m.def("is_fragile_unique_for", &is_fragile_unique_for, py::arg("keyword_node"));
    m.def("is_fk_mising_related_name", &on_call<is_fk_mising_related_name>,
          py::arg("node"));
    m.def("is_huge_char_field", &on_call<is_huge_char_field>, py::arg("node"));
    m.def("is_nullboolean", &on_call<is_nullboolean>, py::arg("node"));
    m.def("is_non_unique_fk", &on_call<is_non_unique_fk>, py::arg("node"));

    support::def_method(Checker, "visit_module", &visit_module, py::arg("node"));
    support::def_method(Checker, "visit_call", &visit_call, py::arg("node"));
    support::def_method(Checker, "visit_keyword", &visit_keyword, py::arg("node"));
    support::def_method(Checker, "leave_classdef", &leave_classdef, py::arg("node"));

    m.def("transform_null_to_default_str", &transform_null_to_default_str,
          py::arg("node"));
    m.def("transform_redundant_kwargs", &transform_redundant_kwargs, py::arg("node"));
    m.def("transform_add_blank_true", &transform_add_blank_true, py::arg("node"));
    m.def("transform_huge_char_field", &transform_huge_char_field, py::arg("node"));
    m.def("transform_nullboolean", &transform_nullboolean, py::arg("node"));
    m.def("build_transformer_visitor", &build_transformer_visitor,
          py::arg("message_ids"));
}
