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

// A str made on first use and kept for the life of the process (never released, like the
// module itself); the GIL orders the first uses.
PyRef shared_str(PyObject*& slot, std::string_view text) {
    if (slot == nullptr) slot = make_str(text).release();
    return PyRef::borrow(slot);
}

}  // namespace

bool Utf8Arg::convert(const char* name, PyObject* value) noexcept {
    if ((PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
        raise_not_a_string(name, value);
        return false;
    }
    value_ = value;
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

PyRef Utf8Arg::as_str() const {
    if (PyUnicode_CheckExact(value_)) return PyRef::borrow(value_);
    return make_str(view_);
}

PyRef make_none() { return PyRef::borrow(Py_None); }

PyRef status_str(AgentStatus status) {
    static PyObject* names[kStatusNames.size()] = {};
    const auto index = static_cast<std::size_t>(status);
    return shared_str(names[index], status_name(status));
}

PyRef broadcast_recipient_str() {
    static PyObject* star = nullptr;
    return shared_str(star, "*");
}

PyRef make_message_tuple(PyObject* sender, PyObject* recipient, PyObject* content,
                         UnixSeconds sent_at) {
    // A fresh tuple's items are NULL until set, and it may be dropped in that state if a
    // later item cannot be made. PyTuple_SetItem steals each item.
    PyRef tuple = checked(PyTuple_New(4));
    PyTuple_SetItem(tuple.get(), 0, PyRef::borrow(sender).release());
    PyTuple_SetItem(tuple.get(), 1, PyRef::borrow(recipient).release());
    PyTuple_SetItem(tuple.get(), 2, PyRef::borrow(content).release());
    PyTuple_SetItem(tuple.get(), 3, checked(PyLong_FromUnsignedLongLong(sent_at)).release());
    return tuple;
}

PyRef make_message_list(const std::vector<Message>& messages, PyObject* recipient) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(messages.size())));
    // Messages from one sender often come in a row: they share one sender str.
    PyRef sender;
    std::string_view sender_text;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const Message& message = messages[i];
        if (!sender || message.from_agent() != sender_text) {
            sender_text = message.from_agent();  // the body outlives the loop: `messages` holds it
            sender = make_str(sender_text);
        }
        PyRef content = make_str(message.content());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       make_message_tuple(sender.get(), recipient, content.get(), message.sent_at())
                           .release());
    }
    return list;
}

}  // namespace durnel::py
