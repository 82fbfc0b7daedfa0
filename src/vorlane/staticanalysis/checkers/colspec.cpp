// Model field checker: the rules on Django model field declarations.
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

// C2007, C2009 and C2010 are retired numbers: never hand them out again.
struct Message {
    const char *code, *symbol, *description;
};
const Message MESSAGES[] = {
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
// itself is a module constant of the rules.
struct Option {
    const char *name;
    int default_value;
    const char *help;
};
const Option OPTIONS[] = {
    {"max-colspec", 20, "Maximum number of fields for a model"},
    {"max-charfield-length", 512, "Maximum size of max_length on a CharField"},
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
    ns["name"] = "colspec";
    ns["msgs"] = msgs_table();
    ns["options"] = options_table();
    return ns;
}

} // namespace

PYBIND11_MODULE(colspec, m) {
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
