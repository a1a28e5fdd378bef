// The CoordinationState class: a heap type made once per process with PyType_FromSpec,
// its constructor, its deallocator and its method table (with the snapshot door behind it).
//
// Flags are Py_TPFLAGS_DEFAULT only: no subclassing (no BASETYPE), no cyclic GC (instances
// hold no Python references), no __dict__ and no weak references.
#include <new>

#include "args.h"
#include "entry_frame.h"
#include "instance.h"
#include "methods.h"
#include "py_ref.h"
#include "snapshot_door.h"
#include "snapshot_tuples.h"

namespace durnel::py {
namespace {

// Each docstring is the text-signature line, "\n--\n\n", then the body.
constexpr const char kClaimFileDoc[] =
    "claim_file($self, agent_id, path)\n--\n\n"
    "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
    "already holds it. Returns the claiming agent's id back on success \u2014\n"
    "a no-op value, useful mainly to confirm the call didn't raise.";
constexpr const char kClaimTaskDoc[] = "claim_task($self, agent_id, task_id)\n--\n\n";
constexpr const char kReleaseDoc[] =
    "release($self, agent_id, resource_key)\n--\n\n"
    "Releases a claim keyed by e.g. `\"file:src/lib\"` or `\"task:phase-7\"`.\n"
    "Only the holder may release it.";
constexpr const char kRenewClaimDoc[] =
    "renew_claim($self, agent_id, resource_key)\n--\n\n"
    "Renews a claim keyed by e.g. `\"file:src/lib\"` or `\"task:phase-7\"`,\n"
    "extending its lease so a long-running task isn't lost to the TTL.\n"
    "Only the holder may renew.";
constexpr const char kSendMessageDoc[] =
    "send_message($self, from_agent, to_agent, content)\n--\n\n";
constexpr const char kBroadcastDoc[] = "broadcast($self, from_agent, content)\n--\n\n";
constexpr const char kInboxDoc[] =
    "inbox($self, agent_id)\n--\n\n"
    "Pending messages for `agent_id`, oldest first. Does not clear them \u2014\n"
    "use `drain_inbox` for that.";
constexpr const char kDrainInboxDoc[] = "drain_inbox($self, agent_id)\n--\n\n";
constexpr const char kStatusDoc[] =
    "status($self, agent_id)\n--\n\n"
    "One of `\"idle\"`, `\"busy\"`, `\"completed\"`, `\"error\"`.";

// The class docstring: name, text signature "()", "\n--\n\n", empty body.
constexpr const char kClassDoc[] = "CoordinationState()\n--\n\n";
// Interpreters before 3.11 keep pointing at this name after type creation: static storage.
constexpr const char kTypeName[] = "builtins.CoordinationState";

template <typename Fn>
PyCFunction as_cfunction(Fn* fn) noexcept {
    // METH_VARARGS | METH_KEYWORDS functions are stored as PyCFunction and called with three
    // arguments; the detour through a generic function pointer is the sanctioned cast.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;

// The method table, and behind it the door through which the reader module durnel_core_snapshot
// reaches this module's snapshot code (snapshot_door.h); the table's closing entry ends what
// the interpreter reads.
snapshot_door::ClassTables class_tables = {
    {
        {"claim_file", as_cfunction(method_claim_file), kMethodFlags, kClaimFileDoc},
        {"claim_task", as_cfunction(method_claim_task), kMethodFlags, kClaimTaskDoc},
        {"release", as_cfunction(method_release), kMethodFlags, kReleaseDoc},
        {"renew_claim", as_cfunction(method_renew_claim), kMethodFlags, kRenewClaimDoc},
        {"send_message", as_cfunction(method_send_message), kMethodFlags, kSendMessageDoc},
        {"broadcast", as_cfunction(method_broadcast), kMethodFlags, kBroadcastDoc},
        {"inbox", as_cfunction(method_inbox), kMethodFlags, kInboxDoc},
        {"drain_inbox", as_cfunction(method_drain_inbox), kMethodFlags, kDrainInboxDoc},
        {"status", as_cfunction(method_status), kMethodFlags, kStatusDoc},
        {nullptr, nullptr, 0, nullptr},
    },
    {
        snapshot_door::kMagic,
        snapshot_door::kLayout,
        sizeof(snapshot_door::Door),
        class_tables.methods,
        DURNEL_VERSION,
        snapshot_tuples,
    },
};

constexpr const char kNewName[] = "CoordinationState.__new__()";

PyObject* instance_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return entry_frame([&]() -> PyObject* {
        const Py_ssize_t given = PyTuple_Size(args);
        if (given > 0) {
            raise_too_many_positional(kNewName, 0, given);
            return nullptr;
        }
        if (kwargs != nullptr) {
            Py_ssize_t position = 0;
            PyObject* name;
            PyObject* value;
            if (PyDict_Next(kwargs, &position, &name, &value)) {
                raise_unexpected_keyword(kNewName, name);
                return nullptr;
            }
        }
        CoordinationState fresh;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* object = alloc(subtype, 0);
        if (object == nullptr) {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return nullptr;  // `fresh` is torn down on the way out
        }
        auto* instance = reinterpret_cast<Instance*>(object);
        ::new (&instance->state) CoordinationState(std::move(fresh));
        instance->shared_use = 0;
        return object;
    });
}

void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // The type outlives the instance, so it is the context of any report from the frame.
    unraisable_entry_frame(reinterpret_cast<PyObject*>(type), [&] {
        reinterpret_cast<Instance*>(self)->state.~CoordinationState();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
    });
    // Instances of a heap type own a reference to it; without this every instance would
    // leak one reference to the class.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyType_Slot type_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(instance_new)},
    {Py_tp_methods, class_tables.methods},
    {Py_tp_base, nullptr},  // &PyBaseObject_Type, filled in at creation (not a constant)
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    kTypeName, static_cast<int>(sizeof(Instance)), 0, Py_TPFLAGS_DEFAULT, type_slots,
};

PyObject* type_cache = nullptr;  // made at most once per process; never released

}  // namespace

PyObject* coordination_state_type() noexcept {
    if (type_cache == nullptr) {
        type_slots[3].pfunc = &PyBaseObject_Type;
        type_cache = PyType_FromSpec(&type_spec);
    }
    return type_cache;
}

}  // namespace durnel::py
