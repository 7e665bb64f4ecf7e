#include "hll/representation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::concat;
using test::difference_bytes;
using test::fails_with;
using test::ref_registers;
using test::ref_sorted_values;
using test::unwrap;

Representation from_hashes(SketchState state, const std::vector<std::uint64_t>& hashes) {
  Representation r = unwrap(Representation::from_state(std::move(state)));
  for (std::uint64_t h : hashes) unwrap(r.add_hash(h));
  return r;
}

// ---------------------------------------------------------------- choosing a representation

enum class Form { Normal, Sparse };

struct ChoiceCase {
  const char* name;
  std::int32_t sparse_precision;
  bool data;
  bool sparse_data;
  Form form;
};

class FromStateChooses : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(FromStateChooses, TheFormTheRecordCallsFor) {
  const ChoiceCase& c = GetParam();
  SketchState state = test::sketch_state(12, c.sparse_precision);
  if (c.data) state.data = Bytes(4096, 3);
  if (c.sparse_data) state.sparse_data = difference_bytes({1, 2, 3});
  state.sparse_size = 3;
  const Representation r = unwrap(Representation::from_state(state));
  if (c.form == Form::Normal) {
    ASSERT_NE(r.normal(), nullptr);
    EXPECT_FALSE(r.state().sparse_data.has_value());
    EXPECT_EQ(r.state().sparse_size, 0);
    EXPECT_EQ(r.state().data, state.data);
  } else {
    ASSERT_NE(r.sparse(), nullptr);
    EXPECT_EQ(r.state().sparse_data, state.sparse_data);
    EXPECT_EQ(r.state().sparse_size, 3);
    EXPECT_TRUE(r.sparse()->buffer().empty());
  }
  EXPECT_EQ(r.state().sparse_precision, c.sparse_precision);
}

INSTANTIATE_TEST_SUITE_P(
    Records, FromStateChooses,
    ::testing::Values(ChoiceCase{"no_sparse_phase", 0, false, false, Form::Normal},
                      ChoiceCase{"no_sparse_phase_with_data", 0, true, false, Form::Normal},
                      ChoiceCase{"data_wins_over_sparse_data", 17, true, true, Form::Normal},
                      ChoiceCase{"data_with_sparse_precision", 17, true, false, Form::Normal},
                      ChoiceCase{"empty_sparse", 17, false, false, Form::Sparse},
                      ChoiceCase{"loaded_sparse", 17, false, true, Form::Sparse}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FromState, SparseDataWithoutSparsePrecisionIsRefusedFirst) {
  const std::string message = "Must have a sparse precision when sparse data is set";
  SketchState state = test::sketch_state(12, 0);
  state.sparse_data = Bytes();
  EXPECT_TRUE(fails_with(Representation::from_state(state), ErrorKind::InvalidState, message));
  state.data = Bytes(4096, 0);
  EXPECT_TRUE(fails_with(Representation::from_state(state), ErrorKind::InvalidState, message));
  // Before the precision and data-length checks.
  state.precision = 9;
  state.data = Bytes(5, 0);
  EXPECT_TRUE(fails_with(Representation::from_state(state), ErrorKind::InvalidState, message));
}

TEST(FromState, NormalWithoutSparsePhaseHasNoRegistersYet) {
  const Representation r = unwrap(Representation::from_state(test::sketch_state(15, 0)));
  ASSERT_NE(r.normal(), nullptr);
  EXPECT_FALSE(r.state().data.has_value());
  EXPECT_EQ(unwrap(r.estimate()), 0);
}

// ---------------------------------------------------------------- the Invalid slot

TEST(InvalidRepresentation, RefusesEveryOperation) {
  const std::string message = "Representation is invalid";
  Representation invalid;
  ASSERT_TRUE(invalid.is_invalid());
  EXPECT_TRUE(fails_with(invalid.add_hash(1), ErrorKind::InvalidState, message));
  EXPECT_TRUE(fails_with(invalid.estimate(), ErrorKind::InvalidState, message));
  EXPECT_TRUE(fails_with(invalid.compact(), ErrorKind::InvalidState, message));
  const Representation sparse = unwrap(Representation::from_state(test::sketch_state(12, 17)));
  const Representation normal = unwrap(Representation::from_state(test::sketch_state(12, 0)));
  for (const Representation* valid : {&sparse, &normal}) {
    EXPECT_TRUE(fails_with(Representation::merge(Representation(), *valid), ErrorKind::InvalidState, message));
    EXPECT_TRUE(fails_with(Representation::merge(*valid, Representation()), ErrorKind::InvalidState, message));
  }
  EXPECT_TRUE(invalid.is_invalid());
}

TEST(InvalidRepresentation, HasNoState) {
  Representation invalid;
  try {
    (void)invalid.state();
    ADD_FAILURE() << "no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "Invalid representation");
  }
  const Representation& const_invalid = invalid;
  EXPECT_THROW((void)const_invalid.state(), InternalFailure);
}

TEST(InvalidRepresentation, IsWhatAFailedFlushLeaves) {
  SketchState state = test::sketch_state(10, 15);
  state.sparse_data = difference_bytes({100, 50});
  Representation r = unwrap(Representation::from_state(state));
  Status failed;
  for (std::uint64_t h : test::random_hashes(1000, 2)) {
    failed = r.add_hash(h | (std::uint64_t{1} << 63));
    if (!failed) break;
  }
  EXPECT_TRUE(fails_with(failed, ErrorKind::InvalidArgument,
                         "50 put after Some(100) but values are required to be in increasing order"));
  EXPECT_TRUE(r.is_invalid());
  EXPECT_TRUE(fails_with(r.add_hash(7), ErrorKind::InvalidState, "Representation is invalid"));
  EXPECT_TRUE(fails_with(r.estimate(), ErrorKind::InvalidState, "Representation is invalid"));
}

TEST(InvalidRepresentation, IsWhatAFailedCompactLeaves) {
  SketchState state = test::sketch_state(10, 15);
  state.sparse_data = difference_bytes({100, 50});
  Representation r = unwrap(Representation::from_state(state));
  unwrap(r.add_hash(~std::uint64_t{0}));
  EXPECT_TRUE(fails_with(r.compact(), ErrorKind::InvalidArgument,
                         "50 put after Some(100) but values are required to be in increasing order"));
  EXPECT_TRUE(r.is_invalid());
}

TEST(InvalidRepresentation, FailedConversionLeavesItToo) {
  // Over budget, with a value beyond the registers: the first add converts and fails.
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 1; values.size() < 800; ++v) {
    if ((v & 31u) != 0) values.push_back(v);
  }
  values.push_back(40001);  // plain, beyond the 2^15 sparse indexes
  SketchState state = test::sketch_state(10, 15);
  state.sparse_data = difference_bytes(values);
  Representation r = unwrap(Representation::from_state(state));
  EXPECT_TRUE(fails_with(r.add_hash(12345), ErrorKind::InvalidState,
                         "Decoded index 1250 out of bounds for data length 1024 (sparse_value=40001, "
                         "source_precision=15, target_precision=10)"));
  EXPECT_TRUE(r.is_invalid());
}

