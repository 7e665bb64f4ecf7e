#include "hll/encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <utility>
#include <string>
#include <vector>

#include "error/internal_failure.h"

namespace vantorelle {
namespace {

SparseEncoding sparse(std::int32_t p, std::int32_t sp) {
  Result<SparseEncoding> encoding = SparseEncoding::create(p, sp);
  if (!encoding) throw std::runtime_error(encoding.error().display());
  return *encoding;
}

NormalEncoding normal(std::int32_t p) {
  Result<NormalEncoding> encoding = NormalEncoding::create(p);
  if (!encoding) throw std::runtime_error(encoding.error().display());
  return *encoding;
}

// Coordinates as (index, rho) pairs, which gtest compares and prints.
using Pair = std::pair<std::uint32_t, std::uint32_t>;
Pair pair_of(NormalCoordinates c) { return {c.index, c.rho_w}; }
Pair pair_of(SparseCoordinates c) { return {c.sparse_index, c.sparse_rho_w}; }

// 1 + the zero bits that follow the top `skip` bits of `hash`, counted one
// bit at a time (65 - skip when they are all zero).
std::uint32_t rho_after(std::uint64_t hash, std::int32_t skip) {
  std::uint32_t rho = 1;
  for (std::int32_t bit = 63 - skip; bit >= 0 && ((hash >> bit) & 1) == 0; --bit) ++rho;
  return rho;
}

struct FlagCase {
  std::int32_t p;
  std::int32_t sp;
  std::uint32_t flag;
};

class RhoEncodedFlag : public ::testing::TestWithParam<FlagCase> {};

TEST_P(RhoEncodedFlag, SitsAboveEveryPlainValueAndEveryRhoPayload) {
  EXPECT_EQ(sparse(GetParam().p, GetParam().sp).rho_encoded_flag(), GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P(Examples, RhoEncodedFlag,
                         ::testing::Values(FlagCase{10, 15, 1u << 16}, FlagCase{14, 25, 1u << 25},
                                           FlagCase{10, 10, 1u << 16}, FlagCase{24, 25, 1u << 30},
                                           FlagCase{24, 30, 1u << 30}));

struct HashCase {
  const char* name;
  std::uint64_t hash;
  std::uint32_t sparse_value;
  SparseCoordinates sparse_coordinates;
  NormalCoordinates normal_coordinates;
};

class WorkedHashesAt14And25 : public ::testing::TestWithParam<HashCase> {};

TEST_P(WorkedHashesAt14And25, EncodeAndDecode) {
  const SparseEncoding encoding = sparse(14, 25);
  const HashCase& c = GetParam();
  const std::uint32_t value = encoding.encode(c.hash);
  EXPECT_EQ(value, c.sparse_value);
  EXPECT_EQ(pair_of(encoding.decode_sparse(value)), pair_of(c.sparse_coordinates));
  EXPECT_EQ(pair_of(encoding.decode_normal(value)), pair_of(c.normal_coordinates));
  EXPECT_EQ(pair_of(normal(14).coordinates(c.hash)), pair_of(c.normal_coordinates));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, WorkedHashesAt14And25,
    ::testing::Values(
        // Everything zero: the largest rho_w at both precisions.
        HashCase{"Zero", 0, 0x2000028, {0, 40}, {0, 51}},
        HashCase{"TopBit", 1ULL << 63, 0x2080028, {1u << 24, 40}, {8192, 51}},
        // The sparse index is 1: plain, and its 11 low bits fix rho_w = 11.
        HashCase{"Bit39", 1ULL << 39, 1, {1, 0}, {0, 11}}),
    [](const ::testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

TEST(SparseEncoding, DowngradingPlainOneFrom14And25To12And20GivesARhoEncodedValue) {
  const Result<std::uint32_t> downgraded = sparse(14, 25).downgrade(1, sparse(12, 20));
  ASSERT_TRUE(downgraded.has_value());
  EXPECT_EQ(*downgraded, 0x100005u);
  EXPECT_EQ(sparse(12, 20).encode(1ULL << 39), 0x100005u);
}

TEST(NormalEncoding, DowngradeFrom14To12) {
  const NormalEncoding encoding = normal(14);
  EXPECT_EQ(pair_of(encoding.downgrade({5, 3}, 12)), Pair(1, 2));
  EXPECT_EQ(pair_of(encoding.downgrade({4, 3}, 12)), Pair(1, 5));
  EXPECT_EQ(pair_of(encoding.downgrade({4, 0}, 12)), Pair(1, 0));
  EXPECT_EQ(pair_of(encoding.downgrade({7, 9}, 14)), Pair(7, 9));
  EXPECT_EQ(downgrade_rho_w(5, 3, 14, 12), 2u);
  EXPECT_EQ(downgrade_rho_w(4, 3, 14, 12), 5u);
  EXPECT_EQ(downgrade_rho_w(4, 0, 14, 12), 0u);
}

TEST(NormalEncoding, LargestRhoIs65MinusPrecision) {
  for (std::int32_t p : {1, 10, 14, 24, 63}) {
    const std::uint64_t index_bits_only = ~0ULL << (64 - p);
    EXPECT_EQ(normal(p).coordinates(index_bits_only).rho_w, static_cast<std::uint32_t>(65 - p));
  }
  for (std::int32_t sp : {10, 25, 30}) {
    EXPECT_EQ(sparse(10, sp).decode_sparse(sparse(10, sp).encode(0)).sparse_rho_w,
              static_cast<std::uint32_t>(65 - sp));
  }
}

TEST(NormalEncoding, InternalInvariants) {
  try {
    (void)normal(12).downgrade({1, 1}, 13);
    ADD_FAILURE() << "upgrading coordinates did not fail";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "target_precision <= self.precision");
  }
  try {
    (void)downgrade_rho_w(1, 1, 12, 12);
    ADD_FAILURE() << "a non-empty register at an equal precision did not fail";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "target_p < source_p");
  }
  EXPECT_EQ(downgrade_rho_w(1, 0, 12, 12), 0u);  // empty stays empty without the check
}

TEST(SparseEncoding, EncodingAPairChecksItsInvariants) {
  const SparseEncoding encoding = sparse(14, 25);
  EXPECT_EQ(encoding.encode(SparseCoordinates{1, 0}), 1u);
  EXPECT_EQ(encoding.encode(SparseCoordinates{1u << 24, 40}), 0x2080028u);
  try {
    (void)encoding.encode(SparseCoordinates{1u << 25, 1});
    ADD_FAILURE() << "an index of 26 bits was encoded";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "sparse_index < (1u32 << self.sparse_precision)");
  }
  try {
    (void)encoding.encode(SparseCoordinates{0, 64});
    ADD_FAILURE() << "a rho of 64 was encoded";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "sparse_rho_w < (1u8 << RHOW_BITS)");
  }
}

struct RefusedPair {
  std::int32_t p;
  std::int32_t sp;
  const char* message;
};

class SparseConstruction : public ::testing::TestWithParam<RefusedPair> {};

TEST_P(SparseConstruction, RefusesWithTheFirstFailingCheck) {
  const Result<SparseEncoding> encoding = SparseEncoding::create(GetParam().p, GetParam().sp);
  ASSERT_FALSE(encoding.has_value());
  EXPECT_EQ(encoding.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(encoding.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, SparseConstruction,
    ::testing::Values(
        RefusedPair{0, 10, "Sparse mode: normal precision must be 1-24, got 0"},
        RefusedPair{25, 25, "Sparse mode: normal precision must be 1-24, got 25"},
        RefusedPair{10, 31, "Sparse mode: sparse precision must be 1-30, got 31"},
        RefusedPair{10, 0, "Sparse mode: sparse precision must be 1-30, got 0"},
        RefusedPair{12, 11, "Sparse precision (11) must be >= normal precision (12)"},
        // Several checks fail: the earlier one is reported.
        RefusedPair{0, 31, "Sparse mode: normal precision must be 1-24, got 0"},
        RefusedPair{25, 0, "Sparse mode: normal precision must be 1-24, got 25"},
        RefusedPair{12, 0, "Sparse mode: sparse precision must be 1-30, got 0"},
        RefusedPair{-1, -1, "Sparse mode: normal precision must be 1-24, got -1"}));

TEST(SparseConstruction, AcceptsTheWidestPairs) {
  for (auto [p, sp] : {std::pair{24, 30}, std::pair{1, 1}, std::pair{1, 30}, std::pair{24, 24}}) {
    const Result<SparseEncoding> encoding = SparseEncoding::create(p, sp);
    ASSERT_TRUE(encoding.has_value()) << p << "," << sp;
    EXPECT_EQ(encoding->normal_precision(), p);
    EXPECT_EQ(encoding->sparse_precision(), sp);
    EXPECT_EQ(encoding->normal().precision(), p);
  }
}

TEST(NormalConstruction, AcceptsOneTo63) {
  EXPECT_TRUE(NormalEncoding::create(1).has_value());
  EXPECT_TRUE(NormalEncoding::create(63).has_value());
  for (std::int32_t p : {0, 64, -5}) {
    const Result<NormalEncoding> encoding = NormalEncoding::create(p);
    ASSERT_FALSE(encoding.has_value());
    EXPECT_EQ(encoding.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(encoding.error().message(),
              "Normal precision must be between 1 and 63, got " + std::to_string(p));
  }
}

struct PrecisionPairs {
  std::int32_t p1, sp1, p2, sp2;
  bool compatible;
};

class Compatibility : public ::testing::TestWithParam<PrecisionPairs> {};

TEST_P(Compatibility, CrossingPairsAreRefusedReceiverFirst) {
  const PrecisionPairs& c = GetParam();
  const Status status = check_compatible(c.p1, c.sp1, c.p2, c.sp2);
  ASSERT_EQ(status.has_value(), c.compatible);
  if (!c.compatible) {
    EXPECT_EQ(status.error().kind(), ErrorKind::IncompatiblePrecision);
    EXPECT_EQ(status.error().message(),
              "Precisions (normal=" + std::to_string(c.p1) + ", sparse=" + std::to_string(c.sp1) +
                  ") and (normal=" + std::to_string(c.p2) + ", sparse=" +
                  std::to_string(c.sp2) + ") are not compatible");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, Compatibility,
    ::testing::Values(PrecisionPairs{12, 20, 14, 18, false}, PrecisionPairs{14, 18, 12, 20, false},
                      PrecisionPairs{12, 20, 14, 25, true}, PrecisionPairs{14, 25, 12, 20, true},
                      PrecisionPairs{12, 20, 12, 25, true}, PrecisionPairs{12, 25, 14, 25, true},
                      PrecisionPairs{15, 20, 15, 20, true}, PrecisionPairs{10, 25, 24, 24, false}));

TEST(Compatibility, MessageNamesTheReceivingPairFirst) {
  const Status status = check_compatible(14, 18, 12, 20);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(),
            "Incompatible precision: Precisions (normal=14, sparse=18) and (normal=12, "
            "sparse=20) are not compatible");
}

struct StoredValueCase {
  const char* name;
  std::int32_t p, sp, tp, tsp;
  std::uint32_t value;
};

class DowngradeOfStoredValues : public ::testing::TestWithParam<StoredValueCase> {};

TEST_P(DowngradeOfStoredValues, RefusesValuesOutsideTheEncoding) {
  const StoredValueCase& c = GetParam();
  const SparseEncoding source = sparse(c.p, c.sp);
  const Result<std::uint32_t> downgraded = source.downgrade(c.value, sparse(c.tp, c.tsp));
  ASSERT_FALSE(downgraded.has_value()) << "gave " << *downgraded;
  EXPECT_EQ(downgraded.error().kind(), ErrorKind::InvalidState);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, DowngradeOfStoredValues,
    ::testing::Values(
        // (14, 16): flag 2^20, so plain values from 2^16 up lie outside.
        StoredValueCase{"PlainIndexTooWide", 14, 16, 12, 14, 1u << 16},
        StoredValueCase{"PlainIndexTooWideSameTarget", 14, 16, 14, 16, (1u << 20) - 1},
        // (10, 25): flag 2^25, normal index in bits 6..15; bit 16 makes it 2^10.
        StoredValueCase{"RhoEncodedIndexTooWide", 10, 25, 10, 20, (1u << 25) | (1u << 16)},
        // A bit above the flag.
        StoredValueCase{"BitAboveFlag", 14, 25, 14, 25, (1u << 26) | (1u << 25) | 5},
        // Stored rho 59 + 5 dropped zero bits reaches 64.
        StoredValueCase{"RhoReaches64", 10, 25, 10, 20, (1u << 25) | (3u << 6) | 59},
        // Dropped bits are zero for a rho-encoded value: rho grows by d.
        StoredValueCase{"RhoPast64", 14, 25, 12, 15, (1u << 25) | 63}),
    [](const ::testing::TestParamInfo<StoredValueCase>& info) {
      return std::string(info.param.name);
    });

TEST(DowngradeOfStoredValues, HighestRhoThatStillFitsIsAccepted) {
  const SparseEncoding target = sparse(10, 20);
  const Result<std::uint32_t> downgraded =
      sparse(10, 25).downgrade((1u << 25) | (3u << 6) | 58, target);
  ASSERT_TRUE(downgraded.has_value()) << downgraded.error().display();
  EXPECT_EQ(*downgraded, target.rho_encoded_flag() | (3u << 6) | 63);
}

// A stored plain value whose low (sp - p) bits are zero comes from no hash;
// its implied rho of 0 is folded like a stored one: (10, 15) value 32 to
// (10, 14) drops a zero bit, giving index 16 with rho 1, rho-encoded.
TEST(DowngradeOfStoredValues, PlainValueWithoutLowBitsFoldsItsZeroRho) {
  const SparseEncoding target = sparse(10, 14);
  const Result<std::uint32_t> downgraded = sparse(10, 15).downgrade(32, target);
  ASSERT_TRUE(downgraded.has_value()) << downgraded.error().display();
  EXPECT_EQ(*downgraded, target.rho_encoded_flag() | (1u << 6) | 1);
}

struct SparsePrecisionCase {
  std::int32_t p, sp;
  bool accepted;
};

class SparsePrecisionRange : public ::testing::TestWithParam<SparsePrecisionCase> {};

TEST_P(SparsePrecisionRange, AcceptsFromTheNormalPrecisionTo25) {
  const SparsePrecisionCase& c = GetParam();
  const Status status = check_sparse_precision(c.p, c.sp);
  ASSERT_EQ(status.has_value(), c.accepted);
  if (!c.accepted) {
    EXPECT_EQ(status.error().display(),
              "Invalid argument: Expected sparse precision to be >= normal precision (" +
                  std::to_string(c.p) + ") and <= 25 but was " + std::to_string(c.sp) + ".");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, SparsePrecisionRange,
    ::testing::Values(SparsePrecisionCase{15, 15, true}, SparsePrecisionCase{15, 25, true},
                      SparsePrecisionCase{15, 14, false}, SparsePrecisionCase{15, 26, false},
                      SparsePrecisionCase{24, 24, true}, SparsePrecisionCase{10, -1, false}));

// Hashes with long runs of zero bits at random places, so that large rho
// values and rho-encoded sparse values are common, plus the extremes.
std::vector<std::uint64_t> test_hashes() {
  std::mt19937_64 rng(0x5eed2011);
  std::vector<std::uint64_t> hashes = {0, 1, 1ULL << 63, ~0ULL, 1ULL << 39, 0x8000000000000001ULL};
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t hash = rng();
    const int start = static_cast<int>(rng() % 64);
    const int length = static_cast<int>(rng() % 64);
    for (int bit = start; bit < std::min(64, start + length); ++bit) hash &= ~(1ULL << bit);
    hashes.push_back(hash);
  }
  return hashes;
}

class EncodingPair : public ::testing::TestWithParam<std::pair<std::int32_t, std::int32_t>> {};

TEST_P(EncodingPair, EncodeThenDecodeAgreesWithTheBitsOfTheHash) {
  const auto [p, sp] = GetParam();
  const SparseEncoding encoding = sparse(p, sp);
  for (std::uint64_t hash : test_hashes()) {
    const std::uint32_t value = encoding.encode(hash);
    const std::uint32_t sparse_index = static_cast<std::uint32_t>(hash >> (64 - sp));
    const std::uint32_t low = sparse_index & ((1u << (sp - p)) - 1);

    ASSERT_LT(value, 1u << 31);
    ASSERT_TRUE(encoding.holds(value));
    ASSERT_EQ(encoding.is_rho_encoded(value), low == 0) << hash;
    // Every plain value sorts below every rho-encoded one.
    ASSERT_EQ(value < encoding.rho_encoded_flag(), low != 0) << hash;
    const Pair expected_sparse(sparse_index, low == 0 ? rho_after(hash, sp) : 0);
    ASSERT_EQ(pair_of(encoding.decode_sparse(value)), expected_sparse) << hash;

    const Pair expected_normal(static_cast<std::uint32_t>(hash >> (64 - p)), rho_after(hash, p));
    ASSERT_EQ(pair_of(normal(p).coordinates(hash)), expected_normal) << hash;
    ASSERT_EQ(pair_of(encoding.decode_normal(value)), expected_normal) << hash;
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, EncodingPair,
                         ::testing::Values(std::pair{10, 10}, std::pair{10, 15},
                                           std::pair{14, 25}, std::pair{15, 20},
                                           std::pair{24, 25}, std::pair{24, 30},
                                           std::pair{12, 30}, std::pair{18, 18}));

struct DowngradeCase {
  std::int32_t p, sp, tp, tsp;
};

class DowngradeOfHashes : public ::testing::TestWithParam<DowngradeCase> {};

TEST_P(DowngradeOfHashes, GivesWhatTheTargetEncodingGivesForTheHash) {
  const DowngradeCase& c = GetParam();
  const SparseEncoding source = sparse(c.p, c.sp);
  const SparseEncoding target = sparse(c.tp, c.tsp);
  const NormalEncoding normal_source = normal(c.p);
  const NormalEncoding normal_target = normal(c.tp);
  for (std::uint64_t hash : test_hashes()) {
    const Result<std::uint32_t> downgraded = source.downgrade(source.encode(hash), target);
    ASSERT_TRUE(downgraded.has_value()) << hash << ": " << downgraded.error().display();
    ASSERT_EQ(*downgraded, target.encode(hash)) << hash;

    ASSERT_EQ(pair_of(normal_source.downgrade(normal_source.coordinates(hash), c.tp)),
              pair_of(normal_target.coordinates(hash)))
        << hash;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, DowngradeOfHashes,
    ::testing::Values(DowngradeCase{14, 25, 12, 20}, DowngradeCase{14, 25, 14, 20},
                      DowngradeCase{14, 25, 10, 25}, DowngradeCase{15, 20, 15, 20},
                      DowngradeCase{24, 30, 10, 10}, DowngradeCase{18, 25, 10, 15},
                      DowngradeCase{12, 12, 10, 10}, DowngradeCase{20, 25, 11, 24},
                      DowngradeCase{10, 25, 10, 10}, DowngradeCase{24, 25, 24, 24}));

// The column form against encode() one hash at a time, at every pair of
// precisions, with hashes that take each branch: a zero rest (the largest
// rho_w), an index whose low sp - p bits are zero (rho-encoded), and any.
TEST(SparseEncoding, EncodingAColumnEqualsEncodingEachHash) {
  std::mt19937_64 random(7);
  for (std::int32_t p = 1; p <= 24; ++p) {
    for (std::int32_t sp = std::max(p, 2); sp <= 30; ++sp) {
      const SparseEncoding encoding = SparseEncoding::create(p, sp).value();
      const std::size_t count = random() % 41;
      std::vector<std::uint64_t> hashes(count);
      for (std::uint64_t& hash : hashes) {
        hash = random();
        if (random() % 4 == 0) hash &= ~(~std::uint64_t{0} >> sp);                 // rest zero
        if (random() % 3 == 0) hash &= ~(((std::uint64_t{1} << (sp - p)) - 1) << (64 - sp));  // low bits zero
      }
      std::vector<std::uint32_t> codes(count);
      encoding.encode_all(hashes.data(), count, codes.data());
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(codes[i], encoding.encode(hashes[i])) << "p " << p << " sp " << sp << " hash " << hashes[i];
      }
    }
  }
}

}  // namespace
}  // namespace vantorelle
