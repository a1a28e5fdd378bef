// The nine method entry points of CoordinationState (METH_VARARGS | METH_KEYWORDS).
#pragma once

#include <Python.h>

namespace durnel::py {

PyObject* method_claim_file(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_claim_task(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_release(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_renew_claim(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_send_message(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_broadcast(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_inbox(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_drain_inbox(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_status(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace durnel::py
