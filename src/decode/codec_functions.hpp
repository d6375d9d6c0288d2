// The seven module functions that encode and decode payloads to and from NumPy arrays.
#pragma once

#include "module/python.hpp"

namespace tarnel::decode {

// Method table of the seven functions, in registration order, ended by a zeroed entry.
PyMethodDef* codec_function_defs();

}  // namespace tarnel::decode
