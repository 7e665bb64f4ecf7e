// A key's length where a group's key is kept: a varint (7 bits a byte, low
// bits first), one byte for a length below 128.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/var_int.h"

namespace vantorelle::engine::grouping {

inline std::size_t length_bytes(std::uint64_t size) { return varint64_length(size); }

// Writes `size` at `at`; returns the byte after it.
inline std::uint8_t* put_length(std::uint8_t* at, std::uint64_t size) { return put_varint64(at, size); }

// Reads the length at `at` into *size; returns the byte after it.
[[gnu::always_inline]] inline const std::uint8_t* read_length(const std::uint8_t* at, std::uint64_t* size) {
  std::uint64_t value = *at++;
  if (value >= 0x80) [[unlikely]] {
    value &= 0x7F;
    for (int shift = 7; ; shift += 7) {
      const std::uint8_t byte = *at++;
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) break;
    }
  }
  *size = value;
  return at;
}

}  // namespace vantorelle::engine::grouping
