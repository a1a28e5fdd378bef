// The snapshot door: how the reader module durnel_core_snapshot reaches the snapshot code
// inside durnel_core.abi3.so, which exports nothing but its init function and has no
// Python-visible attribute for it.
//
// Why the reader holds no core code of its own: every shared object has its own copy of every
// static. The shard locks park waiting threads in a process-wide table that is a static of
// durnel_core.abi3.so (parking.cpp), and the emulated futex of the portable build keeps its
// sleepers in another. Lock code compiled into a second module would park and wake in tables
// of its own, where durnel_core's unlock never looks, and the reverse: a reader or a writer
// asleep for ever. Its copy of the core's types could also differ from durnel_core's. So
// every guard is taken, every record copied and every result object made by durnel_core's
// code, behind this door; the reader module only finds it, checks it and calls it.
//
// Where it is: in one static object of durnel_core, ClassTables, right after the method table
// of CoordinationState. A type keeps the method table it was made with, and
// PyType_GetSlot(type, Py_tp_methods) hands that pointer back, so from an instance the way is
// its type, the type's method table, the door. The reader trusts what it finds there only when
// the magic, the layout number, the door's size, the method table the door names and the
// build's version all agree with its own; `find` is that check.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace durnel::py::snapshot_door {

inline constexpr std::uint64_t kMagic = 0x6475726e656c5344;  // "durnelSD"
// Changes whenever Door, ClassTables or the contract of `read` changes.
inline constexpr std::uint32_t kLayout = 1;
// The methods of CoordinationState, and the closing empty entry.
inline constexpr std::size_t kMethodSlots = 10;

// Reads `state`, which must be exactly a durnel_core.CoordinationState (else TypeError), with
// the GIL held, and returns a new reference to
//   (now, agents, claims, mailboxes, log, log_length)
// with agents ((agent, status), ...), claims ((resource, holder, stamp), ...), mailboxes
// ((agent, length, oldest_sent_at), ...) and log ((id, event, at, agent, resource,
// from_agent, to_agent, content), ...), the fields an event lacks None; or nullptr with an
// exception set. `log_tail` >= 0. It lets go of the GIL while it copies the tables.
// Not noexcept, and its callers must not be: a daemon thread that takes the GIL back while
// the interpreter exits is ended by an unwinding that must pass through every frame.
using ReadFunction = PyObject* (*)(PyObject* state, Py_ssize_t log_tail);

struct Door {
    std::uint64_t magic;
    std::uint32_t layout;
    std::uint32_t size;          // sizeof(Door)
    const PyMethodDef* methods;  // the method table this door follows
    const char* version;         // the project version of the build
    ReadFunction read;
};

// The one static object of durnel_core that holds both; standard layout, so a pointer to its
// first member is a pointer to it.
struct ClassTables {
    PyMethodDef methods[kMethodSlots];
    Door door;
};
static_assert(std::is_standard_layout_v<ClassTables> && offsetof(ClassTables, methods) == 0);

// The door behind `type`'s method table, or nullptr when there is none of this build. `type`
// must be a heap type (PyType_GetSlot refuses static types before 3.10).
inline const Door* find(PyObject* type, const char* version) noexcept {
    const auto* methods = static_cast<const PyMethodDef*>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_methods));
    if (methods == nullptr) return nullptr;
    const Door& door = reinterpret_cast<const ClassTables*>(methods)->door;
    if (door.magic != kMagic || door.layout != kLayout || door.size != sizeof(Door) ||
        door.methods != methods || door.version == nullptr ||
        std::strcmp(door.version, version) != 0 || door.read == nullptr) {
        return nullptr;
    }
    return &door;
}

}  // namespace durnel::py::snapshot_door
