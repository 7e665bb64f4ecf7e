#include "hll/normal_representation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::fails_with;
using test::ref_registers;
using test::unwrap;

SketchState normal_state(std::int32_t p, std::optional<Bytes> data = std::nullopt) {
  SketchState state = test::sketch_state(p, 0);
  state.data = std::move(data);
  return state;
}

NormalRepresentation normal_of(std::int32_t p, std::optional<Bytes> data = std::nullopt) {
  return unwrap(NormalRepresentation::create(normal_state(p, std::move(data))));
}

NormalRepresentation from_hashes(std::int32_t p, const std::vector<std::uint64_t>& hashes) {
  NormalRepresentation normal = normal_of(p);
  for (std::uint64_t h : hashes) unwrap(normal.add_hash(h));
  return normal;
}

SparseEncoding sparse_encoding(std::int32_t p, std::int32_t sp) {
  return unwrap(SparseEncoding::create(p, sp));
}

// ---------------------------------------------------------------- construction

struct CreateCase {
  const char* name;
  std::int32_t precision;
  std::optional<Bytes> data;
  ErrorKind kind;
  std::string message;
};

class CreateRefuses : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateRefuses, WithTheFirstFailingCheck) {
  EXPECT_TRUE(fails_with(NormalRepresentation::create(normal_state(GetParam().precision, GetParam().data)),
                         GetParam().kind, GetParam().message));
}

