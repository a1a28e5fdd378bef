// Little-endian loads: eight bytes of memory read as the integer they spell least significant
// byte first, whatever the machine's byte order (SipHash's input words, a hash table group's
// control bytes). On little-endian machines that is one unaligned load and nothing else.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace durnel {

// std::byteswap is C++23. GCC and clang recognise this pattern and emit one byte-swap
// instruction; any other compiler still computes the right value.
constexpr std::uint64_t byteswap64(std::uint64_t x) noexcept {
    x = ((x & 0x00FF00FF00FF00FFull) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFull);
    x = ((x & 0x0000FFFF0000FFFFull) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFull);
    return (x << 32) | (x >> 32);
}
static_assert(byteswap64(0x0102030405060708ull) == 0x0807060504030201ull);

inline std::uint64_t load_le64(const void* bytes) noexcept {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = byteswap64(value);
    return value;
}

}  // namespace durnel
