// The templates checker module.
#include "support.h"

PYBIND11_MODULE(templates, m) { support::init_module(m); }
