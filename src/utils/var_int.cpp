#include "utils/var_int.h"

#include <string>

#include "error/internal_failure.h"

namespace vantorelle {

void encode_varint(std::uint32_t value, Bytes& out) {
  const std::size_t start = out.size();
  out.resize(start + varint_length(value));
  std::uint8_t* p = out.data() + start;
  while (value >= 0x80) {
    *p++ = static_cast<std::uint8_t>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *p = static_cast<std::uint8_t>(value);
}

DecodedVarint decode_varint(ByteView input) {
  std::uint32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    if (k >= input.size()) {
      internal_failure("varint cut off: index " + std::to_string(k) +
                       " out of range for remaining input of length " +
                       std::to_string(input.size()));
    }
    const std::uint8_t byte = input[k];
    value |= static_cast<std::uint32_t>(byte & 0x7F) << (7 * k);
    if ((byte & 0x80) == 0) return {value, k + 1};
  }
  if (input.size() < 5) {
    internal_failure("varint cut off: index 4 out of range for remaining input of length " +
                     std::to_string(input.size()));
  }
  const std::uint8_t last = input[4];
  if (last & 0x80) internal_failure("varint too long");
  // Only the low four bits of the fifth byte fit in 32 bits.
  value |= static_cast<std::uint32_t>(last) << 28;
  return {value, 5};
}

}  // namespace vantorelle
