#include "utils/utf8.h"

#include <cstdint>
#include <cstring>

namespace vantorelle {

Utf8Step utf8_step(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead < 0x80) return {1, true};
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  if (text.size() < 2 || byte(1) < low || byte(1) > high) return {1, false};
  for (std::size_t i = 2; i < length; ++i) {
    if (i >= text.size() || byte(i) < 0x80 || byte(i) > 0xBF) return {i, false};
  }
  return {length, true};
}

bool all_ascii(std::string_view text) {
  // Without an early exit, which the compiler vectorises.
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080u) == 0;
}

bool utf8_well_formed(std::string_view text) {
  while (!text.empty()) {
    if (text.size() >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data(), 8);
      if ((word & 0x8080808080808080u) == 0) {
        text.remove_prefix(8);
        continue;
      }
    }
    const Utf8Step step = utf8_step(text);
    if (!step.well_formed) return false;
    text.remove_prefix(step.size);
  }
  return true;
}

}  // namespace vantorelle
