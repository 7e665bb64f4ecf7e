#include "state/common_shape_reader.h"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace vantorelle {
namespace {

// The tags, as single bytes: field number << 3 | wire type.
constexpr std::uint8_t kTypeTag = 0x08;            // 1, varint
constexpr std::uint8_t kNumValuesTag = 0x10;       // 2, varint
constexpr std::uint8_t kEncodingVersionTag = 0x18; // 3, varint
constexpr std::uint8_t kValueTypeTag = 0x20;       // 4, varint
// hll_state, field 112 length-delimited: tag 898, the varint 82 07.
constexpr std::uint8_t kHllStateTag0 = 0x82;
constexpr std::uint8_t kHllStateTag1 = 0x07;
// Inside hll_state.
constexpr std::uint8_t kSparseSizeTag = 0x10;      // 2, varint
constexpr std::uint8_t kPrecisionTag = 0x18;       // 3, varint
constexpr std::uint8_t kSparsePrecisionTag = 0x20; // 4, varint
constexpr std::uint8_t kDataTag = 0x2A;            // 5, length-delimited
constexpr std::uint8_t kSparseDataTag = 0x32;      // 6, length-delimited

// Nine bytes of seven bits still fit in 63: no overflow to think about. A
// tenth byte is left to the general reader.
constexpr std::size_t kMaxVarintBytes = 9;

class Cursor {
 public:
  explicit Cursor(ByteView bytes) : data_(bytes.data()), size_(bytes.size()) {}

  std::size_t position() const { return pos_; }
  bool at_end() const { return pos_ >= size_; }
  std::size_t left() const { return size_ - pos_; }
  std::uint8_t peek() const { return data_[pos_]; }
  void skip(std::size_t count) { pos_ += count; }

  bool varint(std::uint64_t& value) {
    const std::uint8_t first = pos_ < size_ ? data_[pos_] : 0x80;
    if (pos_ < size_ && first < 0x80) [[likely]] {
      value = first;
      ++pos_;
      return true;
    }
    std::uint64_t out = 0;
    for (std::size_t k = 0; k < kMaxVarintBytes; ++k) {
      if (pos_ + k >= size_) return false;
      const std::uint8_t byte = data_[pos_ + k];
      out |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * k);
      if (byte < 0x80) {
        value = out;
        pos_ += k + 1;
        return true;
      }
    }
    return false;
  }

  // An int32 field: negative values take ten bytes, which are not read here.
  bool int32(std::int32_t& value) {
    std::uint64_t raw = 0;
    if (!varint(raw) || raw > static_cast<std::uint64_t>(INT32_MAX)) return false;
    value = static_cast<std::int32_t>(raw);
    return true;
  }

  bool bytes(std::optional<ByteView>& target) {
    std::uint64_t length = 0;
    if (!varint(length) || length > left()) return false;
    target = ByteView(data_ + pos_, static_cast<std::size_t>(length));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// As the general reader: fields are read while the position is before the
// declared end, and one that starts inside may run past it; a declared end
// past the input's (a message cut short) is left to it to refuse.
bool read_hll_state(Cursor& in, SketchStateView& view) {
  std::uint64_t length = 0;
  if (!in.varint(length) || length > static_cast<std::uint64_t>(INT32_MAX) || length > in.left()) return false;
  SketchState& state = view.scalars;
  state.sparse_size = 0;
  state.precision = 0;
  state.sparse_precision = 0;
  view.data.reset();
  view.sparse_data.reset();
  const std::uint64_t end = in.position() + length;
  while (in.position() < end && !in.at_end()) {
    const std::uint8_t tag = in.peek();
    in.skip(1);
    bool ok = false;
    switch (tag) {
      case kSparseSizeTag:
        ok = in.int32(state.sparse_size);
        break;
      case kPrecisionTag:
        ok = in.int32(state.precision);
        break;
      case kSparsePrecisionTag:
        ok = in.int32(state.sparse_precision);
        break;
      case kDataTag:
        ok = in.bytes(view.data);
        break;
      case kSparseDataTag:
        ok = in.bytes(view.sparse_data);
        break;
      default:
        break;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool read_common_shape(ByteView bytes, SketchStateView& view) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
  Cursor in(bytes);
  SketchState& state = view.scalars;
  while (!in.at_end()) {
    const std::uint8_t tag = in.peek();
    in.skip(1);
    bool ok = false;
    switch (tag) {
      case kTypeTag: {
        std::int32_t type = 0;
        ok = in.int32(type);
        state.type = type == static_cast<std::int32_t>(AggregatorType::HYPERLOGLOG_PLUS_UNIQUE)
                         ? AggregatorType::HYPERLOGLOG_PLUS_UNIQUE
                         : AggregatorType::SUM;
        break;
      }
      case kNumValuesTag:
        ok = in.varint(state.num_values);
        break;
      case kEncodingVersionTag:
        ok = in.int32(state.encoding_version);
        break;
      case kValueTypeTag: {
        std::int32_t number = 0;
        ok = in.int32(number);
        state.value_type = ValueType::from_wire(number);
        break;
      }
      case kHllStateTag0:
        ok = !in.at_end() && in.peek() == kHllStateTag1;
        if (ok) {
          in.skip(1);
          ok = read_hll_state(in, view);
        }
        break;
      default:
        break;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace vantorelle
