#include "state/state_validation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "hll/estimate.h"
#include "hll/estimate_rounding.h"
#include "hll/linear_counting.h"
#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::difference_bytes;
using test::fails_with;
using test::message_bytes;
using test::unwrap;

// ---------------------------------------------------------------- what the library writes

std::string pair_text(std::int32_t p, std::int32_t sp) {
  std::string text = "(";
  text += std::to_string(p);
  text += ", ";
  text += std::to_string(sp);
  text += ")";
  return text;
}

void expect_valid(const HyperLogLogPlusPlus& sketch, const std::string& what) {
  const Bytes bytes = unwrap(sketch.to_bytes());
  const Status status = validate_bytes(bytes);
  EXPECT_TRUE(status.has_value()) << what << ": " << status.error().display();
}

// Every sketch the library writes validates: empty, with one value, with
// values still buffered, after each flush up to the switch to registers, and
// after it. The full walk to the switch runs for p <= 17; above that the
// sparse form is walked for a bounded number of values.
TEST(LibraryOutput, EverySketchItWritesValidates) {
  std::uint64_t seed = 1;
  for (std::int32_t p = MINIMUM_PRECISION; p <= MAXIMUM_PRECISION; ++p) {
    std::vector<std::int32_t> sparse_precisions = {0};
    for (std::int32_t sp = p; sp <= MAXIMUM_SPARSE_PRECISION; ++sp) sparse_precisions.push_back(sp);
    for (std::int32_t sp : sparse_precisions) {
      const std::string where = pair_text(p, sp);
      HyperLogLogPlusPlus sketch = test::long_sketch(p, sp);
      expect_valid(sketch, where + " empty");
      const std::uint64_t limit = sp == 0 ? 2000 : p <= 17 ? UINT64_MAX : 20000;
      std::mt19937_64 random(seed++);
      bool converted = sp == 0;
      std::uint64_t count = 0;
      while (count < limit) {
        unwrap(sketch.add_long(static_cast<std::int64_t>(random())));
        ++count;
        const SparseRepresentation* sparse = sketch.representation().sparse();
        if (sparse == nullptr) {
          if (!converted) {
            converted = true;
            expect_valid(sketch, where + " just converted at " + std::to_string(count));
            // A few more values into the registers.
            for (int i = 0; i < 100; ++i) unwrap(sketch.add_long(static_cast<std::int64_t>(random())));
            expect_valid(sketch, where + " normal");
            break;
          }
          if (count == 1 || count == 1000) expect_valid(sketch, where + " normal");
          continue;
        }
        // Just before a flush: the largest sparse forms before the switch;
        // to_bytes flushes a copy and may convert it.
        if (count == 1 || count == 77 || sparse->buffer().size() == sparse->max_buffer_elements()) {
          expect_valid(sketch, where + " sparse at " + std::to_string(count));
        }
      }
      if (!converted) expect_valid(sketch, where + " sparse at the limit");
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Merges lower precisions and write what they made: downgraded sparse
// values, folded registers, a sparse sketch taking in registers.
TEST(LibraryOutput, MergedSketchesValidate) {
  struct Pair {
    std::int32_t p, sp, other_p, other_sp;
    int count, other_count;
  };
  const Pair pairs[] = {
      {15, 20, 14, 19, 300, 300},  {24, 25, 10, 10, 500, 200},  {12, 25, 12, 12, 2000, 10},
      {18, 18, 11, 16, 100, 100},  {20, 25, 10, 25, 50000, 900}, {14, 20, 14, 0, 200, 3000},
      {14, 0, 12, 19, 5000, 400},  {16, 24, 13, 13, 40000, 4000}, {10, 25, 10, 11, 700, 700},
  };
  std::uint64_t seed = 100;
  for (const Pair& c : pairs) {
    HyperLogLogPlusPlus a = test::long_sketch(c.p, c.sp);
    HyperLogLogPlusPlus b = test::long_sketch(c.other_p, c.other_sp);
    for (std::int64_t v : test::random_longs(static_cast<std::size_t>(c.count), seed++)) unwrap(a.add_long(v));
    for (std::int64_t v : test::random_longs(static_cast<std::size_t>(c.other_count), seed++)) unwrap(b.add_long(v));
    HyperLogLogPlusPlus a_into_b = b;
    unwrap(a_into_b.merge(a));
    unwrap(a.merge_bytes(unwrap(b.to_bytes())));
    const std::string where = pair_text(c.p, c.sp) + " and " + pair_text(c.other_p, c.other_sp);
    expect_valid(a, where);
    expect_valid(a_into_b, where + " reversed");
  }
}

TEST(LibraryOutput, StringSketchesAndForeignLeniencyValidate) {
  HyperLogLogPlusPlus strings = unwrap(HyperLogLogPlusPlus::new_string_or_bytes(13, 21));
  for (int i = 0; i < 3000; ++i) unwrap(strings.add_string("user-" + std::to_string(i)));
  expect_valid(strings, "strings");

  // What other correct producers may write: any sparse_size, any count, no
  // value type, absent sparse_data, absent registers.
  const std::vector<std::uint32_t> values = test::ref_sorted_values(test::random_hashes(500, 9), 15, 20);
  SketchState state = test::sketch_state(15, 20, ValueType::unknown());
  state.sparse_data = difference_bytes(values);
  state.sparse_size = 3;
  state.num_values = UINT64_MAX;
  EXPECT_TRUE(validate_state(state).has_value());
  state.sparse_data.reset();
  EXPECT_TRUE(validate_state(state).has_value());
  SketchState registers_absent = test::sketch_state(10, 0);
  EXPECT_TRUE(validate_state(registers_absent).has_value());
  // Stored data above the sparse budget (the sketch converts when used).
  const std::vector<std::uint32_t> many = test::ref_sorted_values(test::random_hashes(4000, 10), 10, 25);
  SketchState over_budget = test::sketch_state(10, 25);
  over_budget.sparse_data = difference_bytes(many);
  ASSERT_GT(over_budget.sparse_data->size(), 768u);
  EXPECT_TRUE(validate_state(over_budget).has_value());
}

// ---------------------------------------------------------------- what is refused

struct Refusal {
  const char* name;
  std::int32_t p;
  std::int32_t sp;
  Bytes sparse_data;
  std::string message;
};

// Sparse values, difference-coded as a producer would write them.
Bytes coded(const std::vector<std::uint32_t>& values) { return difference_bytes(values); }
Bytes append(Bytes bytes, const Bytes& tail) {
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

// At (15, 20) the flag is 2^21; at (15, 25) it is 2^25; at (12, 12) it is 2^18.
constexpr std::uint32_t F21 = 1u << 21;
constexpr std::uint32_t F25 = 1u << 25;
constexpr std::uint32_t F18 = 1u << 18;

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, NamesTheOffsetOrValueAndTheReason) {
  const Refusal& c = GetParam();
  SketchState state = test::sketch_state(c.p, c.sp);
  state.sparse_data = c.sparse_data;
  const std::string message = "sparse_data: " + c.message;
  EXPECT_TRUE(fails_with(validate_state(state), ErrorKind::InvalidState, message));
  EXPECT_TRUE(fails_with(validate_bytes(message_bytes(state)), ErrorKind::InvalidState, message));
  // A byte-level fault after a valid prefix longer than one word: found by
  // the word-wide pass, reported at its shifted offset.
  if (c.message.rfind("varint", 0) == 0) {
    const Bytes prefix = coded({1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21});
    SketchState longer = state;
    longer.sparse_data = append(prefix, c.sparse_data);
    const std::size_t at = c.message.find("offset ") + 7;
    const std::size_t digits = c.message.find_first_not_of("0123456789", at);
    const std::size_t offset = std::stoul(c.message.substr(at, digits - at)) + prefix.size();
    const std::string shifted = "sparse_data: " + c.message.substr(0, at) + std::to_string(offset) +
                                (digits == std::string::npos ? "" : c.message.substr(digits));
    EXPECT_TRUE(fails_with(validate_state(longer), ErrorKind::InvalidState, shifted));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Refused,
    ::testing::Values(
        Refusal{"cut_off_alone", 15, 20, {0x81}, "varint cut off at offset 0"},
        Refusal{"cut_off_after_values", 15, 20, append(coded({3, 700}), {0xFF, 0xFF}),
                "varint cut off at offset 3"},
        Refusal{"cut_off_in_fifth_byte", 15, 20, append(coded({3}), {0x80, 0x80, 0x80, 0x80}),
                "varint cut off at offset 1"},
        Refusal{"six_bytes", 15, 20, append(coded({3}), {0x81, 0x80, 0x80, 0x80, 0x80, 0x00}),
                "varint at offset 1 is longer than five bytes"},
        Refusal{"beyond_32_bits", 15, 20, {0x81, 0x80, 0x80, 0x80, 0x10},
                "varint at offset 0 does not fit in 32 bits"},
        Refusal{"decreasing", 15, 20, coded({100, 50}),
                "value 50 at offset 1 is less than the value before it (100)"},
        Refusal{"decreasing_rho", 15, 25, coded({F25 | (7u << 6) | 3, F25 | (2u << 6) | 3}),
                "value " + std::to_string(F25 | (2u << 6) | 3) + " at offset 4 is less than the value before it (" +
                    std::to_string(F25 | (7u << 6) | 3) + ")"},
        Refusal{"plain_not_below_2_sp", 15, 20, coded({5, (1u << 20) + 1}),
                "value 1048577 at offset 1 lies outside the encoding (normal_precision=15, sparse_precision=20): "
                "not below 2^20 and not rho-encoded"},
        Refusal{"register_index_too_large", 15, 25, coded({F25 | (1u << 21) | 1}),
                "value " + std::to_string(F25 | (1u << 21) | 1) +
                    " at offset 0 lies outside the encoding (normal_precision=15, sparse_precision=25): its register "
                    "index 32768 is not below 2^15"},
        Refusal{"above_the_flag", 15, 20, coded({1u << 30}),
                "value 1073741824 at offset 0 lies outside the encoding (normal_precision=15, sparse_precision=20): "
                "its register index 16744448 is not below 2^15"},
        Refusal{"rho_above_maximum", 15, 20, coded({F21 | (5u << 6) | 45, F21 | (6u << 6) | 46}),
                "value " + std::to_string(F21 | (6u << 6) | 46) +
                    " at offset 4 has rho_w 51 at normal precision 15, above the maximum 50"},
        Refusal{"rho_above_maximum_equal_precisions", 12, 12, coded({F18 | 54}),
                "value " + std::to_string(F18 | 54) + " at offset 0 has rho_w 54 at normal precision 12, above the "
                "maximum 53"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Refused, BothByteArrays) {
  SketchState state = test::sketch_state(10, 15);
  state.data = Bytes(1024, 0);
  state.sparse_data = coded({1, 2});
  EXPECT_TRUE(fails_with(validate_state(state), ErrorKind::InvalidState,
                         "data and sparse_data are both present; a sketch carries one of them"));
}

TEST(Refused, TheLargestStoredValuesPass) {
  // Boundaries that are still inside: the last plain index, the last
  // register with the largest rho_w. Values no hash gives but that harm
  // nothing pass too: a plain index whose low bits are zero, rho_w 0,
  // repeated values.
  SketchState state = test::sketch_state(15, 20);
  state.sparse_data = coded({1, 64, 64, (1u << 20) - 1, F21, F21 | 1, F21 | (((1u << 15) - 1) << 6) | 45});
  EXPECT_TRUE(validate_state(state).has_value());
  SketchState equal = test::sketch_state(24, 24);
  equal.sparse_data = coded({(1u << 30) | 1, (1u << 30) | (((1u << 24) - 1) << 6) | 41});
  EXPECT_TRUE(validate_state(equal).has_value());
}

// ---------------------------------------------------------------- the property

// An independent reading of the rules, one value at a time.
bool reference_accepts(const Bytes& bytes, std::int32_t p, std::int32_t sp) {
  const std::uint64_t flag = test::ref_flag(p, sp);
  std::uint64_t running = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint64_t delta = 0;
    int k = 0;
    while (true) {
      if (i >= bytes.size() || k == 5) return false;
      const std::uint8_t byte = bytes[i++];
      delta |= std::uint64_t{byte & 0x7Fu} << (7 * k++);
      if ((byte & 0x80) == 0) break;
    }
    if (delta >= (std::uint64_t{1} << 32)) return false;
    running += delta;
    if (running >= (std::uint64_t{1} << 32)) return false;
    const auto value = static_cast<std::uint32_t>(running);
    if ((value & flag) == 0) {
      if (value >= (std::uint64_t{1} << sp)) return false;
    } else {
      const std::uint32_t index = (value ^ static_cast<std::uint32_t>(flag)) >> 6;
      const std::uint32_t rho = value & 63;
      if (index >= (1u << p) || rho + static_cast<std::uint32_t>(sp - p) > static_cast<std::uint32_t>(65 - p)) {
        return false;
      }
    }
  }
  return true;
}

// The cells a loaded sketch counts in accepted data, from sets: its distinct
// plain values and the distinct indices of its rho-encoded values (a plain
// value and a rho-encoded one of the same index count twice).
std::uint64_t reference_index_count(const Bytes& bytes, std::int32_t p, std::int32_t sp) {
  const std::uint32_t flag = test::ref_flag(p, sp);
  std::set<std::uint32_t> plain;
  std::set<std::uint32_t> rho_encoded;
  for (const std::uint32_t value : test::decode_difference_bytes(bytes)) {
    if ((value & flag) == 0) {
      plain.insert(value);
    } else {
      rho_encoded.insert(((value ^ flag) >> 6) << (sp - p));
    }
  }
  return plain.size() + rho_encoded.size();
}

// Runs what a user may do with a loaded sketch; fails the test on an
// internal failure.
void use_everything(const Bytes& bytes, std::mt19937_64& random, const std::string& what) {
  try {
    HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_bytes(bytes));
    (void)sketch.result();
    (void)sketch.num_values();
    HyperLogLogPlusPlus copy = sketch;
    (void)sketch.merge(copy);
    const std::int32_t p = sketch.normal_precision();
    const std::int32_t sp = sketch.sparse_precision();
    // Others at lower, equal, higher and crosswise precisions, both ways.
    // (Registers at a high precision are left out to keep the loop quick.)
    const std::int32_t others[][2] = {{10, 10}, {p, sp}, {24, 25}, {10, 25}, {14, 0},
                                      {std::max(10, p - 1), std::max(10, p - 1)}};
    for (const auto& o : others) {
      if (o[1] == 0 && p > 16) continue;
      HyperLogLogPlusPlus other = test::long_sketch(o[0], o[1]);
      for (int i = 0; i < 20; ++i) unwrap(other.add_long(static_cast<std::int64_t>(random())));
      HyperLogLogPlusPlus receiver = sketch;
      (void)receiver.merge(other);
      (void)receiver.result();
      (void)receiver.to_bytes();
      (void)other.merge_bytes(bytes);
      (void)other.result();
      (void)other.to_bytes();
    }
    for (int i = 0; i < 300; ++i) (void)sketch.add_long(static_cast<std::int64_t>(random()));
    (void)sketch.result();
    Result<Bytes> out = sketch.to_bytes();
    if (out) {
      EXPECT_TRUE(validate_bytes(*out).has_value()) << what << ": rewritten sketch refused";
    }
  } catch (const InternalFailure& failure) {
    ADD_FAILURE() << what << ": internal failure after validation: " << failure.what();
  }
}

// Mutated and crafted sparse_data: the validator agrees with the reference,
// and whatever passes can be used without an internal failure.
TEST(Property, PassingDataNeverMeetsAnInternalFailure) {
  const std::int32_t precisions[][2] = {{10, 10}, {10, 25}, {12, 17}, {15, 20}, {14, 14}, {24, 25}, {18, 24}};
  std::mt19937_64 random(2024);
  int passed = 0;
  int refused = 0;
  for (int round = 0; round < 6000; ++round) {
    const auto& pair = precisions[round % std::size(precisions)];
    const std::int32_t p = pair[0];
    const std::int32_t sp = pair[1];
    const std::size_t count = 1 + random() % 200;
    std::vector<std::uint32_t> values = test::ref_sorted_values(test::random_hashes(count, random()), p, sp);
    Bytes data;
    switch (round % 4) {
      case 0: {  // one to three random byte edits
        data = difference_bytes(values);
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits && !data.empty(); ++e) {
          const std::size_t at = random() % data.size();
          switch (random() % 5) {
            case 0: data[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
            case 1: data[at] = static_cast<std::uint8_t>(random()); break;
            case 2: data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random())); break;
            case 3: data.resize(at); break;
            default: data[at] |= 0x80; break;
          }
        }
        break;
      }
      case 1: {  // one value moved to a boundary or to a random place
        const std::size_t at = random() % values.size();
        const std::uint32_t flag = test::ref_flag(p, sp);
        const std::uint32_t choices[] = {
            values[at] ^ (1u << (random() % 32)), flag | static_cast<std::uint32_t>(random() % 64),
            (1u << sp) - 1, 1u << sp, flag - 1, flag + (1u << (p + 6)), values[at] & ~63u,
            (values[at] & ~63u) | static_cast<std::uint32_t>(65 - sp), (values[at] & ~63u) | static_cast<std::uint32_t>(66 - sp)};
        values[at] = choices[random() % std::size(choices)];
        data = difference_bytes(values);
        break;
      }
      case 2:  // noise: varints of every length, rarely longer than five bytes
        data.resize(random() % 120);
        for (std::uint8_t& b : data) {
          const std::uint64_t r = random();
          b = static_cast<std::uint8_t>((r % 3 == 0 ? 0x80 : 0x00) | ((r >> 8) % 5 == 0 ? (r >> 16) & 0x7F : (r >> 16) & 0x0F));
        }
        break;
      default:  // valid as written
        data = difference_bytes(values);
        break;
    }
    SketchState state = test::sketch_state(p, sp);
    state.sparse_data = data;
    const Status status = validate_state(state);
    ASSERT_EQ(status.has_value(), reference_accepts(data, p, sp))
        << "round " << round << " (" << p << ", " << sp << "): "
        << (status ? std::string("accepted") : status.error().message());
    if (round % 4 == 3) {
      ASSERT_TRUE(status.has_value()) << status.error().message();
    }
    // The one pass that checks and counts refuses alike, with the same
    // error, and counts what a set of the indices holds.
    const SparseEncoding encoding = unwrap(SparseEncoding::create(p, sp));
    const Result<std::uint64_t> counted = count_sparse_indices(data, encoding);
    ASSERT_EQ(counted.has_value(), status.has_value()) << "round " << round;
    if (counted) {
      ASSERT_EQ(*counted, reference_index_count(data, p, sp)) << "round " << round;
    } else {
      ASSERT_EQ(counted.error().message(), status.error().message()) << "round " << round;
    }
    if (status) {
      ++passed;
      use_everything(message_bytes(state), random, "round " + std::to_string(round));
    } else {
      ++refused;
      EXPECT_EQ(status.error().kind(), ErrorKind::InvalidState);
      EXPECT_EQ(status.error().message().rfind("sparse_data: ", 0), 0u) << status.error().message();
    }
    if (::testing::Test::HasFailure()) return;
  }
  // Both sides of the door were reached.
  EXPECT_GT(passed, 1500);
  EXPECT_GT(refused, 1500);
}


// Short data, a few plain values and a few rho-encoded ones after them, as
// small sketches hold (read in blocks, the rho-encoded tail walked back):
// crafted at the edges (a plain value at the index of the rho-encoded value
// after it, runs of one register, rho_w at and past its maximum, values
// between 2^sp and the flag or past the last register, zero gaps, long and
// cut varints). The checks agree with the reference and with the pass that
// does not count, and the count is the one the loaded sketch estimates from.
TEST(Property, ShortDataIsCheckedAndCountedAsTheSketchCounts) {
  const std::int32_t precisions[][2] = {{15, 20}, {10, 10}, {12, 17}, {14, 25}, {10, 16}};
  std::mt19937_64 random(77);
  int passed = 0;
  int refused = 0;
  int rho_tails = 0;
  for (int round = 0; round < 20000; ++round) {
    const auto& pair = precisions[round % std::size(precisions)];
    const std::int32_t p = pair[0];
    const std::int32_t sp = pair[1];
    const std::uint32_t flag = test::ref_flag(p, sp);
    const std::uint32_t max_rho = static_cast<std::uint32_t>(65 - sp);
    std::vector<std::uint32_t> values;
    const std::size_t plain = random() % 14;
    for (std::size_t i = 0; i < plain; ++i) values.push_back(static_cast<std::uint32_t>(random() % (1u << sp)));
    std::sort(values.begin(), values.end());
    const std::size_t rho_encoded = random() % 3 == 0 ? 0 : 1 + random() % 4;
    std::uint32_t reg = static_cast<std::uint32_t>(random() % (1u << p));
    for (std::size_t i = 0; i < rho_encoded; ++i) {
      if (random() % 3 != 0) reg = std::min((1u << p) - 1, reg + static_cast<std::uint32_t>(random() % 3));
      const std::uint32_t rho = random() % 8 == 0 ? max_rho + static_cast<std::uint32_t>(random() % 2)
                                                  : static_cast<std::uint32_t>(random() % (max_rho + 1));
      values.push_back(flag | (reg << 6) | rho);
    }
    switch (random() % 8) {
      case 0:  // the last plain value at the index of the first rho-encoded one
        if (plain > 0 && rho_encoded > 0) values[plain - 1] = ((values[plain] ^ flag) >> 6) << (sp - p);
        break;
      case 1:  // a value between 2^sp and the flag, or past the last register
        if (!values.empty()) {
          values[random() % values.size()] = random() % 2 ? (1u << sp) + static_cast<std::uint32_t>(random() % 64)
                                                          : flag + (1u << (p + 6));
        }
        break;
      case 2:  // a repeated value: a zero gap
        if (!values.empty()) values.insert(values.begin() + static_cast<std::ptrdiff_t>(random() % values.size()), values[0]);
        break;
      default:
        break;
    }
    std::sort(values.begin(), values.end());
    Bytes data = difference_bytes(values);
    if (!data.empty()) {
      switch (random() % 10) {
        case 0: data.pop_back(); break;                       // the last varint cut off
        case 1: data.back() |= 0x80; break;                   // so is this one
        case 2: data.insert(data.end() - 1, 0x80); break;     // a longer varint: one more byte
        case 3: data.insert(data.begin(), {0x81, 0x80, 0x80, 0x80, 0x00}); break;  // five bytes for 1
        default: break;
      }
    }
    if (data.size() > 64) continue;
    SketchState state = test::sketch_state(p, sp);
    state.sparse_data = data;
    const Status status = validate_state(state);
    ASSERT_EQ(status.has_value(), reference_accepts(data, p, sp)) << "round " << round;
    const SparseEncoding encoding = unwrap(SparseEncoding::create(p, sp));
    const Result<std::uint64_t> counted = count_sparse_indices(data, encoding);
    ASSERT_EQ(counted.has_value(), status.has_value()) << "round " << round;
    if (!counted) {
      ++refused;
      ASSERT_EQ(counted.error().message(), status.error().message()) << "round " << round;
      continue;
    }
    ++passed;
    rho_tails += rho_encoded > 0;
    ASSERT_EQ(*counted, reference_index_count(data, p, sp)) << "round " << round;
    const double cells = std::ldexp(1.0, sp);
    const std::int64_t from_count = round_to_int64(linear_counting(cells, cells - static_cast<double>(*counted)));
    ASSERT_EQ(unwrap(unwrap(HyperLogLogPlusPlus::from_state(state)).result()), from_count) << "round " << round;
  }
  EXPECT_GT(passed, 5000);
  EXPECT_GT(refused, 3000);
  EXPECT_GT(rho_tails, 3000);
}

// A message with registers, checked in place (validate_normal_view on a view
// of it), meets the same door as its copied state (validate_state), with the
// same error, and on passing gives the estimate result() gives; the view's
// registers lie inside the message.
TEST(Property, ViewOfRegistersMeetsTheSameDoorAndEstimate) {
  const std::int32_t precisions[] = {10, 12, 15};
  std::mt19937_64 random(616);
  int passed = 0;
  int refused = 0;
  for (int round = 0; round < 600; ++round) {
    const std::int32_t p = precisions[round % std::size(precisions)];
    const std::size_t count = std::size_t{1} << (random() % 20);
    SketchState state = test::sketch_state(p, p + 5);
    state.data = test::ref_registers(test::random_hashes(count, random()), p);
    Bytes& data = *state.data;
    switch (random() % 10) {
      case 0: state.type = AggregatorType::SUM; break;
      case 1: state.encoding_version = static_cast<std::int32_t>(random() % 4); break;
      case 2: state.value_type = ValueType::from_wire(static_cast<std::int32_t>(random() % 14)); break;
      case 3: state.precision = static_cast<std::int32_t>(8 + random() % 20); break;
      case 4: state.sparse_precision = 0; state.sparse_data = Bytes{1}; break;
      case 5: state.sparse_data = Bytes(random() % 3, 2); break;
      case 6: data.resize(data.size() + (random() % 2 ? 1 : -1)); break;
      case 7: data[random() % data.size()] = static_cast<std::uint8_t>(65 - p + random() % 3); break;
      case 8: std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(random() % (66 - p))); break;
      default: break;
    }
    const Bytes message = message_bytes(state);
    const SketchStateView view = unwrap(decode_state_view(message));
    ASSERT_TRUE(view.data.has_value());
    ASSERT_TRUE(view.data->empty() || (view.data->data() >= message.data() &&
                                       view.data->data() + view.data->size() <= message.data() + message.size()));
    const SketchState copied = copy_state(view);
    ASSERT_EQ(copied, unwrap(decode_state(message)));
    const Result<RegisterSums> in_place = validate_normal_view(view);
    const Status door = validate_state(copied);
    ASSERT_EQ(in_place.has_value(), door.has_value()) << "round " << round;
    if (!door) {
      ++refused;
      EXPECT_EQ(in_place.error().display(), door.error().display()) << "round " << round;
      continue;
    }
    ++passed;
    const std::int64_t expected = unwrap(unwrap(HyperLogLogPlusPlus::from_state(copied)).result());
    EXPECT_EQ(estimate_registers(*view.data, view.scalars.precision, *in_place), expected)
        << "round " << round;
  }
  EXPECT_GT(passed, 150);
  EXPECT_GT(refused, 150);
}

}  // namespace
}  // namespace vantorelle
