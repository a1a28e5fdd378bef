// Hash keys for the maps, and the hashing of the two key kinds the maps store.
//
// Every map takes its own SipHash-1-3 key pair when it is built, so that key placement (and
// with it iteration order) differs between maps and between runs, and an attacker who picks
// agent ids cannot aim them at one slot. Each thread draws a 16-byte seed once from the
// system random source; a map built on that thread takes the current pair and advances the
// thread's k0 by one, so no two maps of a thread share keys and only the first costs a
// system call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
//
// The string hash is SipHasher13 fed the key and then the byte 0xFF, computed in one pass:
// whole words straight from the key, the last partial word (ending in the terminator)
// assembled at once rather than byte by byte. A test holds the two equal.
inline std::uint64_t siphash13_terminated(const HashKeys& keys, std::string_view key) noexcept;

struct KeyHash {
    HashKeys keys;

    std::uint64_t operator()(std::string_view key) const noexcept {
        return siphash13_terminated(keys, key);
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

namespace siphash13_detail {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct State {
    std::uint64_t v0, v1, v2, v3;
    void round() noexcept {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

inline std::uint64_t load_le(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

}  // namespace siphash13_detail

inline std::uint64_t siphash13_terminated(const HashKeys& keys, std::string_view key) noexcept {
    using namespace siphash13_detail;
    State s{keys.k0 ^ 0x736f6d6570736575ull, keys.k1 ^ 0x646f72616e646f6dull,
            keys.k0 ^ 0x6c7967656e657261ull, keys.k1 ^ 0x7465646279746573ull};
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    std::size_t n = key.size();
    const std::uint64_t total = static_cast<std::uint64_t>(n) + 1;  // the terminator counts
    for (; n >= 8; p += 8, n -= 8) s.compress(load_le(p));
    // n (0..7) key bytes are left; with the terminator they fill 1 to 8 bytes of a word.
    unsigned char last[8] = {};
    if (n != 0) std::memcpy(last, p, n);
    last[n] = 0xFF;
    std::uint64_t tail = load_le(last);
    if (n == 7) {  // a whole word: compressed as a block, the final block has no bytes
        s.compress(tail);
        tail = 0;
    }
    s.compress(tail | (total << 56));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace durnel
