// Model module layout checker: how many models a module holds, the order of their
// members and the prefixes of their names.
#include "support.h"

namespace {

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle BaseChecker, IAstroidChecker;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

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

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "models";
    ns["msgs"] = support::msgs_table(MESSAGES);
    ns["options"] = support::int_options(OPTIONS);
    return ns;
}

} // namespace

PYBIND11_MODULE(classlayout, m) {
    support::init_module(m);
    L = new Libs{
        support::import("pylint.checkers", "BaseChecker"),
        support::import("pylint.interfaces", "IAstroidChecker"),
    };
    support::make_class(m, "Codes", py::tuple(), support::codes_namespace(MESSAGES));
    support::make_class(m, "Checker", py::make_tuple(L->BaseChecker),
                        checker_namespace());
}
