// The snapshot door's read: the core copies the tables (take_snapshot, snapshot.h) while this
// thread has let go of the GIL, so other threads run meanwhile; the copy becomes Python
// objects only after every shard guard is released, with the GIL held again.
//
// The instance is held (a strong reference and one count of shared use) across the copy, so
// that no other thread can free it meanwhile. The GIL is taken back outside any try block and
// outside any noexcept frame: a daemon thread doing so while the interpreter exits is ended
// there by an unwinding (3.9 to 3.13) that no frame may stop.
#include "snapshot_tuples.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conversions.h"
#include "entry_frame.h"
#include "instance.h"
#include "snapshot.h"

namespace durnel::py {
namespace {

PyRef checked(PyObject* made) {
    if (made == nullptr) python_api_call_failed();
    return PyRef::steal(made);
}

PyRef make_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

// A tuple of `items`, each new reference handed to it.
template <typename... Items>
PyRef make_tuple(Items&&... items) {
    PyRef tuple = checked(PyTuple_New(sizeof...(Items)));
    Py_ssize_t index = 0;
    (PyTuple_SetItem(tuple.get(), index++, items.release()), ...);
    return tuple;
}

// A tuple with one item per row, made by `make(row, index)`.
template <typename Row, typename Make>
PyRef tuple_of(const std::vector<Row>& rows, Make&& make) {
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), make(rows[i], i).release());
    }
    return tuple;
}

// The name of an event kind, one shared str per kind for the life of the process.
PyRef event_name(EventKind kind) {
    static constexpr std::array<std::string_view, 4> kNames = {"Claimed", "Released", "MessageSent",
                                                               "BroadcastSent"};
    static PyObject* made[kNames.size()] = {};
    const auto index = static_cast<std::size_t>(kind);
    if (made[index] == nullptr) made[index] = make_str(kNames[index]).release();
    return PyRef::borrow(made[index]);
}

PyRef str_or_none(bool present, const std::string& text) {
    return present ? make_str(text) : make_none();
}

PyRef event_tuple(const EventRow& event, std::uint64_t number) {
    const bool claim = event.kind == EventKind::Claimed || event.kind == EventKind::Released;
    return make_tuple(make_int(number), event_name(event.kind), make_int(event.at),
                      str_or_none(claim, event.agent), str_or_none(claim, event.resource),
                      str_or_none(!claim, event.from_agent),
                      str_or_none(event.kind == EventKind::MessageSent, event.to_agent),
                      str_or_none(!claim, event.content));
}

// Stamps come in runs of the same second: one int object for each run.
class Stamps {
public:
    PyRef get(UnixSeconds value) {
        if (!last_ || value != value_) {
            last_ = make_int(value);
            value_ = value;
        }
        return PyRef::borrow(last_.get());
    }

private:
    PyRef last_;
    UnixSeconds value_ = 0;
};

PyRef as_tuples(const StateSnapshot& shot) {
    // One str per agent, shared by its row, its mailbox's and the claims it holds.
    std::vector<PyRef> names;
    names.reserve(shot.agents.size());
    auto name_of = [&](const std::string& agent) {
        const auto found = std::lower_bound(
            shot.agents.begin(), shot.agents.end(), agent,
            [](const AgentRow& row, const std::string& text) { return row.agent < text; });
        if (found == shot.agents.end() || found->agent != agent) return make_str(agent);
        return PyRef::borrow(names[static_cast<std::size_t>(found - shot.agents.begin())].get());
    };
    Stamps stamps;
    PyRef agents = tuple_of(shot.agents, [&](const AgentRow& row, std::size_t) {
        names.push_back(make_str(row.agent));
        return make_tuple(PyRef::borrow(names.back().get()), status_str(row.status));
    });
    PyRef claims = tuple_of(shot.claims, [&](const ClaimRow& row, std::size_t) {
        return make_tuple(make_str(row.resource), name_of(row.holder), stamps.get(row.stamp));
    });
    PyRef mailboxes = tuple_of(shot.mailboxes, [&](const MailboxRow& row, std::size_t) {
        return make_tuple(name_of(row.agent), make_int(row.length), stamps.get(row.oldest_sent_at));
    });
    const std::uint64_t first = shot.log_length - shot.log.size() + 1;
    PyRef log = tuple_of(shot.log, [first](const EventRow& row, std::size_t i) {
        return event_tuple(row, first + i);
    });
    return make_tuple(make_int(shot.now), std::move(agents), std::move(claims),
                      std::move(mailboxes), std::move(log), make_int(shot.log_length));
}

}  // namespace

PyObject* snapshot_tuples(PyObject* state, Py_ssize_t log_tail) {
    if (Py_TYPE(state) != reinterpret_cast<PyTypeObject*>(coordination_state_type())) {
        PyErr_SetString(PyExc_TypeError, "state must be a durnel_core.CoordinationState");
        return nullptr;
    }
    if (log_tail < 0) {
        PyErr_SetString(PyExc_ValueError, "log_tail must be >= 0");
        return nullptr;
    }
    auto* instance = reinterpret_cast<Instance*>(state);
    Py_IncRef(state);
    ++instance->shared_use;
    StateSnapshot shot;
    // What went wrong in the copy, raised once the GIL is back (std::exception_ptr would tie
    // the module to the libstdc++ of GCC 11, CXXABI_1.3.13, and raise its glibc floor).
    std::optional<std::pair<std::string, SourceLocation>> failure;
    PyThreadState* released = PyEval_SaveThread();
    try {
        shot = take_snapshot(instance->state, static_cast<std::size_t>(log_tail));
    } catch (const Panic& panic) {
        failure.emplace(panic.message(), panic.where());
    } catch (const std::exception& error) {
        failure.emplace(error.what(), SourceLocation::current());
    } catch (...) {
        failure.emplace("unknown C++ exception", SourceLocation::current());
    }
    PyEval_RestoreThread(released);
    --instance->shared_use;
    Py_DecRef(state);
    if (failure) {
        raise_panic(failure->first, failure->second);
        return nullptr;
    }
    return entry_frame([&] { return as_tuples(shot).release(); });
}

}  // namespace durnel::py
