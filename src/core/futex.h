// Thin wrappers over the Linux futex system call, private to this process.
// A waiter sleeps only while *word still equals `expected`; the kernel re-tests that under its
// own lock, so a wake between the caller's test and the sleep is never lost.
#pragma once

#include <atomic>
#include <cstdint>

namespace durnel::futex {

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
void wake_one(std::atomic<std::uint32_t>& word) noexcept;

}  // namespace durnel::futex
