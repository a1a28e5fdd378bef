// SipHash-1-3 as the maps use it on string keys (the bytes, then one 0xFF byte), per key
// length, beside std::hash<std::string_view> for scale.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <string_view>

#include "hash_keys.h"

namespace {

constexpr long kLengths[] = {8, 16, 32, 64, 256};

std::string key_of_length(long length) {
    std::string key(static_cast<std::size_t>(length), 'a');
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>('a' + i % 26);
    return key;
}

void siphash13_key(benchmark::State& state) {
    const std::string key = key_of_length(state.range(0));
    const durnel::KeyHash hash{durnel::HashKeys{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull}};
    std::string_view view(key);
    for (auto _ : state) {
        benchmark::DoNotOptimize(view);
        std::uint64_t h = hash(view);
        benchmark::DoNotOptimize(h);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void std_hash_key(benchmark::State& state) {
    const std::string key = key_of_length(state.range(0));
    std::string_view view(key);
    for (auto _ : state) {
        benchmark::DoNotOptimize(view);
        std::size_t h = std::hash<std::string_view>{}(view);
        benchmark::DoNotOptimize(h);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

const bool registered = [] {
    for (long length : kLengths) {
        benchmark::RegisterBenchmark("hash/SipHash-1-3", siphash13_key)->Arg(length);
    }
    for (long length : kLengths) {
        benchmark::RegisterBenchmark("hash/std::hash", std_hash_key)->Arg(length);
    }
    return true;
}();

}  // namespace
