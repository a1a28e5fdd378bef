// PyInit_durnel_core: single-phase initialisation, bound to the first importing interpreter.
//
// The module keeps process-wide state (the bound interpreter, the module and type caches), so
// it can live in one interpreter per process: a second interpreter is refused. The module
// definition declares state size 0, not -1: with -1 CPython would hand a subinterpreter a copy
// of the cached module without calling this function, and the refusal would never run.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "entry_frame.h"
#include "instance.h"
#include "py_ref.h"

namespace durnel::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "durnel_core",
    "",       // docstring: the empty string
    0,        // per-module state size, see above
    nullptr,  // no module-level functions
    nullptr,  // no multi-phase slots
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_cache = nullptr;  // the first successfully initialised module; never released

constexpr const char kSubinterpreterMessage[] =
    "Durnel modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

void set_system_error_if_none() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

// RuntimeError("An error occurred while initializing class CoordinationState") caused by the
// exception that is pending now.
void raise_type_creation_failure() {
    PyRef cause = take_pending_exception(/*normalize=*/true).value;
    PyRef error = PyRef::steal(PyObject_CallFunction(
        PyExc_RuntimeError, "s", "An error occurred while initializing class CoordinationState"));
    if (!error) return;
    if (cause) PyException_SetCause(error.get(), cause.release());  // steals the cause
    PyErr_SetObject(PyExc_RuntimeError, error.get());
}

// __all__ as a list, created empty when the module has none.
PyRef all_list(PyObject* module) {
    PyObject* name = PyUnicode_FromString("__all__");
    if (name == nullptr) return PyRef();
    PyUnicode_InternInPlace(&name);
    PyRef all_name = PyRef::steal(name);
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return PyRef();
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyRef qualname = PyRef::steal(PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(Py_TYPE(all.get())), "__qualname__"));
        if (!qualname) return PyRef();
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'",
                     qualname.get());
        return PyRef();
    }
    return all;
}

// Describes the pending exception as "Type: message" and clears it.
std::string describe_pending_exception() {
    const TakenException pending = take_pending_exception();
    PyObject* value = pending.value.get();
    PyRef text = PyRef::steal(PyObject_Repr(value != nullptr ? value : Py_None));
    std::string out = "<exception>";
    if (text) {
        PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace"));
        if (bytes) out = PyBytes_AsString(bytes.get());
    }
    PyErr_Clear();
    return out;
}

// Adds the class and its name in __all__. Returns false with an exception set.
bool module_body(PyObject* module) {
    PyObject* type = coordination_state_type();
    if (type == nullptr) {
        raise_type_creation_failure();
        return false;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString("CoordinationState"));
    if (!name) return false;
    PyRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name.get()) < 0) {
        throw Panic("could not append __name__ to __all__: " + describe_pending_exception());
    }
    return PyObject_SetAttr(module, name.get(), type) == 0;
}

PyObject* initialise() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        set_system_error_if_none();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!bound_interpreter.compare_exchange_strong(expected, current, std::memory_order_seq_cst) &&
        expected != current) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
        return nullptr;
    }
    if (module_cache != nullptr) return PyRef::borrow(module_cache).release();

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    if (!module_body(module.get())) return nullptr;
    if (module_cache == nullptr) module_cache = module.release();  // the first stored wins
    return PyRef::borrow(module_cache).release();
}

}  // namespace
}  // namespace durnel::py

// PyMODINIT_FUNC: extern "C", returning PyObject*, and exported on every system
// (__declspec(dllexport) on Windows, default visibility elsewhere, which the link's export
// list then keeps as the only dynamic symbol).
PyMODINIT_FUNC PyInit_durnel_core() {
    return durnel::py::entry_frame([] { return durnel::py::initialise(); });
}
