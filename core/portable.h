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
// mul_high64(a, b) is the upper half of the 128-bit product of a and b: the
// compilers' 128-bit integers where they have them, portable_mul_high64 (four
// 32-bit products) elsewhere.
//
// TOLVANE_PREFETCH(address) asks for the line at `address` ahead of its use
// where the compiler has a way to, and is nothing elsewhere: a hint, never a
// change of behaviour. TOLVANE_ALWAYS_INLINE asks every compiler to inline.

#include <concepts>
#include <cstdint>
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

constexpr std::uint64_t portable_mul_high64(std::uint64_t a, std::uint64_t b) noexcept {
  constexpr std::uint64_t low_half = 0xFFFFFFFFU;
  const std::uint64_t a_low = a & low_half, a_high = a >> 32U;
  const std::uint64_t b_low = b & low_half, b_high = b >> 32U;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t middle = (low_low >> 32U) + (high_low & low_half) + low_high;
  return a_high * b_high + (high_low >> 32U) + (middle >> 32U);
}

constexpr std::uint64_t mul_high64(std::uint64_t a, std::uint64_t b) noexcept {
#ifdef __SIZEOF_INT128__
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::uint64_t>((static_cast<Wide>(a) * b) >> 64U);
#else
  return portable_mul_high64(a, b);
#endif
}

}  // namespace tolvane
