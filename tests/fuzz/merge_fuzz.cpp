// libFuzzer target over merges of two sketches at every combination of
// precisions: each side is a fuzzed serialised sketch whose precisions the
// fuzzer may also choose outright, merged into the other both ways, as a
// sketch object and as bytes.
//
// Input layout (what merge_seed_corpus writes):
//   byte 0       control bits: bit 0 / bit 1 set the first / second side's
//                precisions from bytes 1-2 / 3-4; bit 2 / bit 3 add a burst
//                of values to the first / second side before merging
//   bytes 1-2    normal precision NORMAL_PRECISIONS[b1 % 64] (merge_input.h),
//                every one of 10..24, the low ones more often; sparse precision chosen by
//                b2 % (27 - p): 0 for none, else p + (that - 1)
//   bytes 3-4    the same for the second side
//   bytes 5-7    little-endian length n of the first side
//   next n bytes the first side, the rest the second side
// A side that is not a well-formed message becomes a sketch of its chosen
// precisions whose stored sparse values are those bytes. Shorter inputs are
// cut where they end.
//
// Checked: a failed merge leaves the receiver exactly as it was; a
// successful one adds the counts; when both sides passed validate_bytes,
// nothing meets an internal failure, the merged sketch writes bytes that
// validate, and the two merge directions agree on the estimate when they
// end in the same representation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "error/internal_failure.h"
#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "state/state_validation.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/merge_input.h"

