// The helpers module.
#include "support.h"

PYBIND11_MODULE(helpers, m) { support::init_module(m); }
