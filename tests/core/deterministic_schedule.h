// Deterministic schedules for the lock code. DetSync is the test instantiation of the
// synchronisation seam (shard_lock.h): its atomics, futex calls and spin steps each first hand
// control to an Explorer, which runs a scenario's threads as fibers (fibers.h) on one OS thread,
// one at a time, and decides at every such scheduling point which thread goes next. The threads run
// the real BasicShardLock / ParkingTable / BasicWordLock code, instantiated on DetSync.
//
// Two ways to explore:
//   - explore_all: every interleaving up to the reordering of independent steps (dynamic
//     partial-order reduction with sleep sets: two steps are dependent when they touch the same
//     object and one writes; a failed compare-exchange and the futex calls count as writes).
//     Exhaustive; for two threads the spaces are small. It preserves what depends on the order
//     of dependent steps: mutual exclusion (the threads' bookkeeping is such a step), lost
//     wake-ups, the end state. The hand-over and parked-bit checks read the parking queues,
//     which the reduction does not see as shared; they are checked in every run it makes.
//   - explore_random: seeded random schedules with a few priority changes each (probabilistic
//     concurrency testing), for scenarios with more threads.
// Checked by the explorer in every run: no state in which every unfinished thread sleeps (a
// lost wake-up), no run longer than kMaxSteps (a livelock), plus the scenario's own state
// check after every step, its end check, and the failures its threads report. A failure stops
// the exploration and comes back as a report with the schedule and the trace of every step.
//
// The model is sequentially consistent: it explores interleavings, not reorderings that the
// memory orders would allow, and a weak compare-exchange never fails spuriously.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fibers.h"
#include "parking.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define DURNEL_FIBERS_ASAN 1
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define DURNEL_FIBERS_VALGRIND 1
#endif

namespace durnel::schedule {

inline constexpr int kMaxThreads = 4;
inline constexpr std::size_t kMaxSteps = 4000;

// What a thread is about to do at a scheduling point.
enum class Access : std::uint8_t { kLocal, kRead, kWrite };
struct Op {
    const void* object = nullptr;  // null for kLocal
    Access access = Access::kLocal;
    const char* what = "";
};

inline bool dependent(const Op& a, const Op& b) {
    return a.access != Access::kLocal && b.access != Access::kLocal && a.object == b.object &&
           (a.access == Access::kWrite || b.access == Access::kWrite);
}

// Hands control to the explorer before an operation; a no-op outside the scenario's threads.
void point(const Op& op);
// Describes the outcome of the operation just performed in the trace.
void note(const char* format, std::uint64_t a = 0, std::uint64_t b = 0);
// Reports the first successful read-modify-write of a thread on an object it watches.
void saw_rmw(const void* object, std::uint64_t previous);

template <typename T>
class DetAtomic {
public:
    constexpr DetAtomic() noexcept = default;
    constexpr DetAtomic(T value) noexcept : value_(value) {}
    DetAtomic(const DetAtomic&) = delete;
    DetAtomic& operator=(const DetAtomic&) = delete;

    T load(std::memory_order = std::memory_order_seq_cst) const {
        point({this, Access::kRead, "load"});
        note("= %llx", value_);
        return value_;
    }
    void store(T value, std::memory_order = std::memory_order_seq_cst) {
        point({this, Access::kWrite, "store"});
        value_ = value;
        note("%llx", value_);
    }
    T exchange(T value, std::memory_order = std::memory_order_seq_cst) {
        return modify("exchange", [&](T) { return value; });
    }
    bool compare_exchange_strong(T& expected, T desired, std::memory_order = {},
                                 std::memory_order = {}) {
        point({this, Access::kWrite, "compare_exchange"});
        if (value_ != expected) {
            note("failed, saw %llx", value_);
            expected = value_;
            return false;
        }
        saw_rmw(this, value_);
        note("%llx -> %llx", value_, desired);
        value_ = desired;
        return true;
    }
    bool compare_exchange_weak(T& expected, T desired, std::memory_order success = {},
                               std::memory_order failure = {}) {
        return compare_exchange_strong(expected, desired, success, failure);
    }
    T fetch_and(T v, std::memory_order = {}) {
        return modify("fetch_and", [&](T x) { return x & v; });
    }
    T fetch_or(T v, std::memory_order = {}) {
        return modify("fetch_or", [&](T x) { return x | v; });
    }
    T fetch_add(T v, std::memory_order = {}) {
        return modify("fetch_add", [&](T x) { return x + v; });
    }
    T fetch_sub(T v, std::memory_order = {}) {
        return modify("fetch_sub", [&](T x) { return x - v; });
    }

