// The object a weak reference points to, as a strong reference.
//
// PyWeakref_GetRef (CPython 3.13) returns a new reference; PyWeakref_GetObject, deprecated since, returns a
// borrowed one that another thread could free. The module is built for the 3.11 stable ABI, whose headers
// have only the latter: there its result is taken at once, with the interpreter lock held, before any
// other Python code can run. A build for a newer limited API, or for the full API of 3.13 or later, uses
// PyWeakref_GetRef.
#pragma once

#include "module/pyref.hpp"
#include "module/python.hpp"

#if defined(Py_LIMITED_API)
#define TARNEL_HAS_WEAKREF_GETREF (Py_LIMITED_API + 0 >= 0x030D0000)
#else
#define TARNEL_HAS_WEAKREF_GETREF (PY_VERSION_HEX >= 0x030D0000)
#endif

namespace tarnel::py {

// Empty, with no exception set, when the object is gone or `weak` is not a weak reference.
inline object referent(PyObject* weak) {
#if TARNEL_HAS_WEAKREF_GETREF
    PyObject* strong = nullptr;
    if (PyWeakref_GetRef(weak, &strong) < 0) PyErr_Clear();
    return object::steal(strong);
#else
    PyObject* borrowed = PyWeakref_GetObject(weak);
    if (borrowed == nullptr || borrowed == Py_None) {
        PyErr_Clear();
        return object();
    }
    return object::borrow(borrowed);
#endif
}

}  // namespace tarnel::py
