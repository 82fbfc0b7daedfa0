// The migrations checker module.
#include "support.h"

PYBIND11_MODULE(migrations, m) { support::init_module(m); }