    // The value without a scheduling point: for the explorer's checks only.
    T peek() const { return value_; }

private:
    template <typename F>
    T modify(const char* what, F&& next) {
        point({this, Access::kWrite, what});
        const T previous = value_;
        value_ = next(previous);
        saw_rmw(this, previous);
        note("%llx -> %llx", previous, value_);
        return previous;
    }

    T value_{};
};

struct DetSync {
    template <typename T>
    using Atomic = DetAtomic<T>;

    // One spin step: enough to take the spin-then-park path, few enough to keep the space small.
    static constexpr int kSpinSteps = 1;
    static void spin_step(int) { point({nullptr, Access::kLocal, "spin"}); }

    static void futex_wait(Atomic<std::uint32_t>& word, std::uint32_t expected);
    static void futex_wake_one(Atomic<std::uint32_t>& word);
};

using Table = parking::ParkingTable<DetSync>;

// A scenario: `reset` builds a fresh world (and may take locks, outside any thread), then
// `threads` fibers run `body(thread)`. `check_state` runs after every step, `check_end` after
// a run in which every thread finished; each returns a failure message or "".
struct Scenario {
    std::string name;
    int threads = 2;
    std::function<void()> reset;
    std::function<void(int)> body;
    std::function<std::string()> check_state = [] { return std::string(); };
    std::function<std::string()> check_end = [] { return std::string(); };
    // Parking keys whose queues the explorer follows (see queued_on / dequeues).
    std::function<std::vector<std::uintptr_t>()> keys = [] {
        return std::vector<std::uintptr_t>{};
    };
    // Names for the objects in reports.
    std::function<std::map<const void*, std::string>()> names = [] {
        return std::map<const void*, std::string>{};
    };
};

struct Result {
    bool failed = false;
    bool complete = false;         // explore_all visited every class of interleavings
    std::uint64_t executions = 0;  // runs made, the failing one included
    std::string report;            // the failure, its schedule and trace
};

class Explorer {
public:
    explicit Explorer(Scenario scenario) : scenario_(std::move(scenario)) {
        if (scenario_.threads < 1 || scenario_.threads > kMaxThreads) std::abort();
        for (int t = 0; t < scenario_.threads; ++t) {
            fibers_[t].stack = std::make_unique<char[]>(kStackSize);
#if defined(DURNEL_FIBERS_VALGRIND)
            fibers_[t].valgrind_stack = VALGRIND_STACK_REGISTER(
                fibers_[t].stack.get(), fibers_[t].stack.get() + kStackSize);
#endif
        }
    }
    ~Explorer() {
#if defined(DURNEL_FIBERS_VALGRIND)
        for (int t = 0; t < scenario_.threads; ++t)
            VALGRIND_STACK_DEREGISTER(fibers_[t].valgrind_stack);
#endif
    }
    Explorer(const Explorer&) = delete;
    Explorer& operator=(const Explorer&) = delete;

    // Exhaustive exploration (see the top of the file), at most `max_executions` runs.
    Result explore_all(std::uint64_t max_executions) {
        nodes_.clear();
        Result result;
        for (;;) {
            ++result.executions;
            const bool ok =
                run([this](std::size_t n, std::uint32_t ready) { return choose_dpor(n, ready); });
            if (!ok) return failure(result, "exhaustive");
            while (!nodes_.empty()) {
                Node& node = nodes_.back();
                const std::uint32_t todo = node.backtrack & ~node.done & ~node.sleep;
                if (todo != 0) {
                    node.chosen = std::countr_zero(todo);
                    node.done |= 1u << node.chosen;
                    break;
                }
                nodes_.pop_back();
            }
            if (nodes_.empty()) {
                result.complete = true;
                return result;
            }
            if (result.executions == max_executions) return result;
        }
    }

