// FiberContext: the stacks the deterministic schedules run their scenario threads on, and the
// switch between them and the explorer, all on one OS thread (deterministic_schedule.h).
//
// A FiberContext is one side of a switch: the explorer's, which is the OS thread's own stack,
// or a fiber's. prepare() readies a fiber to start `entry()` on the given stack at the next
// switch to it, whatever it was doing before: a run the explorer abandons mid-way leaves its
// fibers suspended, and nothing on their stacks is ever unwound. `entry` never returns; it
// switches away for the last time instead.
//   - Windows: the system's fibers (CreateFiber, SwitchToFiber), each with a stack of the size
//     asked for that the system allocates; the explorer's thread becomes a fiber on its first
//     switch and stays one.
//   - glibc and macOS: ucontext. A switch is getcontext + setcontext rather than swapcontext,
//     whose AddressSanitizer interceptor warns on every program that uses it, while the
//     explorer's fiber annotations already tell it about each switch.
//   - other x86-64 systems (musl has no ucontext functions): a switch pushes the registers
//     that a call preserves on the stack it leaves and pops them from the one it enters
//     (fibers.cpp, a dozen instructions). The floating-point control words, which nothing
//     here changes, are not switched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// GCC 12 takes GetCurrentFiber's read of the thread block (an inline __readgsqword at offset
// 0x20 in MinGW-w64's headers) for an access through a null pointer and reports
// -Warray-bounds wherever it is inlined; it is the segment-relative read that every Windows
// compiler makes there.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <windows.h>
#pragma GCC diagnostic pop
#else
#include <windows.h>
#endif
#define DURNEL_FIBERS_WINDOWS 1
#elif defined(__GLIBC__) || defined(__APPLE__)
// macOS's <ucontext.h> refuses to be included outside X/Open mode; defining that mode for the
// whole file instead hides parts of <float.h> and others that the tests need.
#if defined(__APPLE__) && !defined(_XOPEN_SOURCE)
#define _XOPEN_SOURCE 600
#include <ucontext.h>
#undef _XOPEN_SOURCE
#else
#include <ucontext.h>
#endif
#define DURNEL_FIBERS_UCONTEXT 1
#elif defined(__x86_64__)
#define DURNEL_FIBERS_X86_64 1
extern "C" void durnel_fiber_switch(void** save_stack_pointer, void* load_stack_pointer);
#else
#error "no fibers for this target: tests/core/fibers.h knows Windows, ucontext and x86-64"
#endif

namespace durnel::schedule {

#if defined(DURNEL_FIBERS_WINDOWS)

class FiberContext {
public:
    FiberContext() = default;
    FiberContext(const FiberContext&) = delete;
    FiberContext& operator=(const FiberContext&) = delete;
    ~FiberContext() {
        if (owned_) DeleteFiber(fiber_);
    }

    void prepare(char* /*stack: the system allocates its own*/, std::size_t size, void (*entry)()) {
        if (owned_) DeleteFiber(fiber_);
        entry_ = entry;
        fiber_ = CreateFiber(size, &FiberContext::start, this);
        if (fiber_ == nullptr) std::abort();
        owned_ = true;
    }

    static void switch_between(FiberContext& from, FiberContext& to) {
        if (from.fiber_ == nullptr) {
            from.fiber_ = IsThreadAFiber() ? GetCurrentFiber() : ConvertThreadToFiber(nullptr);
            if (from.fiber_ == nullptr) std::abort();
        }
        SwitchToFiber(to.fiber_);
    }

private:
    static void WINAPI start(void* self) { static_cast<FiberContext*>(self)->entry_(); }

    void* fiber_ = nullptr;
    bool owned_ = false;  // false for the thread's own fiber, which must never be deleted
    void (*entry_)() = nullptr;
};

#elif defined(DURNEL_FIBERS_UCONTEXT)

#if defined(__APPLE__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"  // still there, and still works
#endif

class FiberContext {
public:
    FiberContext() = default;
    FiberContext(const FiberContext&) = delete;
    FiberContext& operator=(const FiberContext&) = delete;

    void prepare(char* stack, std::size_t size, void (*entry)()) {
        getcontext(&context_);
        context_.uc_stack.ss_sp = stack;
        context_.uc_stack.ss_size = size;
        context_.uc_link = nullptr;
        makecontext(&context_, entry, 0);
    }

    static void switch_between(FiberContext& from, FiberContext& to) {
        volatile bool resumed = false;
        getcontext(&from.context_);
        if (!resumed) {
            resumed = true;
            setcontext(&to.context_);
        }
    }

private:
    ucontext_t context_{};
};

#if defined(__APPLE__)
#pragma clang diagnostic pop
#endif

#else  // DURNEL_FIBERS_X86_64

class FiberContext {
public:
    FiberContext() = default;
    FiberContext(const FiberContext&) = delete;
    FiberContext& operator=(const FiberContext&) = delete;

    // The frame durnel_fiber_switch pops on its first switch here: six saved registers, then
    // `entry` as the address it returns to, then a null return address for `entry` itself,
    // placed so that `entry` starts with the stack aligned as after a call.
    void prepare(char* stack, std::size_t size, void (*entry)()) {
        const std::uintptr_t top =
            reinterpret_cast<std::uintptr_t>(stack + size) & ~std::uintptr_t{15};
        void** frame = reinterpret_cast<void**>(top);
        *--frame = nullptr;
        *--frame = reinterpret_cast<void*>(entry);
        for (int saved = 0; saved < 6; ++saved) *--frame = nullptr;
        stack_pointer_ = frame;
    }

    static void switch_between(FiberContext& from, FiberContext& to) {
        durnel_fiber_switch(&from.stack_pointer_, to.stack_pointer_);
    }

private:
    void* stack_pointer_ = nullptr;
};

#endif

}  // namespace durnel::schedule
