// A Python exception carried as a value: fetched from the interpreter, restored at the boundary.
#pragma once

#include <string>

#include "codec/expected.hpp"
#include "module/pyref.hpp"

namespace tarnel::py {

class Error {
public:
    // Takes (and clears) the interpreter's current exception, normalised. The indicator must be set.
    static Error fetch();
    // A new exception of `type` whose only argument is `text`.
    static Error make(PyObject* type, const std::string& text);
    static Error type_error(const std::string& text) { return make(PyExc_TypeError, text); }
    static Error value_error(const std::string& text) { return make(PyExc_ValueError, text); }
    static Error overflow_error(const std::string& text) { return make(PyExc_OverflowError, text); }

    // Hands the exception back to the interpreter's error indicator.
    void restore() &&;

    bool matches(PyObject* exception_type) const;
    // The exception object itself, taken out (to be passed as a value, as to future.set_exception).
    object value_object() && { return std::move(value_); }
    handle value() const { return value_; }
    // str() of the exception, or "" when that fails.
    std::string text() const;

private:
    Error(object type, object value, object traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    object type_, value_, traceback_;
};

template <class T>
using Result = BasicExpected<T, Error>;

// Keeps the interpreter's current error state aside for a scope and puts it back at its end: for work
// that runs Python code where an exception may be pending (a deallocation, a garbage collection).
class KeptErrorState {
public:
    KeptErrorState() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~KeptErrorState() { PyErr_Restore(type_, value_, traceback_); }
    KeptErrorState(const KeptErrorState&) = delete;
    KeptErrorState& operator=(const KeptErrorState&) = delete;

private:
    PyObject *type_, *value_, *traceback_;
};

inline Unexpected<Error> fetched() { return Unexpected<Error>(Error::fetch()); }
inline Unexpected<Error> fail(Error error) { return Unexpected<Error>(std::move(error)); }

// Returns the owned result of a C-API call, or the fetched exception when the call returned NULL.
inline Result<object> checked(PyObject* new_reference) {
    if (new_reference == nullptr) return fetched();
    return object::steal(new_reference);
}

// A TypeError becomes a new TypeError "argument '<name>': <text>" that keeps the original's cause;
// errors of other classes pass unchanged.
Error with_argument_name(Error error, const char* name);

// str(obj) as UTF-8, or "" on failure (the failure is cleared).
std::string str_of(handle obj);
// The name of obj's type, as in "'int' object cannot be converted to ...".
std::string type_name_of(handle obj);

}  // namespace tarnel::py
