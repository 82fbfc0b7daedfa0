// Migration checker: model imports and irreversible RunPython operations in migrations.
#include "support.h"

namespace {

// --- Libs ----------------------------------------------------------------------------

struct Libs {
    py::handle BaseChecker, IAstroidChecker;
};
const Libs *L = nullptr; // filled at load; never released (interpreter exit order)

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C8000", "migration-model-import", "Detects importing model in migration"},
    {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"},
};

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "migrations";
    ns["msgs"] = support::msgs_table(MESSAGES);
    return ns;
}

} // namespace

PYBIND11_MODULE(migrations, m) {
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
