// Model field checker: the rules on Django model field declarations.
#include "support.h"

namespace {

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
// itself is a module constant of the rules.
const support::IntOption OPTIONS[] = {
    {"max-colspec", 20, "Maximum number of fields for a model"},
    {"max-charfield-length", 512, "Maximum size of max_length on a CharField"},
};

} // namespace

PYBIND11_MODULE(colspec, m) {
    support::init_module(m);
    support::make_python_checker(m, "colspec", MESSAGES, OPTIONS);
}
