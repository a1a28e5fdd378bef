// ShardedMap<K, V>: a concurrent hash map split into a power-of-two number of shards, each a
// ShardLock over a ShardTable of its own.
//
// Concurrency contract:
//   - Any thread may call any operation at any time. Each operation locks exactly one shard
//     (iter: at most two neighbours, in increasing index order) and never calls back into the
//     map while holding it.
//   - get and iter take shared guards; entry and insert take exclusive guards. The guard lives
//     in the returned view (ReadRef, Entry, WriteRef) until that view is destroyed or
//     released, so stored keys and values may be read (and, under an exclusive guard,
//     changed) through it safely.
//   - Shard locks are not re-entrant: a thread must not ask for a view of a shard it already
//     holds a view of. Callers keep at most one view per map alive.
//   - One SipHash-1-3 computation per operation selects the shard (the bits just below the
//     top 7) and drives the probe inside the shard (the top 7 bits as tag, the low bits as
//     the start).
//
// Memory: an empty map owns only its shard array (shard_amount slots of 128 bytes, each slot
// on its own 128-byte block so that threads on different shards never share a cache line
// pair); a shard's table allocates on the first insertion into it and never shrinks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "hash_keys.h"
#include "panic.h"
#include "shard_lock.h"
#include "shard_table.h"

namespace durnel {

// The process-wide shard count: the next power of two at or above 4 x online processors
// (1 processor when the count cannot be read), computed once under a thread-safe one-time
// initialisation.
std::size_t default_shard_amount();
// The rule itself, for tests.
std::size_t shard_amount_for(long online_processors);

template <typename K, typename V, typename Hash = KeyHash>
class ShardedMap {
public:
    struct alignas(128) Shard {
        ShardLock lock;
        ShardTable<K, V> table;
    };
    static_assert(sizeof(Shard) == 128, "one shard per 128-byte block");

    using Slot = typename ShardTable<K, V>::Slot;

    // A shared guard that may be held by several ReadRefs from iter(); the last one out
    // releases the shard.
    class SharedHolder {
    public:
        explicit SharedHolder(ShardLock& lock) : guard_(lock) {}
        void acquire() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
        void release() noexcept {
            if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
        }

    private:
        SharedGuard guard_;
        std::atomic<std::size_t> refs_{1};
    };

    class HolderRef {
    public:
        explicit HolderRef(SharedHolder* holder) noexcept : holder_(holder) {}  // adopts
        HolderRef(const HolderRef& other) noexcept : holder_(other.holder_) { holder_->acquire(); }
        HolderRef(HolderRef&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
        HolderRef& operator=(HolderRef other) noexcept {
            std::swap(holder_, other.holder_);
            return *this;
        }
        ~HolderRef() {
            if (holder_ != nullptr) holder_->release();
        }

    private:
        SharedHolder* holder_;
    };

    // Read access to one entry, keeping its shard shared-locked while alive.
    template <typename Guard>
    class BasicReadRef {
    public:
        BasicReadRef(Guard guard, const Slot& slot) noexcept
            : guard_(std::move(guard)), slot_(&slot) {}
        const K& key() const noexcept { return slot_->key; }
        const V& value() const noexcept { return slot_->value; }

    private:
        Guard guard_;
        const Slot* slot_;
    };
    using ReadRef = BasicReadRef<SharedGuard>;
    using IterRef = BasicReadRef<HolderRef>;

    // Mutable access to one entry, keeping its shard exclusively locked while alive.
    class WriteRef {
    public:
        WriteRef(ExclusiveGuard guard, Slot& slot) noexcept
            : guard_(std::move(guard)), slot_(&slot) {}
        const K& key() const noexcept { return slot_->key; }
        V& value() noexcept { return slot_->value; }

    private:
        ExclusiveGuard guard_;
        Slot* slot_;
    };

    class Occupied {
    public:
        Occupied(ExclusiveGuard guard, ShardTable<K, V>& table, std::size_t index) noexcept
            : guard_(std::move(guard)), table_(&table), index_(index) {}
        const K& key() const noexcept { return table_->slot(index_).key; }
        V& value() noexcept { return table_->slot(index_).value; }
        WriteRef into_ref() && noexcept {
            return WriteRef(std::move(guard_), table_->slot(index_));
        }
        // Deletes the entry (leaving a tombstone), releases the shard and returns the value.
        V remove() && {
            V value = table_->take_at(index_);
            guard_.release();
            return value;
        }

