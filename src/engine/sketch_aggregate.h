// The per-group state of the sketch aggregates that a host engine drives
// (SQL's vantorelle_sketch(value) and vantorelle_merge(sketch) in DuckDB and
// Spark), and the four steps every host calls:
//
//   initialise   a state is one null pointer: no memory until it is used
//   update       the hashes of a chunk's values (sketch), or stored
//                sketches (merge), validated before they are read
//   combine      another partial state merged in; that one is left empty
//   finalise     the serialised sketch
//
// Parameters (the kind of value, the precisions) are fixed when a query is
// bound and passed to every step rather than stored per group, so a host's
// fixed-size state slot holds only the pointer.
//
// Bytes: a state fed one chunk after another in row order, then finalised,
// gives the bytes of an aggregator that added the same values one by one,
// as sketch_by does for a group. A state that saw no value finalises to the
// empty sketch for vantorelle_sketch (as sketch_by writes a group whose
// values are all null) and to no sketch at all (SQL NULL) for
// vantorelle_merge (as merge_by gives a group whose sketches are all null).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "error/result.h"
#include "hll/encoding.h"
#include "hll/hyperloglogplusplus.h"
#include "utils/bytes.h"

namespace vantorelle::engine {

// What vantorelle_sketch counts and at which precisions; checked once.
struct SketchParameters {
  InputType type = InputType::LONG;  // LONG, STRING or BYTES
  std::int32_t normal_precision = HyperLogLogPlusPlus::kDefaultNormalPrecision;
  std::int32_t sparse_precision = HyperLogLogPlusPlus::kDefaultSparsePrecision;  // 0: none

  // The precision checks and messages of the aggregator's constructors.
  static Result<SketchParameters> create(InputType type, std::int32_t normal_precision,
                                         std::int32_t sparse_precision);

  // The code of a hash: its sparse value at these precisions, at (p, p)
  // without a sparse precision (GroupedSketchBuilder's codes). A sketch
  // depends on a hash only through its code, so a host may keep the codes
  // of waiting values (4 bytes each) in place of their hashes.
  SparseEncoding codes() const;
};

class SketchAggregate {
 public:
  SketchAggregate() = default;
  SketchAggregate(const SketchAggregate&) = delete;
  SketchAggregate& operator=(const SketchAggregate&) = delete;
  SketchAggregate(SketchAggregate&& other) noexcept : sketch_(std::move(other.sketch_)) {}
  SketchAggregate& operator=(SketchAggregate&& other) noexcept {
    reset();
    sketch_ = std::move(other.sketch_);
    return *this;
  }
  ~SketchAggregate() { reset(); }

  bool empty() const { return sketch_ == nullptr; }

  // vantorelle_sketch's update: the fingerprints of values of
  // `parameters.type` (HyperLogLogPlusPlus::hash_long / hash_bytes), in row
  // order.
  Status add_hashes(const SketchParameters& parameters, std::span<const std::uint64_t> hashes);
  // The same for the values' codes (parameters.codes()): the sketch is the
  // one their hashes make.
  Status add_codes(const SketchParameters& parameters, std::span<const std::uint32_t> codes);

  // The precision of this state's registers once its sketch holds them
  // (normal), else nullopt. From then on the order of further values no
  // longer changes the sketch, so a host may fold them into registers of
  // its own and hand those over with merge_registers.
  std::optional<std::int32_t> register_precision() const;

  // Adds `count` values already folded into `registers` (2^p bytes at this
  // state's register precision p, each the largest rho_w its index saw):
  // the sketch is then what adding those values one by one would have
  // made. Only for a state with registers (register_precision()); anything
  // else is an internal failure.
  Status merge_registers(std::span<const std::uint8_t> registers, std::uint64_t count);

  // The sketch of an empty state that took `count` values of
  // `parameters.type` folded into `registers` (2^p bytes at the normal
  // precision p): for a host that knows their sketch ends with registers
  // whatever their order (more registers filled than the sparse form's
  // budget in bytes), the sketch adding them one by one ends with. Anything
  // but an empty state and registers of that size is an internal failure.
  Status start_from_registers(const SketchParameters& parameters, std::span<const std::uint8_t> registers,
                              std::uint64_t count);

  // vantorelle_merge's update: one stored sketch, validated first (a corrupt
  // or foreign one is refused with the validating check's message, and the
  // state is unchanged).
  Status merge_stored(ByteView stored);

  // Merges `other` in and leaves it empty; a failure (sketches of kinds or
  // precisions that do not merge) leaves both as they were.
  Status combine(SketchAggregate& other);
  // The same, leaving `other` as it was: for hosts that combine one partial
  // state into several others (DuckDB's window segment trees reuse a node
  // for every frame that covers it).
  Status combine_copy(const SketchAggregate& other);

  // vantorelle_sketch's result: this state's sketch, or the empty sketch of
  // `parameters` when it saw no value.
  Result<Bytes> finalise_sketch(const SketchParameters& parameters) const;
  // vantorelle_merge's result: nullopt (SQL NULL) when no sketch was merged.
  Result<std::optional<Bytes>> finalise_merge() const;

  // Frees the sketch; the state is as initialised.
  void reset();

  // Sketches held by states now, in the whole process: what a host's tests
  // read to show that no path (a failed task included) leaves one behind.
  static std::int64_t live_count() { return live_.load(std::memory_order_relaxed); }

 private:
  void hold(HyperLogLogPlusPlus sketch);

  std::unique_ptr<HyperLogLogPlusPlus> sketch_;
  static inline std::atomic<std::int64_t> live_{0};
};

static_assert(sizeof(SketchAggregate) == sizeof(void*), "a host's state slot holds one pointer");

}  // namespace vantorelle::engine
