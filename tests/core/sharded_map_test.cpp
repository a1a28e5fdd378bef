// ShardedMap and ShardTable: probing, tombstones and growth under a hash that sends every key
// to one slot, the lock word around each view, the shard count rule, construction checks,
// and iteration racing an inserting thread.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sharded_map.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::panic_message;

// Every key gets the same hash: one shard, one tag, one start group.
struct ConstantHash {
    std::uint64_t value = 0x5A5A'0000'0000'0003ull;
    std::uint64_t operator()(std::string_view) const noexcept { return value; }
};
using CollidingMap = ShardedMap<std::string, int, ConstantHash>;
using StringMap = ShardedMap<std::string, int>;

std::string key(int i) { return "key-" + std::to_string(i); }

int value_of(const CollidingMap& map, const std::string& k) {
    auto ref = map.get(std::string_view(k));
    return ref ? ref->value() : -1;
}

template <typename Map>
std::size_t walk_count(const Map& map) {
    std::size_t n = 0;
    auto it = map.iter();
    while (it.next()) ++n;
    return n;
}

bool erase(CollidingMap& map, const std::string& k) {
    auto e = map.entry(std::string_view(k));
    auto* occupied = std::get_if<CollidingMap::Occupied>(&e);
    if (occupied == nullptr) return false;
    std::move(*occupied).remove();
    return true;
}

class CollidingHash : public ::testing::Test {
protected:
    CollidingMap map{ConstantHash{}, 4};
    const ShardTable<std::string, int>& table() const {
        return map.shard(map.shard_index(ConstantHash{}.value)).table;
    }
};

TEST_F(CollidingHash, ManyKeysAllFoundAndTableStaysConsistentThroughGrowth) {
    for (int i = 0; i < 300; ++i) {
        EXPECT_FALSE(map.insert(key(i), i).has_value());
        ASSERT_TRUE(table().invariants_hold()) << "after inserting " << i;
    }
    EXPECT_EQ(table().size(), 300u);
    EXPECT_GE(table().capacity(), 300u * 8 / 7);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(value_of(map, key(i)), i) << key(i);
    EXPECT_EQ(value_of(map, "absent"), -1);
    EXPECT_EQ(walk_count(map), 300u);
}

