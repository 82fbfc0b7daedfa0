// The urls checker module.
#include "support.h"

PYBIND11_MODULE(urls, m) { support::init_module(m); }
