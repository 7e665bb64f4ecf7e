#include "state/sparse_layout.h"

#include <climits>
#include <cstddef>
#include <cstring>

namespace vantorelle {
namespace {

// Reads a varint of at most `max_bytes` bytes at `at`, moving past it; false
// for a longer one or one cut off by `end`.
inline bool read_short_varint(const std::uint8_t*& at, const std::uint8_t* end, std::size_t max_bytes,
                              std::uint64_t& value) {
  std::uint64_t out = 0;
  for (std::size_t k = 0; k < max_bytes && at + k < end; ++k) {
    const std::uint8_t byte = at[k];
    out |= std::uint64_t{byte & 0x7Fu} << (7 * k);
    if (byte < 0x80) {
      value = out;
      at += k + 1;
      return true;
    }
  }
  return false;
}

// The lengths that may follow: a message under 2 GiB needs at most five
// bytes for one. num_values takes nine bytes at the most, as the
// common-shape reader reads it (a tenth is left to the general reader);
// sparse_size four, so that it is a non-negative int32 whatever its bytes.
constexpr std::size_t kLengthBytes = 5;
constexpr std::size_t kNumValuesBytes = 9;
constexpr std::size_t kSparseSizeBytes = 4;

}  // namespace

std::optional<SparseLayout> SparseLayout::of(const SketchState& fields) {
  const std::int32_t numbers[] = {static_cast<std::int32_t>(fields.type), fields.encoding_version,
                                  fields.value_type.wire_number(), fields.precision, fields.sparse_precision};
  for (const std::int32_t number : numbers) {
    if (number < 0 || number > 0x7F) return std::nullopt;
  }
  SparseLayout layout;
  layout.type_ = static_cast<std::uint8_t>(numbers[0]);
  layout.outer_ = {0x18, static_cast<std::uint8_t>(numbers[1]), 0x20, static_cast<std::uint8_t>(numbers[2]), 0x82, 0x07};
  layout.inner_ = {0x18, static_cast<std::uint8_t>(numbers[3]), 0x20, static_cast<std::uint8_t>(numbers[4]), 0x32};
  return layout;
}

std::optional<ByteView> SparseLayout::sparse_data(ByteView bytes) const {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const std::uint8_t* at = bytes.data();
  const std::uint8_t* const end = at + bytes.size();
  const auto left = [&] { return static_cast<std::size_t>(end - at); };
  std::uint64_t skipped = 0;
  std::uint64_t length = 0;
  if (left() < 3 || at[0] != 0x08 || at[1] != type_ || at[2] != 0x10) return std::nullopt;
  at += 3;
  if (!read_short_varint(at, end, kNumValuesBytes, skipped)) return std::nullopt;
  if (left() < outer_.size() || std::memcmp(at, outer_.data(), outer_.size()) != 0) return std::nullopt;
  at += outer_.size();
  // hll_state runs to the end.
  if (!read_short_varint(at, end, kLengthBytes, length) || length != left()) return std::nullopt;
  if (left() < 1 || at[0] != 0x10) return std::nullopt;
  at += 1;
  if (!read_short_varint(at, end, kSparseSizeBytes, skipped)) return std::nullopt;
  if (left() < inner_.size() || std::memcmp(at, inner_.data(), inner_.size()) != 0) return std::nullopt;
  at += inner_.size();
  // So does sparse_data.
  if (!read_short_varint(at, end, kLengthBytes, length) || length != left()) return std::nullopt;
  return ByteView(at, left());
}

}  // namespace vantorelle
