// PyRef: the one owner of a strong reference to a Python object.
//
// Every reference this module creates is held by exactly one PyRef until it is handed to the
// interpreter with release(); a borrowed reference is a plain PyObject* and never stored.
// The destructor drops the reference on every path, including unwinding by Panic.
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
        Py_XINCREF(object);
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
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace durnel::py
