#include "hll/sparse_representation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "hll/representation.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::collapse;
using test::difference_bytes;
using test::fails_with;
using test::ref_registers;
using test::ref_sorted_values;
using test::ref_sparse_value;
using test::unwrap;

SketchState sparse_state(std::int32_t p, std::int32_t sp, std::optional<Bytes> sparse_data = std::nullopt,
                         std::int32_t sparse_size = 0) {
  SketchState state = test::sketch_state(p, sp);
  state.sparse_data = std::move(sparse_data);
  state.sparse_size = sparse_size;
  return state;
}

Representation sparse_of(std::int32_t p, std::int32_t sp, std::optional<Bytes> sparse_data = std::nullopt,
                         std::int32_t sparse_size = 0) {
  return Representation(
      unwrap(SparseRepresentation::create(sparse_state(p, sp, std::move(sparse_data), sparse_size))));
}

const SparseRepresentation& as_sparse(const Representation& r) {
  if (r.sparse() == nullptr) throw std::runtime_error("not sparse");
  return *r.sparse();
}

// The linear-counting estimate over 2^sp buckets with c occupied.
std::int64_t linear_counting(std::int32_t sp, std::size_t c) {
  const double m = std::ldexp(1.0, sp);
  return static_cast<std::int64_t>(std::round(m * std::log(m / (m - static_cast<double>(c)))));
}

// Ascending plain values at (10, 15) (low five bits not all zero) whose
// differences are 1 or 2: one stored byte each.
std::vector<std::uint32_t> one_byte_values(std::size_t count) {
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 1; values.size() < count; ++v) {
    if ((v & 31u) != 0) values.push_back(v);
  }
  return values;
}

// ---------------------------------------------------------------- construction

struct CreateCase {
  const char* name;
  std::int32_t p;
  std::int32_t sp;
  std::string message;
};

class SparseCreateRefuses : public ::testing::TestWithParam<CreateCase> {};

