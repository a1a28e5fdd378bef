// EventList: one second's bucket of the activity log, an append-only arena of encoded events.
//
// Events are written as [kind: 1 byte][at: 8 bytes][for each string: length as a base-128
// varint (1 byte below 128), bytes]
// into chunks that never move once written; each new chunk is twice the size of the last
// (at least 256 bytes, and at least the event that did not fit), so appends are amortised
// constant time, touch no earlier event, and store an event in the size of its strings plus
// about 9 + 1 per string bytes. Reading decodes each event back into an ActivityEvent whose strings
// view the arena: they stay valid while the bucket lives and its shard guard is held.
// Not thread-safe: the bucket's shard lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "records.h"

namespace durnel {

class EventList {
public:
    static constexpr std::size_t kFirstChunkBytes = 256;

    EventList() noexcept = default;
    EventList(EventList&&) noexcept = default;
    EventList& operator=(EventList&&) noexcept = default;
    EventList(const EventList&) = delete;
    EventList& operator=(const EventList&) = delete;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    void append(const ActivityEvent& event) {
        std::visit([this](const auto& e) { write(e); }, event);
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
            decode(p);
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
        const std::size_t need = kHeaderBytes + (... + (varint_size(strings.size()) + strings.size()));
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
        write_event(EventKind::MessageSent, e.at, e.from_agent, e.to_agent, e.content);
    }
    void write(const BroadcastSent& e) {
        write_event(EventKind::BroadcastSent, e.at, e.from_agent, e.content);
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
                const auto from = get_string(p);
                const auto to = get_string(p);
                return MessageSent{from, to, get_string(p), at};
            }
            case EventKind::BroadcastSent:
            default: {
                const auto from = get_string(p);
                return BroadcastSent{from, get_string(p), at};
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
