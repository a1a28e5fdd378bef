// The snapshot door's read function (snapshot_door.h): a CoordinationState copied whole, as
// plain tuples.
#pragma once

#include <Python.h>

namespace durnel::py {

// See snapshot_door::ReadFunction for the contract.
PyObject* snapshot_tuples(PyObject* state, Py_ssize_t log_tail);

}  // namespace durnel::py
