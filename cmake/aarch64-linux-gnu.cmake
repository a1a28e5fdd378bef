# Cross build for aarch64 Linux with Debian's cross toolchain (g++-aarch64-linux-gnu), against
# the arm64 sysroot that scripts/arm64-sysroot.sh unpacks from Debian's arm64 packages (arm64
# CPython headers and interpreter, GoogleTest). Test binaries run under qemu-aarch64.
#
#   cmake -S . -B build-aarch64/cmake --toolchain cmake/aarch64-linux-gnu.cmake
#
# DURNEL_ARM64_SYSROOT (cache or environment) overrides the default build-aarch64/sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT DURNEL_ARM64_SYSROOT)
  if(DEFINED ENV{DURNEL_ARM64_SYSROOT})
    set(DURNEL_ARM64_SYSROOT "$ENV{DURNEL_ARM64_SYSROOT}")
  else()
    get_filename_component(DURNEL_ARM64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64/sysroot" ABSOLUTE)
  endif()
endif()
set(DURNEL_ARM64_SYSROOT "${DURNEL_ARM64_SYSROOT}" CACHE PATH "arm64 sysroot (scripts/arm64-sysroot.sh)")
if(NOT EXISTS "${DURNEL_ARM64_SYSROOT}/usr/bin/python3.11")
  message(FATAL_ERROR "no arm64 sysroot at ${DURNEL_ARM64_SYSROOT}: run scripts/arm64-sysroot.sh")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DURNEL_ARM64_SYSROOT)

# The compiler brings its own C library (/usr/aarch64-linux-gnu); the sysroot adds packages.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu "${DURNEL_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's multiarch pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>.
set(Python3_EXECUTABLE "${DURNEL_ARM64_SYSROOT}/../bin/python3" CACHE FILEPATH "arm64 CPython under qemu")
set(Python3_INCLUDE_DIR "${DURNEL_ARM64_SYSROOT}/usr/include/python3.11" CACHE PATH "arm64 CPython headers")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${DURNEL_ARM64_SYSROOT}/usr/include")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${DURNEL_ARM64_SYSROOT}")
