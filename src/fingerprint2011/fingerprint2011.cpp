#include "fingerprint2011/fingerprint2011.h"

#include <cstring>

#define VANTORELLE_ALWAYS_INLINE inline __attribute__((always_inline))

namespace vantorelle {
namespace {

using namespace fingerprint2011_mixing;

// Every load goes through memcpy: the caller's buffer may have any alignment.
VANTORELLE_ALWAYS_INLINE std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

VANTORELLE_ALWAYS_INLINE std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap32(word);
#endif
  return word;
}

// The 1..7 bytes at p as a little-endian integer, without reading past them.
VANTORELLE_ALWAYS_INLINE std::uint64_t load_tail(const std::uint8_t* p, std::size_t count) {
  if (count >= 4) {
    // Two overlapping 4-byte loads; the shared bytes land on the same bits.
    const std::uint64_t low = load32(p);
    const std::uint64_t high = load32(p + count - 4);
    return low | (high << (8 * (count - 4)));
  }
  const std::uint64_t first = p[0];
  const std::uint64_t middle = p[count / 2];
  const std::uint64_t last = p[count - 1];
  return first | (middle << (8 * (count / 2))) | (last << (8 * (count - 1)));
}

VANTORELLE_ALWAYS_INLINE std::uint64_t rotr(std::uint64_t x, int r) {
  return (x >> r) | (x << (64 - r));
}

struct WordPair {
  std::uint64_t first;
  std::uint64_t second;
};

VANTORELLE_ALWAYS_INLINE WordPair mix_block32(const std::uint8_t* p, std::uint64_t seed_a,
                                              std::uint64_t seed_b) {
  const std::uint64_t w1 = load64(p);
  const std::uint64_t w2 = load64(p + 8);
  const std::uint64_t w3 = load64(p + 16);
  const std::uint64_t w4 = load64(p + 24);
  std::uint64_t a = seed_a + w1;
  std::uint64_t c = rotr(seed_b + a + w4, 51);
  const std::uint64_t keep = a;
  a += w2;
  a += w3;
  c += rotr(a, 23);
  return {a + w4, c + keep};
}

// n <= 32.
VANTORELLE_ALWAYS_INLINE std::uint64_t short_hash(const std::uint8_t* b, std::size_t n) {
  std::uint64_t h = SHORT_SEED ^ (static_cast<std::uint64_t>(n) * C3);
  const std::size_t whole = n & ~static_cast<std::size_t>(7);
  for (std::size_t o = 0; o < whole; o += 8) {
    const std::uint64_t k = xorshift47(load64(b + o) * C3) * C3;
    h = (h ^ k) * C3;
  }
  const std::size_t tail = n & 7;
  if (tail != 0) {
    // With a whole word before the tail, one load ending at the last byte
    // covers it; the bytes before the tail are shifted out.
    const std::uint64_t k =
        n >= 8 ? load64(b + n - 8) >> (8 * (8 - tail)) : load_tail(b + whole, tail);
    h = (h ^ k) * C3;
  }
  h = xorshift47(h) * C3;
  return xorshift47(h);
}

// 33 <= n <= 64.
VANTORELLE_ALWAYS_INLINE std::uint64_t medium_hash(const std::uint8_t* b, std::size_t n) {
  std::uint64_t z = load64(b + 24);
  std::uint64_t a = load64(b) + (static_cast<std::uint64_t>(n) + load64(b + n - 16)) * C0;
  std::uint64_t x = rotr(a + z, 52);
  std::uint64_t c = rotr(a, 37);
  a += load64(b + 8);
  c += rotr(a, 7);
  a += load64(b + 16);
  const std::uint64_t vf = a + z;
  const std::uint64_t vs = x + rotr(a, 31) + c;

  a = load64(b + 16) + load64(b + n - 32);
  z = load64(b + n - 8);
  x = rotr(a + z, 52);
  c = rotr(a, 37);
  a += load64(b + n - 24);
  c += rotr(a, 7);
  a += load64(b + n - 16);
  const std::uint64_t wf = a + z;
  const std::uint64_t ws = x + rotr(a, 31) + c;

  const std::uint64_t r = xorshift47((vf + ws) * C2 + (wf + vs) * C0);
  return xorshift47(r * C0 + vs) * C2;
}

// n >= 65: the last 64 bytes seed the state, then 64-byte chunks from the
// start are mixed in; the final chunk may overlap the seeding bytes. Kept out
// of line so that the short inputs do not pay for its register pressure.
__attribute__((noinline)) std::uint64_t long_hash(const std::uint8_t* b, std::size_t n) {
  const std::uint64_t n64 = static_cast<std::uint64_t>(n);
  std::uint64_t x = load64(b);
  std::uint64_t y = load64(b + n - 16) ^ C1;
  std::uint64_t z = load64(b + n - 56) ^ C0;
  WordPair v = mix_block32(b + n - 64, n64, y);
  WordPair w = mix_block32(b + n - 32, n64 * C1, C0);
  z += xorshift47(v.second) * C1;
  x = rotr(z + x, 39) * C1;
  y = rotr(y, 33) * C1;

  const std::uint8_t* p = b;
  const std::uint8_t* const end = b + ((n - 1) & ~static_cast<std::size_t>(63));
  do {
    x = rotr(x + y + v.first + load64(p + 16), 37) * C1;
    y = rotr(y + v.second + load64(p + 48), 42) * C1;
    x ^= w.second;
    y ^= v.first;
    z = rotr(z ^ w.first, 33);
    v = mix_block32(p, v.second * C1, x + w.first);
    w = mix_block32(p + 32, z + w.second, y);
    const std::uint64_t swap = z;
    z = x;
    x = swap;
    p += 64;
  } while (p != end);

  return fold_pair(fold_pair(v.first, w.first) + xorshift47(y) * C1 + z,
                   fold_pair(v.second, w.second) + x);
}

}  // namespace

std::uint64_t fingerprint2011(const std::uint8_t* bytes, std::size_t length) {
  if (length == 8) return fingerprint2011_word(load64(bytes));
  if (length <= 32) {
    const std::uint64_t u = length >= 8 ? load64(bytes) : C0;
    const std::uint64_t t = length >= 9 ? load64(bytes + length - 8) : C0;
    return finish(short_hash(bytes, length), t, u);
  }
  const std::uint64_t r = length <= 64 ? medium_hash(bytes, length) : long_hash(bytes, length);
  return finish(r, load64(bytes + length - 8), load64(bytes));
}

}  // namespace vantorelle
