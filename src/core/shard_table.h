// ShardTable: the open-addressing hash table inside one map shard.
//
// Layout: `capacity` slots (a power of two, at least one group) and one control byte per slot.
// Control bytes come in aligned groups of 8 that are scanned with 64-bit word arithmetic; a
// probe visits whole groups in triangular order (0, 1, 3, 6, ... groups past the first), which
// for a power-of-two group count visits every group exactly once.
//
// The caller hashes once; the table takes the top 7 bits of that hash as the slot's tag (H2)
// and the low bits to choose the first group (H1). The map uses the bits just below the top 7
// to pick the shard, so the three uses draw on different bits of one hash.
//
// Invariants (checked by `invariants_hold()` in tests):
//   - size + tombstones + growth_left == capacity * 7 / 8, i.e. the load of full and deleted
//     slots together never exceeds 7/8, so every probe meets an empty slot and ends;
//   - a full slot's control byte is the H2 tag of its key's hash;
//   - no storage exists until the first insertion; growth and tombstone cleanup happen only
//     in `reserve_one()`, so references to slots stay valid until the next call to it.
// The table is not thread-safe; the shard's lock guards it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "byte_order.h"

namespace durnel {

namespace ctrl {
// Control byte encodings. A full slot holds its 7-bit tag (high bit clear); the two special
// values have the high bit set so one mask finds "not full", and differ in bit 1 so another
// mask tells empty from deleted.
inline constexpr std::uint8_t kEmpty = 0x80;    // never used since the last rebuild
inline constexpr std::uint8_t kDeleted = 0xFE;  // tombstone: was full, key removed
static_assert((kEmpty & 0x80) != 0 && (kDeleted & 0x80) != 0, "specials have the high bit");
static_assert((kEmpty & 0x02) == 0 && (kDeleted & 0x02) != 0, "bit 1 tells them apart");
static_assert((kEmpty & 0x01) == 0 && (kDeleted & 0x01) == 0, "specials have bit 0 clear");
inline constexpr bool is_full(std::uint8_t c) { return (c & 0x80) == 0; }
}  // namespace ctrl

// Eight control bytes as one little-endian word; masks have bit 7 of each matching byte set.
class Group {
public:
    static constexpr std::size_t kWidth = 8;
    static constexpr std::uint64_t kLsbs = 0x0101010101010101ull;
    static constexpr std::uint64_t kMsbs = 0x8080808080808080ull;

    explicit Group(const std::uint8_t* control) noexcept : word_(load_le64(control)) {}

    // Bytes equal to `tag` (may report a rare false positive next to a true match; callers
    // compare keys anyway).
    std::uint64_t match(std::uint8_t tag) const noexcept {
        const std::uint64_t x = word_ ^ (kLsbs * tag);
        return (x - kLsbs) & ~x & kMsbs;
    }
    std::uint64_t match_empty() const noexcept { return word_ & ~(word_ << 6) & kMsbs; }
    std::uint64_t match_empty_or_deleted() const noexcept { return word_ & ~(word_ << 7) & kMsbs; }
    std::uint64_t match_full() const noexcept { return ~word_ & kMsbs; }

    // Index (0..7) of the lowest byte set in a mask, and the mask without it.
    static std::size_t lowest(std::uint64_t mask) noexcept {
        return static_cast<std::size_t>(std::countr_zero(mask)) >> 3;
    }
    static std::uint64_t clear_lowest(std::uint64_t mask) noexcept { return mask & (mask - 1); }

private:
    std::uint64_t word_;
};

template <typename K, typename V>
class ShardTable {
public:
    struct Slot {
        K key;
        V value;
    };
    static constexpr std::size_t kNotFound = ~std::size_t{0};

