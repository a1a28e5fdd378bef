// Bounded spinning shared by the locks: the one place the spin budget is defined.
//
// A waiter spins at most kSpinSteps times before it sleeps. Steps 0..2 busy-wait 2, 4 and 8
// pause instructions (an owner about to release usually does so within a few hundred cycles,
// and a pause keeps the sibling hyperthread fed); steps 3..9 yield the processor, which lets
// a preempted owner run on a machine with fewer cores than runnable threads. After that the
// owner is plainly busy for a long time and sleeping is cheaper than burning the core.
#pragma once

#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <emmintrin.h>  // _mm_pause: the same pause instruction from GCC, clang and MSVC
#elif defined(_MSC_VER) && defined(_M_ARM64)
#include <intrin.h>
#endif

namespace durnel {

inline constexpr int kSpinSteps = 10;
inline constexpr int kPauseSteps = 3;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __yield();
#elif defined(__GNUC__) && defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#else
    // No hint for this processor: at least make the caller re-read what it waits on.
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Performs spin step `step` (0-based, below kSpinSteps).
inline void spin_step(int step) noexcept {
    if (step < kPauseSteps) {
        for (int i = 0; i < (2 << step); ++i) cpu_relax();
    } else {
        std::this_thread::yield();
    }
}

}  // namespace durnel
