// SipHash with the number of compression (C) and finalisation (D) rounds as template
// parameters. The maps use SipHash-1-3; SipHash-2-4 is the published reference instance and is
// what the tests check against the published vectors, so both run through the same code.
//
// SipHasher is incremental: bytes may arrive in any number of write() calls and the result is
// that of hashing their concatenation. Keys are two 64-bit words, k0 and k1; bytes are read
// little-endian, as in the reference code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_order.h"

namespace durnel {

template <int C, int D>
class SipHasher {
    static_assert(C >= 1 && D >= 1, "SipHash needs at least one round of each kind");

public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0_(k0 ^ 0x736f6d6570736575ull),
          v1_(k1 ^ 0x646f72616e646f6dull),
          v2_(k0 ^ 0x6c7967656e657261ull),
          v3_(k1 ^ 0x7465646279746573ull) {}

    void write(const void* data, std::size_t length) noexcept {
        const auto* bytes = static_cast<const unsigned char*>(data);
        total_ += length;
        if (tail_length_ != 0) {
            while (length != 0 && tail_length_ < 8) {
                tail_ |= std::uint64_t{*bytes++} << (8 * tail_length_++);
                --length;
            }
            if (tail_length_ < 8) return;
            compress(tail_);
            tail_ = 0;
            tail_length_ = 0;
        }
        for (; length >= 8; bytes += 8, length -= 8) compress(load_le64(bytes));
        for (std::size_t i = 0; i < length; ++i) tail_ |= std::uint64_t{bytes[i]} << (8 * i);
        tail_length_ = static_cast<unsigned>(length);
    }

    void write_u8(std::uint8_t byte) noexcept { write(&byte, 1); }

    std::uint64_t finish() const noexcept {
        SipHasher copy = *this;
        copy.compress(copy.tail_ | (static_cast<std::uint64_t>(copy.total_) << 56));
        copy.v2_ ^= 0xff;
        for (int i = 0; i < D; ++i) copy.round();
        return copy.v0_ ^ copy.v1_ ^ copy.v2_ ^ copy.v3_;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int b) noexcept {
        return (x << b) | (x >> (64 - b));
    }

    void round() noexcept {
        v0_ += v1_;
        v1_ = rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = rotl(v0_, 32);
        v2_ += v3_;
        v3_ = rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = rotl(v2_, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3_ ^= m;
        for (int i = 0; i < C; ++i) round();
        v0_ ^= m;
    }

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;
    unsigned tail_length_ = 0;
    std::size_t total_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;

// One-shot helper over a byte string.
template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) noexcept {
    SipHasher<C, D> hasher(k0, k1);
    hasher.write(bytes.data(), bytes.size());
    return hasher.finish();
}

}  // namespace durnel
