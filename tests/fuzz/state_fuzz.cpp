// libFuzzer target over the serialised form and everything a loaded sketch
// can do: decode and build, add, merge (with another loaded sketch, with
// copies of itself, with raw bytes), estimate, serialise and load again.
//
// Input layout (what state_seed_corpus writes):
//   byte 0       control bits: bits 0-2 number of single adds, bits 3-4 add
//                kind, bit 5 a long burst of adds, bit 6 merge order
//   bytes 1-3    little-endian length n of the first sketch
//   next n bytes the first serialised sketch
//   the rest     the second serialised sketch
// Shorter or inconsistent inputs are cut where they end.
//
// Malformed stored sparse data may surface as InternalFailure; that is an
// expected outcome, unless every sketch involved passed validate_bytes: the
// validating door promises that nothing it lets in ever meets one. Any other
// exception, crash, sanitizer report or broken invariant below is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "error/internal_failure.h"
#include "hll/hyperloglogplusplus.h"
#include "state/state_validation.h"
#include "tests/fuzz/fuzz_support.h"

namespace vantorelle {
namespace {

constexpr const char kFuzzTarget[] = "state_fuzz";

struct Input {
  std::uint8_t control = 0;
  ByteView first;
  ByteView second;
  ByteView whole;
};

Input split(const std::uint8_t* data, std::size_t size) {
  Input input;
  input.whole = ByteView(data, size);
  if (size == 0) return input;
  input.control = data[0];
  const std::uint8_t* rest = data + 1;
  std::size_t left = size - 1;
  if (left < 3) {
    input.first = ByteView(rest, left);
    return input;
  }
  std::size_t length = rest[0] | (std::size_t{rest[1]} << 8) | (std::size_t{rest[2]} << 16);
  rest += 3;
  left -= 3;
  if (length > left) length = left;
  input.first = ByteView(rest, length);
  input.second = ByteView(rest + length, left - length);
  return input;
}

// Runs one step; InternalFailure ends only that step, and is a bug when
// every sketch the step touches passed validation (`trusted`).
template <class Step>
void guarded(bool trusted, Step&& step) {
  try {
    step();
  } catch (const InternalFailure& failure) {
    if (trusted) {
      std::fprintf(stderr, "state_fuzz: internal failure after validation: %s\n", failure.what());
      broken(kFuzzTarget, "no InternalFailure once validated", __LINE__);
    }
  }
}

// Building from bytes reads no sparse contents, so it never throws. The
// validating door runs the same build checks first: whatever it passes
// builds, and whatever fails to build it refuses with the same error (but
// empty bytes, which it calls empty where the build reports the type of a
// message of defaults). `validated`, when given, receives the door's
// verdict.
std::optional<HyperLogLogPlusPlus> load(ByteView bytes, bool* validated = nullptr) {
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_bytes(bytes);
  std::optional<Status> door;
  if (validated != nullptr) {
    door = validate_bytes(bytes);
    *validated = door->has_value();
  }
  if (!sketch) {
    const ErrorKind kind = sketch.error().kind();
    FUZZ_CHECK(kind == ErrorKind::ProtoDeserialization || kind == ErrorKind::InvalidState ||
               kind == ErrorKind::InvalidArgument);
    if (door) FUZZ_CHECK(!door->has_value() && (bytes.empty() ? door->error() == check_not_empty(bytes).error()
                                                              : door->error() == sketch.error()));
    return std::nullopt;
  }
  if (door && !door->has_value()) FUZZ_CHECK(door->error().kind() == ErrorKind::InvalidState);
  return std::move(*sketch);
}

enum class Kind { Normal, Sparse };
Kind kind_of(const HyperLogLogPlusPlus& sketch) {
  FUZZ_CHECK(!sketch.representation().is_invalid());
  return sketch.representation().normal() != nullptr ? Kind::Normal : Kind::Sparse;
}

// What a round trip through bytes keeps. A validated sketch writes bytes
// that validate again.
void check_round_trip(const HyperLogLogPlusPlus& sketch, bool trusted) {
  Result<Bytes> bytes = sketch.to_bytes();
  if (trusted) FUZZ_CHECK(bytes.has_value());
  if (!bytes) return;  // compaction of loaded malformed sparse data
  if (trusted) {
    const Status again = validate_bytes(*bytes);
    if (!again) std::fprintf(stderr, "state_fuzz: %s\n", again.error().display().c_str());
    FUZZ_CHECK(again.has_value());
  }
  Result<Bytes> again = sketch.to_bytes();
  FUZZ_CHECK(again.has_value() && *again == *bytes);

  std::optional<HyperLogLogPlusPlus> decoded = load(*bytes);
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(decoded->num_values() == sketch.num_values());
  FUZZ_CHECK(decoded->normal_precision() == sketch.normal_precision());
  FUZZ_CHECK(decoded->sparse_precision() == sketch.sparse_precision());
  Result<Bytes> reencoded = decoded->to_bytes();
  FUZZ_CHECK(reencoded.has_value() && *reencoded == *bytes);

  if (kind_of(*decoded) == kind_of(sketch)) {
    Result<std::int64_t> before = sketch.result();
    Result<std::int64_t> after = decoded->result();
    FUZZ_CHECK(before.has_value() == after.has_value());
    if (before.has_value()) FUZZ_CHECK(*before == *after);
  }
}

std::uint64_t read_u64(ByteView bytes, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8 && offset + i < bytes.size(); ++i) {
    value |= std::uint64_t{bytes[offset + i]} << (8 * i);
  }
  return value;
}

// Adds values taken from the input; counts must follow the successes.
void add_values(HyperLogLogPlusPlus& sketch, const Input& input) {
  const int singles = input.control & 7;
  const int add_kind = (input.control >> 3) & 3;
  const ByteView source = input.whole;
  for (int i = 0; i < singles; ++i) {
    const std::size_t offset = source.empty() ? 0 : (static_cast<std::size_t>(i) * 7) % source.size();
    const std::size_t length = source.empty() ? 0 : std::min<std::size_t>(source.size() - offset, i + 1);
    const ByteView slice = source.subspan(offset, length);
    const std::uint64_t before = sketch.num_values();
    Status status;
    switch ((add_kind + i) % 3) {
      case 0:
        status = sketch.add_long(static_cast<std::int64_t>(read_u64(source, offset)));
        break;
      case 1:
        status = sketch.add_string(
            std::string_view(reinterpret_cast<const char*>(slice.data()), slice.size()));
        break;
      default:
        status = sketch.add_bytes(slice);
        break;
    }
    if (status) {
      FUZZ_CHECK(sketch.num_values() == before + 1);
    } else {
      FUZZ_CHECK(status.error().kind() == ErrorKind::InvalidState ||
                 status.error().kind() == ErrorKind::InvalidArgument);
      if (sketch.representation().is_invalid()) return;
      FUZZ_CHECK(sketch.num_values() == before);
    }
  }

  if ((input.control & 0x20) != 0) {
    // Enough distinct values to push a sparse sketch of low precision past
    // its budget and into the normal form.
    add_burst(sketch, read_u64(source, 1), 1500);
  }
}

// A failed merge leaves the receiving sketch exactly as it was.
// Says whether the merge succeeded.
template <class Merge>
bool merge_checked(HyperLogLogPlusPlus& sketch, std::uint64_t other_count, Merge&& merge) {
  const std::uint64_t count = sketch.num_values();
  const HyperLogLogPlusPlus saved = sketch;
  Status status = merge();
  if (status) {
    FUZZ_CHECK(sketch.num_values() == count + other_count);
    return true;
  }
  Result<Bytes> before = saved.to_bytes();
  Result<Bytes> after = sketch.to_bytes();
  FUZZ_CHECK(before.has_value() == after.has_value());
  if (before.has_value()) FUZZ_CHECK(*before == *after);
  FUZZ_CHECK(sketch.num_values() == count);
  return false;
}

// `trusted`: the sketch's bytes passed validation; `other_trusted`: so did
// the other's. Operations on trusted sketches alone must not meet an
// internal failure.
void exercise(HyperLogLogPlusPlus sketch, bool trusted, const std::optional<HyperLogLogPlusPlus>& other,
              bool other_trusted, const Input& input, ByteView other_bytes) {
  guarded(trusted, [&] { check_round_trip(sketch, trusted); });
  guarded(trusted, [&] {
    add_values(sketch, input);
    (void)sketch.result();
  });
  if (sketch.representation().is_invalid()) {
    // A failed add leaves the slot Invalid: the operations now refuse.
    FUZZ_CHECK(!trusted);
    FUZZ_CHECK(!sketch.result().has_value());
    FUZZ_CHECK(!sketch.to_bytes().has_value());
    return;
  }
  guarded(trusted, [&] {
    HyperLogLogPlusPlus copy = sketch;
    const std::uint64_t n = copy.num_values();
    merge_checked(sketch, n, [&] { return sketch.merge(std::move(copy)); });
  });
  guarded(trusted, [&] {
    Result<Bytes> bytes = sketch.to_bytes();
    if (!bytes) return;
    std::optional<HyperLogLogPlusPlus> copy = load(*bytes);
    FUZZ_CHECK(copy.has_value());
    const std::uint64_t n = copy->num_values();
    merge_checked(sketch, n, [&] { return sketch.merge(std::move(*copy)); });
  });
  // A merge with an unvalidated other may fail inside; the receiver, merged
  // into a copy, then stays as it was. One that succeeds takes in whatever
  // the other held, so the receiver is trusted only if both were.
  const bool both = trusted && other_trusted;
  if (other.has_value()) {
    guarded(both, [&] {
      HyperLogLogPlusPlus copy = *other;
      const std::uint64_t n = copy.num_values();
      if (merge_checked(sketch, n, [&] { return sketch.merge(std::move(copy)); })) trusted = both;
    });
    guarded(both, [&] {
      const std::uint64_t n = other->num_values();
      if (merge_checked(sketch, n, [&] { return sketch.merge_bytes(other_bytes); })) trusted = both;
    });
  } else {
    guarded(trusted, [&] {
      const std::uint64_t count = sketch.num_values();
      Status status = sketch.merge_bytes(other_bytes);
      FUZZ_CHECK(!status.has_value());
      FUZZ_CHECK(sketch.num_values() == count);
    });
  }
  guarded(trusted, [&] { check_round_trip(sketch, trusted); });
}

}  // namespace
}  // namespace vantorelle

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorelle;
  const Input input = split(data, size);

  // The whole input as one message: arbitrary bytes through the decoder.
  (void)load(input.whole);

  bool first_valid = false;
  bool second_valid = false;
  std::optional<HyperLogLogPlusPlus> first = load(input.first, &first_valid);
  std::optional<HyperLogLogPlusPlus> second = load(input.second, &second_valid);
  if ((input.control & 0x40) != 0) {
    if (second) exercise(*second, second_valid, first, first_valid, input, input.first);
  } else {
    if (first) exercise(*first, first_valid, second, second_valid, input, input.second);
  }
  return 0;
}
