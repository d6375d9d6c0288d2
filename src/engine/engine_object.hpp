// The Python class TarnelEngineAsync: its instances hold one engine state record.
#pragma once

#include "module/py_error.hpp"
#include "ws/engine_link.hpp"

namespace tarnel::engine {

struct EngineObject {
    PyObject_HEAD
    ws::EngineLink* link;  // owned; immutable after construction
};

inline const ws::EngineLink& link_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->link; }

// The class's type object, built on first need and kept for the life of the process (borrowed).
py::Result<py::handle> engine_type();

// The method table, in class order (defined with the methods).
PyMethodDef* engine_method_defs();

}  // namespace tarnel::engine
