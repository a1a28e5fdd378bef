// Sleeping on a 32-bit word until it is woken, private to this process: the Linux futex system
// call (futex.cpp), or its emulation on every other system and in DURNEL_PORTABLE builds
// (futex_emulated.cpp). A waiter sleeps only while *word still equals `expected`, re-tested
// under the same lock that a waker takes, so a wake between the caller's test and the sleep is
// never lost. A wait may also return for no reason; callers re-test their condition in a loop.
#pragma once

#include <atomic>
#include <cstdint>

namespace durnel::futex {

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
void wake_one(std::atomic<std::uint32_t>& word) noexcept;

}  // namespace durnel::futex