TEST_P(SparseCreateRefuses, WithInvalidArgument) {
  EXPECT_TRUE(fails_with(SparseRepresentation::create(sparse_state(GetParam().p, GetParam().sp)),
                         ErrorKind::InvalidArgument, GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Precisions, SparseCreateRefuses,
    ::testing::Values(
        CreateCase{"p9", 9, 20, "Expected normal precision to be >= 10 and <= 24 but was 9"},
        CreateCase{"p25", 25, 25, "Expected normal precision to be >= 10 and <= 24 but was 25"},
        // The normal precision is checked before the sparse one.
        CreateCase{"p9_sp5", 9, 5, "Expected normal precision to be >= 10 and <= 24 but was 9"},
        CreateCase{"sp_below_p", 15, 14,
                   "Expected sparse precision to be >= normal precision (15) and <= 25 but was 14."},
        CreateCase{"sp26", 15, 26,
                   "Expected sparse precision to be >= normal precision (15) and <= 25 but was 26."},
        CreateCase{"sp_negative", 10, -1,
                   "Expected sparse precision to be >= normal precision (10) and <= 25 but was -1."}),
    [](const auto& info) { return std::string(info.param.name); });

struct BudgetCase {
  std::int32_t p;
  std::uint64_t max_bytes;
  std::uint64_t max_buffer;
};

class SparseBudgets : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(SparseBudgets, AreThreeQuartersAndAQuarterOfTheRegisters) {
  const SparseRepresentation sparse =
      unwrap(SparseRepresentation::create(sparse_state(GetParam().p, std::min(GetParam().p + 1, 25))));
  EXPECT_EQ(sparse.max_sparse_data_bytes(), GetParam().max_bytes);
  EXPECT_EQ(sparse.max_buffer_elements(), GetParam().max_buffer);
}

INSTANTIATE_TEST_SUITE_P(Table, SparseBudgets,
                         ::testing::Values(BudgetCase{10, 768, 256}, BudgetCase{12, 3072, 1024},
                                           BudgetCase{15, 24576, 8192}, BudgetCase{16, 49152, 16384},
                                           BudgetCase{24, 12582912, 4194304}));

TEST(SparseCreate, AcceptsTheBoundaryPairs) {
  for (auto [p, sp] : {std::pair{10, 10}, std::pair{10, 25}, std::pair{24, 24}, std::pair{24, 25}}) {
    EXPECT_TRUE(SparseRepresentation::create(sparse_state(p, sp)).has_value()) << p << "," << sp;
  }
}

TEST(SparseCreate, TakesStoredDataOverWithoutLookingAtIt) {
  // Cut off, not ascending, and a sparse_size that does not match.
  const Bytes stored = {0x05, 0x03, 0x80};
  Result<SparseRepresentation> sparse = SparseRepresentation::create(sparse_state(10, 15, stored, 99));
  ASSERT_TRUE(sparse.has_value());
  EXPECT_EQ(sparse->state().sparse_data, stored);
  EXPECT_EQ(sparse->state().sparse_size, 99);
}

// ---------------------------------------------------------------- adding and flushing

TEST(SparseAdd, FreshSketchEstimatesZeroAndCompactsToEmptyData) {
  Representation r = sparse_of(15, 20);
  EXPECT_EQ(unwrap(r.estimate()), 0);
  unwrap(r.compact());
  ASSERT_NE(r.sparse(), nullptr);
  EXPECT_EQ(r.state().sparse_data, Bytes());
  EXPECT_EQ(r.state().sparse_size, 0);
}

TEST(SparseAdd, SameHashTwiceIsBufferedOnce) {
  Representation r = sparse_of(15, 20);
  unwrap(r.add_hash(0x123456789ABCDEFull));
  unwrap(r.add_hash(0x123456789ABCDEFull));
  EXPECT_EQ(as_sparse(r).buffer().size(), 1u);
  EXPECT_EQ(unwrap(r.estimate()), 1);
  EXPECT_EQ(as_sparse(r).sorted_values(),
            std::vector<std::uint32_t>{ref_sparse_value(0x123456789ABCDEFull, 15, 20)});
}

TEST(SparseAdd, RhoEncodedValuesOfOneIndexCollapseToTheLargestRho) {
  // Sparse index 0b...100000 at (10, 15): low five bits zero, so rho-encoded.
  const std::uint64_t index_bits = std::uint64_t{0x40} << 49;
  const std::uint64_t small_rho = index_bits | (std::uint64_t{1} << 45);  // rho 4
  const std::uint64_t large_rho = index_bits | (std::uint64_t{1} << 20);  // rho 29
  ASSERT_NE(ref_sparse_value(small_rho, 10, 15), ref_sparse_value(large_rho, 10, 15));
  for (bool large_first : {false, true}) {
    Representation r = sparse_of(10, 15);
    unwrap(r.add_hash(large_first ? large_rho : small_rho));
    unwrap(r.add_hash(large_first ? small_rho : large_rho));
    EXPECT_EQ(as_sparse(r).buffer().size(), 2u);
    EXPECT_EQ(unwrap(r.estimate()), 1);
    const std::uint32_t expected = (1u << 16) | (2u << 6) | 29u;
    EXPECT_EQ(as_sparse(r).sorted_values(), std::vector<std::uint32_t>{expected});
    unwrap(r.compact());
    EXPECT_EQ(r.state().sparse_data, difference_bytes({expected}));
    EXPECT_EQ(r.state().sparse_size, 1);
  }
}

TEST(SparseAdd, EqualPrecisionsGiveOnlyRhoEncodedValues) {
  const auto hashes = test::random_hashes(3000, 12);
  Representation r = sparse_of(12, 12);
  for (std::uint64_t h : hashes) unwrap(r.add_hash(h));
  ASSERT_NE(r.sparse(), nullptr);
  const std::vector<std::uint32_t> values = as_sparse(r).sorted_values();
  EXPECT_EQ(values, ref_sorted_values(hashes, 12, 12));
  for (std::uint32_t v : values) ASSERT_NE(v & (1u << 18), 0u) << v;
}

// Follows the buffer and the stored values hash by hash against a model: the
// buffer flushes when it holds more than 256 distinct values, and the sketch
// converts as soon as the stored bytes exceed 768.
TEST(SparseAdd, FlushesAtThe257thDistinctValueAndConvertsOverBudget) {
  const auto hashes = test::random_hashes(5000, 257);
  Representation r = sparse_of(10, 15);
  std::set<std::uint32_t> model_buffer;
  std::vector<std::uint32_t> model_stored;
  bool stored_present = false;
  int flushes = 0;
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    model_buffer.insert(ref_sparse_value(hashes[i], 10, 15));
    unwrap(r.add_hash(hashes[i]));
    if (model_buffer.size() > 256) {
      model_stored = collapse(test::concat(model_stored, {model_buffer.begin(), model_buffer.end()}), 10, 15);
      model_buffer.clear();
      stored_present = true;
      ++flushes;
    }
    if (stored_present && difference_bytes(model_stored).size() > 768) {
      ASSERT_NE(r.normal(), nullptr) << "no conversion at hash " << i;
      const std::vector<std::uint64_t> seen(hashes.begin(), hashes.begin() + i + 1);
      EXPECT_EQ(r.state().data, ref_registers(seen, 10));
      EXPECT_FALSE(r.state().sparse_data.has_value());
      EXPECT_EQ(r.state().sparse_precision, 15);
      EXPECT_GE(flushes, 2);
      return;
    }
    ASSERT_NE(r.sparse(), nullptr) << "converted early at hash " << i;
    const SparseRepresentation& sparse = as_sparse(r);
    ASSERT_EQ(sparse.buffer().size(), model_buffer.size()) << "hash " << i;
    ASSERT_EQ(sparse.state().sparse_data.has_value(), stored_present) << "hash " << i;
    if (stored_present) {
      ASSERT_EQ(*sparse.state().sparse_data, difference_bytes(model_stored)) << "hash " << i;
      ASSERT_EQ(sparse.state().sparse_size, static_cast<std::int32_t>(model_stored.size()));
    }
  }
  FAIL() << "never converted";
}

TEST(SparseAdd, SortedValuesAndEstimateFollowTheHashes) {
  const auto hashes = test::random_hashes(20000, 15);
  Representation r = sparse_of(15, 20);
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    unwrap(r.add_hash(hashes[i]));
    if (i % 1999 == 0 || i + 1 == hashes.size()) {
      const std::vector<std::uint64_t> seen(hashes.begin(), hashes.begin() + i + 1);
      const std::vector<std::uint32_t> expected = ref_sorted_values(seen, 15, 20);
      ASSERT_NE(r.sparse(), nullptr);
      EXPECT_EQ(as_sparse(r).sorted_values(), expected) << i;
      EXPECT_EQ(unwrap(r.estimate()), linear_counting(20, expected.size())) << i;
      EXPECT_EQ(test::registers_of(r), ref_registers(seen, 15)) << i;
    }
  }
}

