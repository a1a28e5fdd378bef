// Futex wrappers. EINTR and EAGAIN are normal outcomes: callers always re-test their
// condition in a loop, so both are treated as a spurious wake-up.
#include "futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace durnel::futex {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the kernel sees the atomic as a plain 32-bit word");

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void wake_one(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

}  // namespace durnel::futex
