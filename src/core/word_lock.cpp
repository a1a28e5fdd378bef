// Slow paths of WordLock: out of line so that the inline fast path stays two instructions.
#include "word_lock.h"

#include "futex.h"
#include "spin.h"

namespace durnel {

void WordLock::lock_slow() noexcept {
    // Spin a little first: bucket critical sections are a few dozen instructions long.
    for (int step = 0; step < kSpinSteps; ++step) {
        spin_step(step);
        std::uint32_t expected = kUnlocked;
        if (state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    // Announce a sleeper, then sleep until the word is seen unlocked. Taking the lock by
    // exchanging in kContended is conservative: it may cause one needless wake on unlock,
    // but it never loses one.
    while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked) {
        futex::wait(state_, kContended);
    }
}

void WordLock::wake_one() noexcept { futex::wake_one(state_); }

}  // namespace durnel