namespace vantorelle {
namespace {

constexpr const char kFuzzTarget[] = "merge_fuzz";

struct Precisions {
  std::int32_t p;
  std::int32_t sp;
};

Precisions chosen(std::uint8_t normal, std::uint8_t sparse) {
  const std::int32_t p = NORMAL_PRECISIONS[normal % 64];
  const std::int32_t pick = sparse % (27 - p);
  return {p, pick == 0 ? 0 : p + pick - 1};
}

// The bytes of one side: the fuzzed message, with the chosen precisions
// when asked; a non-message becomes stored sparse values.
Bytes side_bytes(ByteView fuzzed, bool set_precisions, Precisions precisions) {
  Result<SketchState> decoded = decode_state(fuzzed);
  if (decoded && !set_precisions) return Bytes(fuzzed.begin(), fuzzed.end());
  SketchState state;
  if (decoded) {
    state = std::move(*decoded);
  } else {
    state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
    state.encoding_version = 2;
    state.value_type = ValueType::default_ops(DefaultOpsType::UINT64);
    state.sparse_data = Bytes(fuzzed.begin(), fuzzed.end());
  }
  state.precision = precisions.p;
  state.sparse_precision = precisions.sp;
  if (precisions.sp == 0) state.sparse_data.reset();
  // Registers keep their values at the new length.
  if (state.data) state.data->resize(std::size_t{1} << precisions.p, 0);
  Result<Bytes> encoded = encode_state(state);
  FUZZ_CHECK(encoded.has_value());
  return std::move(*encoded);
}

struct Side {
  Bytes bytes;
  std::optional<HyperLogLogPlusPlus> sketch;
  bool trusted = false;  // its bytes passed validate_bytes
  std::uint64_t bytes_count = 0;  // num_values of the sketch in `bytes`
};

Side load(Bytes bytes) {
  Side side;
  side.bytes = std::move(bytes);
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_bytes(side.bytes);
  const Status door = validate_bytes(side.bytes);
  side.trusted = door.has_value();
  if (sketch) {
    side.bytes_count = sketch->num_values();
    side.sketch = std::move(*sketch);
  } else {
    // The door runs the build checks first, with the same errors (but for
    // empty bytes, which it calls empty).
    FUZZ_CHECK(!door.has_value() && (side.bytes.empty() ? door.error() == check_not_empty(side.bytes).error()
                                                        : door.error() == sketch.error()));
  }
  return side;
}

// Runs one step; InternalFailure is a bug when the step touches only
// validated sketches.
template <class Step>
void guarded(bool trusted, Step&& step) {
  try {
    step();
  } catch (const InternalFailure& failure) {
    if (trusted) {
      std::fprintf(stderr, "merge_fuzz: internal failure after validation: %s\n", failure.what());
      broken(kFuzzTarget, "no InternalFailure once validated", __LINE__);
    }
  }
}

// Merges `other` into a copy of `receiver` with `merge`; checks what a
// merge promises and returns the merged copy when it succeeded.
template <class Merge>
std::optional<HyperLogLogPlusPlus> merged(const HyperLogLogPlusPlus& receiver, std::uint64_t other_count,
                                          Merge&& merge) {
  HyperLogLogPlusPlus target = receiver;
  const Result<Bytes> before = receiver.to_bytes();
  const Status status = merge(target);
  if (!status) {
    // A failed merge changes nothing.
    FUZZ_CHECK(target.num_values() == receiver.num_values());
    const Result<Bytes> after = target.to_bytes();
    FUZZ_CHECK(before.has_value() == after.has_value());
    if (before) FUZZ_CHECK(*before == *after);
    return std::nullopt;
  }
  FUZZ_CHECK(target.num_values() == receiver.num_values() + other_count);
  return target;
}

// Everything a user may do with a merged sketch.
void use(const HyperLogLogPlusPlus& sketch, bool trusted) {
  guarded(trusted, [&] {
    (void)sketch.result();
    Result<Bytes> bytes = sketch.to_bytes();
    if (trusted) {
      FUZZ_CHECK(bytes.has_value());
      const Status again = validate_bytes(*bytes);
      if (!again) std::fprintf(stderr, "merge_fuzz: %s\n", again.error().display().c_str());
      FUZZ_CHECK(again.has_value());
    }
    HyperLogLogPlusPlus copy = sketch;
    (void)copy.add_long(42);
    (void)copy.add_string("forty-two");
    (void)copy.result();
    (void)copy.to_bytes();
  });
}

enum class Kind { Normal, Sparse };
Kind kind_of(const HyperLogLogPlusPlus& sketch) {
  return sketch.representation().normal() != nullptr ? Kind::Normal : Kind::Sparse;
}

// Merges b into a: as an object and as bytes (which must agree), then uses
// the result.
// `same_sides`: b's bytes are the ones its sketch was loaded from.
std::optional<HyperLogLogPlusPlus> merge_one_way(const Side& a, const Side& b, bool same_sides) {
  const bool trusted = a.trusted && b.trusted;
  std::optional<HyperLogLogPlusPlus> by_object;
  std::optional<HyperLogLogPlusPlus> by_bytes;
  guarded(trusted, [&] {
    by_object = merged(*a.sketch, b.sketch->num_values(),
                       [&](HyperLogLogPlusPlus& target) { return target.merge(*b.sketch); });
  });
  guarded(trusted, [&] {
    by_bytes = merged(*a.sketch, b.bytes_count,
                      [&](HyperLogLogPlusPlus& target) { return target.merge_bytes(b.bytes); });
  });
  if (trusted && same_sides) {
    // The bytes are the other sketch itself, so both ways end the same.
    FUZZ_CHECK(by_object.has_value() == by_bytes.has_value());
    if (by_object) {
      const Result<Bytes> x = by_object->to_bytes();
      const Result<Bytes> y = by_bytes->to_bytes();
      FUZZ_CHECK(x.has_value() && y.has_value() && *x == *y);
    }
  }
  if (by_object) use(*by_object, trusted);
  return by_object;
}

}  // namespace
}  // namespace vantorelle

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorelle;
  std::uint8_t header[8] = {};
  for (std::size_t i = 0; i < 8 && i < size; ++i) header[i] = data[i];
  const std::uint8_t control = header[0];
  const std::size_t rest_size = size > 8 ? size - 8 : 0;
  const std::uint8_t* rest = data + (size - rest_size);
  std::size_t length = header[5] | (std::size_t{header[6]} << 8) | (std::size_t{header[7]} << 16);
  if (length > rest_size) length = rest_size;
  const ByteView first(rest, length);
  const ByteView second(rest + length, rest_size - length);

  Side a = load(side_bytes(first, (control & 1) != 0, chosen(header[1], header[2])));
  Side b = load(side_bytes(second, (control & 2) != 0, chosen(header[3], header[4])));
  if (!a.sketch || !b.sketch) return 0;

  // Bursts of values move sketches towards (or into) the normal form; a
  // failed add may leave a loaded sketch unusable, which only unvalidated
  // data may do.
  guarded(a.trusted, [&] {
    if ((control & 4) != 0) add_burst(*a.sketch, a.bytes.size(), 40 << (control >> 5));
  });
  guarded(b.trusted, [&] {
    if ((control & 8) != 0) add_burst(*b.sketch, b.bytes.size() * 31, 40 << (control >> 5));
  });
  if (a.sketch->representation().is_invalid() || b.sketch->representation().is_invalid()) {
    FUZZ_CHECK(!a.trusted || !a.sketch->representation().is_invalid());
    FUZZ_CHECK(!b.trusted || !b.sketch->representation().is_invalid());
    return 0;
  }
  // The sides as they are now, for merging as bytes.
  if ((control & 12) != 0) {
    // (A sketch whose stored data fails to compact keeps its old bytes.)
    for (Side* side : {&a, &b}) {
      guarded(side->trusted, [&] {
        if (Result<Bytes> bytes = side->sketch->to_bytes()) {
          side->bytes = std::move(*bytes);
          side->bytes_count = side->sketch->num_values();
        }
      });
    }
  }

  // After a burst the sides' bytes are their serialised forms, which load
  // with the buffer flushed and the input types widened again.
  const bool same_sides = (control & 12) == 0;
  const std::optional<HyperLogLogPlusPlus> ab = merge_one_way(a, b, same_sides);
  const std::optional<HyperLogLogPlusPlus> ba = merge_one_way(b, a, same_sides);
  if (a.trusted && b.trusted && ab && ba && kind_of(*ab) == kind_of(*ba)) {
    // The union does not depend on the direction.
    FUZZ_CHECK(ab->normal_precision() == ba->normal_precision());
    FUZZ_CHECK(ab->sparse_precision() == ba->sparse_precision());
    FUZZ_CHECK(ab->num_values() == ba->num_values());
    const Result<std::int64_t> x = ab->result();
    const Result<std::int64_t> y = ba->result();
    FUZZ_CHECK(x.has_value() && y.has_value() && *x == *y);
  }
  return 0;
}