Bytes with_register(std::int32_t p, std::size_t index, std::uint8_t value, std::uint8_t fill = 0) {
  Bytes data(std::size_t{1} << p, fill);
  data[index] = value;
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, CreateRefuses,
    ::testing::Values(
        CreateCase{"precision9", 9, std::nullopt, ErrorKind::InvalidArgument,
                   "Expected normal precision to be >= 10 and <= 24 but was 9"},
        CreateCase{"precision25", 25, std::nullopt, ErrorKind::InvalidArgument,
                   "Expected normal precision to be >= 10 and <= 24 but was 25"},
        // Precision is checked before the data length is looked at.
        CreateCase{"precision9_wrong_length", 9, Bytes(3, 0), ErrorKind::InvalidArgument,
                   "Expected normal precision to be >= 10 and <= 24 but was 9"},
        CreateCase{"short", 14, Bytes(16383, 0), ErrorKind::InvalidState,
                   "Expected normal data to consist of exactly 16384 bytes but got 16383"},
        CreateCase{"long", 10, Bytes(1025, 0), ErrorKind::InvalidState,
                   "Expected normal data to consist of exactly 1024 bytes but got 1025"},
        CreateCase{"empty", 10, Bytes(), ErrorKind::InvalidState,
                   "Expected normal data to consist of exactly 1024 bytes but got 0"},
        // The length is checked before the register values.
        CreateCase{"wrong_length_and_values", 10, Bytes(1000, 200), ErrorKind::InvalidState,
                   "Expected normal data to consist of exactly 1024 bytes but got 1000"},
        CreateCase{"register_above_max_p10", 10, with_register(10, 1023, 56), ErrorKind::InvalidState,
                   "Register 1023 holds 56, above the maximum 55 for precision 10"},
        CreateCase{"register_above_max_p14", 14, with_register(14, 100, 52), ErrorKind::InvalidState,
                   "Register 100 holds 52, above the maximum 51 for precision 14"},
        CreateCase{"register_255", 12, with_register(12, 0, 255), ErrorKind::InvalidState,
                   "Register 0 holds 255, above the maximum 53 for precision 12"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NormalCreate, ReportsTheLowestOffendingRegister) {
  Bytes data(std::size_t{1} << 11, 3);
  data[1500] = 70;
  data[700] = 55;  // the maximum at p = 11 is 54
  data[900] = 200;
  EXPECT_TRUE(fails_with(NormalRepresentation::create(normal_state(11, data)), ErrorKind::InvalidState,
                         "Register 700 holds 55, above the maximum 54 for precision 11"));
}

TEST(NormalCreate, AcceptsEveryRegisterAtTheMaximum) {
  for (std::int32_t p : {10, 14, 18}) {
    Bytes data(std::size_t{1} << p, static_cast<std::uint8_t>(65 - p));
    Result<NormalRepresentation> normal = NormalRepresentation::create(normal_state(p, data));
    ASSERT_TRUE(normal.has_value()) << p << ": " << normal.error().display();
    EXPECT_EQ(normal->state().data, data);
  }
}

TEST(NormalCreate, DropsSparseDataAndKeepsAbsentRegistersAbsent) {
  SketchState state = normal_state(12);
  state.sparse_precision = 17;
  state.sparse_data = Bytes{1, 2, 3};
  state.sparse_size = 3;
  state.num_values = 77;
  NormalRepresentation normal = unwrap(NormalRepresentation::create(state));
  EXPECT_FALSE(normal.state().sparse_data.has_value());
  EXPECT_EQ(normal.state().sparse_size, 0);
  EXPECT_FALSE(normal.state().data.has_value());
  EXPECT_EQ(normal.state().sparse_precision, 17);
  EXPECT_EQ(normal.state().num_values, 77u);
  EXPECT_EQ(normal.encoding().precision(), 12);
  EXPECT_EQ(normal.estimate(), 0);
}

TEST(NormalCreate, AcceptsTheExtremePrecisionsWithoutData) {
  EXPECT_TRUE(NormalRepresentation::create(normal_state(10)).has_value());
  EXPECT_TRUE(NormalRepresentation::create(normal_state(24)).has_value());
}

// ---------------------------------------------------------------- adding hashes

TEST(NormalAdd, HashZeroFillsRegisterZeroWithTheLargestRho) {
  NormalRepresentation normal = normal_of(14);
  unwrap(normal.add_hash(0));
  ASSERT_TRUE(normal.state().data.has_value());
  ASSERT_EQ(normal.state().data->size(), 16384u);
  EXPECT_EQ((*normal.state().data)[0], 51);
  const Bytes once = *normal.state().data;
  unwrap(normal.add_hash(0));
  EXPECT_EQ(*normal.state().data, once);
}

TEST(NormalAdd, LastRegisterKeepsItsMaximum) {
  // Top 14 bits all ones, the next bit 1: register 16383 with rho 1.
  const std::uint64_t top = ~std::uint64_t{0} << 50;
  const std::uint64_t hash = top | (std::uint64_t{1} << 49);
  NormalRepresentation normal = normal_of(14);
  unwrap(normal.add_hash(hash));
  EXPECT_EQ((*normal.state().data)[16383], 1);
  // A hash for the same register with rho 5 raises it; re-adding rho 1 does not lower it.
  unwrap(normal.add_hash(top | (std::uint64_t{1} << 45)));
  EXPECT_EQ((*normal.state().data)[16383], 5);
  unwrap(normal.add_hash(hash));
  EXPECT_EQ((*normal.state().data)[16383], 5);
}

class RandomAdds : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(RandomAdds, MatchRegistersComputedBitByBit) {
  const std::int32_t p = GetParam();
  const std::vector<std::uint64_t> hashes = test::random_hashes(20000, 1000 + p);
  EXPECT_EQ(*from_hashes(p, hashes).state().data, ref_registers(hashes, p));
}

INSTANTIATE_TEST_SUITE_P(Precisions, RandomAdds, ::testing::Values(10, 13, 16, 20));

// ---------------------------------------------------------------- downgrade

TEST(NormalDowngrade, FoldsTheWorkedExample) {
  Bytes data(std::size_t{1} << 14, 0);
  data[4] = 3;
  data[5] = 3;
  NormalRepresentation normal = normal_of(14, data);
  unwrap(normal.downgrade(12, 0));
  Bytes expected(4096, 0);
  expected[1] = 5;
  EXPECT_EQ(normal.state().data, expected);
  EXPECT_EQ(normal.state().precision, 12);
  EXPECT_EQ(normal.encoding().precision(), 12);
}

TEST(NormalDowngrade, AbsentRegistersBecomeAPresentZeroArray) {
  NormalRepresentation normal = normal_of(14);
  unwrap(normal.downgrade(11, 0));
  EXPECT_EQ(normal.state().data, Bytes(2048, 0));
  EXPECT_EQ(normal.state().precision, 11);
}

TEST(NormalDowngrade, AtOrAbovePrecisionOnlyLowersTheSparsePrecision) {
  SketchState state = normal_state(12, Bytes(4096, 2));
  state.sparse_precision = 20;
  NormalRepresentation normal = unwrap(NormalRepresentation::create(state));
  unwrap(normal.downgrade(12, 25));
  EXPECT_EQ(normal.state().sparse_precision, 20);
  unwrap(normal.downgrade(14, 17));
  EXPECT_EQ(normal.state().sparse_precision, 17);
  EXPECT_EQ(normal.state().precision, 12);
  EXPECT_EQ(normal.encoding().precision(), 12);
  EXPECT_EQ(normal.state().data, Bytes(4096, 2));
  // A lower precision lowers both.
  unwrap(normal.downgrade(11, 30));
  EXPECT_EQ(normal.state().precision, 11);
  EXPECT_EQ(normal.state().sparse_precision, 17);
}

struct FoldCase {
  std::int32_t from;
  std::int32_t to;
};

class RandomFold : public ::testing::TestWithParam<FoldCase> {};

TEST_P(RandomFold, EqualsAddingTheHashesAtTheLowerPrecision) {
  const auto [from, to] = GetParam();
  const std::vector<std::uint64_t> hashes = test::random_hashes(30000, 77 * from + to);
  NormalRepresentation normal = from_hashes(from, hashes);
  unwrap(normal.downgrade(to, 0));
  EXPECT_EQ(normal.state().data, ref_registers(hashes, to));
  EXPECT_EQ(normal.encoding().precision(), to);
  // Adding after the fold continues at the lower precision.
  const std::vector<std::uint64_t> more = test::random_hashes(500, 5);
  for (std::uint64_t h : more) unwrap(normal.add_hash(h));
  EXPECT_EQ(normal.state().data, ref_registers(test::concat(hashes, more), to));
}

INSTANTIATE_TEST_SUITE_P(Pairs, RandomFold,
                         ::testing::Values(FoldCase{11, 10}, FoldCase{14, 12}, FoldCase{16, 10},
                                           FoldCase{18, 15}, FoldCase{24, 20}));

// Few hashes, so that many registers keep rho values that only the
// all-zero-dropped-bits rule can raise above the group's lowest register.
TEST(NormalDowngrade, SparseRegistersFoldLikeDirectAdds) {
  const std::vector<std::uint64_t> hashes = test::random_hashes(40, 99);
  NormalRepresentation normal = from_hashes(16, hashes);
  unwrap(normal.downgrade(10, 0));
  EXPECT_EQ(normal.state().data, ref_registers(hashes, 10));
}

// ---------------------------------------------------------------- normal merges

TEST(NormalMerge, SamePrecisionTakesTheRegisterMaximum) {
  const auto a = test::random_hashes(3000, 1);
  const auto b = test::random_hashes(3000, 2);
  NormalRepresentation self = from_hashes(12, a);
  unwrap(self.merge(from_hashes(12, b)));
  EXPECT_EQ(self.state().data, ref_registers(test::concat(a, b), 12));
}

TEST(NormalMerge, HigherOtherIsFoldedDown) {
  const auto a = test::random_hashes(3000, 3);
  const auto b = test::random_hashes(3000, 4);
  NormalRepresentation self = from_hashes(12, a);
  unwrap(self.merge(from_hashes(15, b)));
  EXPECT_EQ(self.state().precision, 12);
  EXPECT_EQ(self.state().data, ref_registers(test::concat(a, b), 12));
}

TEST(NormalMerge, LowerOtherFoldsThisOneFirst) {
  const auto a = test::random_hashes(3000, 5);
  const auto b = test::random_hashes(3000, 6);
  SketchState state = normal_state(15);
  state.sparse_precision = 20;
  NormalRepresentation self = unwrap(NormalRepresentation::create(state));
  for (std::uint64_t h : a) unwrap(self.add_hash(h));
  SketchState other_state = normal_state(11);
  other_state.sparse_precision = 16;
  NormalRepresentation other = unwrap(NormalRepresentation::create(other_state));
  for (std::uint64_t h : b) unwrap(other.add_hash(h));
  unwrap(self.merge(std::move(other)));
  EXPECT_EQ(self.state().precision, 11);
  EXPECT_EQ(self.state().sparse_precision, 16);
  EXPECT_EQ(self.encoding().precision(), 11);
  EXPECT_EQ(self.state().data, ref_registers(test::concat(a, b), 11));
}

TEST(NormalMerge, OtherWithoutRegistersOnlyDowngrades) {
  // Equal or higher other precision: nothing changes, absent registers stay absent.
  NormalRepresentation empty_self = normal_of(12);
  unwrap(empty_self.merge(normal_of(12)));
  EXPECT_FALSE(empty_self.state().data.has_value());
  unwrap(empty_self.merge(normal_of(14)));
  EXPECT_FALSE(empty_self.state().data.has_value());
  EXPECT_EQ(empty_self.state().precision, 12);

  const auto a = test::random_hashes(500, 8);
  NormalRepresentation self = from_hashes(13, a);
  unwrap(self.merge(normal_of(14)));
  EXPECT_EQ(self.state().data, ref_registers(a, 13));
  // A lower other precision folds this one even though the other is empty.
  unwrap(self.merge(normal_of(10)));
  EXPECT_EQ(self.state().data, ref_registers(a, 10));
}

TEST(NormalMerge, AbsentRegistersTakeInAHigherOther) {
  const auto b = test::random_hashes(4000, 9);
  NormalRepresentation self = normal_of(11);
  unwrap(self.merge(from_hashes(14, b)));
  EXPECT_EQ(self.state().precision, 11);
  EXPECT_EQ(self.state().data, ref_registers(b, 11));
}

TEST(NormalDowngrade, TargetOutsideTheEncodingRangeIsRefused) {
  NormalRepresentation normal = normal_of(12, Bytes(4096, 1));
  EXPECT_TRUE(fails_with(normal.downgrade(0, 0), ErrorKind::InvalidArgument,
                         "Normal precision must be between 1 and 63, got 0"));
}

TEST(NormalMerge, EmptyLowerPrecisionSourceOnlyCreatesTheArray) {
  NormalRepresentation normal = normal_of(10);
  unwrap(normal.merge_normal_data_maybe_downgrading(10, Bytes(), 12));
  EXPECT_EQ(normal.state().data, Bytes(1024, 0));
  NormalRepresentation untouched = normal_of(10);
  unwrap(untouched.merge_normal_data_maybe_downgrading(10, std::nullopt, 12));
  EXPECT_FALSE(untouched.state().data.has_value());
}

TEST(NormalMerge, MismatchedSamePrecisionLengthsAreRefused) {
  NormalRepresentation normal = normal_of(10, Bytes(1024, 1));
  EXPECT_TRUE(fails_with(normal.merge_normal_data_maybe_downgrading(10, Bytes(512, 1), 10),
                         ErrorKind::InvalidState,
                         "Mismatched data lengths in merge_normal_data_maybe_downgrading for same precision"));
}

TEST(NormalMerge, FoldedIndexBeyondTheArrayIsRefused) {
  // 4096 source registers of precision 11 fold to 2048 targets: beyond 1024.
  NormalRepresentation normal = normal_of(10, Bytes(1024, 0));
  EXPECT_TRUE(fails_with(normal.merge_normal_data_maybe_downgrading(10, Bytes(4096, 0), 11),
                         ErrorKind::InvalidState,
                         "Downgraded index 1024 out of bounds for target array length 1024"));
}

// ---------------------------------------------------------------- sparse values into registers

TEST(NormalSparseValues, PlainValueFoldsIntoALowerPrecision) {
  // Plain value 1 at (14, 25): normal coordinates (0, 11) at 14, then folded
  // by two bits with dropped bits 00: register 0 gets 13 at precision 12.
  NormalRepresentation normal = normal_of(12);
  const std::uint32_t value = 1;
  unwrap(normal.merge_sparse_values(sparse_encoding(14, 25), std::span(&value, 1)));
  // merge_sparse_values first lowers this representation to the source's
  // precision when it is higher; 12 stays 12.
  EXPECT_EQ(normal.state().precision, 12);
  Bytes expected(4096, 0);
  expected[0] = 13;
  EXPECT_EQ(normal.state().data, expected);
}

TEST(NormalSparseValues, EmptySequenceStillCreatesRegisters) {
  NormalRepresentation normal = normal_of(11);
  unwrap(normal.merge_sparse_values(sparse_encoding(11, 16), {}));
  EXPECT_EQ(normal.state().data, Bytes(2048, 0));
}

TEST(NormalSparseValues, AbsentStoredDataOnlyDowngrades) {
  NormalRepresentation normal = normal_of(13);
  unwrap(normal.merge_sparse_data(sparse_encoding(13, 18), std::nullopt));
  EXPECT_FALSE(normal.state().data.has_value());
  unwrap(normal.merge_sparse_data(sparse_encoding(12, 18), std::nullopt));
  EXPECT_EQ(normal.state().data, Bytes(4096, 0));
  EXPECT_EQ(normal.state().precision, 12);
  EXPECT_EQ(normal.state().sparse_precision, 0);
}

struct SourceCase {
  std::int32_t self_p;
  std::int32_t source_p;
  std::int32_t source_sp;
};

class SparseValuesFromHashes : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SparseValuesFromHashes, GiveTheRegistersOfTheHashes) {
  const auto [self_p, source_p, source_sp] = GetParam();
  const auto hashes = test::random_hashes(5000, source_p * 100 + source_sp);
  const std::vector<std::uint32_t> values = test::ref_sorted_values(hashes, source_p, source_sp);
  const std::int32_t target = std::min(self_p, source_p);

  NormalRepresentation from_values = normal_of(self_p);
  unwrap(from_values.merge_sparse_values(sparse_encoding(source_p, source_sp), values));
  EXPECT_EQ(from_values.state().precision, target);
  EXPECT_EQ(from_values.state().data, ref_registers(hashes, target));

  NormalRepresentation from_data = normal_of(self_p);
  unwrap(from_data.merge_sparse_data(sparse_encoding(source_p, source_sp), test::difference_bytes(values)));
  EXPECT_EQ(from_data.state().data, ref_registers(hashes, target));
}

INSTANTIATE_TEST_SUITE_P(Encodings, SparseValuesFromHashes,
                         ::testing::Values(SourceCase{14, 14, 25}, SourceCase{10, 14, 19},
                                           SourceCase{15, 12, 12}, SourceCase{12, 12, 18},
                                           SourceCase{10, 10, 10}, SourceCase{20, 24, 25}));

struct BadValueCase {
  const char* name;
  std::int32_t target_p;
  std::int32_t source_p;
  std::int32_t source_sp;
  std::uint32_t value;
  std::string message;
};

class StoredValueRefused : public ::testing::TestWithParam<BadValueCase> {};

TEST_P(StoredValueRefused, WithTheDecodedIndexOrRhoCheck) {
  const BadValueCase& c = GetParam();
  NormalRepresentation normal = normal_of(c.target_p);
  EXPECT_TRUE(fails_with(normal.merge_sparse_values(sparse_encoding(c.source_p, c.source_sp),
                                                    std::span(&c.value, 1)),
                         ErrorKind::InvalidState, c.message));
  NormalRepresentation from_data = normal_of(c.target_p);
  EXPECT_TRUE(fails_with(from_data.merge_sparse_data(sparse_encoding(c.source_p, c.source_sp),
                                                     test::difference_bytes({c.value})),
                         ErrorKind::InvalidState, c.message));
}

// (10, 15): flag 2^16. (12, 15): flag 2^18.
constexpr std::uint32_t F16 = 1u << 16;
constexpr std::uint32_t F18 = 1u << 18;

INSTANTIATE_TEST_SUITE_P(
    Corrupt, StoredValueRefused,
    ::testing::Values(
        // A plain value of 2^15 or more lies beyond the 2^15 sparse indexes.
        BadValueCase{"plain_beyond", 10, 10, 15, 32769,
                     "Decoded index 1024 out of bounds for data length 1024 (sparse_value=32769, "
                     "source_precision=15, target_precision=10)"},
        // Index bits above the flag (2051 = 2^11 + 3) decode beyond 2^10.
        BadValueCase{"rho_encoded_index_beyond", 10, 10, 15, F16 | (2051u << 6) | 1,
                     "Decoded index 2051 out of bounds for data length 1024 (sparse_value=" +
                         std::to_string(F16 | (2051u << 6) | 1) +
                         ", source_precision=15, target_precision=10)"},
        // Index and rho both bad: the index check comes first.
        BadValueCase{"index_before_rho", 10, 10, 15, F16 | (3000u << 6) | 63,
                     "Decoded index 3000 out of bounds for data length 1024 (sparse_value=" +
                         std::to_string(F16 | (3000u << 6) | 63) +
                         ", source_precision=15, target_precision=10)"},
        // rho 51 + (15 - 10) = 56 > 55.
        BadValueCase{"rho_above_max", 10, 10, 15, F16 | (3u << 6) | 51,
                     "Decoded rho_w 56 for index 3 above the maximum 55 (sparse_value=" +
                         std::to_string(F16 | (3u << 6) | 51) +
                         ", source_precision=15, target_precision=10)"},
        BadValueCase{"rho_63", 10, 10, 15, F16 | (3u << 6) | 63,
                     "Decoded rho_w 68 for index 3 above the maximum 55 (sparse_value=" +
                         std::to_string(F16 | (3u << 6) | 63) +
                         ", source_precision=15, target_precision=10)"},
        // At (12, 15) rho 51 gives 54 at p = 12; folded to 10 with dropped
        // bits 00 it becomes 56 for index 4 >> 2 = 1.
        BadValueCase{"rho_above_max_after_fold", 10, 12, 15, F18 | (4u << 6) | 51,
                     "Decoded rho_w 56 for index 1 above the maximum 55 (sparse_value=" +
                         std::to_string(F18 | (4u << 6) | 51) +
                         ", source_precision=15, target_precision=10)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NormalSparseValues, RhoAtTheMaximumIsAccepted) {
  // rho 50 + 5 = 55, the maximum at p = 10; via (12, 15) folded: 50 + 3 + 2.
  NormalRepresentation normal = normal_of(10);
  const std::vector<std::uint32_t> values = {F16 | (3u << 6) | 50};
  unwrap(normal.merge_sparse_values(sparse_encoding(10, 15), values));
  EXPECT_EQ((*normal.state().data)[3], 55);
  const std::vector<std::uint32_t> folded = {F18 | (8u << 6) | 50};
  unwrap(normal.merge_sparse_values(sparse_encoding(12, 15), folded));
  EXPECT_EQ((*normal.state().data)[2], 55);
  EXPECT_EQ(normal.estimate(), 2);
}

TEST(NormalSparseValues, MalformedStoredDataIsAnInternalFailure) {
  const Bytes cut_off = {0x05, 0x80};
  const Bytes too_long = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x01};
  for (const Bytes& bytes : {cut_off, too_long}) {
    NormalRepresentation normal = normal_of(10);
    EXPECT_THROW((void)normal.merge_sparse_data(sparse_encoding(10, 15), bytes), InternalFailure);
  }
  NormalRepresentation normal = normal_of(10);
  try {
    (void)normal.merge_sparse_data(sparse_encoding(10, 15), too_long);
    ADD_FAILURE() << "no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "varint too long");
  }
}

}  // namespace
}  // namespace vantorelle
