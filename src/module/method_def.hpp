// Entries of method tables: the vectorcall signature every positional-and-keyword entry point uses.
#pragma once

#include "module/python.hpp"

namespace tarnel::py {

using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

// PyMethodDef stores every function as PyCFunction; the flags tell the interpreter the real signature.
inline PyCFunction as_cfunction(FastcallFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tarnel::py
