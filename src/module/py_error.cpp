// Fetching, building and restoring Python exceptions as values.
#include "module/py_error.hpp"

namespace tarnel::py {

Error Error::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        type = Py_NewRef(PyExc_SystemError);
        value = PyUnicode_FromString("error return without exception set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return Error(object::steal(type), object::steal(value), object::steal(traceback));
}

Error Error::make(PyObject* type, const std::string& text) {
    object message = object::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return fetch();
    object value = object::steal(PyObject_CallFunctionObjArgs(type, message.ptr(), nullptr));
    if (!value) return fetch();
    return Error(object::borrow(type), std::move(value), object());
}

void Error::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool Error::matches(PyObject* exception_type) const {
    return PyErr_GivenExceptionMatches(type_.ptr(), exception_type) != 0;
}

std::string Error::text() const { return str_of(value_); }

Error with_argument_name(Error error, const char* name) {
    if (!error.matches(PyExc_TypeError)) return error;
    Error renamed = Error::type_error(std::string("argument '") + name + "': " + error.text());
    if (PyObject* cause = PyException_GetCause(error.value().ptr())) {
        PyException_SetCause(renamed.value().ptr(), cause);  // steals the new reference
    }
    return renamed;
}

std::string str_of(handle obj) {
    object text = object::steal(PyObject_Str(obj.ptr()));
    if (!text) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name_of(handle obj) {
    object name = object::steal(PyType_GetName(Py_TYPE(obj.ptr())));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    return str_of(name);
}

}  // namespace tarnel::py
