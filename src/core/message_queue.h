// MessageQueue: one agent's mailbox, a growable ring buffer of Message handles (one pointer
// each; the bodies are shared, see message.h).
//
// Appends go to the back, reads start at the front (oldest). Capacity is 0 until the first
// append, then at least 4 and doubling when full, so appends are amortised constant time.
// Reading copies handles (a count each, no text); draining moves them out and keeps the
// capacity. The mailbox also remembers whether its owner is known to have a statuses entry,
// so that a send to a known agent need not look it up there again; statuses entries are
// never removed, so once set the mark stays true.
// Not thread-safe: the mailbox's shard lock guards it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "records.h"

namespace durnel {

class MessageQueue {
public:
    static constexpr std::size_t kMinCapacity = 4;

    MessageQueue() noexcept = default;
    MessageQueue(MessageQueue&& other) noexcept
        : buffer_(std::exchange(other.buffer_, nullptr)),
          head_(std::exchange(other.head_, 0)),
          size_(std::exchange(other.size_, 0)),
          capacity_log2_(std::exchange(other.capacity_log2_, 0)),
          owner_registered_(std::exchange(other.owner_registered_, false)) {}
    MessageQueue& operator=(MessageQueue&& other) noexcept {
        MessageQueue moved(std::move(other));
        swap(moved);
        return *this;
    }
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    ~MessageQueue() {
        clear();
        deallocate(buffer_, capacity());
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept {
        return buffer_ == nullptr ? 0 : std::size_t{1} << capacity_log2_;
    }
    bool empty() const noexcept { return size_ == 0; }
    // The oldest message; only for a queue that is not empty.
    const Message& front() const noexcept { return buffer_[head_]; }

    bool owner_registered() const noexcept { return owner_registered_; }
    // Only after the owner's statuses entry was seen to exist.
    void mark_owner_registered() noexcept { owner_registered_ = true; }

    void push_back(Message message) {
        if (size_ == capacity()) grow();
        ::new (static_cast<void*>(&buffer_[wrap(head_ + size_)])) Message(std::move(message));
        ++size_;
    }

    // Puts `messages` back in front of the queue, in their order (the first becomes the
    // oldest). Used to undo a drain whose result could not be delivered.
    void push_front_all(std::vector<Message>&& messages) {
        while (capacity() < size_ + messages.size()) grow();
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            head_ = wrap(head_ + capacity() - 1);
            ::new (static_cast<void*>(&buffer_[head_])) Message(std::move(*it));
            ++size_;
        }
        messages.clear();
    }

    // Copies every message, oldest first.
    std::vector<Message> copy_all() const {
        std::vector<Message> out;
        out.reserve(size_);
        for (std::size_t i = 0; i < size_; ++i) out.push_back(buffer_[wrap(head_ + i)]);
        return out;
    }

    // Moves every message out, oldest first; the queue is left empty with its capacity.
    std::vector<Message> drain() {
        std::vector<Message> out;
        out.reserve(size_);  // may throw; nothing has moved yet
        for (std::size_t i = 0; i < size_; ++i) {
            Message& m = buffer_[wrap(head_ + i)];
            out.push_back(std::move(m));
            m.~Message();
        }
        head_ = 0;
        size_ = 0;
        return out;
    }

private:
    std::size_t wrap(std::size_t index) const noexcept {
        return index & ((std::size_t{1} << capacity_log2_) - 1);
    }

    static Message* allocate(std::size_t n) { return std::allocator<Message>().allocate(n); }
    static void deallocate(Message* p, std::size_t n) noexcept {
        if (p != nullptr) std::allocator<Message>().deallocate(p, n);
    }

    void grow() {
        const std::size_t old_capacity = capacity();
        const std::size_t new_capacity = old_capacity == 0 ? kMinCapacity : old_capacity * 2;
        Message* fresh = allocate(new_capacity);
        for (std::size_t i = 0; i < size_; ++i) {
            Message& m = buffer_[wrap(head_ + i)];
            ::new (static_cast<void*>(&fresh[i])) Message(std::move(m));
            m.~Message();
        }
        deallocate(buffer_, old_capacity);
        buffer_ = fresh;
        capacity_log2_ = static_cast<std::uint8_t>(std::countr_zero(new_capacity));
        head_ = 0;
    }

    void clear() noexcept {
        for (std::size_t i = 0; i < size_; ++i) buffer_[wrap(head_ + i)].~Message();
        size_ = 0;
    }

    void swap(MessageQueue& other) noexcept {
        std::swap(buffer_, other.buffer_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
        std::swap(capacity_log2_, other.capacity_log2_);
        std::swap(owner_registered_, other.owner_registered_);
    }

    Message* buffer_ = nullptr;  // null until the first append
    std::size_t head_ = 0;       // index of the oldest message
    std::size_t size_ = 0;
    std::uint8_t capacity_log2_ = 0;  // the capacity is 2^this once there is a buffer
    bool owner_registered_ = false;
};
// A mailbox and its key fill one 64-byte slot of the inboxes table.
static_assert(sizeof(MessageQueue) == 32);

}  // namespace durnel
