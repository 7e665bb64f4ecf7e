#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "hll/representation.h"
#include "hll/sparse_representation.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::collapse;
using test::concat;
using test::difference_bytes;
using test::fails_starting_with;
using test::fails_with;
using test::long_sketch;
using test::ref_registers;
using test::ref_sorted_values;
using test::ref_sparse_value;
using test::registers_of;
using test::snapshot;
using test::unwrap;

SparseRepresentation sparse_of(std::int32_t p, std::int32_t sp, std::optional<Bytes> stored = std::nullopt) {
  SketchState state = test::sketch_state(p, sp);
  state.sparse_data = std::move(stored);
  return unwrap(SparseRepresentation::create(std::move(state)));
}

SparseRepresentation sparse_from(std::int32_t p, std::int32_t sp, const std::vector<std::uint64_t>& hashes) {
  Representation r(sparse_of(p, sp));
  for (std::uint64_t h : hashes) unwrap(r.add_hash(h));
  if (r.sparse() == nullptr) throw std::runtime_error("converted while building");
  return std::move(*r.sparse());
}

SparseEncoding encoding(std::int32_t p, std::int32_t sp) { return unwrap(SparseEncoding::create(p, sp)); }

HyperLogLogPlusPlus sketch_of(std::int32_t p, std::int32_t sp, const std::vector<std::int64_t>& values) {
  HyperLogLogPlusPlus sketch = long_sketch(p, sp);
  for (std::int64_t v : values) unwrap(sketch.add_long(v));
  return sketch;
}

HyperLogLogPlusPlus loaded(std::int32_t p, std::int32_t sp, const Bytes& stored) {
  SketchState state = test::sketch_state(p, sp);
  state.sparse_data = stored;
  return unwrap(HyperLogLogPlusPlus::from_state(state));
}

// ---------------------------------------------------------------- compatibility

struct CrossCase {
  std::int32_t p1, sp1, p2, sp2;
};

class CrosswisePrecisions : public ::testing::TestWithParam<CrossCase> {};

TEST_P(CrosswisePrecisions, AreRefusedWithSelfsPairFirst) {
  const auto [p1, sp1, p2, sp2] = GetParam();
  const std::string message = "Precisions (normal=" + std::to_string(p1) + ", sparse=" + std::to_string(sp1) +
                              ") and (normal=" + std::to_string(p2) + ", sparse=" + std::to_string(sp2) +
                              ") are not compatible";
  // Empty and filled sketches alike.
  EXPECT_TRUE(fails_with(SparseRepresentation::merge_sparse(sparse_of(p1, sp1), sparse_of(p2, sp2)),
                         ErrorKind::IncompatiblePrecision, message));
  const auto hashes = test::random_hashes(300, 1);
  EXPECT_TRUE(fails_with(SparseRepresentation::merge_sparse(sparse_from(p1, sp1, hashes),
                                                            sparse_from(p2, sp2, hashes)),
                         ErrorKind::IncompatiblePrecision, message));
  EXPECT_TRUE(fails_with(SparseRepresentation::add_sparse_value(sparse_of(p1, sp1), 1, encoding(p2, sp2)),
                         ErrorKind::IncompatiblePrecision, message));
}

INSTANTIATE_TEST_SUITE_P(Pairs, CrosswisePrecisions,
                         ::testing::Values(CrossCase{12, 20, 14, 18}, CrossCase{14, 18, 12, 20},
                                           CrossCase{10, 25, 11, 11}, CrossCase{24, 24, 23, 25}));

// ---------------------------------------------------------------- empty others

