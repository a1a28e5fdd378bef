// now_seconds: the wall-clock reading behind every time stamp of the state.
//
// Reads the real-time clock afresh on every call (no caching, no monotonic clock) and drops the
// fraction. A clock set before 1970-01-01T00:00:00Z cannot be expressed as UnixSeconds: that
// is a Panic whose message starts "system clock before unix epoch: ".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace durnel {

using UnixSeconds = std::uint64_t;

UnixSeconds now_seconds();

// Whole seconds of a clock reading; panics on a reading before the epoch. Split out so the
// conversion is testable without a clock.
UnixSeconds seconds_since_epoch(const timespec& reading);

// Test seam: replaces the clock source of the whole process (nullptr restores the real one).
// Only tests of the core use it; nothing in the module ever does.
using ClockSource = void (*)(timespec* out);
void set_clock_source_for_testing(ClockSource source);

}  // namespace durnel
