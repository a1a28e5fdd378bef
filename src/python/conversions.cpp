// Argument and result conversions.
#include "conversions.h"

#include "entry_frame.h"

namespace durnel::py {
namespace {

void raise_not_a_string(const char* name, PyObject* value) noexcept {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '<failed to extract type name>' object cannot be converted "
                     "to 'PyString'",
                     name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
                 name, qualname.get());
}

PyRef checked(PyObject* made) {
    if (made == nullptr) python_api_call_failed();
    return PyRef::steal(made);
}

}  // namespace

bool Utf8Arg::convert(const char* name, PyObject* value) noexcept {
    if ((PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
        raise_not_a_string(name, value);
        return false;
    }
    bytes_ = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!bytes_) return false;  // UnicodeEncodeError, unchanged
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes_.get(), &data, &size) < 0) return false;
    view_ = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

PyRef make_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef make_none() { return PyRef::borrow(Py_None); }

PyRef make_message_tuple(const Message& message, PyObject* recipient) {
    // A fresh tuple's items are NULL until set, and it may be dropped in that state if a
    // later item cannot be made. PyTuple_SetItem steals each item.
    PyRef tuple = checked(PyTuple_New(4));
    PyTuple_SetItem(tuple.get(), 0, make_str(message.from_agent()).release());
    PyTuple_SetItem(tuple.get(), 1, PyRef::borrow(recipient).release());
    PyTuple_SetItem(tuple.get(), 2, make_str(message.content()).release());
    PyTuple_SetItem(tuple.get(), 3, checked(PyLong_FromUnsignedLongLong(message.sent_at())).release());
    return tuple;
}

PyRef make_message_tuple(const Message& message, std::string_view recipient) {
    PyRef text = make_str(recipient);
    return make_message_tuple(message, text.get());
}

PyRef make_message_list(const std::vector<Message>& messages, std::string_view recipient) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(messages.size())));
    if (messages.empty()) return list;
    PyRef text = make_str(recipient);  // one str, shared by every tuple: all name the reader
    for (std::size_t i = 0; i < messages.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       make_message_tuple(messages[i], text.get()).release());
    }
    return list;
}

}  // namespace durnel::py
