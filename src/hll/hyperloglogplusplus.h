// HyperLogLogPlusPlus: the aggregator. It accepts values of one family,
// hashes them with Fingerprint2011, feeds its representation, counts the
// values added and merges compatible sketches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/result.h"
#include "fingerprint2011/fingerprint2011.h"
#include "fingerprint2011/fingerprint2011_words.h"
#include "hll/representation.h"
#include "state/sketch_state.h"

namespace vantorelle {

enum class InputType : std::uint8_t { LONG = 0, INTEGER = 1, STRING = 2, BYTES = 3 };

std::string_view display_name(InputType type);

// A set of input types as a four-bit mask.
class InputTypeSet {
 public:
  constexpr InputTypeSet() = default;
  static constexpr InputTypeSet of(InputType type) { return InputTypeSet(bit(type)); }
  static constexpr InputTypeSet all() { return InputTypeSet(0xF); }

  constexpr bool contains(InputType type) const { return (mask_ & bit(type)) != 0; }
  constexpr bool empty() const { return mask_ == 0; }
  // Counted by hand: without a popcount instruction in the target flags,
  // __builtin_popcount is a library call on the path of every add.
  constexpr int size() const {
    return (mask_ & 1) + ((mask_ >> 1) & 1) + ((mask_ >> 2) & 1) + ((mask_ >> 3) & 1);
  }
  constexpr InputTypeSet operator|(InputTypeSet other) const { return InputTypeSet(mask_ | other.mask_); }
  constexpr InputTypeSet operator&(InputTypeSet other) const { return InputTypeSet(mask_ & other.mask_); }
  constexpr bool operator==(const InputTypeSet&) const = default;

  // {LONG}, {STRING, BYTES}: members in code order.
  std::string display() const;

 private:
  constexpr explicit InputTypeSet(std::uint8_t mask) : mask_(mask) {}
  static constexpr std::uint8_t bit(InputType type) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(type));
  }
  std::uint8_t mask_ = 0;
};

// Whether a sketch accepting `allowed` takes a value of `type`: the one
// refusal of a value of the wrong type, for adds and for callers that check
// a whole column before any sketch exists.
Status check_admitted(InputTypeSet allowed, InputType type);

class HyperLogLogPlusPlus {
 public:
  // The precisions a sketch gets when its maker names none.
  static constexpr std::int32_t kDefaultNormalPrecision = 15;
  static constexpr std::int32_t kDefaultSparsePrecision = 20;

  // An absent sparse precision means normal precision + 5; 0 means no
  // sparse phase.
  static Result<HyperLogLogPlusPlus> new_long(std::int32_t normal_precision,
                                              std::optional<std::int32_t> sparse_precision);
  static Result<HyperLogLogPlusPlus> new_string_or_bytes(std::int32_t normal_precision,
                                                         std::optional<std::int32_t> sparse_precision);
  static Result<HyperLogLogPlusPlus> from_state(SketchState state);
  // The checks and errors of new_long and new_string_or_bytes for these
  // precisions, without building a sketch.
  static Status check_precisions(std::int32_t normal_precision,
                                 std::optional<std::int32_t> sparse_precision);
  // Runs the checks of from_state, in the same order and with the same
  // errors, without building anything or copying the byte arrays.
  static Status check_state(const SketchState& state);
  // check_state of a view that has data, and the summary of its registers
  // with, where it is formed alongside, S: what an estimate of the
  // registers needs, read once.
  static Result<RegisterSums> check_normal_view(const SketchStateView& view);

  // Serialised form (defined with the state message).
  static Result<HyperLogLogPlusPlus> from_bytes(ByteView bytes);
  // Serialises a compacted copy; this sketch is left exactly as it was.
  Result<Bytes> to_bytes() const;
  // Decodes and merges a serialised sketch; a failure changes nothing.
  Status merge_bytes(ByteView bytes);

  Status add_long(std::int64_t value);
  Status add_string(std::string_view utf8);
  Status add_bytes(ByteView bytes);

  // The fingerprints the adds compute: an integer as its eight little-endian
  // bytes, text as its UTF-8 bytes, byte strings as they are.
  static std::uint64_t hash_long(std::int64_t value) {
    return fingerprint2011_word(static_cast<std::uint64_t>(value));
  }
  // hash_long of many values at once, each given as its 64 bits; `hashes`
  // may be `values`.
  static void hash_longs(const std::uint64_t* values, std::size_t count, std::uint64_t* hashes) {
    fingerprint2011_words(values, count, hashes);
  }
  static std::uint64_t hash_bytes(ByteView bytes);

  // The column form of the adds: one type check for `type` (narrowing the
  // allowed set as an add does, also when `hashes` is empty), then each hash
  // in order, counted as one value each. Stops at the first failing add;
  // the hashes before it stay added.
  Status add_hashes(InputType type, std::span<const std::uint64_t> hashes);

  // Takes `other` over; a failure leaves this sketch unchanged.
  Status merge(HyperLogLogPlusPlus other);

  Result<std::int64_t> result() const;

  // These meet an internal failure when a failed add left the sketch Invalid.
  std::uint64_t num_values() const { return representation_.state().num_values; }
  std::int32_t normal_precision() const { return representation_.state().precision; }
  std::int32_t sparse_precision() const { return representation_.state().sparse_precision; }

  InputTypeSet allowed_input_types() const { return allowed_input_types_; }
  const Representation& representation() const { return representation_; }

 private:
  HyperLogLogPlusPlus(Representation representation, InputTypeSet allowed)
      : representation_(std::move(representation)), allowed_input_types_(allowed) {}

  // A sketch that already accepts exactly this type, the case of every add
  // but a sketch's first, needs no further check.
  Status check_input_type(InputType type) {
    if (allowed_input_types_ == InputTypeSet::of(type)) [[likely]] return {};
    return admit_input_type(type);
  }
  Status admit_input_type(InputType type);
  Status add_hash(std::uint64_t hash);

  Representation representation_;
  InputTypeSet allowed_input_types_;
};

}  // namespace vantorelle
