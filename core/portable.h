#pragma once

// What the compilers spell differently: checked arithmetic and hints.
//
// add_overflow(a, b, &out) and mul_overflow(a, b, &out) store a + b or a * b
// in `out` and return false, or return true when the exact result does not
// fit in T (then `out` holds an unspecified value). They never wrap silently
// and never overflow a signed type. GCC and Clang give builtins for them; the
// portable_* versions serve every other compiler (MSVC) and are compiled
// everywhere, so the tests can hold them against the builtins.
//
// TOLVANE_PREFETCH(address) asks for the line at `address` ahead of its use
// where the compiler has a way to, and is nothing elsewhere: a hint, never a
// change of behaviour. TOLVANE_ALWAYS_INLINE asks every compiler to inline.

#include <concepts>
#include <limits>

#if defined(__has_builtin)
#if __has_builtin(__builtin_add_overflow) && __has_builtin(__builtin_mul_overflow)
#define TOLVANE_OVERFLOW_BUILTINS 1
#endif
#if __has_builtin(__builtin_prefetch)
#define TOLVANE_PREFETCH(address) __builtin_prefetch(address)
#endif
#endif
#ifndef TOLVANE_PREFETCH
#define TOLVANE_PREFETCH(address) static_cast<void>(address)
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define TOLVANE_ALWAYS_INLINE __forceinline
#else
#define TOLVANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif

namespace tolvane {

template <std::integral T>
constexpr bool portable_add_overflow(T a, T b, T* out) noexcept {
  constexpr T lowest = std::numeric_limits<T>::min();
  constexpr T highest = std::numeric_limits<T>::max();
  const bool overflow = b > 0 ? a > highest - b : a < lowest - b;
  *out = overflow ? T{} : static_cast<T>(a + b);
  return overflow;
}

template <std::integral T>
constexpr bool portable_mul_overflow(T a, T b, T* out) noexcept {
  constexpr T lowest = std::numeric_limits<T>::min();
  constexpr T highest = std::numeric_limits<T>::max();
  bool overflow = false;
  if (a > 0) {
    overflow = b > 0 ? a > highest / b : b < lowest / a;
  } else if (a < 0) {
    overflow = b > 0 ? a < lowest / b : b != 0 && b < highest / a;
  }
  *out = overflow ? T{} : static_cast<T>(a * b);
  return overflow;
}

template <std::integral T>
constexpr bool add_overflow(T a, T b, T* out) noexcept {
#ifdef TOLVANE_OVERFLOW_BUILTINS
  return __builtin_add_overflow(a, b, out);
#else
  return portable_add_overflow(a, b, out);
#endif
}

template <std::integral T>
constexpr bool mul_overflow(T a, T b, T* out) noexcept {
#ifdef TOLVANE_OVERFLOW_BUILTINS
  return __builtin_mul_overflow(a, b, out);
#else
  return portable_mul_overflow(a, b, out);
#endif
}

}  // namespace tolvane
