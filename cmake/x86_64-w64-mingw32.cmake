# Cross build for 64-bit Windows with Debian's MinGW-w64 GCC (g++-mingw-w64-x86-64-posix), whose
# posix thread model gives GCC 12's libstdc++ std::thread, std::mutex and the like (the win32
# model has none). Executables are linked statically, libstdc++, libgcc and winpthreads
# included, so they need no MinGW DLL beside them; test binaries run under wine64
# (scripts/wine-run.sh).
#
#   cmake -S . -B build-platforms/x86_64-windows-gnu/build --toolchain cmake/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The compiler's own headers and libraries are under /usr/x86_64-w64-mingw32; beyond them only
# what the build passes in (GTest_DIR) is found, nothing of the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
