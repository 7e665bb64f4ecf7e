#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "state/state_validation.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::difference_bytes;
using test::fails_with;
using test::long_sketch;
using test::message_bytes;
using test::ref_registers;
using test::ref_sorted_values;
using test::snapshot;
using test::unwrap;

HyperLogLogPlusPlus with_longs(HyperLogLogPlusPlus sketch, const std::vector<std::int64_t>& values) {
  for (std::int64_t v : values) unwrap(sketch.add_long(v));
  return sketch;
}

// ---------------------------------------------------------------- the order of checks

// A state that passes every check, as a starting point for breaking some.
SketchState valid_sparse() {
  SketchState state = test::sketch_state(15, 20);
  state.num_values = 3;
  return state;
}

using Mutation = void (*)(SketchState&);

struct CheckCase {
  const char* name;
  Mutation mutate;
  ErrorKind kind;
  std::string message;
};

class BuildChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(BuildChecks, ReportTheFirstFailure) {
  const CheckCase& c = GetParam();
  SketchState state = valid_sparse();
  c.mutate(state);
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::from_state(state), c.kind, c.message)) << "from_state";
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::from_bytes(message_bytes(state)), c.kind, c.message)) << "from_bytes";
  HyperLogLogPlusPlus receiver = long_sketch(15, 20);
  EXPECT_TRUE(fails_with(receiver.merge_bytes(message_bytes(state)), c.kind, c.message)) << "merge_bytes";
  // The validating door runs the same checks first, with the same errors.
  EXPECT_TRUE(fails_with(validate_state(state), c.kind, c.message)) << "validate_state";
  EXPECT_TRUE(fails_with(validate_bytes(message_bytes(state)), c.kind, c.message)) << "validate_bytes";
}

const std::string TYPE = "Expected proto to be of type HYPERLOGLOG_PLUS_UNIQUE but was SUM";
const std::string NEEDS_SP = "Must have a sparse precision when sparse data is set";

std::string normal_precision(int p) {
  return "Expected normal precision to be >= 10 and <= 24 but was " + std::to_string(p);
}
std::string sparse_precision(int p, int sp) {
  return "Expected sparse precision to be >= normal precision (" + std::to_string(p) + ") and <= 25 but was " +
         std::to_string(sp) + ".";
}

