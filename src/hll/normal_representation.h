// The dense form of a sketch: 2^p one-byte registers, each the largest rho_w
// seen for its index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error/result.h"
#include "hll/encoding.h"
#include "hll/estimate.h"
#include "hll/register_sums.h"
#include "state/sketch_state.h"

namespace vantorelle {

class NormalRepresentation {
 public:
  // Checks the precision (10..24) and the register length (2^p, if present),
  // then refuses register bytes above 65 - p. Drops sparse_data and zeroes
  // sparse_size.
  static Result<NormalRepresentation> create(SketchState state);
  // The checks of create, on a state that is only read.
  static Status check_state(const SketchState& state);
  // The checks of create for registers `data` at precision p, with the
  // summary of the registers that the register check takes (and S where
  // summarize_and_sum_registers forms it, for a caller that estimates them).
  static Result<RegisterSummary> check_registers(std::int32_t precision, ByteView data);
  static Result<RegisterSums> check_and_sum_registers(std::int32_t precision, ByteView data);

  const SketchState& state() const { return state_; }
  SketchState& state() { return state_; }
  const NormalEncoding& encoding() const { return encoding_; }

  // The in-place steps below may leave the registers partly updated when
  // they fail; callers then drop the representation (or work on a copy).

  Status add_hash(std::uint64_t hash) {
    const NormalCoordinates c = encoding_.coordinates(hash);
    Bytes& data = registers();
    if (c.index >= data.size()) [[unlikely]] return index_out_of_bounds(c.index);
    std::uint8_t& reg = data[c.index];
    if (c.rho_w > reg) reg = static_cast<std::uint8_t>(c.rho_w);
    return {};
  }

  // Lowers the precisions to (target_precision, target_sparse_precision)
  // where they are higher, folding the registers.
  Status downgrade(std::int32_t target_precision, std::int32_t target_sparse_precision);

  // Merges registers of source_precision into these registers of
  // target_precision (equal to the current precision).
  Status merge_normal_data_maybe_downgrading(std::int32_t target_precision,
                                             std::optional<Bytes> other,
                                             std::int32_t source_precision);

  // Downgrades to the source encoding, then takes in each value, made with
  // `source`. The register array is created even for an empty sequence.
  Status merge_sparse_values(const SparseEncoding& source, std::span<const std::uint32_t> values);
  // The same for difference-coded stored values; absent data only downgrades.
  Status merge_sparse_data(const SparseEncoding& source, const std::optional<Bytes>& sparse_data);

  // Downgrades to the other's precisions and takes the register maximum.
  Status merge(NormalRepresentation other);

  // The HLL++ estimate of the registers (0 while none are allocated).
  std::int64_t estimate() const {
    return state_.data ? estimate_registers(*state_.data, state_.precision) : 0;
  }

 private:
  NormalRepresentation(SketchState state, NormalEncoding encoding)
      : state_(std::move(state)), encoding_(encoding) {}

  // The register array, created zero-filled when absent.
  Bytes& registers() {
    if (!state_.data) [[unlikely]] allocate_registers();
    return *state_.data;
  }
  void allocate_registers();
  Status index_out_of_bounds(std::uint32_t index) const;
  Status add_sparse_value(const SparseEncoding& source, std::uint32_t value);

  SketchState state_;
  NormalEncoding encoding_;
};

}  // namespace vantorelle
