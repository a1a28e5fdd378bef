// Panic: the unrecoverable failure of an operation (today only a wall clock set before 1970,
// a failing random source, or a violated internal assertion).
//
// It unwinds as a C++ exception: every shard guard on the way out is released by its RAII
// holder, the changes already made stay, and the Python entry frame turns it into the
// PanicException that the caller sees. It carries the message and where it was raised.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace durnel {

class Panic : public std::exception {
public:
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

}  // namespace durnel
