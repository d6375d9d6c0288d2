// The list arguments of close_positions: any sequence but str, element by element.
#pragma once

#include <cstdint>
#include <vector>

#include "module/py_error.hpp"

namespace tarnel::engine {

// A str is refused ("Can't extract `str` to `Vec`"), as is an object that is not a sequence; the
// elements are taken by iterating, each through the integer-index (or float) conversion. The errors
// carry no argument name.
py::Result<std::vector<std::int32_t>> to_i32_list(py::handle obj);
py::Result<std::vector<double>> to_float_list(py::handle obj);

}  // namespace tarnel::engine
