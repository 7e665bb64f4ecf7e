#include "state/sparse_layout.h"

namespace vantorelle {

std::optional<SparseLayout> SparseLayout::of(const SketchState& fields) {
  const std::int32_t numbers[] = {static_cast<std::int32_t>(fields.type), fields.encoding_version,
                                  fields.value_type.wire_number(), fields.precision, fields.sparse_precision};
  for (const std::int32_t number : numbers) {
    if (number < 0 || number > 0x7F) return std::nullopt;
  }
  const auto byte = [&](int i) { return static_cast<std::uint8_t>(numbers[i]); };
  const std::uint8_t outer[6] = {0x18, byte(1), 0x20, byte(2), 0x82, 0x07};
  const std::uint8_t inner[4] = {0x18, byte(3), 0x20, byte(4)};
  SparseLayout layout;
  layout.type_ = byte(0);
  layout.outer_head_ = load32(outer);
  layout.outer_tail_ = load16(outer + 4);
  layout.inner_head_ = load32(inner);
  return layout;
}

}  // namespace vantorelle
