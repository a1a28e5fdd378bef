// The method entry points: parse, hold the instance, convert, run the core operation, and
// turn its value into Python objects or its failure into RuntimeError.
//
// Order inside every call: arity and names first, then the instance hold, then each argument
// in parameter order (the first bad one ends the call before any table is touched), then the
// core operation, which releases all its guards before any result object is made.
#include "methods.h"

#include <array>
#include <variant>

#include "args.h"
#include "conversions.h"
#include "entry_frame.h"
#include "instance.h"

namespace durnel::py {
namespace {

template <std::size_t N>
struct Method {
    const char* full_name;
    std::array<const char*, N> names;
    Signature signature() const noexcept {
        return Signature{full_name, names.data(), static_cast<Py_ssize_t>(N)};
    }
};

constexpr Method<2> kClaimFile{"CoordinationState.claim_file()", {"agent_id", "path"}};
constexpr Method<2> kClaimTask{"CoordinationState.claim_task()", {"agent_id", "task_id"}};
constexpr Method<2> kRelease{"CoordinationState.release()", {"agent_id", "resource_key"}};
constexpr Method<2> kRenewClaim{"CoordinationState.renew_claim()", {"agent_id", "resource_key"}};
constexpr Method<3> kSendMessage{"CoordinationState.send_message()",
                                 {"from_agent", "to_agent", "content"}};
constexpr Method<2> kBroadcast{"CoordinationState.broadcast()", {"from_agent", "content"}};
constexpr Method<1> kInbox{"CoordinationState.inbox()", {"agent_id"}};
constexpr Method<1> kDrainInbox{"CoordinationState.drain_inbox()", {"agent_id"}};
constexpr Method<1> kStatus{"CoordinationState.status()", {"agent_id"}};

template <std::size_t N>
using Args = std::array<Utf8Arg, N>;

// Runs one method call inside the entry frame. `body(state, args)` returns the result as a
// PyRef, or an empty PyRef with an exception set.
template <std::size_t N, typename Body>
PyObject* run(const Method<N>& method, PyObject* self, PyObject* args, PyObject* kwargs,
              Body&& body) noexcept {
    return entry_frame([&]() -> PyObject* {
        PyObject* slots[N];
        if (!parse_arguments(method.signature(), args, kwargs, slots)) return nullptr;
        InstanceHold hold(self);
        Args<N> converted;
        for (std::size_t i = 0; i < N; ++i) {
            if (!converted[i].convert(method.names[i], slots[i])) return nullptr;
        }
        return body(hold.state(), converted).release();
    });
}

// A core failure becomes RuntimeError(message), the message its only argument.
PyRef raise_failure(const Failure& failure) {
    PyRef message = make_str(failure.message.view());
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    return PyRef();
}

// The holder is the caller's agent id: its own argument is the result.
PyRef holder_or_failure(const Outcome<Holder>& outcome, const Utf8Arg& agent_id) {
    if (const auto* failure = std::get_if<Failure>(&outcome)) return raise_failure(*failure);
    return agent_id.as_str();
}

}  // namespace

PyObject* method_claim_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kClaimFile, self, args, kwargs,
               [](const CoordinationState& state, const Args<2>& a) {
                   return holder_or_failure(claim_file(state, a[0].view(), a[1].view()), a[0]);
               });
}

PyObject* method_claim_task(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kClaimTask, self, args, kwargs,
               [](const CoordinationState& state, const Args<2>& a) {
                   return holder_or_failure(claim_task(state, a[0].view(), a[1].view()), a[0]);
               });
}

PyObject* method_release(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kRelease, self, args, kwargs, [](const CoordinationState& state, const Args<2>& a) {
        const Outcome<Done> outcome = release(state, a[0].view(), a[1].view());
        if (const auto* failure = std::get_if<Failure>(&outcome)) return raise_failure(*failure);
        return make_none();
    });
}

PyObject* method_renew_claim(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kRenewClaim, self, args, kwargs,
               [](const CoordinationState& state, const Args<2>& a) {
                   return holder_or_failure(renew_claim(state, a[0].view(), a[1].view()), a[0]);
               });
}

PyObject* method_send_message(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kSendMessage, self, args, kwargs,
               [](const CoordinationState& state, const Args<3>& a) {
                   const Message sent = send_message(state, a[0].view(), a[1].view(), a[2].view());
                   const PyRef from = a[0].as_str(), to = a[1].as_str(), content = a[2].as_str();
                   return make_message_tuple(from.get(), to.get(), content.get(), sent.sent_at());
               });
}

PyObject* method_broadcast(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kBroadcast, self, args, kwargs,
               [](const CoordinationState& state, const Args<2>& a) {
                   const Message sent = broadcast(state, a[0].view(), a[1].view());
                   const PyRef from = a[0].as_str(), content = a[1].as_str();
                   return make_message_tuple(from.get(), broadcast_recipient_str().get(),
                                             content.get(), sent.sent_at());
               });
}

PyObject* method_inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kInbox, self, args, kwargs, [](const CoordinationState& state, const Args<1>& a) {
        const std::vector<Message> pending = inbox(state, a[0].view());
        return make_message_list(pending, a[0].as_str().get());
    });
}

PyObject* method_drain_inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kDrainInbox, self, args, kwargs,
               [](const CoordinationState& state, const Args<1>& a) {
                   std::vector<Message> drained = drain_inbox(state, a[0].view());
                   try {
                       return make_message_list(drained, a[0].as_str().get());
                   } catch (...) {
                       // The caller never saw these messages: put them back, in order, before the
                       // failure is reported (reporting may run Python code, and other threads with
                       // it).
                       restore_drained(state, a[0].view(), std::move(drained));
                       throw;
                   }
               });
}

PyObject* method_status(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(kStatus, self, args, kwargs, [](const CoordinationState& state, const Args<1>& a) {
        return status_str(status(state, a[0].view()));
    });
}

}  // namespace durnel::py
