// Fingerprint2011: the 64-bit hash of every value added to a sketch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorelle {

// Pure function of the bytes; the same on every platform and alignment.
// Never returns 0 or 1.
std::uint64_t fingerprint2011(const std::uint8_t* bytes, std::size_t length);

namespace fingerprint2011_mixing {

inline constexpr std::uint64_t C0 = 0xa5b85c5e198ed849ULL;
inline constexpr std::uint64_t C1 = 0x8d58ac26afe12e47ULL;
inline constexpr std::uint64_t C2 = 0xc47b6e9e3a970ed3ULL;
inline constexpr std::uint64_t C3 = 0xc6a4a7935bd1e995ULL;
inline constexpr std::uint64_t SHORT_SEED = C0 ^ C1 ^ C2;

[[gnu::always_inline]] inline std::uint64_t xorshift47(std::uint64_t x) { return x ^ (x >> 47); }

[[gnu::always_inline]] inline std::uint64_t fold_pair(std::uint64_t high, std::uint64_t low) {
  const std::uint64_t a = xorshift47((low ^ high) * C3);
  const std::uint64_t c = xorshift47((high ^ a) * C3);
  return c * C3;
}

[[gnu::always_inline]] inline std::uint64_t finish(std::uint64_t r, std::uint64_t t, std::uint64_t u) {
  r = fold_pair(r + t, u);
  // Never 0 or 1: those two wrap to the top of the range.
  return r > 1 ? r : r - 2;
}

}  // namespace fingerprint2011_mixing

// fingerprint2011 of the 8 bytes of `word` in little-endian order (the
// bytes of every added integer), straight-line and inline, so that a loop
// over a column of integers interleaves the multiplications of its rows.
[[gnu::always_inline]] inline std::uint64_t fingerprint2011_word(std::uint64_t word) {
  using namespace fingerprint2011_mixing;
  std::uint64_t h = SHORT_SEED ^ (8 * C3);
  h = (h ^ (xorshift47(word * C3) * C3)) * C3;
  h = xorshift47(xorshift47(h) * C3);
  return finish(h, C0, word);
}

}  // namespace vantorelle
