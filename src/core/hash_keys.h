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

// Default key hashing: a string over its UTF-8 bytes followed by one 0xFF byte (a byte that
// never occurs in UTF-8, marking where the string ends so that the encoding is prefix-free),
// an unsigned 64-bit key over its 8 bytes, little-endian.
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
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(key >> (8 * i));
        SipHasher13 hasher(keys.k0, keys.k1);
        hasher.write(bytes, sizeof bytes);
        return hasher.finish();
    }
};

}  // namespace durnel
