// EventList: one second's bucket of the activity log, an append-only arena of encoded events.
//
// Claim events are written as [kind: 1 byte][at: 8 bytes][for each string: length as a
// base-128 varint (1 byte below 128), bytes]; message events as [kind][at][a reference to the
// message's body: 8 bytes], the body shared with the mailboxes that hold the message, so the
// log keeps no second copy of any text. Events go into chunks that never move once written;
// each new chunk is twice the size of the last (at least 256 bytes, and at least the event
// that did not fit), so appends are amortised constant time and touch no earlier event.
// Reading decodes each event back into an ActivityEvent whose strings view the arena or a body
// the list holds: they stay valid while the bucket lives and its shard guard is held. The list
// drops its body references when it is destroyed.
// Not thread-safe: the bucket's shard lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "records.h"

namespace durnel {

class EventList {
public:
    static constexpr std::size_t kFirstChunkBytes = 256;

    EventList() noexcept = default;
    EventList(EventList&& other) noexcept
        : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {
        other.chunks_.clear();
    }
    EventList& operator=(EventList&& other) noexcept {
        EventList moved(std::move(other));
        std::swap(chunks_, moved.chunks_);
        std::swap(size_, moved.size_);
        return *this;
    }
    EventList(const EventList&) = delete;
    EventList& operator=(const EventList&) = delete;
    ~EventList() {
        for (std::size_t c = 0; c < chunks_.size(); ++c) {
            const char* p = chunks_[c].bytes.get();
            const char* end = p + chunks_[c].used;
            while (p < end) {
                if (const MessageBody* body = skip(p)) body->drop_refs(1);
            }
        }
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Message events given as strings get a body of their own.
    void append(const ActivityEvent& event) {
        std::visit([this](const auto& e) { write(e); }, event);
        ++size_;
    }

    // A MessageSent (the message has a recipient) or BroadcastSent event holding `message`.
    void append_message(Message message, UnixSeconds at) {
        write_message(std::move(message), at);
        ++size_;
    }

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = ActivityEvent;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = ActivityEvent;

        Iterator(const EventList* list, std::size_t chunk, std::size_t offset) noexcept
            : list_(list), chunk_(chunk), offset_(offset) {
            skip_exhausted_chunks();
        }
        ActivityEvent operator*() const noexcept {
            const char* p = list_->chunks_[chunk_].bytes.get() + offset_;
            return decode(p);
        }
        Iterator& operator++() noexcept {
            const char* start = list_->chunks_[chunk_].bytes.get() + offset_;
            const char* p = start;
            skip(p);
            offset_ += static_cast<std::size_t>(p - start);
            skip_exhausted_chunks();
            return *this;
        }
        bool operator==(const Iterator& other) const noexcept {
            return chunk_ == other.chunk_ && offset_ == other.offset_;
        }

    private:
        void skip_exhausted_chunks() noexcept {
            while (chunk_ < list_->chunks_.size() && offset_ == list_->chunks_[chunk_].used) {
                ++chunk_;
                offset_ = 0;
            }
        }
        const EventList* list_;
        std::size_t chunk_;
        std::size_t offset_;
    };

    Iterator begin() const noexcept { return Iterator(this, 0, 0); }
    Iterator end() const noexcept { return Iterator(this, chunks_.size(), 0); }

private:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity;
        std::size_t used;
    };

    static constexpr std::size_t kHeaderBytes = 1 + sizeof(UnixSeconds);

    static constexpr std::size_t varint_size(std::size_t n) noexcept {
        std::size_t bytes = 1;
        for (; n >= 0x80; n >>= 7) ++bytes;
        return bytes;
    }

    template <typename... Strings>
    void write_event(EventKind kind, UnixSeconds at, const Strings&... strings) {
        const std::size_t need =
            kHeaderBytes + (... + (varint_size(strings.size()) + strings.size()));
        char* p = reserve(need);
        *p++ = static_cast<char>(kind);
        std::memcpy(p, &at, sizeof at);
        p += sizeof at;
        ((p = put_string(p, strings)), ...);
        chunks_.back().used += need;
    }

