// A module-local definition of the one libstdc++ helper that would otherwise raise the
// module's glibc floor (the oldest Linux a wheel may claim) from manylinux_2_27 to _2_34.
//
// GCC 11 and later inline a call to std::__throw_bad_array_new_length() into every
// std::allocator<T>::allocate(n) (when n * sizeof(T) overflows). That function first appeared
// in libstdc++.so.6 with GLIBCXX_3.4.29 (GCC 11, found on RHEL 9 / glibc 2.34 and later), so a
// single reference to it makes the module unloadable on every older system, even though
// everything else it takes from libstdc++ dates from GCC 7 (CXXABI_1.3.11) or earlier.
//
// Defining the helper here, with the same behaviour (throw std::bad_array_new_length, whose
// type information libstdc++ has exported since GCC 4.9, CXXABI_1.3.8), lets the static linker
// bind those calls inside the module; the export map keeps the definition local, so it never
// interposes on the libstdc++ of the process. Statically linking all of libstdc++ instead was
// worse: its archive pulls in newer glibc symbols.
//
// Guarantees: with libstdc++ 11 or later the module has no undefined reference to
// GLIBCXX_3.4.29 or later (the nox session `abi` holds the wheel to its manylinux tag with
// `auditwheel show`); with any other standard library this file compiles to nothing.
#include <new>

#if defined(__GLIBCXX__) && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
#include <bits/functexcept.h>

namespace std {

// No attribute here: <bits/functexcept.h> declared it noreturn first (in GNU spelling, which
// clang will not see restated as [[noreturn]]), and a redeclaration inherits it.
void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std

#endif
