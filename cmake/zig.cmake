# Cross builds with the clang inside the ziglang wheel (PyPI), which carries the C and C++
# libraries and headers of macOS, Windows (MinGW-w64) and musl Linux, for one target triple:
#
#   cmake -S . -B build-platforms/x86_64-linux-musl/build --toolchain cmake/zig.cmake \
#     -DDURNEL_ZIG_TARGET=x86_64-linux-musl -DDURNEL_ZIG_BIN=$PWD/build-platforms/zig-bin
#
# scripts/test-platforms.sh builds macOS and musl with it; Windows there is built with Debian's
# MinGW-w64 GCC (cmake/x86_64-w64-mingw32.cmake), whose runtime needs no first compile.
#
# DURNEL_ZIG_BIN is a directory of wrapper scripts that scripts/test-platforms.sh writes:
# <target>-c++, <target>-cc, ar and ranlib, each running the zig binary inside the .venv's
# ziglang package with its subcommand (CMake wants one executable per tool, not a command with
# arguments; zig's own binary spares each compile an interpreter start). Windows test binaries
# (a zig build for Windows still works) run under wine (scripts/wine-run.sh); musl ones are
# static and run here as they are.
if(NOT DURNEL_ZIG_TARGET OR NOT DURNEL_ZIG_BIN)
  message(FATAL_ERROR "cmake/zig.cmake needs -DDURNEL_ZIG_TARGET=<triple> -DDURNEL_ZIG_BIN=<dir>")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DURNEL_ZIG_TARGET DURNEL_ZIG_BIN)

string(REGEX MATCH "^[^-]+" _zig_arch "${DURNEL_ZIG_TARGET}")
if(DURNEL_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  # No SDK and no xcrun here: zig brings the macOS headers and libraries itself.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
  # The target names the architecture and the oldest macOS (x86_64-macos.10.14); CMake must
  # add no -arch or -mmacosx-version-min of its own.
  if(_zig_arch STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
  endif()
  # zig's macOS <math.h> includes <float.h> for INFINITY and NAN alone, and libc++'s <float.h>
  # is then taken as included: whichever of the two parts comes second never appears
  # (GoogleTest needs FLT_MAX, libc++'s <random> INFINITY). Both are included first, in every
  # file, instead.
  set(CMAKE_C_FLAGS_INIT "-include float.h -include __float_infinity_nan.h")
  set(CMAKE_CXX_FLAGS_INIT "-include float.h -include __float_infinity_nan.h")
elseif(DURNEL_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})
endif()

set(CMAKE_C_COMPILER "${DURNEL_ZIG_BIN}/${DURNEL_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${DURNEL_ZIG_BIN}/${DURNEL_ZIG_TARGET}-c++")
set(CMAKE_AR "${DURNEL_ZIG_BIN}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${DURNEL_ZIG_BIN}/ranlib" CACHE FILEPATH "")

# Only what the build passes in (GTest_DIR, the Python headers) is found; nothing of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
