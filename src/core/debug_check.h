// Debug checks: internal invariants that a checked build tests and a release build compiles
// away entirely (the condition is not even evaluated), so they cost release code nothing.
//
// DURNEL_DEBUG_CHECKS is 1 in builds without NDEBUG (CMake's Debug) unless the build says
// otherwise; the C++ tests also build the core once with it forced on (tests/core). A failed
// check is a bug in the core, found where unwinding is impossible (lock code is noexcept) and
// going on would hang or corrupt: it prints what broke and where on stderr and aborts.
#pragma once

#if !defined(DURNEL_DEBUG_CHECKS)
#if defined(NDEBUG)
#define DURNEL_DEBUG_CHECKS 0
#else
#define DURNEL_DEBUG_CHECKS 1
#endif
#endif

#if DURNEL_DEBUG_CHECKS
#include <cstdio>
#include <cstdlib>

namespace durnel {

[[noreturn]] inline void debug_check_failed(const char* what, const char* file, int line) noexcept {
    std::fprintf(stderr, "durnel_core: debug check failed at %s:%d: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace durnel

#define DURNEL_DEBUG_CHECK(condition, what) \
    ((condition) ? (void)0 : ::durnel::debug_check_failed(what, __FILE__, __LINE__))
#else
#define DURNEL_DEBUG_CHECK(condition, what) ((void)0)
#endif