TEST(SparseMerge, EmptyOtherAtEqualOrHigherPrecisionsChangesNothing) {
  // Over budget at (10, 15): 800 one-byte values would convert at any update.
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 1; values.size() < 800; ++v) {
    if ((v & 31u) != 0) values.push_back(v);
  }
  for (auto [p, sp] : {std::pair{10, 15}, std::pair{12, 20}, std::pair{10, 16}}) {
    SparseRepresentation self = sparse_of(10, 15, difference_bytes(values));
    self.insert_hash(0x0123456789ABCDEFull);
    const SketchState state_before = self.state();
    const std::vector<std::uint32_t> buffer_before = self.sorted_buffer();
    Representation merged = unwrap(SparseRepresentation::merge_sparse(std::move(self), sparse_of(p, sp)));
    ASSERT_NE(merged.sparse(), nullptr) << p << "," << sp;
    EXPECT_EQ(merged.state(), state_before);
    EXPECT_EQ(merged.sparse()->sorted_buffer(), buffer_before);

    HyperLogLogPlusPlus sketch = loaded(10, 15, difference_bytes(values));
    const test::Snapshot before = snapshot(sketch);
    unwrap(sketch.merge(long_sketch(p, sp)));
    ASSERT_NE(sketch.representation().sparse(), nullptr);
    EXPECT_EQ(sketch.representation().state(), before.state);
  }
}

TEST(SparseMerge, EmptyOtherAtEqualPrecisionsKeepsTheBuffer) {
  const auto values = test::random_longs(100, 3);
  HyperLogLogPlusPlus self = sketch_of(12, 18, values);
  const test::Snapshot before = snapshot(self);
  unwrap(self.merge(long_sketch(12, 18)));
  EXPECT_EQ(self.representation().state(), before.state);
  EXPECT_EQ(self.representation().sparse()->sorted_buffer(), before.buffer);
  EXPECT_FALSE(before.buffer.empty());
}

TEST(SparseMerge, EmptyOtherOfLowerPrecisionsStillLowersSelf) {
  const auto values = test::random_longs(3000, 4);
  HyperLogLogPlusPlus self = sketch_of(15, 20, values);
  unwrap(self.merge(long_sketch(13, 18)));
  EXPECT_EQ(self.normal_precision(), 13);
  EXPECT_EQ(self.sparse_precision(), 18);
  EXPECT_EQ(test::sorted_values_of(self), ref_sorted_values(test::hashes_of(values), 13, 18));
  EXPECT_EQ(self.num_values(), 3000u);
}

// ---------------------------------------------------------------- downgrade

// The buffered values of a sketch being downgraded enter the new, smaller
// buffer in ascending order of their old values, flushing on the way.
TEST(SparseDowngrade, VisitsBufferedValuesInAscendingOrder) {
  const auto hashes = test::random_hashes(600, 5);
  SparseRepresentation self = sparse_from(12, 17, hashes);
  std::map<std::uint32_t, std::uint64_t> hash_of_old;
  for (std::uint64_t h : hashes) hash_of_old[ref_sparse_value(h, 12, 17)] = h;
  ASSERT_EQ(self.buffer().size(), hash_of_old.size());
  ASSERT_FALSE(self.state().sparse_data.has_value());
  std::set<std::uint32_t> model_buffer;
  std::vector<std::uint32_t> model_stored;
  int flushes = 0;
  for (const auto& [old_value, hash] : hash_of_old) {
    model_buffer.insert(ref_sparse_value(hash, 10, 15));
    if (model_buffer.size() > 256) {
      model_stored = collapse(concat(model_stored, {model_buffer.begin(), model_buffer.end()}), 10, 15);
      model_buffer.clear();
      ++flushes;
    }
  }
  ASSERT_GE(flushes, 2);
  ASSERT_FALSE(model_buffer.empty());
  ASSERT_LE(difference_bytes(model_stored).size(), 768u);

  Representation lowered = unwrap(SparseRepresentation::downgrade(std::move(self), encoding(10, 15)));
  ASSERT_NE(lowered.sparse(), nullptr);
  EXPECT_EQ(lowered.sparse()->sorted_buffer(),
            std::vector<std::uint32_t>(model_buffer.begin(), model_buffer.end()));
  EXPECT_EQ(lowered.state().sparse_data, difference_bytes(model_stored));
  EXPECT_EQ(lowered.state().sparse_size, static_cast<std::int32_t>(model_stored.size()));
  EXPECT_EQ(lowered.sparse()->sorted_values(), ref_sorted_values(hashes, 10, 15));
}