// ---------------------------------------------------------------- mixed merges

TEST(MixedMerge, NormalSelfTakesInStoredAndBufferedValues) {
  const auto a = test::random_hashes(2000, 3);
  const auto stored = test::random_hashes(1200, 4);
  const auto buffered = test::random_hashes(300, 5);
  const Representation self = from_hashes(test::sketch_state(13, 0), a);
  Representation other = from_hashes(test::sketch_state(13, 18), stored);
  unwrap(other.compact());
  for (std::uint64_t h : buffered) unwrap(other.add_hash(h));
  ASSERT_NE(other.sparse(), nullptr);
  ASSERT_FALSE(other.sparse()->buffer().empty());
  const Representation merged = unwrap(Representation::merge(self, other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().data, ref_registers(concat(concat(a, stored), buffered), 13));
}

TEST(MixedMerge, HigherNormalSelfIsLoweredToTheSparseOther) {
  const auto a = test::random_hashes(3000, 6);
  const auto b = test::random_hashes(300, 7);
  SketchState self_state = test::sketch_state(14, 0);
  const Representation self = from_hashes(self_state, a);
  const Representation other = from_hashes(test::sketch_state(11, 16), b);
  const Representation merged = unwrap(Representation::merge(self, other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().precision, 11);
  EXPECT_EQ(merged.state().sparse_precision, 0);
  EXPECT_EQ(merged.state().data, ref_registers(concat(a, b), 11));
}

TEST(MixedMerge, NormalSelfWithoutRegistersGetsThemFromAnEmptySparseOther) {
  const Representation self = unwrap(Representation::from_state(test::sketch_state(12, 0)));
  const Representation other = unwrap(Representation::from_state(test::sketch_state(12, 17)));
  const Representation merged = unwrap(Representation::merge(self, other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().data, Bytes(4096, 0));
}

TEST(MixedMerge, SparseSelfConvertsForANormalOther) {
  const auto a = test::random_hashes(200, 8);
  const auto b = test::random_hashes(5000, 9);
  const Representation self = from_hashes(test::sketch_state(12, 20), a);
  const Representation other = from_hashes(test::sketch_state(13, 0), b);
  const Representation merged = unwrap(Representation::merge(self, other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().precision, 12);
  EXPECT_EQ(merged.state().sparse_precision, 0);
  EXPECT_EQ(merged.state().data, ref_registers(concat(a, b), 12));
  // The copy handed in is the one merged; the original is still sparse.
  EXPECT_NE(self.sparse(), nullptr);
  EXPECT_EQ(self.sparse()->sorted_values(), ref_sorted_values(a, 12, 20));
}

TEST(MixedMerge, SparseSelfConvertsForAHigherNormalOtherWithoutRegisters) {
  const auto a = test::random_hashes(200, 10);
  const Representation self = from_hashes(test::sketch_state(12, 20), a);
  const Representation other = unwrap(Representation::from_state(test::sketch_state(16, 0)));
  const Representation merged = unwrap(Representation::merge(self, other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().precision, 12);
  EXPECT_EQ(merged.state().data, ref_registers(a, 12));
}

}  // namespace
}  // namespace vantorelle
