#include "state/sparse_layout.h"

#include "state/state_message.h"
#include "utils/var_int.h"

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

std::optional<SparseLayout> SparseLayout::written_for(const SketchState& fields) {
  const std::optional<SparseLayout> layout = of(fields);
  if (!layout) return std::nullopt;
  // encode_state_into leaves out the fields of their defaults, by its own
  // rules: the layout is taken when a message it writes is that one's.
  SketchState probe = fields;
  probe.data.reset();
  probe.num_values = 1;
  probe.sparse_size = 1;
  probe.sparse_data = Bytes{1};
  Bytes encoded;
  Bytes written;
  if (!encode_state_into(probe, encoded)) return std::nullopt;
  layout->append(written, 1, 1, *probe.sparse_data);
  return written == encoded ? layout : std::nullopt;
}

template <class Out>
void SparseLayout::append_to(Out& out, std::uint64_t num_values, std::uint32_t sparse_size,
                             ByteView sparse_data) const {
  const std::size_t inner = 1 + varint64_length(sparse_size) + 5 + varint64_length(sparse_data.size()) +
                            sparse_data.size();
  const std::size_t total = 3 + varint64_length(num_values) + 6 + varint64_length(inner) + inner;
  const std::size_t start = out.size();
  out.resize(start + total);
  std::uint8_t* at = out.data() + start;
  const std::uint8_t head[3] = {0x08, type_, 0x10};
  std::memcpy(at, head, 3);
  at = put_varint64(at + 3, num_values);
  std::memcpy(at, &outer_head_, 4);
  std::memcpy(at + 4, &outer_tail_, 2);
  at = put_varint64(at + 6, inner);
  *at = 0x10;
  at = put_varint64(at + 1, sparse_size);
  std::memcpy(at, &inner_head_, 4);
  at[4] = 0x32;
  at = put_varint64(at + 5, sparse_data.size());
  if (!sparse_data.empty()) std::memcpy(at, sparse_data.data(), sparse_data.size());
}

void SparseLayout::append(Bytes& out, std::uint64_t num_values, std::uint32_t sparse_size,
                          ByteView sparse_data) const {
  append_to(out, num_values, sparse_size, sparse_data);
}

void SparseLayout::append(MappedVector<std::uint8_t>& out, std::uint64_t num_values, std::uint32_t sparse_size,
                          ByteView sparse_data) const {
  append_to(out, num_values, sparse_size, sparse_data);
}

}  // namespace vantorelle