struct ExtremeCase {
  std::int32_t p;
  std::int32_t sp;
  std::size_t count;
};

class ExtremePrecisions : public ::testing::TestWithParam<ExtremeCase> {};

TEST_P(ExtremePrecisions, KeepTheValuesOfTheHashes) {
  const auto [p, sp, count] = GetParam();
  const auto hashes = test::random_hashes(count, 100 + p + sp);
  Representation r = sparse_of(p, sp);
  for (std::uint64_t h : hashes) unwrap(r.add_hash(h));
  ASSERT_NE(r.sparse(), nullptr);
  const std::vector<std::uint32_t> expected = ref_sorted_values(hashes, p, sp);
  EXPECT_EQ(as_sparse(r).sorted_values(), expected);
  EXPECT_EQ(unwrap(r.estimate()), linear_counting(sp, expected.size()));
  EXPECT_EQ(test::registers_of(r), ref_registers(hashes, p));
  unwrap(r.compact());
  EXPECT_EQ(r.state().sparse_data, difference_bytes(expected));
}

INSTANTIATE_TEST_SUITE_P(Pairs, ExtremePrecisions,
                         ::testing::Values(ExtremeCase{24, 25, 20000}, ExtremeCase{24, 24, 20000},
                                           ExtremeCase{10, 25, 150}, ExtremeCase{10, 10, 300},
                                           ExtremeCase{18, 25, 10000}));

// ---------------------------------------------------------------- budgets of loaded data

TEST(SparseBudget, SevenHundredSixtyEightBytesStaySparse) {
  const std::vector<std::uint32_t> values = one_byte_values(768);
  const Bytes stored = difference_bytes(values);
  ASSERT_EQ(stored.size(), 768u);
  Representation r = sparse_of(10, 15, stored, 768);
  unwrap(r.add_hash(test::random_hashes(1, 3)[0]));
  ASSERT_NE(r.sparse(), nullptr);
  EXPECT_EQ(r.state().sparse_data, stored);
  Representation compacted = sparse_of(10, 15, stored, 768);
  unwrap(compacted.compact());
  ASSERT_NE(compacted.sparse(), nullptr);
  EXPECT_EQ(compacted.state().sparse_data, stored);
}

