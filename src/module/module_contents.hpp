// What the module holds, in registration order, and the helper that lists each name in __all__.
#pragma once

#include "module/py_error.hpp"

namespace tarnel {

// Appends `name` to the module's __all__ (creating the list when missing), then sets the attribute.
py::Result<void> add_to_module(py::handle module, const char* name, py::handle value);

// Registers the class and the codec functions, in this order.
py::Result<void> add_module_contents(py::handle module, py::handle module_name);

}  // namespace tarnel
