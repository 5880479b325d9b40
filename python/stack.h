#pragma once

// How much of the calling thread's C stack is left. CPython 3.13 bounds its
// recursion by counts of levels, not by the stack, while each level through
// the module (a conversion's user code calling the module again) takes
// several times the stack of CPython's own; a conversion that is about to
// run user code asks this first, so that RecursionError comes while there is
// stack left to raise it.
//
// stack_nearly_exhausted() is true when less than STACK_MARGIN bytes (or a
// quarter of a smaller stack) are left below the caller. Where the platform
// does not say where a thread's stack ends, it is always false, and the
// levels that the conversion counts (casters.h) are the only bound.

#include <cstddef>

namespace tolvane::python {

constexpr std::size_t STACK_MARGIN = std::size_t{64} * 1024;

bool stack_nearly_exhausted() noexcept;

}  // namespace tolvane::python
