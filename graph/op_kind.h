#pragma once

// Operation kinds of the lazy graph. Only ADD is ever recorded; the others
// exist as names. A new kind goes after the last one, becomes LAST_OP_KIND
// and adds its name at the end of OP_KIND_NAMES.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tolvane {

enum class OpKind : std::uint8_t { NONE = 0, ADD = 1, MATMUL = 2, RELU = 3, SOFTMAX = 4 };

inline constexpr OpKind LAST_OP_KIND = OpKind::SOFTMAX;

// Name texts, indexed by the OpKind value.
inline constexpr std::array OP_KIND_NAMES = {"NONE", "ADD", "MATMUL", "RELU", "SOFTMAX"};

static_assert(OP_KIND_NAMES.size() == static_cast<std::size_t>(LAST_OP_KIND) + 1,
              "OP_KIND_NAMES has one name for each OpKind");

}  // namespace tolvane
