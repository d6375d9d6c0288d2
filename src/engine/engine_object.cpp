// TarnelEngineAsync's type: construction with its conversions, release, and registration.
#include "engine/engine_object.hpp"

#include "bridge/exceptions.hpp"
#include "module/binding.hpp"
#include "module/conversions.hpp"
#include "module/py_error.hpp"

namespace tarnel::engine {

namespace {

const py::Signature kConstructor{"TarnelEngineAsync.__new__()", {"host", "port", "start_seq"}, 2};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return bridge::guarded([&]() -> py::Result<py::object> {
        auto bound = py::bind(kConstructor, args, kwargs);
        if (!bound) return py::fail(std::move(bound.error()));
        auto host = py::argument("host", (*bound)[0], py::to_text);
        if (!host) return py::fail(std::move(host.error()));
        auto port = py::argument("port", (*bound)[1], py::to_u16);
        if (!port) return py::fail(std::move(port.error()));
        std::uint32_t start_seq = 1;
        if (!bound->is_none(2)) {
            auto given = py::argument("start_seq", (*bound)[2], py::to_u32);
            if (!given) return py::fail(std::move(given.error()));
            start_seq = *given;
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        py::object self = py::object::steal(alloc(type, 0));
        if (!self) return py::fetched();
        reinterpret_cast<EngineObject*>(self.ptr())->link = new ws::EngineLink(std::move(*host), *port, start_seq);
        return self;
    });
}

// A started engine dropped without close() goes on listening until the process ends: said the way
// unclosed sockets and transports say it, with a ResourceWarning (shown under -X dev or -W default).
void warn_unclosed(PyObject* self, const ws::EngineLink& link) {
    py::KeptErrorState kept;
    const std::string text = "unclosed TarnelEngineAsync listening on " + link.host() + ":" +
                             std::to_string(link.port()) + ": it serves until the process ends; await its close()";
    // No `source`: the object is being freed, and a recorded warning would keep a pointer to it.
    if (PyErr_WarnEx(PyExc_ResourceWarning, text.c_str(), 1) < 0) PyErr_WriteUnraisable(nullptr);
}

// Releases only the object's own references: running tasks and the accept loop keep theirs. An engine
// inherited across fork() is left alone: its records belong to the parent's runtime, whose locks may be
// held for ever in this process.
void engine_dealloc(PyObject* self) {
    ws::EngineLink* link = reinterpret_cast<EngineObject*>(self)->link;
    if (!link->inherited() && link->left_listening()) warn_unclosed(self, *link);
    if (!link->inherited()) delete link;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* g_engine_type = nullptr;

}  // namespace

py::Result<py::handle> engine_type() {
    if (g_engine_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(engine_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
            {Py_tp_methods, engine_method_defs()},
            {Py_tp_doc, const_cast<char*>("TarnelEngineAsync(host, port, start_seq=None)\n--\n\n")},
            {0, nullptr},
        };
        // The dotted name gives the class the module "builtins" and the name "TarnelEngineAsync".
        PyType_Spec type_spec = {"builtins.TarnelEngineAsync", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, slots};
        py::object type = py::object::steal(PyType_FromSpec(&type_spec));
        if (!type) return py::fetched();
        g_engine_type = type.release();
    }
    return py::handle(g_engine_type);
}

}  // namespace tarnel::engine