    // `schedules` seeded random runs (seeds first_seed, first_seed + 1, ...); a failure found
    // with seed s comes back on its own with explore_random(1, s).
    Result explore_random(std::uint64_t schedules, std::uint64_t first_seed) {
        Result result;
        for (std::uint64_t seed = first_seed; seed < first_seed + schedules; ++seed) {
            ++result.executions;
            std::mt19937_64 random(seed);
            // Distinct random priorities, then up to three points where the running thread
            // drops below everyone: a bug that needs d ordered events is found with
            // probability about 1 / (threads * steps^(d-1)) per run.
            std::array<int, kMaxThreads> priority{};
            for (int t = 0; t < scenario_.threads; ++t) priority[t] = 100 + t;
            std::shuffle(priority.begin(), priority.begin() + scenario_.threads, random);
            std::array<std::size_t, 3> changes{};
            const int change_count = static_cast<int>(random() % 4);
            for (int i = 0; i < change_count; ++i) changes[i] = random() % kExpectedSteps;
            const bool ok = run([&](std::size_t n, std::uint32_t ready) {
                for (int i = 0; i < change_count; ++i) {
                    // Below every initial priority.
                    if (changes[i] == n) priority[highest_priority(ready, priority)] = i;
                }
                return highest_priority(ready, priority);
            });
            if (!ok) return failure(result, "random, seed " + std::to_string(seed));
        }
        return result;
    }

    // ---- for scenario threads ----
    // The explorer running now, or null.
    static Explorer* active() { return active_; }
    static Explorer& current() { return *active_; }
    int thread() const { return running_; }
    // Records a failure of the property named in `message`; the run stops after this step.
    void fail(std::string message) {
        if (failure_.empty()) failure_ = "T" + std::to_string(running_) + ": " + std::move(message);
    }
    // The threads queued on `key` right now.
    std::vector<int> queued_on(std::uintptr_t key) const {
        std::vector<int> out;
        for (int t = 0; t < scenario_.threads; ++t) {
            if (fibers_[t].queued_key == key) out.push_back(t);
        }
        return out;
    }
    // How many times thread `t` was taken off a queue, and how many threads left `key`'s queue.
    unsigned dequeues(int t) const { return fibers_[t].dequeues; }
    unsigned dequeued_from(std::uintptr_t key) const {
        auto it = dequeued_from_.find(key);
        return it == dequeued_from_.end() ? 0 : it->second;
    }
    // Captures the previous value of the running thread's next successful read-modify-write
    // on `object`.
    void watch_rmw(const void* object) {
        fibers_[running_].watched = object;
        fibers_[running_].watched_previous.reset();
    }
    std::optional<std::uint64_t> watched_previous() const {
        return fibers_[running_].watched_previous;
    }

    // ---- for DetSync and the parking functions ----
    bool in_thread() const { return running_ >= 0; }
    Table& table() { return *table_; }
    Table::ThreadData& thread_data() { return *fibers_[running_].thread_data; }

    void yield(const Op& op) {
        Fiber& self = fibers_[running_];
        self.pending = op;
        switch_to_scheduler(self);
    }
    void block_on(const void* word) {
        Fiber& self = fibers_[running_];
        self.state = State::kBlocked;
        self.blocked_on = word;
        self.blocked_order = ++block_counter_;
        self.pending = {word, Access::kWrite, "returns from futex_wait"};
        switch_to_scheduler(self);
    }
    // Makes the longest-blocked thread on `word` runnable; returns it, or -1.
    int wake_one(const void* word) {
        int woken = -1;
        for (int t = 0; t < scenario_.threads; ++t) {
            const Fiber& f = fibers_[t];
            if (f.state == State::kBlocked && f.blocked_on == word &&
                (woken < 0 || f.blocked_order < fibers_[woken].blocked_order)) {
                woken = t;
            }
        }
        if (woken >= 0) fibers_[woken].state = State::kReady;
        return woken;
    }
    void add_note(const std::string& text) {
        if (in_thread() && !steps_.empty()) steps_.back().note += text;
    }
    void observe_rmw(const void* object, std::uint64_t previous) {
        if (!in_thread()) return;
        Fiber& self = fibers_[running_];
        if (self.watched == object && !self.watched_previous) self.watched_previous = previous;
    }

private:
    static constexpr std::size_t kStackSize = 128 * 1024;
    static constexpr std::size_t kExpectedSteps = 120;  // where random priority changes fall
    enum class State : std::uint8_t { kReady, kBlocked, kDone };
    using Clock = std::array<std::uint32_t, kMaxThreads>;