    private:
        ExclusiveGuard guard_;
        ShardTable<K, V>* table_;
        std::size_t index_;
    };

    class Vacant {
    public:
        Vacant(ExclusiveGuard guard, ShardTable<K, V>& table, std::size_t index, std::uint64_t hash,
               K key) noexcept
            : guard_(std::move(guard)),
              table_(&table),
              index_(index),
              hash_(hash),
              key_(std::move(key)) {}
        const K& key() const noexcept { return key_; }
        WriteRef insert(V value) && {
            Slot& slot = table_->insert_at(index_, hash_, std::move(key_), std::move(value));
            return WriteRef(std::move(guard_), slot);
        }

    private:
        ExclusiveGuard guard_;
        ShardTable<K, V>* table_;
        std::size_t index_;
        std::uint64_t hash_;
        K key_;
    };

    using Entry = std::variant<Occupied, Vacant>;

    ShardedMap() : ShardedMap(Hash{next_hash_keys()}, default_shard_amount()) {}

    // For tests: an explicit hash function object and shard count.
    ShardedMap(Hash hash, std::size_t shard_amount)
        : hash_(std::move(hash)), shard_amount_(shard_amount) {
        if (!(shard_amount > 1)) throw Panic("assertion failed: shard_amount > 1");
        if ((shard_amount & (shard_amount - 1)) != 0) {
            throw Panic("assertion failed: shard_amount.is_power_of_two()");
        }
        shard_shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_amount));
        shards_ = std::make_unique<Shard[]>(shard_amount);
    }

    ShardedMap(const ShardedMap&) = delete;
    ShardedMap& operator=(const ShardedMap&) = delete;

    // Teardown: shard by shard in index order, every entry then the table's storage; no locks
    // (nothing else can reach the map any more).
    ~ShardedMap() {
        for (std::size_t i = 0; i < shard_amount_; ++i) shards_[i].table.destroy();
    }

    std::size_t shard_amount() const noexcept { return shard_amount_; }
    unsigned shard_shift() const noexcept { return shard_shift_; }

    template <typename Lookup>
    std::uint64_t hash(const Lookup& key) const noexcept {
        return hash_(key);
    }
    std::size_t shard_index(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>((hash << 7) >> shard_shift_);
    }

    template <typename Lookup>
    std::optional<ReadRef> get(const Lookup& key) const {
        const std::uint64_t h = hash_(key);
        Shard& shard = shards_[shard_index(h)];
        SharedGuard guard(shard.lock);
        const std::size_t index = shard.table.find(h, key);
        if (index == ShardTable<K, V>::kNotFound) return std::nullopt;
        return ReadRef(std::move(guard), shard.table.slot(index));
    }

    // Finds `key` under its shard's exclusive guard, growing the shard's table first when it
    // has no free slot left. `key` may be a K or anything that hashes and compares like one
    // (a string_view for string keys); a K is made from it only when the key is vacant, and
    // the stored key stays in place when it is occupied.
    template <typename KeyArg>
    Entry entry(KeyArg&& key) {
        return entry_with_hash(hash_(key), std::forward<KeyArg>(key));
    }

    // entry() for a caller that already has hash(key) (so that one call hashes a key once
    // per table however many steps it takes).
    template <typename KeyArg>
    Entry entry_with_hash(std::uint64_t h, KeyArg&& key) {
        Shard& shard = shards_[shard_index(h)];
        ExclusiveGuard guard(shard.lock);
        shard.table.reserve_one(hash_);
        const std::size_t index = shard.table.find(h, key);
        if (index != ShardTable<K, V>::kNotFound) {
            return Entry(std::in_place_type<Occupied>, std::move(guard), shard.table, index);
        }
        return Entry(std::in_place_type<Vacant>, std::move(guard), shard.table,
                     shard.table.find_insert_slot(h), h, K(std::forward<KeyArg>(key)));
    }

    // The entry for `key`, inserting a default-constructed value when it is vacant; the
    // returned WriteRef keeps the shard exclusively locked.
    template <typename KeyArg>
    WriteRef entry_or_default(KeyArg&& key) {
        Entry e = entry(std::forward<KeyArg>(key));
        if (auto* occupied = std::get_if<Occupied>(&e)) return std::move(*occupied).into_ref();
        return std::move(std::get<Vacant>(e)).insert(V{});
    }