// Register values of the one-byte plain values at (10, 15): index v >> 5,
// rho 1 + zero bits above the highest set bit of the low five bits.
Bytes registers_of_plain(const std::vector<std::uint32_t>& values) {
  Bytes registers(1024, 0);
  for (std::uint32_t v : values) {
    const std::uint32_t low = v & 31u;
    std::uint32_t rho = 1;
    for (int bit = 4; bit >= 0 && ((low >> bit) & 1) == 0; --bit) ++rho;
    registers[v >> 5] = std::max<std::uint8_t>(registers[v >> 5], static_cast<std::uint8_t>(rho));
  }
  return registers;
}

TEST(SparseBudget, SevenHundredSixtyNineBytesConvertAtTheNextUpdate) {
  const std::vector<std::uint32_t> values = one_byte_values(769);
  const Bytes stored = difference_bytes(values);
  ASSERT_EQ(stored.size(), 769u);

  // Loaded over budget: estimated in sparse mode, nothing converts.
  Representation loaded = sparse_of(10, 15, stored, 769);
  EXPECT_EQ(unwrap(loaded.estimate()), linear_counting(15, 769));
  EXPECT_NE(loaded.sparse(), nullptr);

  // The first add converts.
  const std::uint64_t hash = test::random_hashes(1, 4)[0];
  Representation added = sparse_of(10, 15, stored, 769);
  unwrap(added.add_hash(hash));
  ASSERT_NE(added.normal(), nullptr);
  Bytes expected = registers_of_plain(values);
  Bytes with_hash = ref_registers({hash}, 10);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = std::max(expected[i], with_hash[i]);
  EXPECT_EQ(added.state().data, expected);
  EXPECT_EQ(added.state().sparse_size, 0);

  // So does compaction.
  Representation compacted = sparse_of(10, 15, stored, 769);
  unwrap(compacted.compact());
  ASSERT_NE(compacted.normal(), nullptr);
  EXPECT_EQ(compacted.state().data, registers_of_plain(values));
  EXPECT_EQ(compacted.state().sparse_precision, 15);
}

TEST(SparseEstimate, AllBucketsOccupiedSaturates) {
  // Every one of the 2^10 indexes at (10, 10), each rho-encoded with rho 1.
  std::vector<std::uint32_t> values;
  for (std::uint32_t i = 0; i < 1024; ++i) values.push_back((1u << 16) | (i << 6) | 1u);
  Representation r = sparse_of(10, 10, difference_bytes(values), 1024);
  EXPECT_EQ(unwrap(r.estimate()), std::numeric_limits<std::int64_t>::max());
  // One short of full: finite.
  values.pop_back();
  Representation almost = sparse_of(10, 10, difference_bytes(values), 1023);
  EXPECT_EQ(unwrap(almost.estimate()), linear_counting(10, 1023));
}

TEST(SparseEstimate, CountsStoredAndBufferedValuesOnce) {
  const auto hashes = test::random_hashes(400, 9);
  const std::vector<std::uint32_t> first = ref_sorted_values({hashes.begin(), hashes.begin() + 300}, 12, 18);
  // Stored: the first 300; buffered: the last 200, of which 100 are stored too.
  Representation r = sparse_of(12, 18, difference_bytes(first), static_cast<std::int32_t>(first.size()));
  for (std::size_t i = 200; i < 400; ++i) unwrap(r.add_hash(hashes[i]));
  const std::vector<std::uint32_t> all = ref_sorted_values(hashes, 12, 18);
  EXPECT_EQ(as_sparse(r).sorted_values(), all);
  EXPECT_EQ(unwrap(r.estimate()), linear_counting(18, all.size()));
}

TEST(SparseEstimate, DoesNotChangeWhatIsSerialised) {
  const auto hashes = test::random_hashes(700, 10);
  HyperLogLogPlusPlus sketch = test::long_sketch(11, 16);
  for (std::size_t i = 0; i < hashes.size(); ++i) unwrap(sketch.add_long(static_cast<std::int64_t>(hashes[i])));
  ASSERT_FALSE(as_sparse(sketch.representation()).buffer().empty());
  const Bytes before = unwrap(sketch.to_bytes());
  const std::vector<std::uint32_t> buffer = as_sparse(sketch.representation()).sorted_buffer();
  (void)unwrap(sketch.result());
  EXPECT_EQ(unwrap(sketch.to_bytes()), before);
  EXPECT_EQ(as_sparse(sketch.representation()).sorted_buffer(), buffer);
}