    struct Fiber {
        FiberContext context;
        std::unique_ptr<char[]> stack;
        unsigned valgrind_stack = 0;
        State state = State::kReady;
        Op pending;
        const void* blocked_on = nullptr;
        std::uint64_t blocked_order = 0;
        std::optional<Table::ThreadData> thread_data;
        std::uintptr_t queued_key = 0;  // 0: not queued
        unsigned dequeues = 0;
        const void* watched = nullptr;
        std::optional<std::uint64_t> watched_previous;
        Clock clock{};
    };
    struct Step {
        int thread;
        Op op;
        std::string note;
    };
    // One state of the exhaustive search: who could run, who must still be tried, who was.
    // `sleep`: threads whose next step was already explored from an earlier state and that
    // nothing since has depended on; running them here would only repeat a known ordering.
    struct Node {
        std::uint32_t enabled = 0, backtrack = 0, done = 0, sleep = 0;
        int chosen = 0;
        std::array<Op, kMaxThreads> pending{};
    };
    struct ObjectClocks {
        Clock last_write{}, reads{};
    };

    static void join(Clock& into, const Clock& other) {
        for (int t = 0; t < kMaxThreads; ++t) into[t] = std::max(into[t], other[t]);
    }

    static void trampoline() {
        Explorer& self = *active_;
#if defined(DURNEL_FIBERS_ASAN)
        __sanitizer_finish_switch_fiber(nullptr, &self.main_stack_bottom_, &self.main_stack_size_);
#endif
        self.scenario_.body(self.running_);
        self.fibers_[self.running_].state = State::kDone;
        self.add_note(" | ends");
        self.switch_to_scheduler(self.fibers_[self.running_]);
    }

    void switch_to_scheduler(Fiber& self) {
#if defined(DURNEL_FIBERS_ASAN)
        void* fake_stack = nullptr;
        __sanitizer_start_switch_fiber(self.state == State::kDone ? nullptr : &fake_stack,
                                       main_stack_bottom_, main_stack_size_);
        FiberContext::switch_between(self.context, main_context_);
        __sanitizer_finish_switch_fiber(fake_stack, &main_stack_bottom_, &main_stack_size_);
#else
        FiberContext::switch_between(self.context, main_context_);
#endif
    }

    void switch_to(int t) {
        running_ = t;
#if defined(DURNEL_FIBERS_ASAN)
        void* fake_stack = nullptr;
        __sanitizer_start_switch_fiber(&fake_stack, fibers_[t].stack.get(), kStackSize);
        FiberContext::switch_between(main_context_, fibers_[t].context);
        __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#else
        FiberContext::switch_between(main_context_, fibers_[t].context);
#endif
        running_ = -1;
    }

    // One run from a fresh world; `choose(step, ready)` picks the next thread. False on failure.
    template <typename Choose>
    bool run(Choose&& choose) {
        active_ = this;
        running_ = -1;
        table_ = std::make_unique<Table>();
        steps_.clear();
        failure_.clear();
        object_clocks_.clear();
        dequeued_from_.clear();
        block_counter_ = 0;
        scenario_.reset();
        keys_ = scenario_.keys();
        for (int t = 0; t < scenario_.threads; ++t) {
            Fiber& f = fibers_[t];
            f.state = State::kReady;
            f.pending = {nullptr, Access::kLocal, "starts"};
            f.blocked_on = nullptr;
            f.thread_data.emplace();
            f.queued_key = 0;
            f.dequeues = 0;
            f.watched = nullptr;
            f.watched_previous.reset();
            f.clock = {};
            f.context.prepare(f.stack.get(), kStackSize, &Explorer::trampoline);
#if defined(DURNEL_FIBERS_ASAN)
            // A run abandoned mid-way leaves its frames' poison behind on the reused stack.
            __asan_unpoison_memory_region(f.stack.get(), kStackSize);
#endif
        }
        for (;;) {
            follow_queues();
            if (failure_.empty()) failure_ = scenario_.check_state();
            if (!failure_.empty()) break;
            std::uint32_t ready = 0, unfinished = 0;
            for (int t = 0; t < scenario_.threads; ++t) {
                if (fibers_[t].state == State::kReady) ready |= 1u << t;
                if (fibers_[t].state != State::kDone) unfinished |= 1u << t;
            }
            if (ready == 0) {
                if (unfinished != 0) {
                    if (nodes_.size() <= steps_.size()) dpor_update(steps_.size());
                    failure_ = "lost wake-up: every unfinished thread sleeps";
                } else {
                    failure_ = scenario_.check_end();
                }
                break;
            }
            if (steps_.size() == kMaxSteps) {
                failure_ = "no end after " + std::to_string(kMaxSteps) + " steps (livelock?)";
                break;
            }
            const int t = choose(steps_.size(), ready);
            if (t < 0) break;  // a redundant run: its end is not checked
            advance_clocks(t);
            steps_.push_back({t, fibers_[t].pending, ""});
            switch_to(t);
        }
        active_ = nullptr;
        return failure_.empty();
    }

