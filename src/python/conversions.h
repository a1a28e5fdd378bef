// Conversions across the boundary: str arguments to UTF-8 owned by the call, and core results
// to Python objects.
//
// An argument must be a str (or a subclass); it is encoded strictly as UTF-8 and the bytes
// object that holds the encoding lives as long as the Utf8Arg, so the core sees a
// string_view into memory the call owns, embedded NULs included. Results are built only
// after every shard guard has been released: building them can run arbitrary Python code
// (a garbage collection), which may call back into this module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "records.h"

namespace durnel::py {

class Utf8Arg {
public:
    std::string_view view() const noexcept { return view_; }

    // Converts `value` for parameter `name`. Returns false with TypeError ("argument '{}':
    // '{}' object cannot be converted to 'PyString'") or the interpreter's UnicodeEncodeError
    // set.
    bool convert(const char* name, PyObject* value) noexcept;

private:
    PyRef bytes_;
    std::string_view view_;
};

// Each returns a new reference; on failure it prints the pending exception and unwinds as
// the unrecoverable failure "Python API call failed".
PyRef make_str(std::string_view text);
PyRef make_none();
// (sender, recipient text, content, sent_at)
PyRef make_message_tuple(const Message& message, std::string_view recipient);
// The same with the recipient given as a str, which the tuple shares.
PyRef make_message_tuple(const Message& message, PyObject* recipient);
// One tuple per message, oldest first, each with `recipient` as element 2 (one str for all).
PyRef make_message_list(const std::vector<Message>& messages, std::string_view recipient);

}  // namespace durnel::py