// ---------------------------------------------------------------- loaded data that is not as written

TEST(SparseLoaded, WithinBudgetReserialisesByteForByte) {
  const std::vector<std::uint32_t> values = ref_sorted_values(test::random_hashes(100, 11), 13, 20);
  const Bytes stored = difference_bytes(values);
  // sparse_size deliberately wrong: it is carried, never checked.
  SketchState state = sparse_state(13, 20, stored, 12345);
  state.num_values = 100;
  HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_state(state));
  const Bytes bytes = unwrap(sketch.to_bytes());
  EXPECT_EQ(bytes, test::message_bytes(state));
  // Compaction itself keeps them too.
  Representation r = sparse_of(13, 20, stored, 12345);
  unwrap(r.compact());
  EXPECT_EQ(r.state().sparse_data, stored);
  EXPECT_EQ(r.state().sparse_size, 12345);
}

TEST(SparseLoaded, NotAscendingIsEstimatedThenRefusedAtTheFlush) {
  // 100 then 50 (stored as the difference 2^32 - 50), both plain at (10, 15).
  const Bytes stored = difference_bytes({100, 50});
  Representation r = sparse_of(10, 15, stored, 2);
  EXPECT_EQ(unwrap(r.estimate()), linear_counting(15, 2));
  // Buffered values above 100 only, so that 50 follows 100 directly.
  std::size_t buffered = 0;
  std::uint64_t seed = 0;
  Status last;
  while (buffered <= 256) {
    const std::uint64_t h = test::random_hashes(1, seed++)[0] | (std::uint64_t{1} << 63);
    ASSERT_TRUE(last.has_value());
    last = r.add_hash(h);
    buffered = r.is_invalid() ? buffered + 1 : as_sparse(r).buffer().size();
  }
  EXPECT_TRUE(fails_with(last, ErrorKind::InvalidArgument,
                         "50 put after Some(100) but values are required to be in increasing order"));
  EXPECT_TRUE(r.is_invalid());
}

TEST(SparseLoaded, ValueReaching2To31IsRefusedAtTheFlush) {
  const Bytes stored = difference_bytes({7, 0x80000001u});
  Representation r = sparse_of(10, 15, stored, 2);
  unwrap(r.add_hash(test::random_hashes(1, 5)[0]));
  Status flushed = r.compact();
  EXPECT_TRUE(fails_with(flushed, ErrorKind::InvalidArgument, "Only positive integers are supported"));
}

struct MalformedCase {
  const char* name;
  Bytes bytes;
};

class SparseMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(SparseMalformed, IsAnInternalFailureWhenDecoded) {
  const Bytes& stored = GetParam().bytes;
  EXPECT_THROW((void)sparse_of(10, 15, stored).estimate(), InternalFailure);
  EXPECT_THROW((void)as_sparse(sparse_of(10, 15, stored)).sorted_values(), InternalFailure);
  EXPECT_THROW((void)as_sparse(sparse_of(10, 15, stored)).to_normal(), InternalFailure);
  // An add that flushes decodes the stored data.
  Representation r = sparse_of(10, 15, stored);
  bool threw = false;
  for (std::uint64_t h : test::random_hashes(2000, 21)) {
    try {
      unwrap(r.add_hash(h));
    } catch (const InternalFailure&) {
      threw = true;
      break;
    }
  }
  EXPECT_TRUE(threw);
}

TEST(SparseMalformedAfterDisorder, IsAnInternalFailureAtTheFlush) {
  // 100 then 50 (not ascending), then a cut-off varint: the flush decodes
  // the whole of the stored data before it writes anything, so the broken
  // varint wins over the ordering error, also with values in the buffer.
  Bytes stored = difference_bytes({100, 50});
  stored.push_back(0x81);
  for (std::uint64_t seed : {3u, 4u}) {
    Representation r = sparse_of(10, 15, stored);
    unwrap(r.add_hash(test::random_hashes(1, seed)[0] | (std::uint64_t{1} << 63)));
    EXPECT_THROW((void)r.compact(), InternalFailure);
  }
}