    // The explorer's view of the parking queues, refreshed after every step: a thread that was
    // queued on a key and no longer is has been dequeued (nobody can leave and re-enter a
    // queue within one step, since entering needs a scheduling point of its own).
    void follow_queues() {
        std::array<std::uintptr_t, kMaxThreads> now{};
        for (std::uintptr_t key : keys_) {
            table_->for_each_queued(key, [&](const Table::ThreadData& data) {
                for (int t = 0; t < scenario_.threads; ++t) {
                    if (&*fibers_[t].thread_data == &data) now[t] = key;
                }
            });
        }
        for (int t = 0; t < scenario_.threads; ++t) {
            Fiber& f = fibers_[t];
            if (f.queued_key != 0 && now[t] != f.queued_key) {
                ++f.dequeues;
                ++dequeued_from_[f.queued_key];
            }
            f.queued_key = now[t];
        }
    }

    // Vector clocks of the happens-before order that dependent steps induce.
    void advance_clocks(int t) {
        const std::size_t n = steps_.size();
        Fiber& f = fibers_[t];
        const Op& op = f.pending;
        if (op.access != Access::kLocal) {
            ObjectClocks& object = object_clocks_[op.object];
            join(f.clock, object.last_write);
            if (op.access == Access::kWrite) join(f.clock, object.reads);
            f.clock[t] = static_cast<std::uint32_t>(n + 1);
            if (op.access == Access::kWrite) {
                object.last_write = f.clock;
                object.reads = {};
            } else {
                join(object.reads, f.clock);
            }
        } else {
            f.clock[t] = static_cast<std::uint32_t>(n + 1);
        }
    }

    // For each thread's next step, the latest earlier step of another thread that it depends
    // on and that does not happen before it: the two could have run the other way round, so
    // the state before that step must also try this thread (or, if it could not run there,
    // everyone who could).
    void dpor_update(std::size_t n) {
        for (int p = 0; p < scenario_.threads; ++p) {
            const Fiber& f = fibers_[p];
            if (f.state == State::kDone || f.pending.access == Access::kLocal) continue;
            for (std::size_t i = n; i-- > 0;) {
                const Step& step = steps_[i];
                if (step.thread == p || !dependent(step.op, f.pending)) continue;
                if (f.clock[step.thread] >= i + 1) continue;  // step i happens before p's
                Node& node = nodes_[i];
                node.backtrack |= (node.enabled >> p & 1) ? 1u << p : node.enabled;
                break;
            }
        }
    }

    int choose_dpor(std::size_t n, std::uint32_t ready) {
        if (n < nodes_.size()) {
            const int t = nodes_[n].chosen;
            if ((ready >> t & 1) == 0) fail("replay diverged: the scenario is not deterministic");
            return t;
        }
        dpor_update(n);
        std::uint32_t sleep = 0;
        if (n > 0) {
            const Node& parent = nodes_[n - 1];
            const std::uint32_t candidates = (parent.sleep | parent.done) & ~(1u << parent.chosen);
            for (int p = 0; p < scenario_.threads; ++p) {
                if ((candidates >> p & 1) &&
                    !dependent(parent.pending[p], parent.pending[parent.chosen])) {
                    sleep |= 1u << p;
                }
            }
        }
        const std::uint32_t awake = ready & ~sleep;
        if (awake == 0) return -1;  // every order from here was explored elsewhere
        // Keep running the previous thread when it can: the fewest switches first.
        int t = std::countr_zero(awake);
        if (!steps_.empty() && (awake >> steps_.back().thread & 1)) t = steps_.back().thread;
        Node node{ready, 1u << t, 1u << t, sleep, t, {}};
        for (int p = 0; p < scenario_.threads; ++p) node.pending[p] = fibers_[p].pending;
        nodes_.push_back(node);
        return t;
    }

    int highest_priority(std::uint32_t ready, const std::array<int, kMaxThreads>& priority) const {
        int best = -1;
        for (int t = 0; t < scenario_.threads; ++t) {
            if ((ready >> t & 1) && (best < 0 || priority[t] > priority[best])) best = t;
        }
        return best;
    }

    std::string name_of(const void* object) {
        if (object == nullptr) return "";
        if (auto it = names_.find(object); it != names_.end()) return it->second;
        std::string name = "bucket lock " + std::to_string(++unnamed_);
        names_.emplace(object, name);
        return name;
    }