    void write(const Claimed& e) { write_event(EventKind::Claimed, e.at, e.agent, e.resource); }
    void write(const Released& e) { write_event(EventKind::Released, e.at, e.agent, e.resource); }
    void write(const MessageSent& e) {
        write_message(Message::make(e.from_agent, e.to_agent, e.content, e.at), e.at);
    }
    void write(const BroadcastSent& e) {
        write_message(Message::make(e.from_agent, std::nullopt, e.content, e.at), e.at);
    }

    static constexpr std::size_t kMessageEventBytes = kHeaderBytes + sizeof(const MessageBody*);

    void write_message(Message message, UnixSeconds at) {
        char* p = reserve(kMessageEventBytes);  // may throw; the handle is not taken yet
        *p++ = static_cast<char>(message.to_agent() ? EventKind::MessageSent
                                                    : EventKind::BroadcastSent);
        std::memcpy(p, &at, sizeof at);
        p += sizeof at;
        const MessageBody* body = std::move(message).release_raw();
        std::memcpy(p, &body, sizeof body);
        chunks_.back().used += kMessageEventBytes;
    }
    static const MessageBody* get_body(const char*& p) noexcept {
        const MessageBody* body;
        std::memcpy(&body, p, sizeof body);
        p += sizeof body;
        return body;
    }

    // Advances `p` past the event there; returns its body if it holds one.
    static const MessageBody* skip(const char*& p) noexcept {
        const auto kind = static_cast<EventKind>(*p);
        p += kHeaderBytes;
        if (kind == EventKind::MessageSent || kind == EventKind::BroadcastSent) return get_body(p);
        get_string(p);
        get_string(p);
        return nullptr;
    }

    static char* put_string(char* p, std::string_view s) noexcept {
        std::size_t n = s.size();
        for (; n >= 0x80; n >>= 7) *p++ = static_cast<char>((n & 0x7F) | 0x80);
        *p++ = static_cast<char>(n);
        if (!s.empty()) std::memcpy(p, s.data(), s.size());
        return p + s.size();
    }
    static std::string_view get_string(const char*& p) noexcept {
        std::size_t length = 0;
        for (unsigned shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(*p++);
            length |= static_cast<std::size_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) break;
        }
        std::string_view s(p, length);
        p += length;
        return s;
    }

    // Decodes the event at `p` and advances `p` past it.
    static ActivityEvent decode(const char*& p) noexcept {
        const auto kind = static_cast<EventKind>(*p++);
        UnixSeconds at;
        std::memcpy(&at, p, sizeof at);
        p += sizeof at;
        switch (kind) {
            case EventKind::Claimed: {
                const auto agent = get_string(p);
                return Claimed{agent, get_string(p), at};
            }
            case EventKind::Released: {
                const auto agent = get_string(p);
                return Released{agent, get_string(p), at};
            }
            case EventKind::MessageSent: {
                const MessageBody* body = get_body(p);
                return MessageSent{body->from_agent(), *body->to_agent(), body->content(), at};
            }
            case EventKind::BroadcastSent:
            default: {
                const MessageBody* body = get_body(p);
                return BroadcastSent{body->from_agent(), body->content(), at};
            }
        }
    }

    // Room for `need` more bytes at the end of the last chunk, adding a chunk when it is full.
    char* reserve(std::size_t need) {
        if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < need) {
            std::size_t capacity = chunks_.empty() ? kFirstChunkBytes : chunks_.back().capacity * 2;
            if (capacity < need) capacity = need;
            chunks_.reserve(chunks_.size() + 1);  // may throw before anything changes
            chunks_.push_back(Chunk{std::make_unique_for_overwrite<char[]>(capacity), capacity, 0});
        }
        Chunk& last = chunks_.back();
        return last.bytes.get() + last.used;
    }

    std::vector<Chunk> chunks_;
    std::size_t size_ = 0;
};

}  // namespace durnel
