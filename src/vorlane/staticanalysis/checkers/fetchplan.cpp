// QuerySet checker: QuerySet sizes and truth tests, and foreign keys read through the
// related object.
#include "support.h"

namespace {

// --- Libs and names ----------------------------------------------------------------

struct Libs {
    py::handle helpers, BaseChecker, IAstroidChecker;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

struct Names {
    py::handle context_string;
};
const Names *N = nullptr;

// --- Tables ------------------------------------------------------------------------

struct Message {
    const char *code, *symbol, *description;
};
const Message MESSAGES[] = {
    {"C9000", "queryset-length",
     "Detects using len(queryset) instead of queryset.count()"},
    {"C9001", "indirect-foreign-key",
     "Traversting foo.bar.pk instead of using foo.bar_pk"},
    {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
    {"C9003", "truthy-instead-exists",
     "Using truthy/falsey check on queryset when exists could be better"},
};

py::dict codes_namespace() {
    py::dict ns;
    for (const Message &msg : MESSAGES) ns[msg.code] = msg.code;
    return ns;
}

// Every text is an empty context string, so a finding's args reach its record as they
// are; one text object per entry.
py::dict msgs_table() {
    py::object context_string = L->helpers.attr(N->context_string);
    py::dict msgs;
    for (const Message &msg : MESSAGES)
        msgs[msg.code] = py::make_tuple(context_string(), msg.symbol, msg.description);
    return msgs;
}

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "fetchplan";
    ns["msgs"] = msgs_table();
    return ns;
}

} // namespace

PYBIND11_MODULE(fetchplan, m) {
    support::init_module(m);
    L = new Libs{
        support::import("vorlane.staticanalysis.helpers"),
        support::import("pylint.checkers", "BaseChecker"),
        support::import("pylint.interfaces", "IAstroidChecker"),
    };
    N = new Names{support::intern("context_string")};
    py::object getLogger = py::module_::import("logging").attr("getLogger");
    m.attr("logger") = getLogger(m.attr("__name__"));
    support::make_class(m, "Codes", py::tuple(), codes_namespace());
    support::make_class(m, "Checker", py::make_tuple(L->BaseChecker),
                        checker_namespace());
}
