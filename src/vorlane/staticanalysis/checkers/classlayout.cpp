// The classlayout checker module.
#include "support.h"

PYBIND11_MODULE(classlayout, m) { support::init_module(m); }
