// Shared helpers of the core tests: a settable clock behind the clock seam (with an optional
// failure after a given number of reads), a fixture that installs and removes it, readable
// dumps of the state's tables, and small threading and panic helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "clock.h"
#include "panic.h"
#include "state.h"

namespace durnel::test_support {

// The time every clock read returns while the test clock is installed.
inline std::atomic<std::int64_t> fake_now{0};
// Reads left before the clock starts reading one second before the epoch; negative: never.
inline std::atomic<std::int64_t> reads_before_failure{-1};

inline void fake_clock(timespec* out) {
    std::int64_t left = reads_before_failure.load();
    while (left > 0 && !reads_before_failure.compare_exchange_weak(left, left - 1)) {
    }
    out->tv_sec = left == 0 ? -1 : static_cast<time_t>(fake_now.load());
    out->tv_nsec = 0;
}

// Makes the n-th clock read from now on (1-based) and every later one fail.
inline void fail_clock_on_read(std::int64_t n) { reads_before_failure.store(n - 1); }
inline void heal_clock() { reads_before_failure.store(-1); }

class ClockedTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_now.store(1000);
        heal_clock();
        set_clock_source_for_testing(&fake_clock);
    }
    void TearDown() override {
        set_clock_source_for_testing(nullptr);
        heal_clock();
    }
    static void at(std::int64_t seconds) { fake_now.store(seconds); }
};

template <typename F>
std::string panic_message(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

// Polls `condition` for up to five seconds.
template <typename F>
bool eventually(F&& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

inline std::string describe(const ActivityEvent& event) {
    struct Visitor {
        std::string operator()(const Claimed& e) const {
            return "Claimed " + std::string(e.agent) + " " + std::string(e.resource) + " @" +
                   std::to_string(e.at);
        }
        std::string operator()(const Released& e) const {
            return "Released " + std::string(e.agent) + " " + std::string(e.resource) + " @" +
                   std::to_string(e.at);
        }
        std::string operator()(const MessageSent& e) const {
            return "MessageSent " + std::string(e.from_agent) + "->" + std::string(e.to_agent) +
                   " '" + std::string(e.content) + "' @" + std::to_string(e.at);
        }
        std::string operator()(const BroadcastSent& e) const {
            return "BroadcastSent " + std::string(e.from_agent) + " '" + std::string(e.content) +
                   "' @" + std::to_string(e.at);
        }
    };
    return std::visit(Visitor{}, event);
}

// The activity log as "bucket: event" lines, buckets ascending, append order within a bucket.
inline std::vector<std::string> log_lines(const CoordinationState& state) {
    std::map<UnixSeconds, std::vector<std::string>> buckets;
    auto it = state.activity->iter();
    while (auto ref = it.next()) {
        auto& lines = buckets[ref->key()];
        for (const ActivityEvent& e : ref->value()) lines.push_back(describe(e));
    }
    std::vector<std::string> out;
    for (const auto& [second, lines] : buckets) {
        for (const std::string& line : lines) out.push_back(std::to_string(second) + ": " + line);
    }
    return out;
}

inline std::string describe(const Claim& c) {
    return std::string(c.target.kind == ClaimKind::File ? "File " : "Task ") + c.target.name +
           " by " + c.holder + " " + std::to_string(c.claimed_at) + "/" +
           std::to_string(c.renewed_at);
}

inline std::map<std::string, std::string> claims_dump(const CoordinationState& state) {
    std::map<std::string, std::string> out;
    auto it = state.claims->iter();
    while (auto ref = it.next()) out[ref->key()] = describe(ref->value());
    return out;
}

inline std::map<std::string, AgentStatus> statuses_dump(const CoordinationState& state) {
    std::map<std::string, AgentStatus> out;
    auto it = state.statuses->iter();
    while (auto ref = it.next()) out[ref->key()] = ref->value().status;
    return out;
}

inline std::optional<Claim> stored_claim(const CoordinationState& state, std::string_view key) {
    if (auto ref = state.claims->get(key)) return ref->value();
    return std::nullopt;
}

// The stored claim under `key`, described, or "<none>".
inline std::string claim_text(const CoordinationState& state, std::string_view key) {
    const auto claim = stored_claim(state, key);
    return claim ? describe(*claim) : "<none>";
}

// The lock word of the shard that holds `key` in `map`.
template <typename Map, typename Key>
std::uint64_t lock_word_of(const Map& map, const Key& key) {
    return map.shard(map.shard_index(map.hash(key))).lock.raw_word();
}

template <typename T>
bool is_failure(const Outcome<T>& outcome, const std::string& message) {
    const auto* failure = std::get_if<Failure>(&outcome);
    return failure != nullptr && failure->message.view() == message;
}

// The holder of a claim outcome, or the failure text, so that both show up in one comparison.
inline std::string holder_of(const Outcome<Holder>& outcome) {
    if (const auto* failure = std::get_if<Failure>(&outcome))
        return "failure: " + std::string(failure->message.view());
    return std::string(std::get<Holder>(outcome).agent);
}

}  // namespace durnel::test_support
