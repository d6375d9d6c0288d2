// NumPy's C API, shared by every file of the module through one table (imported in module_init.cpp).
#pragma once

#include "module/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarnel_numpy_api
#ifndef TARNEL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
