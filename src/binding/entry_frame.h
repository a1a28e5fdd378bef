// The entry frame: every call from the interpreter into this module runs its body inside one.
//
// A body returns a new reference, or nullptr with a Python exception set. A Panic (or any
// other C++ exception) unwinding out of the body, which has released every guard and
// reference on its way, becomes a `durnel_runtime.PanicException` carrying the message, after
// one diagnostic line on stderr. Nothing escapes into the interpreter as a C++ exception.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "panic.h"
#include "py_ref.h"

namespace durnel::py {

// Raises PanicException(message) after the diagnostic line; the type is made on first use.
void raise_panic(const std::string& message, const SourceLocation& where) noexcept;
// Turns the exception in flight (inside a catch block) into a PanicException.
void raise_current_as_panic() noexcept;

template <typename Body>
PyObject* entry_frame(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_as_panic();
        return nullptr;
    }
}

// The pending exception, taken out of the thread state (all three empty when none was set).
struct TakenException {
    PyRef type;
    PyRef value;
    PyRef traceback;
};
// Takes the pending exception, clearing it; with `normalize`, `value` is an exception
// instance carrying its traceback. The one home of the 3.9-level fetch calls.
TakenException take_pending_exception(bool normalize = false) noexcept;
// Sets `taken` as the pending exception again.
void restore_pending_exception(TakenException&& taken) noexcept;

// Holds the exception pending when it was made and sets it again when destroyed: code that
// may run while an exception propagates (deallocation) must neither see nor clear it.
class PendingExceptionStash {
public:
    PendingExceptionStash() noexcept : taken_(take_pending_exception()) {}
    ~PendingExceptionStash() { restore_pending_exception(std::move(taken_)); }
    PendingExceptionStash(const PendingExceptionStash&) = delete;
    PendingExceptionStash& operator=(const PendingExceptionStash&) = delete;

private:
    TakenException taken_;
};

// The unraisable form, for deallocation: a failure of the body is reported through
// PyErr_WriteUnraisable(context) and the slot returns normally. `context` must outlive the
// call (it is not the object being freed), and an exception that was already propagating
// when the slot ran is left exactly as it was.
template <typename Body>
void unraisable_entry_frame(PyObject* context, Body&& body) noexcept {
    PendingExceptionStash stash;
    try {
        body();
    } catch (...) {
        raise_current_as_panic();
    }
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(context);
}

// Thrown when the interpreter cannot make a result object; its exception stays pending. The
// entry frame prints it and raises the unrecoverable failure "Python API call failed".
// Unwinding first lets callers undo their work (e.g. put drained messages back) before any
// Python code, such as an excepthook run by the printing, gets a chance to run.
struct PythonApiFailure {
    SourceLocation where;
};

[[noreturn]] void python_api_call_failed(SourceLocation where = SourceLocation::current());

}  // namespace durnel::py
