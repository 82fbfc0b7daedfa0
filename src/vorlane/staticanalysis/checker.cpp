// The checker module.
#include "support.h"

PYBIND11_MODULE(checker, m) { support::init_module(m); }
