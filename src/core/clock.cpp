// The wall clock and its one failure.
//
// Readings come from the kernel's coarse real-time clock where there is one: a fresh reading of
// the same wall clock, at most one scheduler tick behind it, for a few nanoseconds instead of
// the fine clock's twenty-odd. Only whole seconds are kept, so a tick is immaterial; the fraction
// is dropped (a lease must never lapse early because a reading was rounded up).
#include "clock.h"

#include <atomic>
#include <cstdio>

#include "panic.h"

namespace durnel {
namespace {

std::atomic<ClockSource> clock_source{nullptr};

// How far before the epoch a reading lies, rendered as "SystemTimeError(<seconds>s)" with the
// fraction written out only as far as it is non-zero (e.g. "SystemTimeError(1.5s)").
std::string describe_before_epoch(const timespec& reading) {
    // tv_sec is negative and tv_nsec in [0, 1e9): the reading is tv_sec + tv_nsec / 1e9.
    std::uint64_t seconds = static_cast<std::uint64_t>(-(reading.tv_sec + 1));
    std::uint64_t nanos = 1'000'000'000ull - static_cast<std::uint64_t>(reading.tv_nsec);
    if (nanos == 1'000'000'000ull) {
        ++seconds;
        nanos = 0;
    }
    std::string text = "SystemTimeError(" + std::to_string(seconds);
    if (nanos != 0) {
        char fraction[32];
        std::snprintf(fraction, sizeof fraction, ".%09llu", static_cast<unsigned long long>(nanos));
        std::string digits(fraction);
        while (digits.back() == '0') digits.pop_back();
        text += digits;
    }
    return text + "s)";
}

}  // namespace

UnixSeconds seconds_since_epoch(const timespec& reading) {
    if (reading.tv_sec < 0) {
        throw Panic("system clock before unix epoch: " + describe_before_epoch(reading));
    }
    return static_cast<UnixSeconds>(reading.tv_sec);
}

namespace {

// The one platform-specific piece: the cheapest fresh reading of the real-time clock. macOS
// has timespec_get only from 10.15, and the wheel's oldest macOS is 10.14, so it takes POSIX's
// clock_gettime (there from 10.12); Windows has only timespec_get.
void read_wall_clock(timespec* out) noexcept {
#if defined(CLOCK_REALTIME_COARSE)
    clock_gettime(CLOCK_REALTIME_COARSE, out);
#elif defined(__APPLE__)
    clock_gettime(CLOCK_REALTIME, out);
#else
    timespec_get(out, TIME_UTC);
#endif
}

}  // namespace

UnixSeconds now_seconds() {
    timespec reading{};
    if (ClockSource source = clock_source.load(std::memory_order_acquire)) [[unlikely]] {
        source(&reading);
    } else {
        read_wall_clock(&reading);
    }
    return seconds_since_epoch(reading);
}

void set_clock_source_for_testing(ClockSource source) {
    clock_source.store(source, std::memory_order_release);
}

}  // namespace durnel
