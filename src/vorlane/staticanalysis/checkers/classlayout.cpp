// Model module layout checker: how many models a module holds, the order of their
// members and the prefixes of their names.
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

// C3001 is a retired number: never hand it out again.
struct Message {
    const char *code, *symbol, *description;
};
const Message MESSAGES[] = {
    {"C3000", "tall-models", "To many models"},
    {"C3002", "model-method-order", "Wrong method order"},
    {"C3003", "model-common-prefix", "Common application prefix"},
};

struct Option {
    const char *name;
    int default_value;
    const char *help;
};
const Option OPTIONS[] = {
    {"max-models", 10, "Maximum number of models per module"},
    {"min-common-model-prefix-length", 4, "Minimum length of model prefixes"},
    {"max-common-model-prefix", 4,
     "Maximum number of models that can have the same prefix"},
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

py::tuple options_table() {
    py::list options;
    for (const Option &opt : OPTIONS) {
        py::dict settings;
        settings["default"] = opt.default_value;
        settings["type"] = "int";
        settings["metavar"] = "<int>";
        settings["help"] = opt.help;
        options.append(py::make_tuple(opt.name, settings));
    }
    return py::tuple(options);
}

py::dict checker_namespace() {
    py::dict ns;
    ns["__implements__"] = L->IAstroidChecker;
    ns["name"] = "models";
    ns["msgs"] = msgs_table();
    ns["options"] = options_table();
    return ns;
}

} // namespace

PYBIND11_MODULE(classlayout, m) {
    support::init_module(m);
    L = new Libs{
        support::import("vorlane.staticanalysis.helpers"),
        support::import("pylint.checkers", "BaseChecker"),
        support::import("pylint.interfaces", "IAstroidChecker"),
    };
    N = new Names{support::intern("context_string")};
    support::make_class(m, "Codes", py::tuple(), codes_namespace());
    support::make_class(m, "Checker", py::make_tuple(L->BaseChecker),
                        checker_namespace());
}
