// PanicException and the failure paths of the entry frame.
#include "entry_frame.h"

#include <cstdio>

#include "py_ref.h"

namespace durnel::py {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code of durnel_core, called from Python, fails\n"
    "unrecoverably (for example on a system clock set before 1970).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way through the stack and makes the interpreter exit.\n";

// Made once per process, the first time a panic is raised; never released.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("durnel_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

}  // namespace

void raise_panic(const std::string& message, const SourceLocation& where) noexcept {
    std::fprintf(stderr, "durnel_core: unrecoverable failure at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    std::fflush(stderr);
    PyObject* type = get_panic_type();
    if (type == nullptr) return;  // its own exception (memory) is set instead
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_current_as_panic() noexcept {
    try {
        throw;
    } catch (const Panic& panic) {
        raise_panic(panic.message(), panic.where());
    } catch (const PythonApiFailure& failure) {
        if (PyErr_Occurred() != nullptr) PyErr_Print();
        raise_panic("Python API call failed", failure.where);
    } catch (const std::exception& error) {
        raise_panic(error.what(), SourceLocation::current());
    } catch (...) {
        raise_panic("unknown C++ exception", SourceLocation::current());
    }
}

// The 3.9 stable ABI offers only PyErr_Fetch/PyErr_NormalizeException/PyErr_Restore for this;
// newer headers mark them deprecated in favour of functions that 3.9 lacks.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
TakenException take_pending_exception(bool normalize) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (normalize && type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    }
    return TakenException{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void restore_pending_exception(TakenException&& taken) noexcept {
    PyErr_Restore(taken.type.release(), taken.value.release(), taken.traceback.release());
}
#if defined(_MSC_VER) && !defined(__clang__)
#pragma warning(pop)
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void python_api_call_failed(SourceLocation where) { throw PythonApiFailure{where}; }

}  // namespace durnel::py
