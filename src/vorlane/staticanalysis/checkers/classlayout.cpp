// Model module layout checker: how many models a module holds, the order of their
// members and the prefixes of their names.
#include "support.h"

namespace {

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

} // namespace

PYBIND11_MODULE(classlayout, m) {
    support::init_module(m);
    support::make_python_checker(m, "models", MESSAGES, OPTIONS);
}
