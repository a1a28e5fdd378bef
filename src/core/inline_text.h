// InlineText<Capacity>: a string joined once from parts and never changed, kept in the object
// itself when it fits in Capacity bytes and on the heap only beyond that.
//
// For text that a call builds and then drops or hands on (a resource key looked up, a failure
// message raised): at ordinary id lengths it costs no allocation, where a std::string
// allocates past 15 bytes. Moving copies the inline bytes (the view must follow them); a
// heap buffer moves with its pointer.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>

namespace durnel {

template <std::size_t Capacity>
class InlineText {
    static_assert(Capacity > 0, "an empty inline buffer would always allocate");

public:
    InlineText(std::initializer_list<std::string_view> parts) {
        std::size_t size = 0;
        for (std::string_view part : parts) size += part.size();
        char* out = inline_;
        if (size > Capacity) {
            heap_ = std::make_unique_for_overwrite<char[]>(size);
            out = heap_.get();
        }
        char* next = out;
        for (std::string_view part : parts) {
            if (!part.empty()) std::memcpy(next, part.data(), part.size());
            next += part.size();
        }
        view_ = std::string_view(out, size);
    }
    InlineText(InlineText&& other) noexcept : heap_(std::move(other.heap_)) {
        if (heap_) {
            view_ = other.view_;
        } else {
            std::memcpy(inline_, other.view_.data(), other.view_.size());
            view_ = std::string_view(inline_, other.view_.size());
        }
        other.view_ = std::string_view();
    }
    InlineText& operator=(InlineText&&) = delete;
    InlineText(const InlineText&) = delete;
    InlineText& operator=(const InlineText&) = delete;

    std::string_view view() const noexcept { return view_; }

private:
    std::unique_ptr<char[]> heap_;
    std::string_view view_;
    char inline_[Capacity];
};

}  // namespace durnel
