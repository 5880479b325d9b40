#pragma once

// Operation kinds of the lazy graph. Only ADD is ever recorded; the others
// exist as names.

#include <array>
#include <cstdint>

namespace tolvane {

enum class OpKind : std::uint8_t { NONE = 0, ADD = 1, MATMUL = 2, RELU = 3, SOFTMAX = 4 };

// Name texts, indexed by the OpKind value.
inline constexpr std::array<const char*, 5> OP_KIND_NAMES = {"NONE", "ADD", "MATMUL", "RELU",
                                                             "SOFTMAX"};

}  // namespace tolvane
