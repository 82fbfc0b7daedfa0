// URL checker: duplicate URL names and reverse_lazy where reverse would do.
#include "support.h"

namespace {

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle BaseChecker, IAstroidChecker, resolvers;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C6001", "non-unique-url-name", "Non unique URL name"},
    {"C6002", "reverse-lazy-misuse", "Using reverse_lazy when reverse would be better"},
};

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "urls";
    ns["msgs"] = support::msgs_table(MESSAGES);
    return ns;
}

} // namespace

PYBIND11_MODULE(urls, m) {
    support::init_module(m);
    L = new Libs{
        support::import("pylint.checkers", "BaseChecker"),
        support::import("pylint.interfaces", "IAstroidChecker"),
        // Django's route parser names the converters of a route.
        support::import("django.urls.resolvers"),
    };
    support::make_class(m, "Codes", py::tuple(), support::codes_namespace(MESSAGES));
    support::make_class(m, "Checker", py::make_tuple(L->BaseChecker),
                        checker_namespace());
}
