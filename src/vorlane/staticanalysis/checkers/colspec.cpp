// The colspec checker module.
#include "support.h"

PYBIND11_MODULE(colspec, m) { support::init_module(m); }
