// The fiber switch of x86-64 systems without ucontext (fibers.h): saves the registers that the
// System V calling convention preserves across a call on the current stack, stores the stack
// pointer through the first argument, loads the second, restores the registers from there and
// returns to whatever that stack was switched away from (or to a fresh fiber's entry).
// Compiles to nothing on every other target.
#include "fibers.h"

#if defined(DURNEL_FIBERS_X86_64)
asm(R"(
    .text
    .globl durnel_fiber_switch
    .type durnel_fiber_switch, @function
durnel_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size durnel_fiber_switch, .-durnel_fiber_switch
)");
#endif
