// The dependencies module.
#include "support.h"

PYBIND11_MODULE(dependencies, m) { support::init_module(m); }
