// Hash keys for the maps, and the hashing of the two key kinds the maps store.
//
// Every map takes its own SipHash-1-3 key pair when it is built, so that key placement (and
// with it iteration order) differs between maps and between runs, and an attacker who picks
// agent ids cannot aim them at one slot. Each thread draws a 16-byte seed once from the
// system random source; a map built on that thread takes the current pair and advances the
// thread's k0 by one, so no two maps of a thread share keys and only the first costs a
// system call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "siphash.h"

namespace durnel {

struct HashKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Fresh keys for a new map. Panics with "failed to generate random data: ..." if the system
// random source fails when the thread's seed is first drawn.
HashKeys next_hash_keys();

// Default key hashing: a string by SipHash-1-3 over its UTF-8 bytes followed by one 0xFF byte
// (a byte that never occurs in UTF-8, marking where the string ends so that the encoding is
// prefix-free). An unsigned 64-bit key (a second of the clock, which no caller chooses) by a
// keyed mix instead: the key xored with k0, plus k1, through the splitmix64 finaliser, which
// spreads consecutive keys over every bit the map uses, in a few instructions.
struct KeyHash {
    HashKeys keys;

    std::uint64_t operator()(std::string_view key) const noexcept {
        SipHasher13 hasher(keys.k0, keys.k1);
        hasher.write(key.data(), key.size());
        hasher.write_u8(0xFF);
        return hasher.finish();
    }
    std::uint64_t operator()(const std::string& key) const noexcept {
        return (*this)(std::string_view(key));
    }
    std::uint64_t operator()(std::uint64_t key) const noexcept {
        std::uint64_t z = (key ^ keys.k0) + keys.k1;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

}  // namespace durnel
