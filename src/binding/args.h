// Argument parsing for the methods: positional and keyword arguments matched against a
// static description of the method's parameters, with the fixed TypeError texts.
//
// Every parameter of every method may be given by position or by name, every one is
// required, and nothing extra is accepted. The first failure ends parsing: arity before
// names before missing arguments; conversion of the values comes afterwards (conversions.h).
#pragma once

#include <Python.h>

#include <cstddef>

namespace durnel::py {

struct Signature {
    const char* full_name;     // "CoordinationState.claim_file()"
    const char* const* names;  // parameter names after self, in order
    Py_ssize_t count;          // number of names
};

inline constexpr Py_ssize_t kMaxParameters = 3;

// The matching of keywords, missing and surplus arguments behind parse_arguments.
bool parse_named_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                           PyObject** slots) noexcept;

// Fills slots[0..count) with borrowed references to the arguments. Returns false with a
// TypeError set when the call does not fit the signature. The common call, every argument by
// position, is handled here inline: nothing to match.
inline bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                            PyObject** slots) noexcept {
    if (kwargs == nullptr && PyTuple_Size(args) == signature.count) {
        for (Py_ssize_t i = 0; i < signature.count; ++i) slots[i] = PyTuple_GetItem(args, i);
        return true;
    }
    return parse_named_arguments(signature, args, kwargs, slots);
}

// TypeError "{full} takes {n} positional arguments but {given} {was|were} given".
void raise_too_many_positional(const char* full_name, Py_ssize_t parameters,
                               Py_ssize_t given) noexcept;
// TypeError "{full} got an unexpected keyword argument '{str(name)}'".
void raise_unexpected_keyword(const char* full_name, PyObject* name) noexcept;

}  // namespace durnel::py
