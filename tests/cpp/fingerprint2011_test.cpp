#include "fingerprint2011/fingerprint2011.h"
#include "fingerprint2011/fingerprint2011_words.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vantorelle {
namespace {

std::uint64_t hash_of(const std::string& text) {
  return fingerprint2011(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

struct KnownCase {
  const char* name;
  std::string input;
  std::uint64_t expected;
};

class KnownValues : public ::testing::TestWithParam<KnownCase> {};

TEST_P(KnownValues, MatchThePublishedResult) {
  EXPECT_EQ(hash_of(GetParam().input), GetParam().expected);
}

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Fingerprint2011, KnownValues,
    ::testing::Values(
        KnownCase{"Empty", "", 0x23ad7c904aa665e3ULL},
        KnownCase{"A", "a", 0x947947a2d71fb634ULL},
        KnownCase{"Abc", "abc", 0x004f3187e3175983ULL},
        KnownCase{"Abcdefgh", "abcdefgh", 0xb7c6f9a062041458ULL},
        KnownCase{"QuickBrownFox", "The quick brown fox jumps over the lazy dog",
                  0x89b013e8848c68c9ULL},
        KnownCase{"Digits70", repeated("0123456789", 7), 0xcbfa349bf4b28945ULL},
        KnownCase{"HundredAs", std::string(100, 'a'), 0x30f26160c939e53cULL},
        KnownCase{"IntegerZero", std::string(8, '\0'), 0x853a22bd6e14a48fULL},
        KnownCase{"IntegerOne", std::string("\x01\0\0\0\0\0\0\0", 8), 0xb91968b83211c978ULL},
        KnownCase{"IntegerMinusOne", std::string(8, '\xff'), 0xda13d4a9f7078f79ULL},
        KnownCase{"Integer42", std::string("\x2a\0\0\0\0\0\0\0", 8), 0x583b2b9df8e0eb60ULL}),
    [](const ::testing::TestParamInfo<KnownCase>& info) { return std::string(info.param.name); });

TEST(Fingerprint2011, NullPointerWithZeroLengthIsTheEmptyHash) {
  EXPECT_EQ(fingerprint2011(nullptr, 0), 0x23ad7c904aa665e3ULL);
}

// A plain transcription of the algorithm with byte-by-byte loads, sharing no
// code with the implementation (whose tail and overlapping loads it checks).
namespace model {

constexpr std::uint64_t C0 = 0xa5b85c5e198ed849ULL;
constexpr std::uint64_t C1 = 0x8d58ac26afe12e47ULL;
constexpr std::uint64_t C2 = 0xc47b6e9e3a970ed3ULL;
constexpr std::uint64_t C3 = 0xc6a4a7935bd1e995ULL;

std::uint64_t load(const std::vector<std::uint8_t>& b, std::size_t offset, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) {
    word |= static_cast<std::uint64_t>(b.at(offset + i)) << (8 * i);
  }
  return word;
}
std::uint64_t load64(const std::vector<std::uint8_t>& b, std::size_t offset) {
  return load(b, offset, 8);
}
std::uint64_t rotr(std::uint64_t x, int r) { return (x >> r) | (x << (64 - r)); }
std::uint64_t shift_mix(std::uint64_t x) { return x ^ (x >> 47); }
std::uint64_t fold(std::uint64_t high, std::uint64_t low) {
  std::uint64_t a = shift_mix((low ^ high) * C3);
  std::uint64_t c = shift_mix((high ^ a) * C3);
  return c * C3;
}
std::pair<std::uint64_t, std::uint64_t> mix(const std::vector<std::uint8_t>& b, std::size_t o,
                                            std::uint64_t sa, std::uint64_t sb) {
  const std::uint64_t w1 = load64(b, o), w2 = load64(b, o + 8), w3 = load64(b, o + 16),
                      w4 = load64(b, o + 24);
  std::uint64_t a = sa + w1;
  std::uint64_t c = rotr(sb + a + w4, 51);
  const std::uint64_t keep = a;
  a = a + w2 + w3;
  c += rotr(a, 23);
  return {a + w4, c + keep};
}

std::uint64_t hash(const std::vector<std::uint8_t>& b) {
  const std::uint64_t n = b.size();
  std::uint64_t r;
  if (n <= 32) {
    std::uint64_t h = (C0 ^ C1 ^ C2) ^ (n * C3);
    std::size_t o = 0;
    for (; o + 8 <= n; o += 8) h = (h ^ (shift_mix(load64(b, o) * C3) * C3)) * C3;
    if (o < n) h = (h ^ load(b, o, n - o)) * C3;
    r = shift_mix(shift_mix(h) * C3);
  } else if (n <= 64) {
    std::uint64_t z = load64(b, 24);
    std::uint64_t a = load64(b, 0) + (n + load64(b, n - 16)) * C0;
    std::uint64_t x = rotr(a + z, 52), c = rotr(a, 37);
    a += load64(b, 8);
    c += rotr(a, 7);
    a += load64(b, 16);
    const std::uint64_t vf = a + z, vs = x + rotr(a, 31) + c;
    a = load64(b, 16) + load64(b, n - 32);
    z = load64(b, n - 8);
    x = rotr(a + z, 52);
    c = rotr(a, 37);
    a += load64(b, n - 24);
    c += rotr(a, 7);
    a += load64(b, n - 16);
    const std::uint64_t wf = a + z, ws = x + rotr(a, 31) + c;
    const std::uint64_t m = shift_mix((vf + ws) * C2 + (wf + vs) * C0);
    r = shift_mix(m * C0 + vs) * C2;
  } else {
    std::uint64_t x = load64(b, 0), y = load64(b, n - 16) ^ C1, z = load64(b, n - 56) ^ C0;
    auto v = mix(b, n - 64, n, y);
    auto w = mix(b, n - 32, n * C1, C0);
    z += shift_mix(v.second) * C1;
    x = rotr(z + x, 39) * C1;
    y = rotr(y, 33) * C1;
    std::size_t o = 0;
    for (std::uint64_t remaining = (n - 1) & ~std::uint64_t{63}; remaining != 0;
         remaining -= 64, o += 64) {
      x = rotr(x + y + v.first + load64(b, o + 16), 37) * C1;
      y = rotr(y + v.second + load64(b, o + 48), 42) * C1;
      x ^= w.second;
      y ^= v.first;
      z = rotr(z ^ w.first, 33);
      v = mix(b, o, v.second * C1, x + w.first);
      w = mix(b, o + 32, z + w.second, y);
      std::swap(z, x);
    }
    r = fold(fold(v.first, w.first) + shift_mix(y) * C1 + z, fold(v.second, w.second) + x);
  }
  const std::uint64_t u = n >= 8 ? load64(b, 0) : C0;
  const std::uint64_t t = n >= 9 ? load64(b, n - 8) : C0;
  r = fold(r + t, u);
  return r < 2 ? r - 2 : r;
}

}  // namespace model

// Deterministic, non-repeating content so that every byte position matters.
std::vector<std::uint8_t> content(std::size_t length, std::uint8_t salt) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = 0x9e3779b9u ^ salt;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

// Copies `bytes` to `offset` bytes past the start of a fresh heap block that
// ends exactly with the input, so that a sanitizer build catches any read
// beyond either end, and hashes it there.
std::uint64_t hash_at_offset(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::vector<std::uint8_t> block(offset + bytes.size());
  std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
  return fingerprint2011(block.data() + offset, bytes.size());
}

TEST(Fingerprint2011, EveryLengthUpTo300MatchesTheModelAtEveryAlignment) {
  for (std::size_t length = 0; length <= 300; ++length) {
    for (std::uint8_t salt : {std::uint8_t{0}, std::uint8_t{1}}) {
      const std::vector<std::uint8_t> bytes = content(length, salt);
      const std::uint64_t expected = model::hash(bytes);
      const std::uint64_t aligned = hash_at_offset(bytes, 0);
      EXPECT_EQ(aligned, expected) << "length " << length;
      for (std::size_t offset = 1; offset < 8; ++offset) {
        EXPECT_EQ(hash_at_offset(bytes, offset), aligned)
            << "length " << length << " offset " << offset;
      }
    }
  }
}

TEST(Fingerprint2011, EveryByteOfEveryPathAffectsTheResult) {
  // Flipping any single byte must change the hash; lengths chosen at the
  // short/medium and medium/long boundaries and around the chunk loop counts.
  for (std::size_t length : {1u, 7u, 8u, 9u, 31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u}) {
    const std::vector<std::uint8_t> bytes = content(length, 7);
    const std::uint64_t original = fingerprint2011(bytes.data(), length);
    for (std::size_t i = 0; i < length; ++i) {
      std::vector<std::uint8_t> changed = bytes;
      changed[i] ^= 0x01;
      EXPECT_NE(fingerprint2011(changed.data(), length), original)
          << "length " << length << " byte " << i;
    }
  }
}

TEST(Fingerprint2011, LongInputsHashAlikeWhateverTheAlignment) {
  for (std::size_t length : {1000u, 1024u, 4097u}) {
    const std::vector<std::uint8_t> bytes = content(length, 11);
    const std::uint64_t expected = model::hash(bytes);
    for (std::size_t offset = 0; offset < 8; ++offset) {
      EXPECT_EQ(hash_at_offset(bytes, offset), expected)
          << "length " << length << " offset " << offset;
    }
  }
}

// The batch form (eight lanes where the processor has them) against the
// byte-string hash of each word's eight little-endian bytes: every count
// around the lane width, in place and not, words with extreme bits.
TEST(Fingerprint2011, WordsEqualTheHashOfTheirBytes) {
  std::mt19937_64 random(2011);
  for (int round = 0; round < 200; ++round) {
    const std::size_t count = static_cast<std::size_t>(random() % 40);
    std::vector<std::uint64_t> words(count);
    for (std::uint64_t& word : words) {
      switch (random() % 4) {
        case 0: word = random() % 16; break;
        case 1: word = ~(random() % 16); break;
        case 2: word = std::uint64_t{1} << (random() % 64); break;
        default: word = random();
      }
    }
    std::vector<std::uint64_t> hashes(count);
    fingerprint2011_words(words.data(), count, hashes.data());
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t bytes[8];
      for (int b = 0; b < 8; ++b) bytes[b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
      ASSERT_EQ(hashes[i], fingerprint2011(bytes, 8)) << "word " << words[i] << " at " << i << " of " << count;
    }
    std::vector<std::uint64_t> in_place = words;
    fingerprint2011_words(in_place.data(), count, in_place.data());
    ASSERT_EQ(in_place, hashes);
  }
}

}  // namespace
}  // namespace vantorelle