INSTANTIATE_TEST_SUITE_P(Bytes_, SparseMalformed,
                         ::testing::Values(MalformedCase{"cut_off", {0x05, 0x81}},
                                           MalformedCase{"lone_continuation", {0x80}},
                                           MalformedCase{"fifth_byte_bit7", {0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- to_normal

TEST(SparseToNormal, HasAllRegistersEvenWhenEmpty) {
  const Representation empty = sparse_of(11, 16);
  NormalRepresentation normal = unwrap(as_sparse(empty).to_normal());
  EXPECT_EQ(normal.state().data, Bytes(2048, 0));
  EXPECT_EQ(normal.state().precision, 11);
  EXPECT_EQ(normal.state().sparse_precision, 16);
}

TEST(SparseToNormal, StoredValueOutsideTheRegistersIsRefused) {
  // Plain 32769 at (10, 15) decodes to register 1024.
  const Representation r = sparse_of(10, 15, difference_bytes({5, 32769}));
  EXPECT_TRUE(fails_with(as_sparse(r).to_normal(), ErrorKind::InvalidState,
                         "Decoded index 1024 out of bounds for data length 1024 (sparse_value=32769, "
                         "source_precision=15, target_precision=10)"));
}

// ---------------------------------------------------------------- the buffer set

TEST(SparseBufferSet, HoldsEachValueOnceAcrossGrowthAndClear) {
  SparseBuffer buffer;
  std::set<std::uint32_t> model;
  std::mt19937_64 random(31);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5000; ++i) {
      // Small range so that duplicates are frequent; 0 is a valid value.
      const auto v = static_cast<std::uint32_t>(random() % 7000);
      buffer.insert(v);
      model.insert(v);
    }
    std::vector<std::uint32_t> held;
    buffer.append_to(held);
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, std::vector<std::uint32_t>(model.begin(), model.end()));
    EXPECT_EQ(buffer.size(), model.size());
    buffer.clear();
    model.clear();
    EXPECT_TRUE(buffer.empty());
    held.clear();
    buffer.append_to(held);
    EXPECT_TRUE(held.empty());
  }
}

// The buffer of a sketch: values of one encoding, at most max + 1 of them
// between flushes.
struct BufferCase {
  std::int32_t p;
  std::int32_t sp;
};

class SparseBufferLayout : public ::testing::TestWithParam<BufferCase> {};

// The slots a table growing at three quarters full by doubling reaches for
// `values` values.
std::size_t doubling_slots(std::size_t values) {
  std::size_t slots = 32;
  while (slots / 4 * 3 < values) slots *= 2;
  return slots;
}

TEST_P(SparseBufferLayout, HashMadeValuesStayOrderedWithinTheOldFootprint) {
  const auto [p, sp] = GetParam();
  const SparseEncoding encoding = unwrap(SparseEncoding::create(p, sp));
  const std::uint64_t max = std::uint64_t{1} << (p - 2);
  SparseBuffer buffer(encoding, max);
  std::set<std::uint32_t> model;
  for (int round = 0; round < 3; ++round) {
    // Fewer than max + 1 distinct values in the last round: a partly
    // filled table must come out sorted as well.
    const std::size_t count = round == 2 ? max / 3 : max + 1;
    std::uint64_t seed = 1000 * static_cast<std::uint64_t>(round) + static_cast<std::uint64_t>(p);
    while (model.size() < count) {
      // Repeats included: every other hash is one seen before.
      const std::vector<std::uint64_t> hashes = test::random_hashes(2, seed++);
      for (std::uint64_t h : {hashes[0], hashes[1], hashes[0]}) {
        const std::uint32_t value = encoding.encode(h);
        buffer.insert(value);
        model.insert(value);
        if (model.size() == count) break;
      }
      ASSERT_EQ(buffer.size(), model.size());
    }
    EXPECT_TRUE(buffer.ordered()) << "round " << round;
    EXPECT_LE(buffer.slot_count(), doubling_slots(static_cast<std::size_t>(max + 1)));
    std::vector<std::uint32_t> in_slot_order;
    buffer.append_to(in_slot_order);
    EXPECT_EQ(in_slot_order, std::vector<std::uint32_t>(model.begin(), model.end()));
    std::vector<std::uint32_t> sorted;
    buffer.append_sorted_to(sorted);
    EXPECT_EQ(sorted, in_slot_order);
    const std::span<std::uint32_t> drained = buffer.sort_in_place();
    EXPECT_TRUE(std::equal(drained.begin(), drained.end(), model.begin(), model.end()));
    buffer.clear();
    model.clear();
    EXPECT_TRUE(buffer.empty());
  }
}

TEST_P(SparseBufferLayout, CrowdedValuesFallBackToTheScatteredLayout) {
  const auto [p, sp] = GetParam();
  const SparseEncoding encoding = unwrap(SparseEncoding::create(p, sp));
  const std::uint64_t max = std::uint64_t{1} << (p - 2);
  SparseBuffer buffer(encoding, max);
  // The smallest sparse indices (with every rho where the value is
  // rho-encoded) all share a handful of home slots; shuffled, so that the
  // ordered layout would move long runs for nearly every insertion.
  std::vector<std::uint32_t> crowded;
  std::set<std::uint32_t> model;
  for (std::uint32_t index = 0; model.size() <= max; ++index) {
    for (std::uint32_t rho = 1; rho < 64 && model.size() <= max; ++rho) {
      const std::uint32_t value = encoding.encode(SparseCoordinates{index, rho});
      if (model.insert(value).second) crowded.push_back(value);
    }
  }
  std::shuffle(crowded.begin(), crowded.end(), std::mt19937_64(9));
  for (std::uint32_t value : crowded) buffer.insert(value);
  EXPECT_FALSE(buffer.ordered());
  EXPECT_EQ(buffer.size(), model.size());
  EXPECT_LE(buffer.slot_count(), doubling_slots(static_cast<std::size_t>(max + 1)));
  std::vector<std::uint32_t> sorted;
  buffer.append_sorted_to(sorted);
  EXPECT_EQ(sorted, std::vector<std::uint32_t>(model.begin(), model.end()));
  // A copy keeps the layout and the values; clearing restores the order.
  const SparseBuffer copy = buffer;
  std::vector<std::uint32_t> copied;
  copy.append_sorted_to(copied);
  EXPECT_EQ(copied, sorted);
  const std::span<std::uint32_t> drained = buffer.sort_in_place();
  EXPECT_TRUE(std::equal(drained.begin(), drained.end(), model.begin(), model.end()));
  buffer.clear();
  EXPECT_TRUE(buffer.ordered());
  buffer.insert(5);
  EXPECT_EQ(buffer.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Precisions, SparseBufferLayout,
                         ::testing::Values(BufferCase{10, 10}, BufferCase{10, 15}, BufferCase{12, 25},
                                           BufferCase{15, 20}),
                         [](const auto& info) {
                           return "p" + std::to_string(info.param.p) + "_sp" + std::to_string(info.param.sp);
                         });

// Sketches fed the same hashes in different orders (so that the buffer's
// insertions move values differently) flush to the same stored bytes, and
// those bytes are the reference coding of the collapsed values.
TEST(SparseBufferFlush, StoredBytesDoNotDependOnArrivalOrder) {
  for (const auto [p, sp] : {BufferCase{10, 15}, BufferCase{11, 11}, BufferCase{14, 25}}) {
    // One flush on the way, then more values buffered.
    std::vector<std::uint64_t> hashes = test::random_hashes(5 * (std::size_t{1} << (p - 4)), 77);
    // Same sparse index, several rho values: the largest must survive.
    for (std::uint64_t extra = 1; extra < 40; ++extra) hashes.push_back(hashes[0] ^ (extra << 3));
    std::vector<std::uint64_t> reversed(hashes.rbegin(), hashes.rend());
    std::vector<std::uint64_t> sorted = hashes;
    std::sort(sorted.begin(), sorted.end());
    std::optional<Bytes> first;
    for (const auto* order : {&hashes, &reversed, &sorted}) {
      Representation r = sparse_of(p, sp);
      for (std::uint64_t h : *order) {
        unwrap(r.add_hash(h));
        if (!r.sparse()) break;
      }
      unwrap(r.compact());
      ASSERT_TRUE(r.sparse()) << "p=" << p;
      const Bytes stored = *r.state().sparse_data;
      const std::vector<std::uint32_t> expected = test::ref_sorted_values(hashes, p, sp);
      EXPECT_EQ(stored, difference_bytes(expected)) << "p=" << p;
      EXPECT_EQ(r.state().sparse_size, static_cast<std::int32_t>(expected.size()));
      if (first) {
        EXPECT_EQ(stored, *first);
      }
      first = stored;
    }
  }
}

}  // namespace
}  // namespace vantorelle
