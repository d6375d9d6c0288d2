// The module's initialisation entry: one module object per process, its __all__ and its contents.
#define TARNEL_IMPORTS_NUMPY
#include "module/numpy_api.hpp"

#include "bridge/failure_report.hpp"
#include "bridge/interpreter_lock.hpp"
#include "module/module_contents.hpp"
#include "module/py_error.hpp"

namespace tarnel {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "py_engine_tarnel",
    nullptr,
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Kept for the life of the process: a second initialisation returns the same object.
PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

py::Result<py::object> all_list(py::handle module) {
    PyObject* dict = PyModule_GetDict(module.ptr());  // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (all != nullptr) return py::object::borrow(all);
    py::object list = py::object::steal(PyList_New(0));
    if (!list || PyModule_AddObjectRef(module.ptr(), "__all__", list.ptr()) < 0) return py::fetched();
    return list;
}

}  // namespace

py::Result<void> add_to_module(py::handle module, const char* name, py::handle value) {
    auto all = all_list(module);
    if (!all) return py::fail(std::move(all.error()));
    py::object text = py::object::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all->ptr(), text.ptr()) < 0) return py::fetched();
    if (PyModule_AddObjectRef(module.ptr(), name, value.ptr()) < 0) return py::fetched();
    return {};
}

namespace {

py::Result<py::object> create_module() {
    py::object module = py::object::steal(PyModule_Create(&g_module_def));
    if (!module) return py::fetched();
    py::object module_name = py::object::steal(PyUnicode_FromString("py_engine_tarnel"));
    if (!module_name) return py::fetched();
    auto contents = add_module_contents(module, module_name);
    if (!contents) return py::fail(std::move(contents.error()));
    return module;
}

PyObject* init() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (g_interpreter == nullptr) g_interpreter = interpreter;
    if (interpreter != g_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "py_engine_tarnel does not support sub-interpreters: it can only be imported once per "
                        "process, by the main interpreter");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    if (_import_array() < 0) return nullptr;
    if (!bridge::install_exit_hook()) return nullptr;
    bridge::install_failure_report();
    auto module = create_module();
    if (!module) {
        std::move(module.error()).restore();
        return nullptr;
    }
    g_module = Py_NewRef(module->ptr());
    return module->release();
}

}  // namespace

}  // namespace tarnel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_py_engine_tarnel() { return tarnel::init(); }