// Later checks' failures are added to each case, so that only the order can
// decide which one is reported.
INSTANTIATE_TEST_SUITE_P(
    Steps, BuildChecks,
    ::testing::Values(
        // step 2
        CheckCase{"type_sum",
                  [](SketchState& s) {
                    s.type = AggregatorType::SUM;
                    s.encoding_version = 1;
                    s.value_type = ValueType::default_ops(DefaultOpsType::INT32);
                    s.sparse_precision = 0;
                    s.sparse_data = Bytes{1};
                    s.precision = 9;
                  },
                  ErrorKind::InvalidState, TYPE},
        // step 3
        CheckCase{"version_absent",
                  [](SketchState& s) {
                    s.encoding_version = 1;
                    s.value_type = ValueType::custom(1000);
                  },
                  ErrorKind::InvalidState, "Expected encoding version to be 2 but was 1"},
        CheckCase{"version_3",
                  [](SketchState& s) {
                    s.encoding_version = 3;
                    s.precision = 30;
                  },
                  ErrorKind::InvalidState, "Expected encoding version to be 2 but was 3"},
        CheckCase{"version_negative", [](SketchState& s) { s.encoding_version = -7; }, ErrorKind::InvalidState,
                  "Expected encoding version to be 2 but was -7"},
        // step 4
        CheckCase{"value_type_int32",
                  [](SketchState& s) {
                    s.value_type = ValueType::default_ops(DefaultOpsType::INT32);
                    s.sparse_precision = 0;
                    s.sparse_data = Bytes{};
                  },
                  ErrorKind::InvalidState, "Unsupported value type DefaultOpsType(INT32)"},
        CheckCase{"value_type_uint8", [](SketchState& s) { s.value_type = ValueType::default_ops(DefaultOpsType::UINT8); },
                  ErrorKind::InvalidState, "Unsupported value type DefaultOpsType(UINT8)"},
        CheckCase{"value_type_double",
                  [](SketchState& s) { s.value_type = ValueType::default_ops(DefaultOpsType::DOUBLE); },
                  ErrorKind::InvalidState, "Unsupported value type DefaultOpsType(DOUBLE)"},
        CheckCase{"value_type_custom",
                  [](SketchState& s) {
                    s.value_type = ValueType::custom(1000);
                    s.precision = 9;
                  },
                  ErrorKind::InvalidState, "Unsupported value type CustomType(1000)"},
        // step 5
        CheckCase{"sparse_data_without_sparse_precision",
                  [](SketchState& s) {
                    s.sparse_precision = 0;
                    s.sparse_data = Bytes{};
                    s.precision = 9;
                  },
                  ErrorKind::InvalidState, NEEDS_SP},
        CheckCase{"sparse_data_and_data_without_sparse_precision",
                  [](SketchState& s) {
                    s.sparse_precision = 0;
                    s.sparse_data = Bytes{1, 2};
                    s.data = Bytes(7, 0);
                  },
                  ErrorKind::InvalidState, NEEDS_SP},
        // step 6 (normal: data present or no sparse precision)
        CheckCase{"normal_precision_9",
                  [](SketchState& s) {
                    s.sparse_precision = 0;
                    s.precision = 9;
                  },
                  ErrorKind::InvalidArgument, normal_precision(9)},
        CheckCase{"normal_precision_25_with_bad_data",
                  [](SketchState& s) {
                    s.precision = 25;
                    s.data = Bytes(3, 99);
                  },
                  ErrorKind::InvalidArgument, normal_precision(25)},
        // step 7
        CheckCase{"data_one_short",
                  [](SketchState& s) {
                    s.sparse_precision = 0;
                    s.data = Bytes(32767, 70);
                  },
                  ErrorKind::InvalidState, "Expected normal data to consist of exactly 32768 bytes but got 32767"},
        CheckCase{"data_empty_with_sparse_precision", [](SketchState& s) { s.data = Bytes(); },
                  ErrorKind::InvalidState, "Expected normal data to consist of exactly 32768 bytes but got 0"},
        // step 7, then the register values
        CheckCase{"register_above_maximum",
                  [](SketchState& s) {
                    s.data = Bytes(32768, 50);
                    s.data->at(12) = 51;
                  },
                  ErrorKind::InvalidState, "Register 12 holds 51, above the maximum 50 for precision 15"},
        // step 8 (sparse)
        CheckCase{"sparse_precision_9",
                  [](SketchState& s) {
                    s.precision = 9;
                    s.sparse_precision = 26;
                  },
                  ErrorKind::InvalidArgument, normal_precision(9)},
        CheckCase{"sparse_precision_25_25",
                  [](SketchState& s) {
                    s.precision = 25;
                    s.sparse_precision = 25;
                  },
                  ErrorKind::InvalidArgument, normal_precision(25)},
        CheckCase{"sparse_negative_precision",
                  [](SketchState& s) {
                    s.precision = -3;
                    s.sparse_data = Bytes{0x80};
                  },
                  ErrorKind::InvalidArgument, normal_precision(-3)},
        // step 9
        CheckCase{"sparse_precision_26", [](SketchState& s) { s.sparse_precision = 26; }, ErrorKind::InvalidArgument,
                  sparse_precision(15, 26)},
        CheckCase{"sparse_precision_below_normal",
                  [](SketchState& s) {
                    s.sparse_precision = 14;
                    s.sparse_data = Bytes{0xFF};
                  },
                  ErrorKind::InvalidArgument, sparse_precision(15, 14)},
        CheckCase{"sparse_precision_negative", [](SketchState& s) { s.sparse_precision = -1; },
                  ErrorKind::InvalidArgument, sparse_precision(15, -1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildChecks, MalformedMessagesFailToDecode) {
  const std::vector<Bytes> malformed = {
      {0x08, 0x80},                          // cut-off varint
      {0x82, 0x07, 0x05, 0x18},              // cut off inside the nested message
      {0x08, 0x70, 0x18, 0x80, 0x80, 0x80, 0x80, 0x08},  // 2^31 in an int32 field
      {0x00},                                // field number 0
  };
  for (const Bytes& bytes : malformed) {
    const Result<HyperLogLogPlusPlus> built = HyperLogLogPlusPlus::from_bytes(bytes);
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error().kind(), ErrorKind::ProtoDeserialization) << built.error().display();
    EXPECT_EQ(validate_bytes(bytes).error(), built.error());
    HyperLogLogPlusPlus receiver = with_longs(long_sketch(12, 17), {1, 2, 3});
    const test::Snapshot before = snapshot(receiver);
    EXPECT_EQ(receiver.merge_bytes(bytes).error().kind(), ErrorKind::ProtoDeserialization);
    EXPECT_EQ(snapshot(receiver), before);
  }
}

TEST(BuildChecks, EmptyBytesAreASumAggregate) {
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::from_bytes(Bytes()), ErrorKind::InvalidState, TYPE));
}

