#include "state/sparse_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::message_bytes;
using test::unwrap;

// The library's own sparse sketches take the layout, whatever their size.
TEST(SparseLayout, TheLibrarysSparseSketchesHaveIt) {
  const std::int32_t pairs[][2] = {{15, 20}, {10, 25}, {24, 25}};
  for (const auto& pair : pairs) {
    HyperLogLogPlusPlus sketch = test::long_sketch(pair[0], pair[1]);
    for (std::int64_t value : {1, 2, 3, 1000, 100000}) {
      unwrap(sketch.add_long(value * 7919));
      const Bytes bytes = unwrap(sketch.to_bytes());
      const SketchStateView view = unwrap(decode_state_view(bytes));
      const std::optional<SparseLayout> layout = SparseLayout::of(view.scalars);
      ASSERT_TRUE(layout.has_value());
      ASSERT_TRUE(SparseLayout::written_for(view.scalars).has_value());  // (and they are written by it)
      const std::optional<ByteView> sparse = layout->sparse_data(bytes);
      ASSERT_TRUE(sparse.has_value()) << pair[0] << ", " << pair[1] << ": " << value;
      EXPECT_EQ(sparse->data(), view.sparse_data->data());
      EXPECT_EQ(sparse->size(), view.sparse_data->size());
    }
  }
  // A fixed field past one byte has no layout.
  SketchState custom = test::sketch_state(15, 20, ValueType::custom(1000));
  EXPECT_FALSE(SparseLayout::of(custom).has_value());
}

// Messages written field by field and then edited (any byte, the lengths,
// a field added after the others or left out, varints made longer): what
// the layout accepts, the general reader reads as the same fields, with no
// registers and the same sparse_data bytes in place.
TEST(SparseLayout, WhatItAcceptsDecodesAlike) {
  std::mt19937_64 random(4242);
  int accepted = 0;
  int edited_and_accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 15);
    const std::int32_t sp = random() % 8 == 0 ? 0 : p + static_cast<std::int32_t>(random() % (26 - p));
    const ValueType types[] = {ValueType::default_ops(DefaultOpsType::UINT64),
                               ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING),
                               ValueType::default_ops(DefaultOpsType::INT32), ValueType::unknown()};
    SketchState fields = test::sketch_state(p, sp, types[random() % std::size(types)]);
    SketchState state = fields;
    state.num_values = random() % 2 ? random() % 300 : random();
    state.sparse_size = random() % 8 == 0 ? 0 : static_cast<std::int32_t>(random() % (random() % 8 ? 100 : 1u << 30));
    state.sparse_data = Bytes(random() % (random() % 4 == 0 ? 300 : 40));
    for (std::uint8_t& b : *state.sparse_data) b = static_cast<std::uint8_t>(random());
    if (random() % 10 == 0) state.data = Bytes(random() % 40, 1);  // read, not checked
    Bytes bytes = message_bytes(state);
    const bool edited = random() % 2 == 0;
    if (edited) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 6) {
        case 0: bytes[at] = static_cast<std::uint8_t>(random()); break;
        case 1: bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 2: bytes.resize(at); break;
        case 3: bytes.push_back(static_cast<std::uint8_t>(random() % 2 ? 0x08 : 0x10)); bytes.push_back(1); break;
        case 4: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), 0x80); break;
        default: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random())); break;
      }
    }
    const std::optional<SparseLayout> layout = SparseLayout::of(fields);
    ASSERT_TRUE(layout.has_value());
    const std::optional<ByteView> sparse = layout->sparse_data(bytes);
    // Unedited, what the layout describes is what it accepts (the writer
    // leaves out fields of value 0; the layout reads num_values of up to
    // nine bytes, below 2^63, and sparse_size of up to four, below 2^28).
    if (!edited) {
      const bool described = state.sparse_size != 0 && sp != 0 && fields.value_type.wire_number() != 0 &&
                             !state.data && state.num_values < (std::uint64_t{1} << 63) &&
                             state.sparse_size < (1 << 28);
      ASSERT_EQ(sparse.has_value(), described) << "round " << round;
      // Its writer writes those messages byte for byte.
      const std::optional<SparseLayout> writer = SparseLayout::written_for(fields);
      ASSERT_EQ(writer.has_value(), sp != 0 && fields.value_type.wire_number() != 0) << "round " << round;
      if (writer && state.sparse_size != 0 && !state.data) {
        const auto before = static_cast<std::ptrdiff_t>(round % 3);  // (appended after what is there)
        Bytes written(static_cast<std::size_t>(before), 7);
        writer->append(written, state.num_values, static_cast<std::uint32_t>(state.sparse_size),
                       *state.sparse_data);
        ASSERT_EQ(Bytes(written.begin() + before, written.end()), message_bytes(state)) << "round " << round;
      }
    }
    if (!sparse) continue;
    ++accepted;
    edited_and_accepted += edited;
    const Result<SketchStateView> decoded = decode_state_view(bytes);
    ASSERT_TRUE(decoded.has_value()) << "round " << round << ": " << decoded.error().display();
    SketchState scalars = decoded->scalars;
    scalars.num_values = fields.num_values;
    scalars.sparse_size = fields.sparse_size;
    ASSERT_EQ(scalars, fields) << "round " << round;
    ASSERT_FALSE(decoded->data.has_value()) << "round " << round;
    ASSERT_TRUE(decoded->sparse_data.has_value()) << "round " << round;
    ASSERT_EQ(decoded->sparse_data->data(), sparse->data()) << "round " << round;
    ASSERT_EQ(decoded->sparse_data->size(), sparse->size()) << "round " << round;
  }
  EXPECT_GT(accepted, 3500);
  EXPECT_GT(edited_and_accepted, 500);
}

}  // namespace
}  // namespace vantorelle