    ShardTable() noexcept = default;
    ShardTable(const ShardTable&) = delete;
    ShardTable& operator=(const ShardTable&) = delete;
    ~ShardTable() { destroy(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t tombstones() const noexcept { return tombstones_; }
    bool has_storage() const noexcept { return capacity_ != 0; }

    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(hash >> 57);
    }

    // Index of the slot holding a key equal to `lookup`, or kNotFound.
    template <typename Lookup>
    std::size_t find(std::uint64_t hash, const Lookup& lookup) const noexcept {
        if (capacity_ == 0) return kNotFound;
        const std::uint8_t tag = tag_of(hash);
        const std::size_t group_mask = capacity_ / Group::kWidth - 1;
        std::size_t group = static_cast<std::size_t>(hash) & group_mask;
        for (std::size_t step = 1;; ++step) {
            const Group g(control_ + group * Group::kWidth);
            for (std::uint64_t m = g.match(tag); m != 0; m = Group::clear_lowest(m)) {
                const std::size_t index = group * Group::kWidth + Group::lowest(m);
                if (slots_[index].key == lookup) return index;
            }
            if (g.match_empty() != 0) return kNotFound;
            group = (group + step) & group_mask;
        }
    }

    // Makes sure that one more key can be inserted without exceeding the maximum load:
    // allocates on first use, and rebuilds (dropping tombstones, doubling when more than half
    // of the usable room is live) when no room is left. Invalidates slot indices. `hash_of`
    // re-hashes stored keys (the table keeps no hashes).
    template <typename HashFn>
    void reserve_one(const HashFn& hash_of) {
        if (growth_left_ != 0) [[likely]]
            return;
        std::size_t new_capacity = capacity_ == 0 ? Group::kWidth : capacity_;
        if (size_ * 2 >= max_load(new_capacity)) new_capacity *= 2;
        rebuild(new_capacity, hash_of);
    }

    // Slot where a key with this hash (known absent) goes: the first empty or deleted slot of
    // its probe sequence. Requires reserve_one() since the last insertion.
    std::size_t find_insert_slot(std::uint64_t hash) const noexcept {
        const std::size_t group_mask = capacity_ / Group::kWidth - 1;
        std::size_t group = static_cast<std::size_t>(hash) & group_mask;
        for (std::size_t step = 1;; ++step) {
            const Group g(control_ + group * Group::kWidth);
            if (const std::uint64_t m = g.match_empty_or_deleted(); m != 0) {
                return group * Group::kWidth + Group::lowest(m);
            }
            group = (group + step) & group_mask;
        }
    }

    // Constructs an entry in a slot from find_insert_slot(). If constructing throws, the
    // slot stays free and the table unchanged.
    Slot& insert_at(std::size_t index, std::uint64_t hash, K&& key, V&& value) {
        ::new (static_cast<void*>(&slots_[index])) Slot{std::move(key), std::move(value)};
        if (control_[index] == ctrl::kDeleted) {
            --tombstones_;
        } else {
            --growth_left_;
        }
        control_[index] = tag_of(hash);
        ++size_;
        return slots_[index];
    }

    // Removes the entry at `index`, leaving a tombstone, and returns its value.
    V take_at(std::size_t index) {
        V value = std::move(slots_[index].value);
        slots_[index].~Slot();
        control_[index] = ctrl::kDeleted;
        --size_;
        ++tombstones_;
        return value;
    }

    Slot& slot(std::size_t index) noexcept { return slots_[index]; }
    const Slot& slot(std::size_t index) const noexcept { return slots_[index]; }

    // Calls fn(slot) for every full slot in slot order, eight control bytes at a time.
    template <typename Fn>
    void for_each_full(Fn&& fn) const {
        for (std::size_t group = 0; group < capacity_; group += Group::kWidth) {
            const Group g(control_ + group);
            for (std::uint64_t m = g.match_full(); m != 0; m = Group::clear_lowest(m)) {
                fn(slots_[group + Group::lowest(m)]);
            }
        }
    }

    // First full slot at or after `index`, or capacity() when there is none.
    std::size_t next_full(std::size_t index) const noexcept {
        while (index < capacity_ && !ctrl::is_full(control_[index])) ++index;
        return index;
    }

    // Destroys every entry in slot order and frees the storage.
    void destroy() noexcept {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (ctrl::is_full(control_[i])) slots_[i].~Slot();
        }
        free_storage(control_, slots_, capacity_);
        control_ = nullptr;
        slots_ = nullptr;
        capacity_ = size_ = tombstones_ = growth_left_ = 0;
    }

    // The named invariants, for tests.
    bool invariants_hold() const noexcept {
        std::size_t full = 0, deleted = 0;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (ctrl::is_full(control_[i])) ++full;
            else if (control_[i] == ctrl::kDeleted) ++deleted;
            else if (control_[i] != ctrl::kEmpty) return false;
        }
        return full == size_ && deleted == tombstones_ &&
               size_ + tombstones_ + growth_left_ == max_load(capacity_);
    }

private:
    static constexpr std::size_t max_load(std::size_t capacity) noexcept {
        return capacity - capacity / 8;
    }

    static void free_storage(std::uint8_t* control, Slot* slots, std::size_t capacity) noexcept {
        if (capacity == 0) return;
        // The unsized form: clang before 19 declares sized deallocation only when asked to.
        ::operator delete(slots, std::align_val_t{alignof(Slot)});
        delete[] control;
    }

    // Moves every live entry into fresh storage of `new_capacity` slots. Entries are moved
    // (never copied), so this needs K and V to be nothrow-movable to keep the strong guarantee.
    template <typename HashFn>
    void rebuild(std::size_t new_capacity, const HashFn& hash_of) {
        static_assert(std::is_nothrow_move_constructible_v<K> &&
                      std::is_nothrow_move_constructible_v<V>);
        auto control = std::make_unique<std::uint8_t[]>(new_capacity);
        std::memset(control.get(), ctrl::kEmpty, new_capacity);
        Slot* slots = static_cast<Slot*>(
            ::operator new(new_capacity * sizeof(Slot), std::align_val_t{alignof(Slot)}));
        // No allocation can fail from here on.
        std::uint8_t* old_control = control_;
        Slot* old_slots = slots_;
        const std::size_t old_capacity = capacity_;
        control_ = control.release();
        slots_ = slots;
        capacity_ = new_capacity;
        tombstones_ = 0;
        growth_left_ = max_load(new_capacity) - size_;
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (!ctrl::is_full(old_control[i])) continue;
            Slot& from = old_slots[i];
            const std::uint64_t hash = hash_of(from.key);
            const std::size_t to = find_insert_slot(hash);
            ::new (static_cast<void*>(&slots_[to]))
                Slot{std::move(from.key), std::move(from.value)};
            control_[to] = tag_of(hash);
            from.~Slot();
        }
        free_storage(old_control, old_slots, old_capacity);
    }

private:
    std::uint8_t* control_ = nullptr;
    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t tombstones_ = 0;
    std::size_t growth_left_ = 0;
};

}  // namespace durnel