TEST(SparseDowngrade, StoredValuesComeFirstAndMayConvertMidway) {
  // 1500 values at (12, 17) flush once; lowered to (10, 15) they outgrow 768 bytes.
  const auto hashes = test::random_hashes(1500, 6);
  SparseRepresentation self = sparse_from(12, 17, hashes);
  ASSERT_TRUE(self.state().sparse_data.has_value());
  ASSERT_FALSE(self.buffer().empty());
  Representation lowered = unwrap(SparseRepresentation::downgrade(std::move(self), encoding(10, 15)));
  ASSERT_NE(lowered.normal(), nullptr);
  EXPECT_EQ(lowered.state().precision, 10);
  EXPECT_EQ(lowered.state().sparse_precision, 15);
  EXPECT_EQ(lowered.state().data, ref_registers(hashes, 10));
}

TEST(SparseDowngrade, StoredValuesAreConvertedLikeTheirHashes) {
  const auto stored = test::random_hashes(700, 7);
  const auto buffered = test::random_hashes(100, 17);
  const auto hashes = concat(stored, buffered);
  SparseRepresentation self = sparse_from(14, 22, stored);
  unwrap(self.flush_buffer());
  for (std::uint64_t h : buffered) self.insert_hash(h);
  ASSERT_TRUE(self.state().sparse_data.has_value());
  for (auto [p, sp] : {std::pair{14, 20}, std::pair{12, 22}, std::pair{11, 16}, std::pair{14, 14}}) {
    Representation lowered = unwrap(SparseRepresentation::downgrade(self, encoding(p, sp)));
    ASSERT_NE(lowered.sparse(), nullptr);
    EXPECT_EQ(lowered.state().precision, p);
    EXPECT_EQ(lowered.state().sparse_precision, sp);
    EXPECT_EQ(lowered.sparse()->sorted_values(), ref_sorted_values(hashes, p, sp)) << p << "," << sp;
  }
}

struct OutsideCase {
  const char* name;
  std::uint32_t value;
};

class StoredValueOutsideItsEncoding : public ::testing::TestWithParam<OutsideCase> {};

// At (12, 17) the flag is 2^18: plain values must be below 2^17, rho-encoded
// ones must carry an index below 2^12.
TEST_P(StoredValueOutsideItsEncoding, IsRefusedWhenDowngraded) {
  const std::uint32_t bad = GetParam().value;
  const std::string prefix = "Sparse value " + std::to_string(bad) + " lies outside its encoding";
  EXPECT_TRUE(fails_starting_with(
      SparseRepresentation::downgrade(sparse_of(12, 17, difference_bytes({5, bad})), encoding(10, 15)),
      ErrorKind::InvalidState, prefix));

  // Through the aggregator, both ways round; neither sketch changes.
  HyperLogLogPlusPlus self = loaded(12, 17, difference_bytes({5, bad}));
  const test::Snapshot self_before = snapshot(self);
  EXPECT_TRUE(fails_starting_with(self.merge(sketch_of(10, 15, {1, 2, 3})), ErrorKind::InvalidState, prefix));
  EXPECT_EQ(snapshot(self), self_before);

  HyperLogLogPlusPlus lower = sketch_of(10, 15, {1, 2, 3});
  const test::Snapshot lower_before = snapshot(lower);
  EXPECT_TRUE(fails_starting_with(lower.merge(loaded(12, 17, difference_bytes({5, bad}))),
                                  ErrorKind::InvalidState, prefix));
  EXPECT_EQ(snapshot(lower), lower_before);

  // At equal precisions the union would otherwise keep the value, and a
  // later add that converts the receiver would fail on it.
  HyperLogLogPlusPlus equal = sketch_of(12, 17, {1, 2, 3});
  const test::Snapshot equal_before = snapshot(equal);
  EXPECT_TRUE(fails_starting_with(equal.merge(loaded(12, 17, difference_bytes({5, bad}))),
                                  ErrorKind::InvalidState, prefix));
  EXPECT_EQ(snapshot(equal), equal_before);
}

