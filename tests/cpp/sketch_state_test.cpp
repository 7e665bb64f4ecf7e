#include "state/sketch_state.h"

#include <gtest/gtest.h>

#include <string>

namespace vantorelle {
namespace {

TEST(SketchState, AbsentAndEmptyByteArraysDifferAndSurviveACopy) {
  SketchState absent;
  SketchState empty;
  empty.sparse_data = Bytes();
  EXPECT_NE(absent, empty);
  const SketchState copy = empty;
  EXPECT_TRUE(copy.sparse_data.has_value());
  EXPECT_TRUE(copy.sparse_data->empty());
  EXPECT_EQ(copy, empty);

  SketchState with_data;
  with_data.data = Bytes();
  EXPECT_NE(with_data, absent);
  EXPECT_NE(with_data, empty);
}

TEST(SketchState, CopyDuplicatesTheByteArrays) {
  SketchState original;
  original.data = Bytes{1, 2, 3};
  original.sparse_data = Bytes{4, 5};
  SketchState copy = original;
  (*copy.data)[0] = 9;
  copy.sparse_data->push_back(6);
  EXPECT_EQ(original.data, (Bytes{1, 2, 3}));
  EXPECT_EQ(original.sparse_data, (Bytes{4, 5}));
}

TEST(SketchState, DefaultsAreThoseOfAnEmptyMessage) {
  const SketchState state;
  EXPECT_EQ(state.type, AggregatorType::SUM);
  EXPECT_EQ(state.num_values, 0u);
  EXPECT_EQ(state.encoding_version, 1);
  EXPECT_EQ(state.value_type, ValueType::unknown());
  EXPECT_EQ(state.sparse_size, 0);
  EXPECT_EQ(state.precision, 0);
  EXPECT_EQ(state.sparse_precision, 0);
  EXPECT_FALSE(state.data.has_value());
  EXPECT_FALSE(state.sparse_data.has_value());
}

struct DebugCase {
  ValueType value_type;
  std::string debug;
};

class ValueTypeDebug : public ::testing::TestWithParam<DebugCase> {};

TEST_P(ValueTypeDebug, NamesTheVariantAndItsValue) {
  EXPECT_EQ(GetParam().value_type.debug(), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ValueTypeDebug,
    ::testing::Values(DebugCase{ValueType::default_ops(DefaultOpsType::INT32), "DefaultOpsType(INT32)"},
                      DebugCase{ValueType::default_ops(DefaultOpsType::UINT64), "DefaultOpsType(UINT64)"},
                      DebugCase{ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING),
                                "DefaultOpsType(BYTES_OR_UTF8_STRING)"},
                      DebugCase{ValueType::default_ops(DefaultOpsType::UNKNOWN), "DefaultOpsType(UNKNOWN)"},
                      DebugCase{ValueType::custom(1000), "CustomType(1000)"},
                      DebugCase{ValueType::custom(2147483647), "CustomType(2147483647)"},
                      DebugCase{ValueType::unknown(), "Unknown"}));

TEST(ValueType, WireNumbersMapToVariants) {
  EXPECT_EQ(ValueType::from_wire(0), ValueType::unknown());
  EXPECT_EQ(ValueType::from_wire(5), ValueType::default_ops(DefaultOpsType::UINT8));
  EXPECT_EQ(ValueType::from_wire(11), ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING));
  EXPECT_EQ(ValueType::from_wire(12), ValueType::unknown());
  EXPECT_EQ(ValueType::from_wire(500), ValueType::unknown());
  EXPECT_EQ(ValueType::from_wire(999), ValueType::unknown());
  EXPECT_EQ(ValueType::from_wire(-3), ValueType::unknown());
  EXPECT_EQ(ValueType::from_wire(1000), ValueType::custom(1000));
  for (std::int32_t n : {0, 1, 7, 8, 11, 1000, 123456}) EXPECT_EQ(ValueType::from_wire(n).wire_number(), n) << n;
}

TEST(DisplayNames, MatchTheEnumerationTables) {
  EXPECT_EQ(display_name(AggregatorType::SUM), "SUM");
  EXPECT_EQ(display_name(AggregatorType::HYPERLOGLOG_PLUS_UNIQUE), "HYPERLOGLOG_PLUS_UNIQUE");
  const char* names[] = {"UNKNOWN", "INT8",   "INT16", "INT32",  "INT64",  "UINT8",
                         "UINT16",  "UINT32", "UINT64", "FLOAT", "DOUBLE", "BYTES_OR_UTF8_STRING"};
  for (int n = 0; n <= 11; ++n) EXPECT_EQ(display_name(static_cast<DefaultOpsType>(n)), names[n]) << n;
}

TEST(ScalarFields, KeepEveryFieldButTheByteArrays) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.num_values = 12345;
  state.encoding_version = 2;
  state.value_type = ValueType::custom(1001);
  state.sparse_size = 7;
  state.precision = 15;
  state.sparse_precision = 20;
  state.data = Bytes{1, 2};
  state.sparse_data = Bytes{};
  SketchState expected = state;
  expected.data.reset();
  expected.sparse_data.reset();
  EXPECT_EQ(scalar_fields(state), expected);
}

}  // namespace
}  // namespace vantorelle
