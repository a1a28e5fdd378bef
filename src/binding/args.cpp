// The argument parser and its messages.
#include "args.h"

#include <string>

#include "py_ref.h"

namespace durnel::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const char* const* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

void raise_missing(const char* full_name, const char* const* missing, std::size_t count) {
    const std::string list = quoted_list(missing, count);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", full_name,
                 static_cast<Py_ssize_t>(count), count == 1 ? "argument" : "arguments",
                 list.c_str());
}

}  // namespace

void raise_too_many_positional(const char* full_name, Py_ssize_t parameters,
                               Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", full_name,
                 parameters, given, given == 1 ? "was" : "were");
}

void raise_unexpected_keyword(const char* full_name, PyObject* name) noexcept {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name, name);
}

bool parse_named_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                           PyObject** slots) noexcept {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > signature.count) {
        raise_too_many_positional(signature.full_name, signature.count, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        slots[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            Py_ssize_t match = -1;
            // Parameter names are ASCII, so comparing code points is comparing the UTF-8 bytes;
            // a name that is not a str, or cannot be encoded, matches nothing.
            if (PyUnicode_Check(name)) {
                for (Py_ssize_t i = 0; i < signature.count; ++i) {
                    if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
                        match = i;
                        break;
                    }
                }
            }
            if (match < 0) {
                raise_unexpected_keyword(signature.full_name, name);
                return false;
            }
            if (slots[match] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             signature.full_name, signature.names[match]);
                return false;
            }
            slots[match] = value;
        }
    }

    if (given < signature.count) {
        const char* missing[kMaxParameters];
        std::size_t count = 0;
        for (Py_ssize_t i = 0; i < signature.count; ++i) {
            if (slots[i] == nullptr) missing[count++] = signature.names[i];
        }
        if (count != 0) {
            raise_missing(signature.full_name, missing, count);
            return false;
        }
    }
    return true;
}

}  // namespace durnel::py
