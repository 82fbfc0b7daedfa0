// QuerySet checker: QuerySet sizes and truth tests, and foreign keys read through the
// related object.
#include "support.h"

namespace {

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

} // namespace

PYBIND11_MODULE(fetchplan, m) {
    support::init_module(m);
    support::module_logger(m);
    support::make_python_checker(m, "fetchplan", MESSAGES);
}
