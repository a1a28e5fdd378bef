// Per-thread seed for map hash keys, drawn once per thread from getrandom(2).
#include "hash_keys.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "panic.h"

namespace durnel {
namespace {

HashKeys draw_seed() {
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Panic(std::string("failed to generate random data: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
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