    template <typename KeyArg>
    WriteRef entry_or_default_with_hash(std::uint64_t h, KeyArg&& key) {
        Entry e = entry_with_hash(h, std::forward<KeyArg>(key));
        if (auto* occupied = std::get_if<Occupied>(&e)) return std::move(*occupied).into_ref();
        return std::move(std::get<Vacant>(e)).insert(V{});
    }

    // One shard held exclusively for a batch of entries, each given with its hash (which
    // must select this shard): one lock and unlock for the lot instead of one per entry.
    class ShardWriter {
    public:
        ShardWriter(ExclusiveGuard guard, const ShardedMap& map, ShardTable<K, V>& table) noexcept
            : guard_(std::move(guard)), map_(&map), table_(&table) {}

        // The value under `key`, default-constructed first when absent. The reference is good
        // until the next call.
        template <typename Lookup>
        V& entry_or_default(std::uint64_t h, const Lookup& key) {
            table_->reserve_one(map_->hash_);
            std::size_t index = table_->find(h, key);
            if (index == ShardTable<K, V>::kNotFound) {
                index = table_->find_insert_slot(h);
                table_->insert_at(index, h, K(key), V{});
            }
            return table_->slot(index).value;
        }

    private:
        ExclusiveGuard guard_;
        const ShardedMap* map_;
        ShardTable<K, V>* table_;
    };

    ShardWriter lock_shard(std::size_t index) {
        Shard& shard = shards_[index];
        return ShardWriter(ExclusiveGuard(shard.lock), *this, shard.table);
    }

    // Calls fn(key, value) for every entry, shard by shard in index order under shared guards,
    // each next shard's guard taken before the previous one goes, like iter() but without a
    // guard handle per entry. `fn` must not call into this map.
    template <typename Fn>
    void for_each(Fn&& fn) const {
        if (shard_amount_ == 0) return;
        SharedGuard held(shards_[0].lock);
        for (std::size_t i = 0;;) {
            shards_[i].table.for_each_full([&fn](const Slot& slot) { fn(slot.key, slot.value); });
            if (++i == shard_amount_) return;
            held = SharedGuard(shards_[i].lock);
        }
    }

    // Stores `value` under `key`; returns the value it replaced, if any.
    template <typename KeyArg>
    std::optional<V> insert(KeyArg&& key, V value) {
        Entry e = entry(std::forward<KeyArg>(key));
        if (auto* occupied = std::get_if<Occupied>(&e)) {
            return std::exchange(occupied->value(), std::move(value));
        }
        std::move(std::get<Vacant>(e)).insert(std::move(value));
        return std::nullopt;
    }

    // Walks the shards in index order, one entry at a time; see the contract above. The
    // next shard's shared guard is taken before the previous one is let go.
    class Iter {
    public:
        explicit Iter(const ShardedMap& map) : map_(&map) {}

        std::optional<IterRef> next() {
            for (;;) {
                if (holder_) {
                    const auto& table = map_->shards_[shard_].table;
                    slot_ = table.next_full(slot_);
                    if (slot_ < table.capacity()) {
                        return IterRef(*holder_, table.slot(slot_++));
                    }
                    ++shard_;
                }
                if (shard_ >= map_->shard_amount_) {
                    holder_.reset();
                    return std::nullopt;
                }
                // Lock the next shard, then drop our hold on the previous one.
                HolderRef next_holder(new SharedHolder(map_->shards_[shard_].lock));
                holder_.emplace(std::move(next_holder));
                slot_ = 0;
            }
        }

    private:
        const ShardedMap* map_;
        std::size_t shard_ = 0;
        std::size_t slot_ = 0;
        std::optional<HolderRef> holder_;
    };

    Iter iter() const { return Iter(*this); }

    // For tests: the shard array and its tables.
    const Shard& shard(std::size_t index) const noexcept { return shards_[index]; }

private:
    Hash hash_;
    std::size_t shard_amount_;
    unsigned shard_shift_ = 0;
    std::unique_ptr<Shard[]> shards_;
};

}  // namespace durnel