INSTANTIATE_TEST_SUITE_P(Values, StoredValueOutsideItsEncoding,
                         ::testing::Values(OutsideCase{"plain_2_17_plus_1", (1u << 17) + 1},
                                           OutsideCase{"plain_just_below_flag", (1u << 18) - 1},
                                           OutsideCase{"rho_index_2_13", (1u << 18) | (8197u << 6) | 3u}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SparseDowngrade, StoredRhoThatNoLongerFitsIsRefused) {
  // Rho-encoded at (12, 17) with rho 63; two sparse bits dropped as zeros give 65.
  const std::uint32_t bad = (1u << 18) | (4u << 6) | 63u;
  EXPECT_TRUE(fails_starting_with(
      SparseRepresentation::downgrade(sparse_of(12, 17, difference_bytes({bad})), encoding(10, 15)),
      ErrorKind::InvalidState, "Sparse value " + std::to_string(bad)));
}

// ---------------------------------------------------------------- merging different precisions

struct Regime {
  const char* name;
  std::size_t a;  // values only in the (15, 20) sketch
  std::size_t b;  // values only in the (14, 19) sketch
  std::size_t shared;
  int merged_form;  // 1 sparse, 2 normal, 0 either
  bool both_stored_and_buffered = false;
};

bool stored_and_buffered(const HyperLogLogPlusPlus& sketch) {
  const SparseRepresentation* sparse = sketch.representation().sparse();
  return sparse != nullptr && sparse->state().sparse_data && !sparse->buffer().empty();
}

class MergeDownToLowerPrecisions : public ::testing::TestWithParam<Regime> {};

// A sketch at (15, 20) and one at (14, 19), merged either way round, give
// what a (14, 19) sketch of all the values gives.
TEST_P(MergeDownToLowerPrecisions, EqualsBuildingAtTheLowerPrecisions) {
  const Regime& g = GetParam();
  const auto only_a = test::random_longs(g.a, 100);
  const auto only_b = test::random_longs(g.b, 200);
  const auto shared = test::random_longs(g.shared, 300);
  const auto a_values = concat(only_a, shared);
  const auto b_values = concat(shared, only_b);
  const auto all_hashes = test::hashes_of(concat(concat(only_a, shared), only_b));
  const HyperLogLogPlusPlus reference = sketch_of(14, 19, concat(a_values, b_values));

  for (bool a_receives : {true, false}) {
    SCOPED_TRACE(a_receives ? "(15, 20) receives" : "(14, 19) receives");
    HyperLogLogPlusPlus a = sketch_of(15, 20, a_values);
    HyperLogLogPlusPlus b = sketch_of(14, 19, b_values);
    if (g.both_stored_and_buffered) {
      ASSERT_TRUE(stored_and_buffered(a));
      ASSERT_TRUE(stored_and_buffered(b));
    }
    HyperLogLogPlusPlus merged = a_receives ? std::move(a) : std::move(b);
    unwrap(merged.merge(a_receives ? std::move(b) : std::move(a)));

    EXPECT_EQ(merged.normal_precision(), 14);
    EXPECT_EQ(merged.sparse_precision(), 19);
    EXPECT_EQ(merged.num_values(), a_values.size() + b_values.size());
    if (g.merged_form == 1) {
      ASSERT_NE(merged.representation().sparse(), nullptr);
    }
    if (g.merged_form == 2) {
      ASSERT_NE(merged.representation().normal(), nullptr);
    }
    if (merged.representation().sparse() && reference.representation().sparse()) {
      EXPECT_EQ(test::sorted_values_of(merged), test::sorted_values_of(reference));
      EXPECT_EQ(test::sorted_values_of(merged), ref_sorted_values(all_hashes, 14, 19));
    }
    EXPECT_EQ(registers_of(merged.representation()), registers_of(reference.representation()));
    EXPECT_EQ(registers_of(merged.representation()), ref_registers(all_hashes, 14));
    EXPECT_EQ(unwrap(merged.result()), unwrap(reference.result()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MergeDownToLowerPrecisions,
    ::testing::Values(Regime{"tiny", 3, 2, 1, 1},
                      Regime{"buffered", 150, 150, 50, 1},
                      Regime{"flushing", 2500, 2500, 500, 1},
                      Regime{"stored_and_buffered", 4200, 100, 4100, 1, true},
                      Regime{"converting_union", 8000, 4000, 1000, 0, true},
                      Regime{"both_normal", 40000, 40000, 5000, 2},
                      Regime{"normal_and_sparse", 40000, 200, 100, 2},
                      Regime{"sparse_and_normal", 200, 40000, 100, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct PairCase {
  std::int32_t p1, sp1, p2, sp2;
  std::size_t count;
};

class MergeCompatiblePairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(MergeCompatiblePairs, GiveTheValuesOfTheLowerPair) {
  const auto [p1, sp1, p2, sp2, count] = GetParam();
  const std::int32_t p = std::min(p1, p2);
  const std::int32_t sp = std::min(sp1, sp2);
  const auto a = test::random_hashes(count, 20 + p1);
  const auto b = test::random_hashes(count, 40 + p2);
  const auto all = concat(a, b);
  for (bool first_receives : {true, false}) {
    SparseRepresentation one = sparse_from(p1, sp1, a);
    SparseRepresentation two = sparse_from(p2, sp2, b);
    Representation merged = first_receives ? unwrap(SparseRepresentation::merge_sparse(std::move(one), two))
                                           : unwrap(SparseRepresentation::merge_sparse(std::move(two), one));
    EXPECT_EQ(merged.state().precision, p);
    EXPECT_EQ(merged.state().sparse_precision, sp);
    if (merged.sparse() != nullptr) {
      EXPECT_EQ(merged.sparse()->sorted_values(), ref_sorted_values(all, p, sp)) << first_receives;
    }
    EXPECT_EQ(registers_of(merged), ref_registers(all, p)) << first_receives;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, MergeCompatiblePairs,
    ::testing::Values(PairCase{12, 20, 14, 20, 400}, PairCase{14, 18, 14, 20, 400}, PairCase{10, 10, 12, 12, 300},
                      PairCase{10, 15, 10, 25, 200}, PairCase{24, 25, 23, 24, 3000}, PairCase{11, 11, 11, 11, 300},
                      PairCase{13, 21, 10, 12, 300}, PairCase{12, 20, 14, 20, 1500}));

TEST(SparseAddValue, LowerSourceLowersSelfFirst) {
  const auto hashes = test::random_hashes(500, 15);
  const std::uint64_t extra = test::random_hashes(1, 16)[0];
  SparseRepresentation self = sparse_from(15, 20, hashes);
  Representation added = unwrap(
      SparseRepresentation::add_sparse_value(std::move(self), ref_sparse_value(extra, 14, 19), encoding(14, 19)));
  ASSERT_NE(added.sparse(), nullptr);
  EXPECT_EQ(added.state().precision, 14);
  EXPECT_EQ(added.state().sparse_precision, 19);
  EXPECT_EQ(added.sparse()->sorted_values(), ref_sorted_values(concat(hashes, {extra}), 14, 19));
}

TEST(SparseAddValue, HigherSourceIsConverted) {
  const auto hashes = test::random_hashes(500, 17);
  const std::uint64_t extra = test::random_hashes(1, 18)[0];
  SparseRepresentation self = sparse_from(12, 16, hashes);
  Representation added = unwrap(
      SparseRepresentation::add_sparse_value(std::move(self), ref_sparse_value(extra, 15, 22), encoding(15, 22)));
  ASSERT_NE(added.sparse(), nullptr);
  EXPECT_EQ(added.state().precision, 12);
  EXPECT_EQ(added.sparse()->sorted_values(), ref_sorted_values(concat(hashes, {extra}), 12, 16));
}

TEST(SparseMerge, LowerSelfTakesConvertedValuesAndMayConvertMidway) {
  const auto self_hashes = test::random_hashes(100, 8);
  const auto other_hashes = test::random_hashes(1200, 9);
  SparseRepresentation self = sparse_from(10, 15, self_hashes);
  const SparseRepresentation other = sparse_from(12, 17, other_hashes);
  Representation merged = unwrap(SparseRepresentation::merge_sparse(std::move(self), other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().data, ref_registers(concat(self_hashes, other_hashes), 10));
  EXPECT_EQ(merged.state().sparse_precision, 15);
}

// ---------------------------------------------------------------- equal precisions

TEST(SparseMerge, EqualPrecisionsWriteTheUnionOnce) {
  const auto hashes = test::random_hashes(900, 10);
  const std::vector<std::uint64_t> a(hashes.begin(), hashes.begin() + 600);
  const std::vector<std::uint64_t> b(hashes.begin() + 300, hashes.end());
  SparseRepresentation self = sparse_from(12, 17, a);
  SparseRepresentation other = sparse_from(12, 17, b);
  // Give both sides stored values and buffered ones.
  unwrap(self.flush_buffer());
  for (std::uint64_t h : test::random_hashes(50, 11)) self.insert_hash(h);
  unwrap(other.flush_buffer());
  for (std::uint64_t h : test::random_hashes(50, 12)) other.insert_hash(h);

  Representation merged = unwrap(SparseRepresentation::merge_sparse(std::move(self), other));
  ASSERT_NE(merged.sparse(), nullptr);
  const auto all = concat(concat(hashes, test::random_hashes(50, 11)), test::random_hashes(50, 12));
  const std::vector<std::uint32_t> expected = ref_sorted_values(all, 12, 17);
  EXPECT_TRUE(merged.sparse()->buffer().empty());
  EXPECT_EQ(merged.state().sparse_data, difference_bytes(expected));
  EXPECT_EQ(merged.state().sparse_size, static_cast<std::int32_t>(expected.size()));
}

TEST(SparseMerge, SharedRhoEncodedIndexKeepsTheLargerRho) {
  // Sparse index 0x40 at (10, 15) is rho-encoded (low five bits zero).
  const std::uint64_t index_bits = std::uint64_t{0x40} << 49;
  const std::uint64_t small_rho = index_bits | (std::uint64_t{1} << 45);  // rho 4
  const std::uint64_t large_rho = index_bits | (std::uint64_t{1} << 20);  // rho 29
  const std::uint64_t plain = std::uint64_t{0x41} << 49;                  // plain 0x41
  for (bool large_in_self : {false, true}) {
    for (bool stored : {false, true}) {
      SparseRepresentation self = sparse_from(10, 15, {large_in_self ? large_rho : small_rho, plain});
      SparseRepresentation other = sparse_from(10, 15, {large_in_self ? small_rho : large_rho, plain});
      if (stored) {
        unwrap(self.flush_buffer());
        unwrap(other.flush_buffer());
      }
      Representation merged = unwrap(SparseRepresentation::merge_sparse(std::move(self), other));
      const std::vector<std::uint32_t> expected = {0x41u, (1u << 16) | (2u << 6) | 29u};
      EXPECT_EQ(merged.state().sparse_data, difference_bytes(expected));
      EXPECT_EQ(merged.state().sparse_size, 2);
    }
  }
}

TEST(SparseMerge, UnionOverBudgetTurnsNormal) {
  const auto a = test::random_hashes(500, 13);
  const auto b = test::random_hashes(500, 14);
  SparseRepresentation self = sparse_from(10, 15, a);
  const SparseRepresentation other = sparse_from(10, 15, b);
  ASSERT_TRUE(self.state().sparse_data.has_value());
  ASSERT_LE(self.state().sparse_data->size(), 768u);
  Representation merged = unwrap(SparseRepresentation::merge_sparse(std::move(self), other));
  ASSERT_NE(merged.normal(), nullptr);
  EXPECT_EQ(merged.state().data, ref_registers(concat(a, b), 10));
}

TEST(SparseMerge, NotAscendingStoredDataOfEitherSideFailsTheUnion) {
  const Bytes bad = difference_bytes({100, 50});
  const std::string message = "50 put after Some(100) but values are required to be in increasing order";
  EXPECT_TRUE(fails_with(SparseRepresentation::merge_sparse(sparse_of(10, 15, bad), sparse_from(10, 15, {1ull << 62})),
                         ErrorKind::InvalidArgument, message));
  EXPECT_TRUE(fails_with(SparseRepresentation::merge_sparse(sparse_from(10, 15, {1ull << 62}), sparse_of(10, 15, bad)),
                         ErrorKind::InvalidArgument, message));
}

}  // namespace
}  // namespace vantorelle
