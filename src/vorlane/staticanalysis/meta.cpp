// The meta module.
#include "support.h"

PYBIND11_MODULE(meta, m) { support::init_module(m); }
