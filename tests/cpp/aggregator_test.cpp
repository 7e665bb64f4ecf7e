#include "hll/hyperloglogplusplus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "test_support.h"

// Counting replacements of the global allocation functions, so that the
// allocation test below can see every heap allocation the engine makes.
// The calls to malloc and free sit in functions of their own so that the
// compiler does not pair an inlined operator new with a bare free.
namespace {
std::atomic<std::size_t> allocation_count{0};

[[gnu::noinline]] void* acquire(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) { return acquire(size); }
void* operator new[](std::size_t size) { return acquire(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace vantorelle {
namespace {

using test::concat;
using test::difference_bytes;
using test::fails_starting_with;
using test::fails_with;
using test::hash_of_long;
using test::long_sketch;
using test::ref_sparse_value;
using test::snapshot;
using test::unwrap;

HyperLogLogPlusPlus string_sketch(std::int32_t p = 15, std::int32_t sp = 20) {
  return unwrap(HyperLogLogPlusPlus::new_string_or_bytes(p, sp));
}

HyperLogLogPlusPlus from_state(SketchState state) { return unwrap(HyperLogLogPlusPlus::from_state(std::move(state))); }

HyperLogLogPlusPlus untyped_sketch(std::int32_t p = 12, std::int32_t sp = 17) {
  return from_state(test::sketch_state(p, sp, ValueType::unknown()));
}

HyperLogLogPlusPlus with_longs(HyperLogLogPlusPlus sketch, const std::vector<std::int64_t>& values) {
  for (std::int64_t v : values) unwrap(sketch.add_long(v));
  return sketch;
}

ByteView view(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The serialised form's state after compaction.
SketchState compacted(const HyperLogLogPlusPlus& sketch) {
  Representation copy = sketch.representation();
  unwrap(copy.compact());
  return copy.state();
}

// ---------------------------------------------------------------- construction

TEST(Construction, DefaultSparsePrecisionIsFiveAboveTheNormalOne) {
  const HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_long(13, std::nullopt));
  EXPECT_EQ(sketch.normal_precision(), 13);
  EXPECT_EQ(sketch.sparse_precision(), 18);
  ASSERT_NE(sketch.representation().sparse(), nullptr);
  EXPECT_EQ(sketch.num_values(), 0u);
  EXPECT_EQ(unwrap(sketch.result()), 0);
}

TEST(Construction, ZeroSparsePrecisionIsNormalFromTheStart) {
  for (bool is_long : {true, false}) {
    const HyperLogLogPlusPlus sketch = is_long ? unwrap(HyperLogLogPlusPlus::new_long(15, 0))
                                               : unwrap(HyperLogLogPlusPlus::new_string_or_bytes(15, 0));
    ASSERT_NE(sketch.representation().normal(), nullptr);
    EXPECT_FALSE(sketch.representation().state().data.has_value());
    EXPECT_EQ(unwrap(sketch.result()), 0);
    EXPECT_EQ(sketch.sparse_precision(), 0);
  }
}

TEST(Construction, FreshRecordIsAsDescribed) {
  const HyperLogLogPlusPlus sketch = string_sketch(15, 20);
  SketchState expected = test::sketch_state(15, 20, ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING));
  EXPECT_EQ(sketch.representation().state(), expected);
  EXPECT_EQ(long_sketch(15, 20).representation().state(), test::sketch_state(15, 20));
}

struct BadPrecision {
  std::int32_t p;
  std::optional<std::int32_t> sp;
  std::string message;
};

class ConstructionRefuses : public ::testing::TestWithParam<BadPrecision> {};

TEST_P(ConstructionRefuses, WithInvalidArgument) {
  const BadPrecision& c = GetParam();
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::new_long(c.p, c.sp), ErrorKind::InvalidArgument, c.message));
  EXPECT_TRUE(fails_with(HyperLogLogPlusPlus::new_string_or_bytes(c.p, c.sp), ErrorKind::InvalidArgument, c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Precisions, ConstructionRefuses,
    ::testing::Values(
        BadPrecision{9, 20, "Expected normal precision to be >= 10 and <= 24 but was 9"},
        BadPrecision{9, std::nullopt, "Expected normal precision to be >= 10 and <= 24 but was 9"},
        BadPrecision{25, 0, "Expected normal precision to be >= 10 and <= 24 but was 25"},
        BadPrecision{15, 26, "Expected sparse precision to be >= normal precision (15) and <= 25 but was 26."},
        BadPrecision{15, 14, "Expected sparse precision to be >= normal precision (15) and <= 25 but was 14."},
        BadPrecision{21, std::nullopt,
                     "Expected sparse precision to be >= normal precision (21) and <= 25 but was 26."},
        BadPrecision{std::numeric_limits<std::int32_t>::max(), std::nullopt,
                     "Expected normal precision to be >= 10 and <= 24 but was 2147483647"}));

// ---------------------------------------------------------------- input types

TEST(InputTypes, StringSketchNarrowsAtItsFirstAdd) {
  HyperLogLogPlusPlus sketch = string_sketch();
  unwrap(sketch.add_string("abc"));
  EXPECT_TRUE(fails_with(sketch.add_bytes(view("abc")), ErrorKind::InvalidState,
                         "Unable to add type BYTES to aggregator of type {STRING}"));
  EXPECT_EQ(sketch.num_values(), 1u);
  EXPECT_TRUE(fails_with(sketch.add_long(1), ErrorKind::InvalidState,
                         "Unable to add type LONG to aggregator of type {STRING}"));
  EXPECT_EQ(sketch.representation().state().value_type,
            ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING));
  // Decoded again, the sketch accepts bytes once more.
  HyperLogLogPlusPlus decoded = unwrap(HyperLogLogPlusPlus::from_bytes(unwrap(sketch.to_bytes())));
  unwrap(decoded.add_bytes(view("def")));
  EXPECT_EQ(decoded.num_values(), 2u);
}

TEST(InputTypes, BytesFirstNarrowsToBytes) {
  HyperLogLogPlusPlus sketch = string_sketch();
  unwrap(sketch.add_bytes(view("abc")));
  EXPECT_TRUE(fails_with(sketch.add_string("abc"), ErrorKind::InvalidState,
                         "Unable to add type STRING to aggregator of type {BYTES}"));
}

TEST(InputTypes, LongSketchRefusesText) {
  HyperLogLogPlusPlus sketch = long_sketch(15, 20);
  EXPECT_TRUE(fails_with(sketch.add_string("x"), ErrorKind::InvalidState,
                         "Unable to add type STRING to aggregator of type {LONG}"));
  EXPECT_TRUE(fails_with(sketch.add_bytes(view("x")), ErrorKind::InvalidState,
                         "Unable to add type BYTES to aggregator of type {LONG}"));
  EXPECT_EQ(sketch.num_values(), 0u);
  EXPECT_TRUE(sketch.representation().sparse()->buffer().empty());
}

struct FirstAdd {
  const char* name;
  InputType type;
  DefaultOpsType fixed;
  InputType refused;
};

class UntypedSketch : public ::testing::TestWithParam<FirstAdd> {};

TEST_P(UntypedSketch, IsFixedByItsFirstAdd) {
  const FirstAdd& c = GetParam();
  HyperLogLogPlusPlus sketch = untyped_sketch();
  EXPECT_EQ(sketch.allowed_input_types(), InputTypeSet::all());
  auto add = [&sketch](InputType type) -> Status {
    switch (type) {
      case InputType::LONG: return sketch.add_long(7);
      case InputType::STRING: return sketch.add_string("seven");
      case InputType::BYTES: return sketch.add_bytes(view("seven"));
      case InputType::INTEGER: break;
    }
    return invalid_state("no add operation");
  };
  unwrap(add(c.type));
  EXPECT_EQ(sketch.representation().state().value_type, ValueType::default_ops(c.fixed));
  EXPECT_EQ(sketch.allowed_input_types(), InputTypeSet::of(c.type));
  unwrap(add(c.type));
  EXPECT_TRUE(fails_with(add(c.refused), ErrorKind::InvalidState,
                         "Unable to add type " + std::string(display_name(c.refused)) +
                             " to aggregator of type {" + std::string(display_name(c.type)) + "}"));
  EXPECT_EQ(sketch.num_values(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, UntypedSketch,
    ::testing::Values(FirstAdd{"long", InputType::LONG, DefaultOpsType::UINT64, InputType::STRING},
                      FirstAdd{"string", InputType::STRING, DefaultOpsType::BYTES_OR_UTF8_STRING, InputType::BYTES},
                      FirstAdd{"bytes", InputType::BYTES, DefaultOpsType::BYTES_OR_UTF8_STRING, InputType::LONG}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- hashing

TEST(Hashing, LongsAreHashedAsTheirLittleEndianBytes) {
  const std::vector<std::pair<std::int64_t, Bytes>> cases = {
      {-1, Bytes(8, 0xFF)},
      {1, Bytes{1, 0, 0, 0, 0, 0, 0, 0}},
      {0x0102030405060708, Bytes{8, 7, 6, 5, 4, 3, 2, 1}},
      {std::numeric_limits<std::int64_t>::min(), Bytes{0, 0, 0, 0, 0, 0, 0, 0x80}}};
  for (const auto& [value, bytes] : cases) {
    HyperLogLogPlusPlus sketch = long_sketch(10, 0);
    unwrap(sketch.add_long(value));
    EXPECT_EQ(sketch.representation().state().data,
              test::ref_registers({fingerprint2011(bytes.data(), bytes.size())}, 10))
        << value;
  }
}

TEST(Hashing, TextIsHashedAsItsUtf8Bytes) {
  const std::string text = "gr\xC3\xBC\xC3\x9F dich";
  HyperLogLogPlusPlus as_text = string_sketch(12, 25);
  unwrap(as_text.add_string(text));
  const std::vector<std::uint32_t> expected = {ref_sparse_value(
      fingerprint2011(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 12, 25)};
  EXPECT_EQ(test::sorted_values_of(as_text), expected);
  HyperLogLogPlusPlus as_bytes = string_sketch(12, 25);
  unwrap(as_bytes.add_bytes(view(text)));
  EXPECT_EQ(test::sorted_values_of(as_bytes), expected);
  // The empty string is a value too.
  HyperLogLogPlusPlus empty = string_sketch(12, 25);
  unwrap(empty.add_string(""));
  const auto* no_bytes = reinterpret_cast<const std::uint8_t*>("");
  EXPECT_EQ(test::sorted_values_of(empty),
            std::vector<std::uint32_t>{ref_sparse_value(fingerprint2011(no_bytes, 0), 12, 25)});
}

// ---------------------------------------------------------------- merging

bool is_string_bytes_set(const std::string& text) {
  return text == "{STRING, BYTES}" || text == "{BYTES, STRING}";
}

TEST(Merge, IncompatibleTypesChangeNeitherSketch) {
  HyperLogLogPlusPlus self = string_sketch();  // untouched: {STRING, BYTES}
  HyperLogLogPlusPlus other = with_longs(long_sketch(15, 20), {1, 2, 3});
  const test::Snapshot self_before = snapshot(self);
  const test::Snapshot other_before = snapshot(other);
  const Status merged = self.merge(other);
  ASSERT_FALSE(merged.has_value());
  EXPECT_EQ(merged.error().kind(), ErrorKind::InvalidState);
  const std::string& message = merged.error().message();
  const std::string head = "Aggregator of type ";
  const std::string middle = " is incompatible with aggregator of type ";
  ASSERT_EQ(message.rfind(head, 0), 0u) << message;
  const std::size_t at = message.find(middle);
  ASSERT_NE(at, std::string::npos) << message;
  EXPECT_TRUE(is_string_bytes_set(message.substr(head.size(), at - head.size()))) << message;
  EXPECT_EQ(message.substr(at + middle.size()), "{LONG}");
  EXPECT_EQ(snapshot(self), self_before);
  EXPECT_EQ(snapshot(other), other_before);
}

TEST(Merge, AddsCountsAndIntersectsTypes) {
  HyperLogLogPlusPlus self = untyped_sketch();
  HyperLogLogPlusPlus other = with_longs(long_sketch(12, 17), {1, 2, 3, 4});
  unwrap(self.merge(other));
  EXPECT_EQ(self.num_values(), 4u);
  EXPECT_EQ(self.allowed_input_types(), InputTypeSet::of(InputType::LONG));
  EXPECT_EQ(self.representation().state().value_type, ValueType::unknown());
  unwrap(self.add_long(5));
  EXPECT_EQ(self.representation().state().value_type, ValueType::unknown());
  EXPECT_TRUE(fails_with(self.add_string("x"), ErrorKind::InvalidState,
                         "Unable to add type STRING to aggregator of type {LONG}"));
  unwrap(self.merge(with_longs(long_sketch(12, 17), {6, 7})));
  EXPECT_EQ(self.num_values(), 7u);

  // Serialised without a value type, decoded to accept every type again.
  const Bytes bytes = unwrap(self.to_bytes());
  const SketchState written = compacted(self);
  EXPECT_EQ(bytes, test::message_bytes(written));
  EXPECT_EQ(written.value_type, ValueType::unknown());
  HyperLogLogPlusPlus decoded = unwrap(HyperLogLogPlusPlus::from_bytes(bytes));
  EXPECT_EQ(decoded.allowed_input_types(), InputTypeSet::all());
  unwrap(decoded.add_string("now text"));
  EXPECT_EQ(decoded.num_values(), 8u);
}

TEST(Merge, WithACopyOfItselfOnlyDoublesTheCount) {
  for (std::size_t count : {100, 3000, 20000}) {
    HyperLogLogPlusPlus sketch = with_longs(long_sketch(13, 18), test::random_longs(count, 42));
    SketchState before = compacted(sketch);
    unwrap(sketch.merge(sketch));
    SketchState after = compacted(sketch);
    EXPECT_EQ(after.num_values, 2 * count);
    after.num_values = before.num_values;
    EXPECT_EQ(after, before) << count;
  }
}

TEST(Merge, CountsWrapAroundModulo2To64) {
  SketchState state = test::sketch_state(12, 17);
  state.num_values = std::numeric_limits<std::uint64_t>::max();
  HyperLogLogPlusPlus sketch = from_state(state);
  unwrap(sketch.add_long(1));
  EXPECT_EQ(sketch.num_values(), 0u);
  HyperLogLogPlusPlus big = from_state(state);
  unwrap(big.merge(with_longs(long_sketch(12, 17), {1, 2, 3})));
  EXPECT_EQ(big.num_values(), 2u);
}

// ---------------------------------------------------------------- (c) failed merges leave self unchanged

HyperLogLogPlusPlus loaded(std::int32_t p, std::int32_t sp, const Bytes& stored) {
  SketchState state = test::sketch_state(p, sp);
  state.sparse_data = stored;
  state.num_values = 11;
  return from_state(state);
}

HyperLogLogPlusPlus sparse_receiver() {
  // Stored values and a buffer.
  return with_longs(long_sketch(12, 17), test::random_longs(1500, 40));
}

HyperLogLogPlusPlus normal_receiver() {
  return with_longs(long_sketch(12, 0), test::random_longs(1500, 41));
}

HyperLogLogPlusPlus over_budget_receiver() {
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 1; values.size() < 800; ++v) {
    if ((v & 31u) != 0) values.push_back(v);
  }
  return loaded(10, 15, difference_bytes(values));
}

// Within budget, but holding a value beyond the registers.
HyperLogLogPlusPlus corrupt_receiver() { return loaded(10, 15, difference_bytes({5, 40001})); }

struct FailedMerge {
  const char* name;
  HyperLogLogPlusPlus (*receiver)();
  HyperLogLogPlusPlus (*other)();
  ErrorKind kind;
  std::string message;  // a prefix when `prefix_only`
  bool prefix_only = false;
};

class FailedMergeLeavesSelf : public ::testing::TestWithParam<FailedMerge> {};

TEST_P(FailedMergeLeavesSelf, Unchanged) {
  const FailedMerge& c = GetParam();
  HyperLogLogPlusPlus self = c.receiver();
  const test::Snapshot before = snapshot(self);
  const Status merged = self.merge(c.other());
  if (c.prefix_only) {
    EXPECT_TRUE(fails_starting_with(merged, c.kind, c.message));
  } else {
    EXPECT_TRUE(fails_with(merged, c.kind, c.message));
  }
  EXPECT_EQ(snapshot(self), before);
  // The same through bytes, when the other can be serialised.
  HyperLogLogPlusPlus other = c.other();
  if (Result<Bytes> bytes = other.to_bytes()) {
    const Status merged_bytes = self.merge_bytes(*bytes);
    EXPECT_FALSE(merged_bytes.has_value());
    EXPECT_EQ(snapshot(self), before);
  }
}

const std::uint32_t OUTSIDE_12_17 = (1u << 17) + 1;  // plain, beyond 2^17 indexes

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedMergeLeavesSelf,
    ::testing::Values(
        FailedMerge{"types_sparse", sparse_receiver, [] { return string_sketch(12, 17); },
                    ErrorKind::InvalidState, "Aggregator of type {LONG} is incompatible with aggregator of type {", true},
        FailedMerge{"types_normal", normal_receiver, [] { return string_sketch(12, 17); },
                    ErrorKind::InvalidState, "Aggregator of type {LONG} is incompatible", true},
        FailedMerge{"crosswise", sparse_receiver, [] { return with_longs(long_sketch(13, 16), {1, 2}); },
                    ErrorKind::IncompatiblePrecision,
                    "Precisions (normal=12, sparse=17) and (normal=13, sparse=16) are not compatible"},
        FailedMerge{"crosswise_over_budget", over_budget_receiver, [] { return long_sketch(11, 14); },
                    ErrorKind::IncompatiblePrecision,
                    "Precisions (normal=10, sparse=15) and (normal=11, sparse=14) are not compatible"},
        FailedMerge{"not_ascending_equal_precisions", sparse_receiver,
                    [] { return loaded(12, 17, difference_bytes({100, 50})); }, ErrorKind::InvalidArgument,
                    "50 put after Some(100) but values are required to be in increasing order"},
        FailedMerge{"outside_encoding_lower_receiver", over_budget_receiver,
                    [] { return loaded(12, 17, difference_bytes({5, OUTSIDE_12_17})); }, ErrorKind::InvalidState,
                    "Sparse value 131073 lies outside its encoding", true},
        FailedMerge{"outside_encoding_higher_receiver", sparse_receiver,
                    [] { return loaded(10, 15, difference_bytes({5, 40001})); }, ErrorKind::InvalidState,
                    "Decoded index 1250 out of bounds for data length 1024 (sparse_value=40001, "
                    "source_precision=15, target_precision=10)"},
        FailedMerge{"bad_index_into_normal", normal_receiver,
                    [] { return loaded(12, 17, difference_bytes({5, OUTSIDE_12_17})); }, ErrorKind::InvalidState,
                    "Decoded index 4096 out of bounds for data length 4096 (sparse_value=131073, "
                    "source_precision=17, target_precision=12)"},
        FailedMerge{"bad_rho_into_normal", normal_receiver,
                    [] { return loaded(12, 17, difference_bytes({(1u << 18) | (9u << 6) | 60u})); },
                    ErrorKind::InvalidState,
                    "Decoded rho_w 65 for index 9 above the maximum 53 (sparse_value=" +
                        std::to_string((1u << 18) | (9u << 6) | 60u) + ", source_precision=17, target_precision=12)"},
        FailedMerge{"corrupt_self_converting_for_normal_other", corrupt_receiver,
                    [] { return with_longs(long_sketch(10, 0), {1, 2, 3}); }, ErrorKind::InvalidState,
                    "Decoded index 1250 out of bounds for data length 1024 (sparse_value=40001, "
                    "source_precision=15, target_precision=10)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailedMerge, BytesThatAreNoSketchChangeNothing) {
  HyperLogLogPlusPlus self = sparse_receiver();
  const test::Snapshot before = snapshot(self);
  const Bytes garbage = {0x08, 0x80};
  EXPECT_EQ(self.merge_bytes(garbage).error().kind(), ErrorKind::ProtoDeserialization);
  EXPECT_EQ(snapshot(self), before);
  SketchState low = test::sketch_state(9, 12);
  EXPECT_TRUE(fails_with(self.merge_bytes(test::message_bytes(low)), ErrorKind::InvalidArgument,
                         "Expected normal precision to be >= 10 and <= 24 but was 9"));
  EXPECT_TRUE(fails_with(self.merge_bytes(Bytes()), ErrorKind::InvalidState,
                         "Expected proto to be of type HYPERLOGLOG_PLUS_UNIQUE but was SUM"));
  EXPECT_EQ(snapshot(self), before);
}

TEST(FailedMerge, MalformedOtherIsAnInternalFailureAndChangesNothing) {
  for (auto receiver : {sparse_receiver, normal_receiver, over_budget_receiver}) {
    for (const Bytes& malformed : {Bytes{0x05, 0x81}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x01}}) {
      for (auto [p, sp] : {std::pair{12, 17}, std::pair{10, 15}, std::pair{14, 19}}) {
        HyperLogLogPlusPlus self = receiver();
        const test::Snapshot before = snapshot(self);
        EXPECT_THROW((void)self.merge(loaded(p, sp, malformed)), InternalFailure);
        EXPECT_EQ(snapshot(self), before);
      }
    }
  }
}

// ---------------------------------------------------------------- (b) order and repetition

struct OrderCase {
  const char* name;
  std::int32_t p;
  std::int32_t sp;
  std::size_t count;
};

class AddOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(AddOrder, DoesNotChangeTheSerialisedSketch) {
  const auto [name, p, sp, count] = GetParam();
  const auto values = test::random_longs(count, 50);
  const HyperLogLogPlusPlus reference = with_longs(long_sketch(p, sp), values);
  const Bytes expected = unwrap(reference.to_bytes());

  std::mt19937_64 random(51);
  for (int round = 0; round < 3; ++round) {
    auto shuffled = values;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    EXPECT_EQ(unwrap(with_longs(long_sketch(p, sp), shuffled).to_bytes()), expected) << round;

    // Some values twice, in another order again: the same sketch but for the count.
    auto repeated = concat(shuffled, std::vector<std::int64_t>(shuffled.begin(), shuffled.begin() + count / 3));
    std::shuffle(repeated.begin(), repeated.end(), random);
    const HyperLogLogPlusPlus twice = with_longs(long_sketch(p, sp), repeated);
    EXPECT_EQ(twice.num_values(), repeated.size());
    SketchState state = compacted(twice);
    state.num_values = values.size();
    EXPECT_EQ(state, compacted(reference)) << round;
    EXPECT_EQ(test::message_bytes(state), expected) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AddOrder,
                         ::testing::Values(OrderCase{"buffered", 12, 17, 300}, OrderCase{"flushing", 12, 17, 2200},
                                           OrderCase{"converting", 12, 17, 6000},
                                           OrderCase{"equal_precisions", 11, 11, 900},
                                           OrderCase{"normal_only", 12, 0, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the Invalid path

SketchState not_ascending_state(ValueType value_type) {
  SketchState state = test::sketch_state(10, 15, value_type);
  state.sparse_data = difference_bytes({100, 50});
  state.sparse_size = 2;
  state.num_values = 2;
  return state;
}

void expect_internal_failure(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "Invalid representation");
  }
}

class InvalidAfterFailedFlush : public ::testing::TestWithParam<bool> {};

TEST_P(InvalidAfterFailedFlush, RefusesEverythingAfterwards) {
  const bool through_bytes = GetParam();
  const SketchState state = not_ascending_state(ValueType::default_ops(DefaultOpsType::UINT64));
  HyperLogLogPlusPlus sketch = through_bytes ? unwrap(HyperLogLogPlusPlus::from_bytes(test::message_bytes(state)))
                                             : from_state(state);
  // Estimated without complaint before anything flushes.
  EXPECT_EQ(unwrap(sketch.result()), 2);
  EXPECT_EQ(unwrap(sketch.to_bytes()), test::message_bytes(state));

  // Only values whose sparse values lie above 100, so that 50 follows 100
  // directly in the flush; the 257th distinct one flushes.
  std::set<std::uint32_t> distinct;
  std::uint64_t adds = 0;
  Status added;
  for (std::int64_t v = 0;; ++v) {
    const std::uint32_t sparse_value = ref_sparse_value(hash_of_long(v), 10, 15);
    if (sparse_value <= 100) continue;
    distinct.insert(sparse_value);
    added = sketch.add_long(v);
    if (distinct.size() > 256) break;
    ASSERT_TRUE(added.has_value()) << "failed before the flush: " << added.error().display();
    ASSERT_EQ(sketch.num_values(), 2 + ++adds);
  }
  EXPECT_TRUE(fails_with(added, ErrorKind::InvalidArgument,
                         "50 put after Some(100) but values are required to be in increasing order"));

  const std::string invalid = "Representation is invalid";
  EXPECT_TRUE(fails_with(sketch.add_long(1), ErrorKind::InvalidState, invalid));
  EXPECT_TRUE(fails_with(sketch.result(), ErrorKind::InvalidState, invalid));
  EXPECT_TRUE(fails_with(sketch.to_bytes(), ErrorKind::InvalidState, invalid));
  EXPECT_TRUE(fails_with(sketch.merge(long_sketch(10, 15)), ErrorKind::InvalidState, invalid));
  EXPECT_TRUE(fails_with(sketch.merge(with_longs(long_sketch(12, 0), {1})), ErrorKind::InvalidState, invalid));
  EXPECT_TRUE(fails_with(sketch.merge_bytes(unwrap(long_sketch(10, 15).to_bytes())), ErrorKind::InvalidState, invalid));
  // The type check still runs first.
  EXPECT_TRUE(fails_with(sketch.add_string("x"), ErrorKind::InvalidState,
                         "Unable to add type STRING to aggregator of type {LONG}"));
  expect_internal_failure([&] { (void)sketch.num_values(); });
  expect_internal_failure([&] { (void)sketch.normal_precision(); });
  expect_internal_failure([&] { (void)sketch.sparse_precision(); });

  // Handing the broken sketch to a healthy one changes nothing there.
  HyperLogLogPlusPlus healthy = sparse_receiver();
  const test::Snapshot before = snapshot(healthy);
  EXPECT_TRUE(fails_with(healthy.merge(std::move(sketch)), ErrorKind::InvalidState, invalid));
  EXPECT_EQ(snapshot(healthy), before);
}

INSTANTIATE_TEST_SUITE_P(Sources, InvalidAfterFailedFlush, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "from_bytes" : "from_state"); });

TEST(InvalidAfterFailedFlush, NarrowingStaysInForce) {
  HyperLogLogPlusPlus sketch = from_state(not_ascending_state(ValueType::unknown()));
  Status added;
  for (int i = 0; i < 5000 && added.has_value(); ++i) added = sketch.add_string(std::to_string(i));
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(added.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(sketch.allowed_input_types(), InputTypeSet::of(InputType::STRING));
  EXPECT_TRUE(fails_with(sketch.add_long(1), ErrorKind::InvalidState,
                         "Unable to add type LONG to aggregator of type {STRING}"));
  EXPECT_TRUE(fails_with(sketch.add_string("again"), ErrorKind::InvalidState, "Representation is invalid"));
}

TEST(MalformedSparseData, IsAnInternalFailureNotACrash) {
  for (const Bytes& malformed : {Bytes{0x05, 0x81}, Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x80}}) {
    EXPECT_THROW((void)loaded(12, 17, malformed).result(), InternalFailure);
    HyperLogLogPlusPlus sketch = loaded(12, 17, malformed);
    bool threw = false;
    try {
      for (std::int64_t v = 0; v < 5000; ++v) unwrap(sketch.add_long(v));
    } catch (const InternalFailure&) {
      threw = true;
    }
    EXPECT_TRUE(threw);
    // Merging it in either direction, at equal and at different precisions.
    // A lower self only decodes its own data when the other's values make it flush.
    for (auto [p, sp] : {std::pair{12, 17}, std::pair{11, 16}, std::pair{13, 18}}) {
      HyperLogLogPlusPlus self = loaded(12, 17, malformed);
      EXPECT_THROW((void)self.merge(with_longs(long_sketch(p, sp), test::random_longs(2000, 7))),
                   InternalFailure)
          << p;
    }
  }
}

// ---------------------------------------------------------------- allocations

// Adding a value allocates nothing once the sparse buffer has reached its
// working size (flushes aside), and nothing at all once the sketch is normal.
TEST(Allocation, NoneWhileAddingOnceTheBufferIsAtItsWorkingSize) {
  HyperLogLogPlusPlus sketch = long_sketch(14, 19);
  const auto values = test::random_longs(40000, 60);
  bool flushed_once = false;
  std::size_t quiet_sparse_adds = 0;
  std::size_t normal_adds = 0;
  std::size_t flushes = 0;
  std::size_t growth_allocations = 0;
  for (std::int64_t v : values) {
    const SparseRepresentation* before = sketch.representation().sparse();
    const std::size_t buffered_before = before ? before->buffer().size() : 0;
    const bool sparse_before = before != nullptr;
    const std::size_t count_before = allocation_count.load();
    const Status added = sketch.add_long(v);
    const std::size_t allocations = allocation_count.load() - count_before;
    ASSERT_TRUE(added.has_value());
    const SparseRepresentation* after = sketch.representation().sparse();
    if (sparse_before && after != nullptr && after->buffer().size() >= buffered_before) {
      if (flushed_once) {
        ASSERT_EQ(allocations, 0u) << "sparse add of " << v;
        ++quiet_sparse_adds;
      } else {
        growth_allocations += allocations;
      }
    } else if (sparse_before) {
      // A flush or the conversion: a bounded number of arrays, not one per value.
      flushed_once = true;
      ++flushes;
      EXPECT_LT(allocations, 40u);
    } else {
      ASSERT_EQ(allocations, 0u) << "normal add of " << v;
      ++normal_adds;
    }
  }
  // Up to its first flush the buffer grows by doubling: a handful of
  // allocations for 4097 values, not one per value.
  EXPECT_GT(growth_allocations, 0u);
  EXPECT_LE(growth_allocations, 12u);
  EXPECT_GE(flushes, 3u);
  EXPECT_GT(quiet_sparse_adds, 4000u);
  EXPECT_GT(normal_adds, 10000u);
}

TEST(Allocation, NoneForTextAddsOnceNormal) {
  HyperLogLogPlusPlus sketch = string_sketch(11, 0);
  unwrap(sketch.add_string("first"));
  const std::string text = "a value long enough to leave the small-string buffer";
  const std::size_t before = allocation_count.load();
  for (int i = 0; i < 1000; ++i) unwrap(sketch.add_string(text));
  EXPECT_EQ(allocation_count.load() - before, 0u);
}

}  // namespace
}  // namespace vantorelle
