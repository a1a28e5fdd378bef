// Per-thread seed for map hash keys, drawn once per thread from the system random source:
// getrandom(2) on Linux, BCryptGenRandom on Windows, getentropy(3) elsewhere (macOS, the
// BSDs, and Linux in DURNEL_PORTABLE builds, so that the path of those systems is tested here).
#include "hash_keys.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable after <windows.h>
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <bcrypt.h>  // after <windows.h>, which it needs
// clang-format on
#elif DURNEL_LINUX_CALLS
#include <sys/random.h>
#else
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "panic.h"

namespace durnel {
namespace {

[[noreturn]] void random_source_failed(const std::string& reason) {
    throw Panic("failed to generate random data: " + reason);
}

void fill_random(unsigned char* bytes, std::size_t size) {
#if defined(_WIN32)
    const NTSTATUS status =
        BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        char code[32];
        std::snprintf(code, sizeof code, "NTSTATUS 0x%08lX", static_cast<unsigned long>(status));
        random_source_failed(code);
    }
#elif DURNEL_LINUX_CALLS
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(bytes + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            random_source_failed(std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
#else
    static_assert(sizeof(HashKeys) <= 256, "getentropy gives at most 256 bytes per call");
    if (getentropy(bytes, size) != 0) random_source_failed(std::strerror(errno));
#endif
}

HashKeys draw_seed() {
    unsigned char bytes[16];
    fill_random(bytes, sizeof bytes);
    HashKeys keys;
    std::memcpy(&keys.k0, bytes, 8);
    std::memcpy(&keys.k1, bytes + 8, 8);
    return keys;
}

}  // namespace

HashKeys next_hash_keys() {
    thread_local HashKeys seed = draw_seed();
    const HashKeys current = seed;
    ++seed.k0;
    return current;
}

}  // namespace durnel