TEST(BuildChecks, MissingVersionReadsAsOne) {
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::from_bytes(Bytes{0x08, 0x70}), ErrorKind::InvalidState,
                         "Expected encoding version to be 2 but was 1"));
}

TEST(BuildChecks, WhatIsNotChecked) {
  // Counts, sparse_size and the contents of sparse_data pass the build.
  SketchState state = valid_sparse();
  state.num_values = ~std::uint64_t{0};
  state.sparse_size = -42;
  state.sparse_data = Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_TRUE(HyperLogLogPlusPlus::from_state(state).has_value());
  EXPECT_TRUE(HyperLogLogPlusPlus::from_bytes(message_bytes(state)).has_value());
  // A register at exactly 65 - p is accepted.
  SketchState normal = test::sketch_state(15, 0);
  normal.data = Bytes(32768, 50);
  EXPECT_TRUE(HyperLogLogPlusPlus::from_bytes(message_bytes(normal)).has_value());
}

TEST(BuildChecks, UntypedSparseMessageAcceptsEveryInputType) {
  SketchState state = test::sketch_state(15, 20, ValueType::unknown());
  HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_bytes(message_bytes(state)));
  ASSERT_NE(sketch.representation().sparse(), nullptr);
  EXPECT_EQ(sketch.allowed_input_types(), InputTypeSet::all());
  EXPECT_EQ(unwrap(sketch.result()), 0);
}

TEST(BuildChecks, NormalMessageWithRegisters) {
  SketchState state = test::sketch_state(15, 0);
  const auto hashes = test::random_hashes(5000, 70);
  state.data = ref_registers(hashes, 15);
  state.num_values = 5000;
  HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_bytes(message_bytes(state)));
  ASSERT_NE(sketch.representation().normal(), nullptr);
  EXPECT_EQ(sketch.representation().state(), state);
  EXPECT_EQ(unwrap(sketch.to_bytes()), message_bytes(state));
}

// ---------------------------------------------------------------- what to_bytes writes

TEST(ToBytes, FreshSketchesMatchTheirKnownBytes) {
  EXPECT_EQ(unwrap(long_sketch(15, 20).to_bytes()),
            (Bytes{0x08, 0x70, 0x10, 0x00, 0x18, 0x02, 0x20, 0x08, 0x82, 0x07, 0x06, 0x18, 0x0F, 0x20, 0x14, 0x32,
                   0x00}));
  EXPECT_EQ(unwrap(long_sketch(15, 0).to_bytes()),
            (Bytes{0x08, 0x70, 0x10, 0x00, 0x18, 0x02, 0x20, 0x08, 0x82, 0x07, 0x02, 0x18, 0x0F}));
}

TEST(ToBytes, SparseSketchWritesItsCompactedValues) {
  const auto values = test::random_longs(1500, 71);
  const HyperLogLogPlusPlus sketch = with_longs(long_sketch(12, 17), values);
  ASSERT_FALSE(sketch.representation().sparse()->buffer().empty());
  const std::vector<std::uint32_t> expected_values = ref_sorted_values(test::hashes_of(values), 12, 17);
  SketchState expected = test::sketch_state(12, 17);
  expected.num_values = 1500;
  expected.sparse_size = static_cast<std::int32_t>(expected_values.size());
  expected.sparse_data = difference_bytes(expected_values);
  const Bytes bytes = unwrap(sketch.to_bytes());
  EXPECT_EQ(bytes, message_bytes(expected));
  // Twice the same, and the sketch itself keeps its buffer.
  EXPECT_EQ(unwrap(sketch.to_bytes()), bytes);
  EXPECT_FALSE(sketch.representation().sparse()->buffer().empty());
  EXPECT_EQ(sketch.num_values(), 1500u);
}

TEST(ToBytes, NormalSketchWritesRegistersAndItsSparsePrecision) {
  const auto values = test::random_longs(8000, 72);
  const HyperLogLogPlusPlus sketch = with_longs(long_sketch(12, 17), values);
  ASSERT_NE(sketch.representation().normal(), nullptr);
  SketchState expected = test::sketch_state(12, 17);
  expected.num_values = 8000;
  expected.data = ref_registers(test::hashes_of(values), 12);
  EXPECT_EQ(unwrap(sketch.to_bytes()), message_bytes(expected));
}

TEST(ToBytes, NormalSketchWithoutRegistersWritesNone) {
  HyperLogLogPlusPlus sketch = long_sketch(11, 0);
  SketchState expected = test::sketch_state(11, 0);
  EXPECT_EQ(unwrap(sketch.to_bytes()), message_bytes(expected));
  unwrap(sketch.add_long(5));
  expected.num_values = 1;
  expected.data = ref_registers({test::hash_of_long(5)}, 11);
  EXPECT_EQ(unwrap(sketch.to_bytes()), message_bytes(expected));
}

