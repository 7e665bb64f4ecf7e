#include "hll/representation.h"

#include <utility>

#include "error/internal_failure.h"

namespace vantorelle {

namespace {
Err representation_is_invalid() { return invalid_state("Representation is invalid"); }
}  // namespace

namespace {

Status check_sparse_data_has_precision(bool has_sparse_data, std::int32_t sparse_precision) {
  if (has_sparse_data && sparse_precision == 0) {
    return invalid_state("Must have a sparse precision when sparse data is set");
  }
  return {};
}

Status check_sparse_data_has_precision(const SketchState& state) {
  return check_sparse_data_has_precision(state.sparse_data.has_value(), state.sparse_precision);
}

bool builds_normal(const SketchState& state) {
  return state.data || state.sparse_precision == 0;
}

}  // namespace

Status Representation::check_state(const SketchState& state) {
  VANTORELLE_RETURN_IF_ERROR(check_sparse_data_has_precision(state));
  if (builds_normal(state)) return NormalRepresentation::check_state(state);
  // The sparse build reads only the scalar fields (sparse_data is taken over
  // unread), so it runs on a copy without the byte arrays.
  Result<SparseRepresentation> sparse = SparseRepresentation::create(scalar_fields(state));
  if (!sparse) return sparse.take_error();
  return {};
}

Result<RegisterSums> Representation::check_normal_view(const SketchStateView& view) {
  VANTORELLE_ASSERT(view.data.has_value(), "a normal view has data");
  VANTORELLE_RETURN_IF_ERROR(
      check_sparse_data_has_precision(view.sparse_data.has_value(), view.scalars.sparse_precision));
  return NormalRepresentation::check_and_sum_registers(view.scalars.precision, *view.data);
}

Result<Representation> Representation::from_state(SketchState state) {
  VANTORELLE_RETURN_IF_ERROR(check_sparse_data_has_precision(state));
  if (builds_normal(state)) {
    Result<NormalRepresentation> normal = NormalRepresentation::create(std::move(state));
    if (!normal) return normal.take_error();
    return Representation(std::move(*normal));
  }
  Result<SparseRepresentation> sparse = SparseRepresentation::create(std::move(state));
  if (!sparse) return sparse.take_error();
  return Representation(std::move(*sparse));
}

Status Representation::add_hash(std::uint64_t hash) {
  if (NormalRepresentation* normal = this->normal()) {
    Status added = normal->add_hash(hash);
    if (!added) variant_ = std::monostate();
    return added;
  }
  if (SparseRepresentation* sparse = this->sparse()) {
    // Buffering cannot fail; only a flush or conversion needs the
    // representation taken out and replaced.
    sparse->insert_hash(hash);
    if (!sparse->needs_update()) return {};
    return update_sparse();
  }
  return representation_is_invalid();
}

Status Representation::add_hashes(std::span<const std::uint64_t> hashes) {
  std::size_t next = 0;
  while (next < hashes.size()) {
    if (NormalRepresentation* normal = this->normal()) {
      for (; next < hashes.size(); ++next) {
        Status added = normal->add_hash(hashes[next]);
        if (!added) {
          variant_ = std::monostate();
          return added;
        }
      }
      return {};
    }
    if (SparseRepresentation* sparse = this->sparse()) {
      // Buffers until a flush is due, then updates (which may convert),
      // exactly as add_hash does value by value.
      bool due = false;
      while (next < hashes.size() && !due) {
        sparse->insert_hash(hashes[next++]);
        due = sparse->needs_update();
      }
      if (!due) return {};
      VANTORELLE_RETURN_IF_ERROR(update_sparse());
      continue;
    }
    return representation_is_invalid();
  }
  return {};
}

// Out of line, so that the per-add path above keeps a small frame.
__attribute__((noinline)) Status Representation::update_sparse() {
  SparseRepresentation taken = std::move(*sparse());
  variant_ = std::monostate();
  Result<Representation> next = SparseRepresentation::update(std::move(taken));
  if (!next) return next.take_error();
  *this = std::move(*next);
  return {};
}

Status Representation::compact() {
  if (normal()) return {};
  if (SparseRepresentation* sparse = this->sparse()) {
    SparseRepresentation taken = std::move(*sparse);
    variant_ = std::monostate();
    Result<Representation> next = SparseRepresentation::compact(std::move(taken));
    if (!next) return next.take_error();
    *this = std::move(*next);
    return {};
  }
  return representation_is_invalid();
}

Result<std::int64_t> Representation::estimate() const {
  if (const NormalRepresentation* normal = this->normal()) return normal->estimate();
  if (const SparseRepresentation* sparse = this->sparse()) return sparse->estimate();
  return representation_is_invalid();
}

Result<Representation> Representation::merge(Representation self, Representation other) {
  if (self.is_invalid() || other.is_invalid()) return representation_is_invalid();

  if (NormalRepresentation* normal = self.normal()) {
    if (NormalRepresentation* other_normal = other.normal()) {
      Status merged = normal->merge(std::move(*other_normal));
      if (!merged) return merged.take_error();
      return self;
    }
    VANTORELLE_RETURN_IF_ERROR(other.sparse()->fold_into(*normal));
    return self;
  }

  SparseRepresentation& sparse = *self.sparse();
  if (NormalRepresentation* other_normal = other.normal()) {
    Result<NormalRepresentation> converted = sparse.to_normal();
    if (!converted) return converted.take_error();
    VANTORELLE_RETURN_IF_ERROR(converted->merge(std::move(*other_normal)));
    return Representation(std::move(*converted));
  }
  return SparseRepresentation::merge_sparse(std::move(sparse), *other.sparse());
}

void Representation::invalid_state_access() { internal_failure("Invalid representation"); }

}  // namespace vantorelle
