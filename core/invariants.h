#pragma once

// Checking the records' invariants.
//
// Each record family has a function `broken_invariant` that returns the text
// of the first invariant a record breaks, or null when it keeps them all. The
// checks are in every build, so that tests and the fuzzer can call them.
// Debug builds also check every record where it is made: a broken invariant
// there is a fault of the library, never of its caller, so expect_kept ends
// the process with the text instead of throwing. Release builds spend nothing
// on it, unless TOLVANE_CHECK_INVARIANTS turns the checks on in them too (the
// module the Python tests run).

#include <cstdio>
#include <cstdlib>

namespace tolvane {

#if defined(TOLVANE_CHECK_INVARIANTS) || !defined(NDEBUG)
inline constexpr bool CHECK_INVARIANTS = true;
#else
inline constexpr bool CHECK_INVARIANTS = false;
#endif

// Ends the process with "tolvane: invariant broken: <broken>" unless
// `broken` is null.
inline void expect_kept(const char* broken) noexcept {
  if (broken == nullptr) return;
  std::fprintf(stderr, "tolvane: invariant broken: %s\n", broken);
  std::abort();
}

}  // namespace tolvane
