// durnel_core_snapshot: a durnel_core.CoordinationState read whole, for durnel.snapshot.
//
//   read(state, log_tail) -> (now, agents, claims, mailboxes, log, log_length)
//
// with the rows that snapshot_door.h describes: `state` must be exactly a
// durnel_core.CoordinationState (else TypeError) and `log_tail` an int >= 0 (else TypeError,
// ValueError). Each shard is read at its own moment, while other threads go on working (see
// src/core/snapshot.h).
//
// This module holds no code of the coordination core: the guards, the copy and the result
// objects are all durnel_core's own, reached through its snapshot door (snapshot_door.h, which
// says why). Importing it imports durnel_core and finds the door, or fails with ImportError
// when that durnel_core is not of the same build. Like durnel_core it initialises in one phase
// and lives in one interpreter: importing durnel_core is its first step, so it is refused
// wherever durnel_core is, and a process keeps the first door it found.
#include <Python.h>

#include "py_ref.h"
#include "snapshot_door.h"

namespace durnel::py {
namespace {

constexpr const char kReadDoc[] =
    "read($module, /, state, log_tail)\n--\n\n"
    "A durnel_core.CoordinationState read whole, shard by shard, without changing it:\n"
    "(now, agents, claims, mailboxes, log, log_length) with agents ((agent, status), ...),\n"
    "claims ((resource, holder, stamp), ...), mailboxes ((agent, length, oldest_sent_at), ...)\n"
    "and the last `log_tail` events of the log ((id, event, at, agent, resource, from_agent,\n"
    "to_agent, content), ...), oldest first. durnel.snapshot gives the same as a Snapshot.";

// Set once, by the first successful import; never released.
PyObject* state_type = nullptr;
const snapshot_door::Door* door = nullptr;
PyObject* module_cache = nullptr;

void raise_not_a_state(PyObject* value) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError,
                 "read() argument 'state' must be a durnel_core.CoordinationState, not %U",
                 qualname.get());
}

// Not noexcept: see snapshot_door::ReadFunction.
PyObject* read(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"state", "log_tail", nullptr};
    PyObject* state = nullptr;
    Py_ssize_t log_tail = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:read", const_cast<char**>(keywords), &state,
                                     &log_tail)) {
        return nullptr;
    }
    if (Py_TYPE(state) != reinterpret_cast<PyTypeObject*>(state_type)) {
        raise_not_a_state(state);
        return nullptr;
    }
    if (log_tail < 0) {
        PyErr_Format(PyExc_ValueError, "read() argument 'log_tail' must be >= 0, not %zd",
                     log_tail);
        return nullptr;
    }
    return door->read(state, log_tail);
}

PyMethodDef functions[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)),
     METH_VARARGS | METH_KEYWORDS, kReadDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "durnel_core_snapshot",
    "A durnel_core.CoordinationState read whole, for durnel.snapshot.",
    0,  // per-module state size: 0, so that every interpreter that imports it runs this init
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Finds the door of the durnel_core that `import durnel_core` gives. Returns false with an
// exception set.
bool open_door() {
    PyRef core = PyRef::steal(PyImport_ImportModule("durnel_core"));
    if (!core) return false;
    PyRef type = PyRef::steal(PyObject_GetAttrString(core.get(), "CoordinationState"));
    if (!type) return false;
    const snapshot_door::Door* found =
        PyType_Check(type.get()) ? snapshot_door::find(type.get(), DURNEL_VERSION) : nullptr;
    if (found == nullptr) {
        PyErr_Clear();
        PyRef where = PyRef::steal(PyModule_GetFilenameObject(core.get()));
        if (!where) return false;
        PyErr_Format(PyExc_ImportError,
                     "durnel_core_snapshot %s cannot read the objects of the durnel_core at %U: "
                     "it is not of the same build (install both from one wheel)",
                     DURNEL_VERSION, where.get());
        return false;
    }
    if (door == nullptr) {
        state_type = type.release();
        door = found;
    }
    return true;
}

PyObject* initialise() {
    if (!open_door()) return nullptr;
    if (module_cache != nullptr) return PyRef::borrow(module_cache).release();
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    PyRef all = PyRef::steal(Py_BuildValue("[s]", "read"));
    if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    static_cast<void>(all.release());  // PyModule_AddObject took it
    module_cache = module.release();
    return PyRef::borrow(module_cache).release();
}

}  // namespace
}  // namespace durnel::py

PyMODINIT_FUNC PyInit_durnel_core_snapshot() { return durnel::py::initialise(); }
