// Outcome<T>: what a coordination operation hands back: its value, or a Failure carrying the
// fixed message that the caller raises unchanged. A failing operation has changed no table.
#pragma once

#include <utility>
#include <variant>

#include "inline_text.h"

namespace durnel {

// Messages name ids and paths: 160 bytes hold them at every ordinary length without an
// allocation, on the path (a refused claim) that callers may take in a loop.
struct Failure {
    InlineText<160> message;
};

struct Done {};  // the value of an operation that returns nothing

template <typename T>
using Outcome = std::variant<T, Failure>;

}  // namespace durnel
