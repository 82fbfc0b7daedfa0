// The fetchplan checker module.
#include "support.h"

PYBIND11_MODULE(fetchplan, m) { support::init_module(m); }
