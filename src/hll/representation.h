// The representation slot of a sketch: Normal, Sparse, or Invalid while an
// operation has taken the representation out (and for good if it failed).
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "error/result.h"
#include "hll/normal_representation.h"
#include "hll/sparse_representation.h"
#include "state/sketch_state.h"

namespace vantorelle {

class Representation {
 public:
  Representation() = default;  // Invalid
  Representation(NormalRepresentation normal) : variant_(std::move(normal)) {}
  Representation(SparseRepresentation sparse) : variant_(std::move(sparse)) {}

  // Normal when the state has data or no sparse precision, else Sparse.
  static Result<Representation> from_state(SketchState state);
  // The checks of from_state, without building: the same errors in the same
  // order.
  static Status check_state(const SketchState& state);
  // check_state of a view that has data (the build of a normal sketch), and
  // the summary of its registers with, where it is formed alongside, S.
  static Result<RegisterSums> check_normal_view(const SketchStateView& view);

  bool is_invalid() const { return std::holds_alternative<std::monostate>(variant_); }
  NormalRepresentation* normal() { return std::get_if<NormalRepresentation>(&variant_); }
  const NormalRepresentation* normal() const { return std::get_if<NormalRepresentation>(&variant_); }
  SparseRepresentation* sparse() { return std::get_if<SparseRepresentation>(&variant_); }
  const SparseRepresentation* sparse() const { return std::get_if<SparseRepresentation>(&variant_); }

  // Take-and-replace: the slot stays Invalid if the operation fails.
  Status add_hash(std::uint64_t hash);
  // add_hash of each hash in order, with one dispatch per run of hashes that
  // meet the same representation.
  Status add_hashes(std::span<const std::uint64_t> hashes);
  Status compact();

  Result<std::int64_t> estimate() const;

  // Merges `other` into `self` (a copy of the receiving sketch's slot).
  static Result<Representation> merge(Representation self, Representation other);

  // The current state; an Invalid slot is an internal failure.
  const SketchState& state() const {
    if (const NormalRepresentation* n = normal()) return n->state();
    if (const SparseRepresentation* s = sparse()) return s->state();
    invalid_state_access();
  }
  SketchState& state() {
    if (NormalRepresentation* n = normal()) return n->state();
    if (SparseRepresentation* s = sparse()) return s->state();
    invalid_state_access();
  }

 private:
  [[noreturn]] static void invalid_state_access();
  // Flushes or converts the sparse representation after an add.
  Status update_sparse();

  std::variant<std::monostate, NormalRepresentation, SparseRepresentation> variant_;
};

}  // namespace vantorelle
