// Conversions across the boundary: str arguments to UTF-8 owned by the call, and core results
// to Python objects.
//
// An argument must be a str (or a subclass); it is encoded strictly as UTF-8 and the bytes
// object that holds the encoding lives as long as the Utf8Arg, so the core sees a
// string_view into memory the call owns, embedded NULs included. Results are built only
// after every shard guard has been released: building them can run arbitrary Python code
// (a garbage collection), which may call back into this module.
//
// A result that is the text of an argument (the holder of a claim, the parties and content of
// the message just sent, the reader of an inbox) is that argument's own str object when it is
// exactly a str: equal text, and a str is immutable, so only `is` can tell. A str subclass
// gets a plain str of the same text instead. Status names and the broadcast recipient "*" are
// made once per process and shared the same way (the module lives in one interpreter).
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

    // The argument as a result: the object itself when it is exactly a str, else a new str
    // of the same text.
    PyRef as_str() const;

private:
    // Borrowed: the caller's argument tuple or keyword dict holds it for the whole call, as
    // it holds every argument of a C function.
    PyObject* value_ = nullptr;
    PyRef bytes_;
    std::string_view view_;
};

// Each returns a new reference; on failure it prints the pending exception and unwinds as
// the unrecoverable failure "Python API call failed".
PyRef make_str(std::string_view text);
PyRef make_none();
// The status name ("idle", "busy", ...), one shared str per name.
PyRef status_str(AgentStatus status);
// "*", the recipient text of a broadcast, shared.
PyRef broadcast_recipient_str();
// (sender, recipient, content, sent_at) from three strs, which the tuple shares.
PyRef make_message_tuple(PyObject* sender, PyObject* recipient, PyObject* content,
                         UnixSeconds sent_at);
// One tuple per message, oldest first, each with `recipient` as element 2 (one str for all,
// and one sender str for each run of messages from the same sender).
PyRef make_message_list(const std::vector<Message>& messages, PyObject* recipient);

}  // namespace durnel::py
