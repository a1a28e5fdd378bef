// Panic: the unrecoverable failure of an operation (today only a wall clock set before 1970,
// a failing random source, or a violated internal assertion).
//
// It unwinds as a C++ exception: every shard guard on the way out is released by its RAII
// holder, the changes already made stay, and the Python entry frame turns it into the
// PanicException that the caller sees. It carries the message and where it was raised.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#if !defined(__GNUC__) && !defined(__clang__) && !defined(_MSC_VER)
#include <source_location>
#endif

namespace durnel {

// Where a panic was raised: the caller's file and line, captured by a defaulted argument.
// Made from the compiler builtins that std::source_location is itself built on, because
// libstdc++'s std::source_location needs __builtin_source_location, which clang before 15
// lacks; GCC, clang and MSVC all have these three, and any other compiler gets
// std::source_location. The file name is the path the build passed to the compiler, which
// our builds map to one relative to the source tree.
class SourceLocation {
public:
#if defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER)
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            std::uint_least32_t line = __builtin_LINE(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        return SourceLocation(file, line, function);
    }
#else
    static constexpr SourceLocation current(
        std::source_location where = std::source_location::current()) noexcept {
        return SourceLocation(where.file_name(), where.line(), where.function_name());
    }
#endif

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr const char* function_name() const noexcept { return function_; }

private:
    constexpr SourceLocation(const char* file, std::uint_least32_t line,
                             const char* function) noexcept
        : file_(file), line_(line), function_(function) {}

    const char* file_;
    std::uint_least32_t line_;
    const char* function_;
};

class Panic : public std::exception {
public:
    explicit Panic(std::string message, SourceLocation where = SourceLocation::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

private:
    std::string message_;
    SourceLocation where_;
};

}  // namespace durnel