TEST_F(CollidingHash, EraseLeavesTombstonesThatDoNotCutTheProbeChain) {
    for (int i = 0; i < 40; ++i) map.insert(key(i), i);
    for (int i = 0; i < 40; i += 3) {
        ASSERT_TRUE(erase(map, key(i)));
        ASSERT_TRUE(table().invariants_hold());
    }
    EXPECT_EQ(table().tombstones(), 14u);
    EXPECT_EQ(table().size(), 26u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(value_of(map, key(i)), i % 3 == 0 ? -1 : i) << key(i);
    EXPECT_FALSE(erase(map, key(0)));
}

TEST_F(CollidingHash, ReinsertAfterEraseReusesATombstoneAndMakesNoDuplicate) {
    for (int i = 0; i < 20; ++i) map.insert(key(i), i);
    ASSERT_TRUE(erase(map, key(5)));
    const std::size_t tombstones = table().tombstones();
    EXPECT_FALSE(map.insert(key(5), 500).has_value());
    EXPECT_EQ(table().tombstones(), tombstones - 1);
    EXPECT_TRUE(table().invariants_hold());
    // Erase an earlier key of the chain, then insert the later one again: must find, not add.
    ASSERT_TRUE(erase(map, key(1)));
    EXPECT_EQ(map.insert(key(5), 501), std::optional<int>(500));
    EXPECT_EQ(walk_count(map), 19u);
    EXPECT_EQ(value_of(map, key(5)), 501);
}

// Keys starting with 'a' probe from group 0, all others from group 1; one tag for all.
struct TwoGroupHash {
    std::uint64_t operator()(std::string_view k) const noexcept {
        return 0x5A5A'0000'0000'0000ull | (k.front() == 'a' ? 0u : 1u);
    }
};

// Tombstones off the probe path of new keys pile up until no room is left; the rebuild that
// follows must drop them at the same capacity when few keys are live, and double when many are.
TEST(ShardTable, RoomRunOutByTombstonesIsReclaimedWithoutGrowing) {
    ShardedMap<std::string, int, TwoGroupHash> map(TwoGroupHash{}, 4);
    const auto& table = map.shard(map.shard_index(TwoGroupHash{}(std::string_view("a")))).table;
    auto drop = [&](const std::string& k) {
        auto e = map.entry(std::string_view(k));
        std::move(std::get<0>(e)).remove();
    };
    for (int i = 0; i < 8; ++i) map.insert("a" + std::to_string(i), i);  // grows 8 -> 16
    ASSERT_EQ(table.capacity(), 16u);
    for (int i = 1; i < 8; ++i) drop("a" + std::to_string(i));
    for (int i = 0; i < 5; ++i) map.insert("b" + std::to_string(i), i);
    drop("a0");
    map.insert("b5", 5);  // the last free slot: 6 live keys, 8 tombstones, no room
    ASSERT_EQ(table.tombstones(), 8u);
    ASSERT_TRUE(table.invariants_hold());
    map.insert("b6", 6);
    EXPECT_EQ(table.capacity(), 16u);
    EXPECT_EQ(table.tombstones(), 0u);
    EXPECT_EQ(table.size(), 7u);
    EXPECT_TRUE(table.invariants_hold());
    for (int i = 7; i < 15; ++i) map.insert("b" + std::to_string(i), i);  // 15 live: must double
    EXPECT_EQ(table.capacity(), 32u);
    for (int i = 0; i < 15; ++i) {
        auto ref = map.get(std::string_view("b" + std::to_string(i)));
        ASSERT_TRUE(ref.has_value()) << i;
        EXPECT_EQ(ref->value(), i);
    }
}

TEST_F(CollidingHash, GetOfAbsentKeyLeavesTheLockWordAsItWas) {
    map.insert(key(1), 1);
    const auto& lock = map.shard(map.shard_index(ConstantHash{}.value)).lock;
    EXPECT_FALSE(map.get(std::string_view("absent")).has_value());
    EXPECT_EQ(lock.raw_word(), 0u);
    // Same shard, held shared by another thread (one thread never takes a lock it holds).
    std::atomic<int> stage{0};
    std::thread reader([&] {
        auto held = map.get(std::string_view(key(1)));
        stage.store(held.has_value() ? 1 : -1);
        while (stage.load() != 2) std::this_thread::yield();
    });
    while (stage.load() == 0) std::this_thread::yield();
    EXPECT_EQ(stage.load(), 1);
    EXPECT_FALSE(map.get(std::string_view("absent")).has_value());
    EXPECT_EQ(lock.raw_word(), ShardLock::kOneReader);
    stage.store(2);
    reader.join();
}

TEST_F(CollidingHash, EntryDroppedWithoutInsertLeavesMapUnchangedAndShardFree) {
    map.insert(key(1), 1);
    {
        auto e = map.entry(std::string("vacant"));
        ASSERT_TRUE(std::holds_alternative<CollidingMap::Vacant>(e));
        EXPECT_EQ(test_support::lock_word_of(map, std::string_view("x")), ShardLock::kExclusive);
    }
    EXPECT_EQ(test_support::lock_word_of(map, std::string_view("x")), 0u);
    EXPECT_EQ(table().size(), 1u);
    EXPECT_EQ(value_of(map, "vacant"), -1);
    EXPECT_TRUE(table().invariants_hold());
}

TEST_F(CollidingHash, InsertOfPresentKeyReturnsOldValueAndKeepsOneEntry) {
    EXPECT_EQ(map.insert(key(7), 1), std::nullopt);
    EXPECT_EQ(map.insert(key(7), 2), std::optional<int>(1));
    EXPECT_EQ(value_of(map, key(7)), 2);
    EXPECT_EQ(walk_count(map), 1u);
}

TEST_F(CollidingHash, OccupiedRemoveReturnsTheValueAndFreesTheShard) {
    map.insert(key(3), 33);
    {
        auto e = map.entry(std::string_view(key(3)));
        auto& occupied = std::get<CollidingMap::Occupied>(e);
        EXPECT_EQ(std::move(occupied).remove(), 33);
        EXPECT_EQ(test_support::lock_word_of(map, std::string_view("x")), 0u);
    }
    EXPECT_FALSE(map.get(std::string_view(key(3))).has_value());
}

TEST(ShardedMap, EmptyMapHasNoTableStorageAndIteratesToNothingWithFreeLocks) {
    StringMap map(KeyHash{{1, 2}}, 8);
    for (std::size_t i = 0; i < map.shard_amount(); ++i)
        EXPECT_FALSE(map.shard(i).table.has_storage());
    auto it = map.iter();
    EXPECT_FALSE(it.next().has_value());
    for (std::size_t i = 0; i < map.shard_amount(); ++i)
        EXPECT_EQ(map.shard(i).lock.raw_word(), 0u);

    map.insert(std::string("one"), 1);
    int with_storage = 0;
    for (std::size_t i = 0; i < map.shard_amount(); ++i)
        with_storage += map.shard(i).table.has_storage();
    EXPECT_EQ(with_storage, 1);
}

TEST(ShardedMap, IterationReleasesEveryShardAndEachRefHoldsOnlyItsOwn) {
    StringMap map(KeyHash{{3, 4}}, 8);
    for (int i = 0; i < 100; ++i) map.insert(key(i), i);
    {
        auto it = map.iter();
        auto first = it.next();
        ASSERT_TRUE(first.has_value());
        std::set<std::string> seen{first->key()};
        while (auto ref = it.next()) EXPECT_TRUE(seen.insert(ref->key()).second) << ref->key();
        EXPECT_EQ(seen.size(), 100u);
        // `first` still pins its shard shared; every other shard is free.
        const std::size_t pinned = map.shard_index(map.hash(first->key()));
        for (std::size_t i = 0; i < map.shard_amount(); ++i) {
            EXPECT_EQ(map.shard(i).lock.raw_word(), i == pinned ? ShardLock::kOneReader : 0u) << i;
        }
    }
    for (std::size_t i = 0; i < map.shard_amount(); ++i)
        EXPECT_EQ(map.shard(i).lock.raw_word(), 0u);
}

TEST(ShardedMap, KeysLandInTheShardNamedByTheBitsBelowTheTag) {
    struct FixedHash {
        std::uint64_t operator()(std::string_view k) const noexcept {
            // Top 7 bits all set (the tag), shard bits from the key's last digit.
            return 0xFE00'0000'0000'0000ull | (std::uint64_t(k.back() - '0') << 55);
        }
    };
    ShardedMap<std::string, int, FixedHash> map(FixedHash{}, 4);
    EXPECT_EQ(map.shard_shift(), 62u);
    for (int s = 0; s < 4; ++s) map.insert(std::to_string(s), s);
    for (std::size_t s = 0; s < 4; ++s) EXPECT_EQ(map.shard(s).table.size(), 1u) << s;
}

TEST(ShardedMap, ShardAmountRuleAndShift) {
    EXPECT_EQ(shard_amount_for(1), 4u);
    EXPECT_EQ(shard_amount_for(0), 4u);
    EXPECT_EQ(shard_amount_for(-1), 4u);
    EXPECT_EQ(shard_amount_for(2), 8u);
    EXPECT_EQ(shard_amount_for(3), 16u);
    EXPECT_EQ(shard_amount_for(8), 32u);
    EXPECT_EQ(shard_amount_for(10), 64u);
    EXPECT_EQ(shard_amount_for(24), 128u);
    EXPECT_EQ(StringMap(KeyHash{}, 4).shard_shift(), 62u);
    EXPECT_EQ(StringMap(KeyHash{}, 32).shard_shift(), 59u);
    const std::size_t amount = default_shard_amount();
    EXPECT_EQ(amount, shard_amount_for(static_cast<long>(std::thread::hardware_concurrency())));
    EXPECT_EQ(StringMap().shard_amount(), amount);
}

TEST(ShardedMap, ConstructionRejectsBadShardCountsWithExactMessages) {
    EXPECT_EQ(panic_message([] { StringMap m(KeyHash{}, 1); }),
              "assertion failed: shard_amount > 1");
    EXPECT_EQ(panic_message([] { StringMap m(KeyHash{}, 0); }),
              "assertion failed: shard_amount > 1");
    EXPECT_EQ(panic_message([] { StringMap m(KeyHash{}, 6); }),
              "assertion failed: shard_amount.is_power_of_two()");
    EXPECT_EQ(panic_message([] { StringMap m(KeyHash{}, 2); }), "<no panic>");
}

TEST(ShardedMap, MapsOfOneThreadGetDistinctHashKeys) {
    const StringMap a, b;
    EXPECT_NE(a.hash(std::string_view("agent")), b.hash(std::string_view("agent")));
    // Integer keys hash over their 8 little-endian bytes: equal keys agree, close keys differ.
    const ShardedMap<std::uint64_t, int> log;
    EXPECT_EQ(log.hash(std::uint64_t{1000}), log.hash(std::uint64_t{1000}));
    EXPECT_NE(log.hash(std::uint64_t{1000}), log.hash(std::uint64_t{1001}));
}

// Every key present before the walk started is seen exactly once, while another thread keeps
// inserting (and so growing the tables of shards ahead of and behind the iterator).
TEST(ShardedMapConcurrency, IterationWhileAnotherThreadInsertsSeesEveryOldKeyOnce) {
    for (int round = 0; round < 5; ++round) {
        StringMap map(KeyHash{{7, std::uint64_t(round)}}, 8);
        constexpr int kOld = 2000;
        for (int i = 0; i < kOld; ++i) map.insert(key(i), i);
        std::atomic<bool> started{false};
        std::thread inserter([&] {
            started = true;
            for (int i = kOld; i < 4 * kOld; ++i) map.insert(key(i), i);
        });
        while (!started) std::this_thread::yield();
        std::map<std::string, int> seen;
        auto it = map.iter();
        while (auto ref = it.next()) {
            ++seen[ref->key()];
            EXPECT_EQ(ref->value(), std::stoi(ref->key().substr(4)));
        }
        inserter.join();
        for (int i = 0; i < kOld; ++i) ASSERT_EQ(seen[key(i)], 1) << key(i) << " round " << round;
        for (const auto& [k, n] : seen) ASSERT_EQ(n, 1) << k;
        EXPECT_EQ(walk_count(map), std::size_t{4 * kOld});
    }
}

}  // namespace
}  // namespace durnel
