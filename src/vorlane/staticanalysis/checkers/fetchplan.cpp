// QuerySet checker: QuerySet sizes and truth tests, and foreign keys read through the
// related object.
#include "support.h"

namespace {

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle BaseChecker, IAstroidChecker;
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

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "fetchplan";
    ns["msgs"] = support::msgs_table(MESSAGES);
    return ns;
}

} // namespace

PYBIND11_MODULE(fetchplan, m) {
    support::init_module(m);
    L = new Libs{
        support::import("pylint.checkers", "BaseChecker"),
        support::import("pylint.interfaces", "IAstroidChecker"),
    };
    support::module_logger(m);
    support::make_class(m, "Codes", py::tuple(), support::codes_namespace(MESSAGES));
    support::make_class(m, "Checker", py::make_tuple(L->BaseChecker),
                        checker_namespace());
}
