// Message: a handle on one immutable, reference-counted message body.
//
// A send or broadcast builds the body once (sender, recipient where there is one, content and
// stamp in a single allocation); every mailbox that holds the message and the activity log's
// event for it keep a handle on that same body, so a broadcast to n agents stores its text
// once, not n + 1 times. Nothing can change a body after it is made, so handles on different
// threads need no lock to read it; only the count is shared, and it is atomic.
//
// Invariants: a handle is never null except after it was moved from; a body lives exactly as
// long as its count is non-zero, and the count is the number of handles plus the references
// held raw by their owners (see release_raw/adopt_raw and RefBudget).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "clock.h"

namespace durnel {

class MessageBody {
public:
    // One allocation: this header, then the sender's, the recipient's and the content's bytes.
    // The body starts with `refs` references (its creator's handle and the copies it will
    // hand out, counted now rather than one atomic step each).
    static MessageBody* make(std::string_view from_agent, std::optional<std::string_view> to_agent,
                             std::string_view content, UnixSeconds sent_at, std::size_t refs) {
        const std::size_t to_size = to_agent ? to_agent->size() : 0;
        std::size_t bytes = sizeof(MessageBody);
        for (std::size_t part : {from_agent.size(), to_size, content.size()}) {
            if (part > SIZE_MAX - bytes) throw std::bad_alloc();
            bytes += part;
        }
        void* memory = ::operator new(bytes);
        auto* body = ::new (memory) MessageBody(
            from_agent.size(), to_agent ? to_size : kNoRecipient, content.size(), sent_at, refs);
        char* text = body->text();
        copy(text, from_agent);
        if (to_agent) copy(text + from_agent.size(), *to_agent);
        copy(text + from_agent.size() + to_size, content);
        return body;
    }

    std::string_view from_agent() const noexcept { return {text(), from_size_}; }
    std::optional<std::string_view> to_agent() const noexcept {
        if (to_size_ == kNoRecipient) return std::nullopt;
        return std::string_view(text() + from_size_, to_size_);
    }
    std::string_view content() const noexcept {
        return {text() + from_size_ + recipient_size(), content_size_};
    }
    UnixSeconds sent_at() const noexcept { return sent_at_; }

    void add_refs(std::size_t n) const noexcept { refs_.fetch_add(n, std::memory_order_relaxed); }
    void drop_refs(std::size_t n) const noexcept {
        if (refs_.fetch_sub(n, std::memory_order_acq_rel) == n) {
            const_cast<MessageBody*>(this)->~MessageBody();
            ::operator delete(const_cast<MessageBody*>(this));
        }
    }

private:
    static constexpr std::size_t kNoRecipient = SIZE_MAX;

    MessageBody(std::size_t from_size, std::size_t to_size, std::size_t content_size,
                UnixSeconds sent_at, std::size_t refs) noexcept
        : refs_(refs),
          from_size_(from_size),
          to_size_(to_size),
          content_size_(content_size),
          sent_at_(sent_at) {}
    ~MessageBody() = default;

    static void copy(char* to, std::string_view from) noexcept {
        if (!from.empty()) std::memcpy(to, from.data(), from.size());
    }
    std::size_t recipient_size() const noexcept { return to_size_ == kNoRecipient ? 0 : to_size_; }
    char* text() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* text() const noexcept { return reinterpret_cast<const char*>(this + 1); }

    mutable std::atomic<std::size_t> refs_;
    std::size_t from_size_;
    std::size_t to_size_;  // kNoRecipient for a broadcast
    std::size_t content_size_;
    UnixSeconds sent_at_;
};
static_assert(sizeof(MessageBody) == 40, "the header of every stored message");
static_assert(alignof(MessageBody) <= alignof(std::max_align_t));

class Message {
public:
    static Message make(std::string_view from_agent, std::optional<std::string_view> to_agent,
                        std::string_view content, UnixSeconds sent_at) {
        return Message(MessageBody::make(from_agent, to_agent, content, sent_at, 1));
    }
    // The same, with `copies` more references counted in the new body, for a RefBudget made
    // with RefBudget::counted to hand out.
    static Message make_with_copies(std::string_view from_agent,
                                    std::optional<std::string_view> to_agent,
                                    std::string_view content, UnixSeconds sent_at,
                                    std::size_t copies) {
        return Message(MessageBody::make(from_agent, to_agent, content, sent_at, 1 + copies));
    }
    // Takes over one reference that its owner held raw.
    static Message adopt_raw(const MessageBody* body) noexcept { return Message(body); }

    Message(const Message& other) noexcept : body_(other.body_) { body_->add_refs(1); }
    Message(Message&& other) noexcept : body_(std::exchange(other.body_, nullptr)) {}
    Message& operator=(Message other) noexcept {
        std::swap(body_, other.body_);
        return *this;
    }
    ~Message() {
        if (body_ != nullptr) body_->drop_refs(1);
    }

    std::string_view from_agent() const noexcept { return body_->from_agent(); }
    std::optional<std::string_view> to_agent() const noexcept { return body_->to_agent(); }
    std::string_view content() const noexcept { return body_->content(); }
    UnixSeconds sent_at() const noexcept { return body_->sent_at(); }
    const MessageBody& body() const noexcept { return *body_; }

    // Hands this handle's reference to the caller, who must give it back through adopt_raw
    // or drop_refs.
    [[nodiscard]] const MessageBody* release_raw() && noexcept {
        return std::exchange(body_, nullptr);
    }

private:
    explicit Message(const MessageBody* body) noexcept : body_(body) {}
    const MessageBody* body_;
};
static_assert(sizeof(Message) == sizeof(void*), "a queued message is one pointer");

// n references taken in one atomic step (or, with counted(), the n that make_with_copies
// counted in at creation), handed out one by one as handles; whatever is left when it goes (a
// delivery failed half way) is dropped in one step again.
class RefBudget {
public:
    RefBudget(const Message& message, std::size_t n) noexcept : RefBudget(message.body(), n) {
        if (n != 0) body_->add_refs(n);
    }
    static RefBudget counted(const Message& message, std::size_t n) noexcept {
        return RefBudget(message.body(), n);
    }
    RefBudget(const RefBudget&) = delete;
    RefBudget& operator=(const RefBudget&) = delete;
    ~RefBudget() {
        if (left_ != 0) body_->drop_refs(left_);
    }
    // One handle; at most n calls.
    Message take() noexcept {
        --left_;
        return Message::adopt_raw(body_);
    }

private:
    RefBudget(const MessageBody& body, std::size_t n) noexcept : body_(&body), left_(n) {}

    const MessageBody* body_;
    std::size_t left_;
};

}  // namespace durnel
