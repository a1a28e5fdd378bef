// PyRef: the one owner of a strong reference to a Python object.
//
// Every reference this module creates is held by exactly one PyRef until it is handed to the
// interpreter with release(); a borrowed reference is a plain PyObject*, kept no longer than
// the call that lent it.
// The destructor drops the reference on every path, including unwinding by Panic.
// Counts move through the interpreter's own Py_IncRef/Py_DecRef rather than the inline macros
// of the 3.9-level headers: from 3.12 some objects this module touches (None, the empty
// bytes and str, one-character strings) are immortal, and only the running interpreter knows
// to leave their counts alone.
#pragma once

#include <Python.h>

#include <utility>

namespace durnel::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null, e.g. when the call that made it failed).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_IncRef(object);  // accepts NULL
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef moved(std::move(other));
        std::swap(object_, moved.object_);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_DecRef(object_); }  // accepts NULL

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace durnel::py
