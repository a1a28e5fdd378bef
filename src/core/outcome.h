// Outcome<T>: what a coordination operation hands back: its value, or a Failure carrying the
// fixed message that the caller raises unchanged. A failing operation has changed no table.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace durnel {

struct Failure {
    std::string message;
};

struct Done {};  // the value of an operation that returns nothing

template <typename T>
using Outcome = std::variant<T, Failure>;

}  // namespace durnel
