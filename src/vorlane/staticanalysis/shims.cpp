// The shims module.
#include "support.h"

PYBIND11_MODULE(shims, m) { support::init_module(m); }