TEST(ToBytes, OverBudgetSketchIsWrittenNormalButStaysSparse) {
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 1; values.size() < 769; ++v) {
    if ((v & 31u) != 0) values.push_back(v);
  }
  SketchState state = test::sketch_state(10, 15);
  state.sparse_data = difference_bytes(values);
  state.sparse_size = 769;
  state.num_values = 769;
  const HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_state(state));
  const std::int64_t sparse_result = unwrap(sketch.result());
  const Bytes bytes = unwrap(sketch.to_bytes());
  ASSERT_NE(sketch.representation().sparse(), nullptr);
  EXPECT_EQ(sketch.representation().state(), state);
  EXPECT_EQ(unwrap(sketch.result()), sparse_result);
  const HyperLogLogPlusPlus decoded = unwrap(HyperLogLogPlusPlus::from_bytes(bytes));
  ASSERT_NE(decoded.representation().normal(), nullptr);
  EXPECT_EQ(decoded.sparse_precision(), 15);
  EXPECT_EQ(decoded.num_values(), 769u);
  EXPECT_EQ(decoded.representation().state().sparse_size, 0);
}

TEST(ToBytes, CompactionWithoutStoredDataKeepsTheLoadedSparseSize) {
  SketchState state = test::sketch_state(13, 19);
  state.sparse_size = 5;
  const HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_state(state));
  state.sparse_data = Bytes();
  EXPECT_EQ(unwrap(sketch.to_bytes()), message_bytes(state));
}

// ---------------------------------------------------------------- round trips

struct RoundTripCase {
  const char* name;
  std::int32_t p;
  std::int32_t sp;
  std::size_t count;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, KeepsCountPrecisionsTypeAndContent) {
  const auto [name, p, sp, count] = GetParam();
  const auto values = test::random_longs(count, 73);
  const HyperLogLogPlusPlus sketch = with_longs(long_sketch(p, sp), values);
  const HyperLogLogPlusPlus decoded = unwrap(HyperLogLogPlusPlus::from_bytes(unwrap(sketch.to_bytes())));
  EXPECT_EQ(decoded.num_values(), sketch.num_values());
  EXPECT_EQ(decoded.normal_precision(), p);
  EXPECT_EQ(decoded.sparse_precision(), sp);
  EXPECT_EQ(decoded.representation().state().value_type, ValueType::default_ops(DefaultOpsType::UINT64));
  EXPECT_EQ(unwrap(decoded.result()), unwrap(sketch.result()));
  EXPECT_EQ(test::registers_of(decoded.representation()), test::registers_of(sketch.representation()));
  if (sketch.representation().sparse()) {
    ASSERT_NE(decoded.representation().sparse(), nullptr);
    EXPECT_EQ(test::sorted_values_of(decoded), test::sorted_values_of(sketch));
    EXPECT_TRUE(decoded.representation().sparse()->buffer().empty());
  }
  EXPECT_EQ(unwrap(decoded.to_bytes()), unwrap(sketch.to_bytes()));
}

INSTANTIATE_TEST_SUITE_P(Sketches, RoundTrip,
                         ::testing::Values(RoundTripCase{"empty_sparse", 15, 20, 0},
                                           RoundTripCase{"buffered", 15, 20, 100},
                                           RoundTripCase{"flushed", 10, 15, 300},
                                           RoundTripCase{"normal", 11, 16, 5000},
                                           RoundTripCase{"no_sparse_phase", 13, 0, 2000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MergeBytes, EqualsMergingTheSketch) {
  for (auto [p, sp] : {std::pair{12, 17}, std::pair{11, 16}, std::pair{13, 18}, std::pair{12, 0}}) {
    const HyperLogLogPlusPlus other = with_longs(long_sketch(p, sp), test::random_longs(900, 74));
    HyperLogLogPlusPlus by_object = with_longs(long_sketch(12, 17), test::random_longs(700, 75));
    HyperLogLogPlusPlus by_bytes = by_object;
    unwrap(by_object.merge(other));
    unwrap(by_bytes.merge_bytes(unwrap(other.to_bytes())));
    EXPECT_EQ(unwrap(by_bytes.to_bytes()), unwrap(by_object.to_bytes())) << p << "," << sp;
    EXPECT_EQ(by_bytes.num_values(), 1600u);
  }
}

}  // namespace
}  // namespace vantorelle
