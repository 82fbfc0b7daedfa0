// URL checker: duplicate URL names and reverse_lazy where reverse would do.
#include "support.h"

namespace {

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C6001", "non-unique-url-name", "Non unique URL name"},
    {"C6002", "reverse-lazy-misuse", "Using reverse_lazy when reverse would be better"},
};

} // namespace

PYBIND11_MODULE(urls, m) {
    support::init_module(m);
    // Django's route parser names the converters of a route.
    support::import("django.urls.resolvers");
    support::make_python_checker(m, "urls", MESSAGES);
}
