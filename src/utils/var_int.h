// Unsigned LEB128 coding: 7-bit groups, least significant first, bit 7 set
// on every byte but the last; 1 to 5 bytes for a 32-bit value (read and
// checked here), up to 10 for a 64-bit one (written here).
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/bytes.h"

namespace vantorelle {

// Bytes that the varint of `value` takes.
// Varint length by the number of leading zero bits of a (non-zero) value.
inline constexpr std::uint8_t VARINT_LENGTH_BY_CLZ[33] = {
    5, 5, 5, 5, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3,
    2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1};

constexpr std::size_t varint_length(std::uint32_t value) {
  // Zero takes one byte, like one.
  return VARINT_LENGTH_BY_CLZ[__builtin_clz(value | 1)];
}

struct DecodedVarint {
  std::uint32_t value;
  std::size_t length;  // bytes consumed, 1..5
};

// Why the bytes at hand are not a varint of 32 bits.
enum class VarintFault : std::uint8_t {
  None,
  CutOff,      // the input ends inside it
  TooLong,     // its fifth byte has the continuation bit
  Over32Bits,  // its fifth byte carries bits beyond 32 (dropped from `value`)
};

struct ReadVarint {
  std::uint32_t value;
  std::size_t length;  // bytes read; with CutOff, the bytes there were
  VarintFault fault;
};

// Reads the varint at the start of `input`, whatever its bytes.
inline ReadVarint read_varint(ByteView input) {
  const std::size_t size = input.size();
  std::uint32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    if (k >= size) return {value, k, VarintFault::CutOff};
    const std::uint8_t byte = input[k];
    value |= static_cast<std::uint32_t>(byte & 0x7F) << (7 * k);
    if ((byte & 0x80) == 0) return {value, k + 1, VarintFault::None};
  }
  if (size < 5) return {value, 4, VarintFault::CutOff};
  const std::uint8_t last = input[4];
  if (last & 0x80) return {value, 5, VarintFault::TooLong};
  // Only the low four bits of the fifth byte fit in 32 bits.
  value |= static_cast<std::uint32_t>(last) << 28;
  return {value, 5, last < 16 ? VarintFault::None : VarintFault::Over32Bits};
}

// Writes the varint of a 64-bit `value` at `out` (room for
// varint64_length(value) bytes, at most ten); returns the byte after it.
inline std::uint8_t* put_varint64(std::uint8_t* out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<std::uint8_t>(value | 0x80);
  *out++ = static_cast<std::uint8_t>(value);
  return out;
}

// Bytes that put_varint64 writes for `value`.
inline std::size_t varint64_length(std::uint64_t value) {
  std::size_t bytes = 1;
  for (; value >= 0x80; value >>= 7) ++bytes;
  return bytes;
}

[[noreturn]] void varint_cut_off(std::size_t index, std::size_t remaining);
[[noreturn]] void varint_too_long();

// Decodes the varint at the start of `input`, which this library stored.
// Data that is cut off or longer than five bytes is an internal failure
// ("varint too long"); bits beyond 32 are dropped.
inline DecodedVarint decode_varint(ByteView input) {
  const ReadVarint read = read_varint(input);
  if (read.fault == VarintFault::CutOff) varint_cut_off(read.length, input.size());
  if (read.fault == VarintFault::TooLong) varint_too_long();
  return {read.value, read.length};
}

}  // namespace vantorelle