    Result failure(Result result, const std::string& how) {
        names_ = scenario_.names();
        unnamed_ = 0;
        for (int t = 0; t < scenario_.threads; ++t) {
            names_[&fibers_[t].thread_data->parked] = "T" + std::to_string(t) + ".parked";
        }
        std::string asleep, schedule, trace;
        for (int t = 0; t < scenario_.threads; ++t) {
            if (fibers_[t].state == State::kBlocked) {
                asleep +=
                    "\n  T" + std::to_string(t) + " sleeps on " + name_of(fibers_[t].blocked_on);
            }
        }
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            const Step& s = steps_[i];
            schedule += std::to_string(s.thread);
            char head[48];
            std::snprintf(head, sizeof head, "  %4zu  T%d  ", i, s.thread);
            trace += head;
            trace += s.op.what;
            if (s.op.object != nullptr) trace += " " + name_of(s.op.object);
            if (!s.note.empty()) trace += "  " + s.note;
            trace += "\n";
        }
        result.failed = true;
        result.report = "scenario \"" + scenario_.name + "\": " + failure_ + asleep +
                        "\n  found by run " + std::to_string(result.executions) + " (" + how +
                        "), after " + std::to_string(steps_.size()) +
                        " steps\n  schedule: " + schedule +
                        "\n  trace (step, thread, operation, outcome):\n" + trace;
        return result;
    }

    inline static Explorer* active_ = nullptr;

    Scenario scenario_;
    std::array<Fiber, kMaxThreads> fibers_;
    FiberContext main_context_;
    [[maybe_unused]] const void* main_stack_bottom_ = nullptr;  // read under AddressSanitizer
    [[maybe_unused]] std::size_t main_stack_size_ = 0;
    int running_ = -1;
    std::unique_ptr<Table> table_;
    std::vector<std::uintptr_t> keys_;
    std::vector<Step> steps_;
    std::unordered_map<const void*, ObjectClocks> object_clocks_;
    std::unordered_map<std::uintptr_t, unsigned> dequeued_from_;
    std::uint64_t block_counter_ = 0;
    std::vector<Node> nodes_;
    std::string failure_;
    std::map<const void*, std::string> names_;
    int unnamed_ = 0;
};

inline void point(const Op& op) {
    if (Explorer* e = Explorer::active(); e != nullptr && e->in_thread()) e->yield(op);
}

inline void note(const char* format, std::uint64_t a, std::uint64_t b) {
    if (Explorer* e = Explorer::active(); e == nullptr || !e->in_thread()) return;
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    if (Explorer* e = Explorer::active()) e->add_note(text);
}

inline void saw_rmw(const void* object, std::uint64_t previous) {
    if (Explorer* e = Explorer::active()) e->observe_rmw(object, previous);
}

inline void DetSync::futex_wait(Atomic<std::uint32_t>& word, std::uint32_t expected) {
    Explorer* e = Explorer::active();
    if (e == nullptr || !e->in_thread()) std::abort();  // a scenario's setup must never wait
    point({&word, Access::kWrite, "futex_wait"});
    if (word.peek() != expected) {
        note("returns at once: %llx", word.peek());
        return;
    }
    e->block_on(&word);
}

inline void DetSync::futex_wake_one(Atomic<std::uint32_t>& word) {
    point({&word, Access::kWrite, "futex_wake_one"});
    const int woken = Explorer::current().wake_one(&word);
    if (woken < 0) {
        note("nobody sleeps");
    } else {
        note("wakes T%llu", static_cast<std::uint64_t>(woken));
    }
}

}  // namespace durnel::schedule

// The deterministic seam's parking functions: the running explorer's table, the running
// thread's ThreadData.
namespace durnel::parking {

template <>
inline bool park<schedule::DetSync>(std::uintptr_t key, FunctionRef<bool()> validate) {
    schedule::Explorer& e = schedule::Explorer::current();
    return e.table().park(e.thread_data(), key, validate);
}

template <>
inline UnparkResult unpark_one<schedule::DetSync>(std::uintptr_t key,
                                                  FunctionRef<void(UnparkResult)> callback) {
    return schedule::Explorer::current().table().unpark(key, 1, callback);
}

template <>
inline UnparkResult unpark_all<schedule::DetSync>(std::uintptr_t key,
                                                  FunctionRef<void(UnparkResult)> callback) {
    return schedule::Explorer::current().table().unpark(key, ~0u, callback);
}

}  // namespace durnel::parking
