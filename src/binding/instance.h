// The instance record of a CoordinationState object, and the hold a method call keeps on it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "state.h"

namespace durnel::py {

struct Instance {
    PyObject_HEAD
    CoordinationState state;  // constructed in tp_new, destroyed in tp_dealloc
    std::size_t shared_use;   // method calls in progress; only touched with the GIL held
};

// Holds the instance for the length of a method call: a strong reference and one count of
// shared use, both undone on every path out (return, Python exception, panic).
class InstanceHold {
public:
    explicit InstanceHold(PyObject* self) noexcept : instance_(reinterpret_cast<Instance*>(self)) {
        Py_INCREF(self);
        ++instance_->shared_use;
    }
    ~InstanceHold() {
        --instance_->shared_use;
        Py_DECREF(reinterpret_cast<PyObject*>(instance_));
    }
    InstanceHold(const InstanceHold&) = delete;
    InstanceHold& operator=(const InstanceHold&) = delete;

    const CoordinationState& state() const noexcept { return instance_->state; }

private:
    Instance* instance_;
};

// The type object, made once per process (nullptr with an exception set on failure).
PyObject* coordination_state_type() noexcept;

}  // namespace durnel::py
