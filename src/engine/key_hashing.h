// The hashing of key rows for grouping: a per-process random seed (so that
// crafted keys cannot predict collisions), a 64-bit mix, byte strings hashed
// a word at a time (short ones in one step), and the raw 64 bits of an
// integer row. Used by the key columns (key_column.h) and the group table
// (group_table.h).
#pragma once

#include <cstdint>
#include <cstring>
#include <random>

#include "engine/arrow_values.h"

namespace vantorelle::engine::grouping {

// How a key column's values compare: not at all (every row null), as
// integers, or as bytes.
enum class Family { Null, Integer, Bytes };

inline Family family_of(Kind kind) {
  switch (kind) {
    case Kind::Null: return Family::Null;
    case Kind::Bool: case Kind::Int: return Family::Integer;
    default: return Family::Bytes;
  }
}

inline std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ 0x9E3779B97F4A7C15ull;
  }();
  return seed;
}

[[gnu::always_inline]] inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// The first and last (up to) 8 bytes of a short string, overlapping where
// it is shorter than 16: with its length, they are the whole string.
struct ShortWords {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

[[gnu::always_inline]] inline ShortWords short_words(const std::uint8_t* data, std::size_t size) {
  ShortWords words;
  if (size >= 8) {
    std::memcpy(&words.first, data, 8);
    std::memcpy(&words.last, data + size - 8, 8);
  } else if (size >= 4) {
    std::uint32_t first, last;
    std::memcpy(&first, data, 4);
    std::memcpy(&last, data + size - 4, 4);
    words.first = first;
    words.last = last;
  } else if (size > 0) {
    words.first = data[0] | static_cast<std::uint64_t>(data[size / 2]) << 8 |
                  static_cast<std::uint64_t>(data[size - 1]) << 16;
  }
  return words;
}

// Keys longer than 16 bytes, out of the loops that hash a column.
[[gnu::noinline]] inline std::uint64_t hash_long_bytes(const std::uint8_t* data, std::size_t size,
                                                       std::uint64_t seed) {
  std::uint64_t h = seed ^ (size * 0x9E3779B97F4A7C15ull);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t tail = 0;
  if (i < size) std::memcpy(&tail, data + i, size - i);
  return mix(h ^ tail ^ (size - i) << 59);
}

// The 128-bit product of two words, its halves xored: one multiply that
// carries every bit of both into the middle bits of the result.
[[gnu::always_inline]] inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// The hash of a key of at most 16 bytes from its short_words: one multiply
// of the two words, each xored with the seed (unknown outside the process,
// so no one can choose keys whose products collide). The length sits in the
// top byte, which a key shorter than 8 bytes leaves empty.
[[gnu::always_inline]] inline std::uint64_t hash_short_words(const ShortWords& words, std::size_t size,
                                                             std::uint64_t seed) {
  return fold_multiply(words.first ^ seed,
                       words.last ^ ((seed << 29) | (seed >> 35)) ^ (static_cast<std::uint64_t>(size) << 56));
}

[[gnu::always_inline]] inline std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size,
                                                       std::uint64_t seed) {
  if (size <= 16) [[likely]] return hash_short_words(short_words(data, size), size, seed);
  return hash_long_bytes(data, size, seed);
}

// Whether two byte strings of `size` bytes are equal.
[[gnu::always_inline]] inline bool equal_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  if (size <= 16) {
    if (size < 4) {
      for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) return false;
      }
      return true;
    }
    const ShortWords x = short_words(a, size), y = short_words(b, size);
    return x.first == y.first && x.last == y.last;
  }
  return std::memcmp(a, b, size) == 0;
}

// A row's hash over its key columns: the first column's value hash, then
// for each further column the running hash mixed and the value's hash xored
// in. An integer's value hash is the integer xored with the seed: the table
// mixes every hash before it picks a slot.
inline std::uint64_t combine(std::uint64_t running, std::uint64_t value) { return mix(running) ^ value; }

// The raw 64 bits of an integer row (sign- or zero-extended): equal values,
// equal bits, within one column.
inline std::uint64_t raw_integer(const ValueFormat& format, const ArrowArray& array, std::int64_t row) {
  const std::int64_t index = array.offset + row;
  const void* values = array.buffers[1];
  if (format.kind == Kind::Bool) return bit_set(values, index) ? 1 : 0;
  switch (format.width) {
    case 1: return format.is_signed ? static_cast<std::uint64_t>(load<std::int8_t>(values, index)) : load<std::uint8_t>(values, index);
    case 2: return format.is_signed ? static_cast<std::uint64_t>(load<std::int16_t>(values, index)) : load<std::uint16_t>(values, index);
    case 4: return format.is_signed ? static_cast<std::uint64_t>(load<std::int32_t>(values, index)) : load<std::uint32_t>(values, index);
    default: return load<std::uint64_t>(values, index);
  }
}

// Calls body(T{}) with the C++ type of an integer format.
template <class Body>
void with_integer_type(const ValueFormat& format, Body&& body) {
  switch (format.width * (format.is_signed ? 1 : -1)) {
    case 1: body(std::int8_t{}); break;
    case -1: body(std::uint8_t{}); break;
    case 2: body(std::int16_t{}); break;
    case -2: body(std::uint16_t{}); break;
    case 4: body(std::int32_t{}); break;
    case -4: body(std::uint32_t{}); break;
    case -8: body(std::uint64_t{}); break;
    default: body(std::int64_t{}); break;
  }
}

}  // namespace vantorelle::engine::grouping
