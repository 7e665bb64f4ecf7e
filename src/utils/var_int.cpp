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

void varint_cut_off(std::size_t index, std::size_t remaining) {
  internal_failure("varint cut off: index " + std::to_string(index) +
                   " out of range for remaining input of length " + std::to_string(remaining));
}

void varint_too_long() { internal_failure("varint too long"); }

}  // namespace vantorelle
