// Migration checker: model imports and irreversible RunPython operations in migrations.
#include "support.h"

namespace {

// --- Tables --------------------------------------------------------------------------

const support::Message MESSAGES[] = {
    {"C8000", "migration-model-import", "Detects importing model in migration"},
    {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"},
};

} // namespace

PYBIND11_MODULE(migrations, m) {
    support::init_module(m);
    support::module_logger(m);
    support::make_python_checker(m, "migrations", MESSAGES);
}
