// Address-keyed parking: a process-wide table of sleeping threads.
//
// A thread parks on a key (an address, or an address plus a small offset) after re-testing its
// wait condition under the lock of the key's bucket; a waker changes the condition first and
// then unparks under the same bucket lock. Either the parker's re-test sees the change and it
// does not sleep, or it is already queued when the waker looks: no wake-up is lost.
//
// Each thread sleeps on a futex word of its own, so waking one thread never disturbs another.
// The table has a fixed number of buckets, each a WordLock and an intrusive FIFO of sleepers;
// it needs no allocation, no resizing and no initialisation order (zero-initialised statics).
#pragma once

#include <cstdint>

#include "function_ref.h"

namespace durnel::parking {

// Parks the calling thread on `key` if `validate()` (run under the bucket lock) returns true.
// Returns once another thread has unparked it (true), or at once if validate said no (false).
bool park(std::uintptr_t key, FunctionRef<bool()> validate);

// Facts handed to an unpark callback while the bucket lock is still held.
struct UnparkResult {
    unsigned unparked = 0;          // threads taken off the queue for this key
    bool have_more_threads = false;  // threads still parked on this key afterwards
};

// Unparks the oldest thread parked on `key`. `callback` runs under the bucket lock, after the
// queue was updated and before the thread is woken, so it can publish lock-word changes that
// a concurrent parker's validate must see. Returns what it passed to the callback.
UnparkResult unpark_one(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);

// Unparks every thread parked on `key`; `callback` as for unpark_one.
UnparkResult unpark_all(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);

}  // namespace durnel::parking
