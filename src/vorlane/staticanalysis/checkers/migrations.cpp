// Migration checker: model imports and irreversible RunPython operations in migrations.
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
    {"C8000", "migration-model-import", "Detects importing model in migration"},
    {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"},
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
    ns["name"] = "migrations";
    ns["msgs"] = msgs_table();
    return ns;
}

} // namespace

PYBIND11_MODULE(migrations, m) {
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
