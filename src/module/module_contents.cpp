// The module's contents in registration order: the engine class, then the seven codec functions.
#include "module/module_contents.hpp"

#include "decode/codec_functions.hpp"
#include "engine/engine_object.hpp"

namespace tarnel {

py::Result<void> add_module_contents(py::handle module, py::handle module_name) {
    auto engine_class = engine::engine_type();
    if (!engine_class) return py::fail(std::move(engine_class.error()));
    auto added = add_to_module(module, "TarnelEngineAsync", *engine_class);
    if (!added) return added;
    for (PyMethodDef* def = decode::codec_function_defs(); def->ml_name != nullptr; ++def) {
        py::object function = py::object::steal(PyCFunction_NewEx(def, nullptr, module_name.ptr()));
        if (!function) return py::fetched();
        added = add_to_module(module, def->ml_name, function);
        if (!added) return added;
    }
    return {};
}

}  // namespace tarnel
