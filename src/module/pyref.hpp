// Python references: a borrowed `handle` and an owning `object`; no bare reference counting in logic.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace tarnel::py {

// A borrowed reference: valid only while someone else owns the object.
class handle {
public:
    handle() = default;
    explicit handle(PyObject* ptr) : ptr_(ptr) {}
    PyObject* ptr() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

protected:
    PyObject* ptr_ = nullptr;
};

// An owned (strong) reference, released on destruction. Construction says whether it steals a new
// reference or borrows (and so increments) an existing one.
class object : public handle {
public:
    object() = default;
    static object steal(PyObject* ptr) { return object(ptr); }
    static object borrow(PyObject* ptr) {
        Py_XINCREF(ptr);
        return object(ptr);
    }
    static object borrow(handle h) { return borrow(h.ptr()); }
    static object none() { return borrow(Py_None); }

    object(const object& other) : handle(other.ptr_) { Py_XINCREF(ptr_); }
    object(object&& other) noexcept : handle(std::exchange(other.ptr_, nullptr)) {}
    object& operator=(object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~object() { Py_XDECREF(ptr_); }

    // Gives the reference back to the interpreter (a return value or a stolen argument).
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }

private:
    explicit object(PyObject* ptr) : handle(ptr) {}
};

}  // namespace tarnel::py
