#include "hll/sketch_estimates.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "hll/ertl_estimators.h"
#include "hll/estimate.h"
#include "hll/estimate_rounding.h"
#include "state/state_message.h"
#include "state/state_validation.h"
#include "utils/buffer_traits.h"

namespace vantorelle {

namespace {

ByteView registers_of(const NormalRepresentation& normal) {
  return normal.state().data ? ByteView(*normal.state().data) : ByteView();
}

// The distinct sparse indices of a sparse sketch, ascending.
std::vector<std::uint32_t> sparse_indices(const SparseRepresentation& sparse) {
  std::vector<std::uint32_t> indices = sparse.sorted_values();
  for (std::uint32_t& value : indices) value = sparse.encoding().decode_sparse(value).sparse_index;
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  return indices;
}

Err invalid_representation() { return Err(ErrorKind::InvalidState, "Representation is invalid"); }

std::int64_t floor_to_int64(double value) {
  return value <= 0.0 ? 0 : saturate_to_int64(std::floor(value));
}
std::int64_t ceil_to_int64(double value) {
  if (std::isinf(value)) return std::numeric_limits<std::int64_t>::max();
  return value <= 0.0 ? 0 : saturate_to_int64(std::ceil(value));
}

// While at most this many values per register are expected, the occupied
// registers bound the count better than the normal approximation does.
constexpr double kOccupancyLoad = 0.5;

}  // namespace

namespace {

std::int64_t estimate_of_registers(ByteView registers, std::int32_t precision,
                                   EstimateMethod method) {
  if (method == EstimateMethod::Default) {
    return registers.empty() ? 0 : estimate_registers(registers, precision);
  }
  const RegisterHistogram histogram = histogram_of(registers, precision);
  if (method == EstimateMethod::Improved) return round_to_int64(improved_estimate(histogram));
  return round_to_int64(ml_estimate(histogram).estimate);
}

CountInterval interval_of_registers(ByteView registers, std::int32_t precision, double confidence) {
  const RegisterHistogram histogram = histogram_of(registers, precision);
  const double m = histogram.m();
  const double occupied = m - static_cast<double>(histogram.counts[0]);
  const MlEstimate ml = ml_estimate(histogram);
  if (ml.estimate <= kOccupancyLoad * m) return occupancy_interval(m, occupied, confidence);
  const double z = normal_quantile(confidence);
  return {std::max(occupied, ml.estimate - z * ml.std_error), ml.estimate + z * ml.std_error};
}

CountInterval interval_of_sparse(const SparseRepresentation& sparse, double confidence) {
  const double cells = std::ldexp(1.0, sparse.encoding().sparse_precision());
  return occupancy_interval(cells, static_cast<double>(sparse_indices(sparse).size()), confidence);
}


SketchBounds rounded_outwards(CountInterval interval) {
  return SketchBounds{floor_to_int64(interval.lower), ceil_to_int64(interval.upper)};
}

double std_error_of_sparse(const SparseRepresentation& sparse) {
  const double cells = std::ldexp(1.0, sparse.encoding().sparse_precision());
  const double n = linear_count(cells, static_cast<double>(sparse_indices(sparse).size()));
  return linear_count_std_error(cells, n);
}

}  // namespace

Result<std::int64_t> estimate_sketch(const HyperLogLogPlusPlus& sketch, EstimateMethod method) {
  const Representation& representation = sketch.representation();
  if (representation.is_invalid()) return invalid_representation();
  if (method == EstimateMethod::Default) return sketch.result();
  if (const SparseRepresentation* sparse = representation.sparse()) {
    const double cells = std::ldexp(1.0, sparse->encoding().sparse_precision());
    return round_to_int64(linear_count(cells, static_cast<double>(sparse_indices(*sparse).size())));
  }
  const NormalRepresentation& normal = *representation.normal();
  return estimate_of_registers(registers_of(normal), normal.state().precision, method);
}

Result<std::int64_t> estimate_as_stored(const HyperLogLogPlusPlus& sketch) {
  const SparseRepresentation* sparse = sketch.representation().sparse();
  if (sparse == nullptr) return sketch.result();
  Result<Representation> stored = sparse->compacted();
  if (!stored) return stored.take_error();
  return stored->estimate();
}

Status check_confidence(double confidence) {
  if (confidence > 0.0 && confidence < 1.0) return {};
  // (the shortest text that reads back as the same double: 1.0000001, not 1.000000)
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, confidence);
  return invalid_argument("confidence must lie strictly between 0 and 1, not " + std::string(text, written.ptr));
}

Result<SketchBounds> bounds_of(const HyperLogLogPlusPlus& sketch, double confidence) {
  VANTORELLE_RETURN_IF_ERROR(check_confidence(confidence));
  const Representation& representation = sketch.representation();
  if (representation.is_invalid()) return invalid_representation();
  if (const SparseRepresentation* sparse = representation.sparse()) {
    return rounded_outwards(interval_of_sparse(*sparse, confidence));
  }
  const NormalRepresentation& normal = *representation.normal();
  return rounded_outwards(
      interval_of_registers(registers_of(normal), normal.state().precision, confidence));
}

Result<double> std_error_of(const HyperLogLogPlusPlus& sketch) {
  const Representation& representation = sketch.representation();
  if (representation.is_invalid()) return invalid_representation();
  if (const SparseRepresentation* sparse = representation.sparse()) {
    return std_error_of_sparse(*sparse);
  }
  const NormalRepresentation& normal = *representation.normal();
  return ml_estimate(histogram_of(registers_of(normal), normal.state().precision)).std_error;
}

Result<std::int64_t> estimate_state(SketchState state, EstimateMethod method) {
  if (state.data) return estimate_of_registers(*state.data, state.precision, method);
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!sketch) return sketch.take_error();
  return estimate_sketch(*sketch, method);
}

Result<SketchBounds> bounds_of_state(SketchState state, double confidence) {
  VANTORELLE_RETURN_IF_ERROR(check_confidence(confidence));
  if (state.data) {
    return rounded_outwards(interval_of_registers(*state.data, state.precision, confidence));
  }
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!sketch) return sketch.take_error();
  return bounds_of(*sketch, confidence);
}

Status ViewEstimator::pass_scalars(const SketchState& fields) {
  passed_.reset();
  layout_.reset();
  SketchState scalars = fields;
  scalars.sparse_data = Bytes();
  VANTORELLE_RETURN_IF_ERROR(HyperLogLogPlusPlus::check_state(scalars));
  Result<SparseEncoding> encoding = SparseEncoding::create(scalars.precision, scalars.sparse_precision);
  if (!encoding) return encoding.take_error();
  if (!encoding_ || encoding_->sparse_precision() != encoding->sparse_precision()) {
    // The remembered estimates and bounds depend on sp alone.
    cells_ = std::ldexp(1.0, encoding->sparse_precision());
    estimates_.clear();
    bounds_.clear();
  }
  encoding_ = *encoding;
  layout_ = SparseLayout::of(scalars);
  passed_ = std::move(scalars);
  return {};
}

Result<std::optional<std::uint64_t>> ViewEstimator::occupied_cells(const SketchStateView& view) {
  if (view.data || !view.sparse_data || view.scalars.sparse_precision == 0) return std::optional<std::uint64_t>();
  // The build checks read the scalar fields but the counts, and whether
  // sparse_data is there, not its bytes.
  const SketchState& fields = view.scalars;
  if (!passed_ || !same_checked_fields(*passed_, fields)) [[unlikely]] {
    VANTORELLE_RETURN_IF_ERROR(pass_scalars(fields));
  }
  Result<std::uint64_t> occupied = count_sparse_indices(*view.sparse_data, *encoding_);
  if (!occupied) return occupied.take_error();
  return std::optional<std::uint64_t>(*occupied);
}

std::int64_t ViewEstimator::sparse_estimate(std::uint64_t occupied) const {
  // result() of a sparse sketch is linear counting over its cells too.
  return round_to_int64(linear_count(cells_, static_cast<double>(occupied)));
}

SketchBounds ViewEstimator::sparse_bounds(std::uint64_t occupied, double confidence) {
  if (occupied >= kRemembered) {
    return rounded_outwards(occupancy_interval(cells_, static_cast<double>(occupied), confidence));
  }
  if (confidence != bounds_confidence_) {
    bounds_.clear();
    bounds_confidence_ = confidence;
  }
  if (bounds_.empty()) bounds_.assign(kRemembered, SketchBounds{-1, -1});
  SketchBounds& known = bounds_[occupied];
  if (known.lower < 0) {
    known = rounded_outwards(occupancy_interval(cells_, static_cast<double>(occupied), confidence));
  }
  return known;
}

Result<ViewEstimator::Estimate> ViewEstimator::estimate_registers_view(const SketchStateView& view,
                                                                       EstimateMethod method,
                                                                       std::optional<double> confidence) {
  Estimate out;
  Result<RegisterSums> sums = validate_normal_view(view);
  if (!sums) return sums.take_error();
  const std::int32_t p = view.scalars.precision;
  out.estimate = method == EstimateMethod::Default ? estimate_registers(*view.data, p, *sums)
                                                   : estimate_of_registers(*view.data, p, method);
  if (confidence) out.bounds = rounded_outwards(interval_of_registers(*view.data, p, *confidence));
  return out;
}

Result<ViewEstimator::Estimate> ViewEstimator::estimate_other_view(const SketchStateView& view,
                                                                   EstimateMethod method,
                                                                   std::optional<double> confidence) {
  Estimate out;
  SketchState state = copy_state(view);
  VANTORELLE_RETURN_IF_ERROR(validate_state(state));
  if (confidence) {
    Result<SketchBounds> bounds = bounds_of_state(state, *confidence);
    if (!bounds) return bounds.take_error();
    out.bounds = *bounds;
  }
  Result<std::int64_t> estimate = estimate_state(std::move(state), method);
  if (!estimate) return estimate.take_error();
  out.estimate = *estimate;
  return out;
}

Result<ViewEstimator::Estimate> ViewEstimator::estimate(const SketchStateView& view, EstimateMethod method,
                                                        std::optional<double> confidence) {
  if (view.data) return estimate_registers_view(view, method, confidence);
  Result<std::optional<std::uint64_t>> sparse = occupied_cells(view);
  if (!sparse) return sparse.take_error();
  if (!*sparse) return estimate_other_view(view, method, confidence);
  return sparse_row(**sparse, confidence);
}

Result<ViewEstimator::Estimate> ViewEstimator::estimate_sparse_data(ByteView sparse_data,
                                                                    std::optional<double> confidence) {
  Result<std::uint64_t> occupied = count_sparse_indices(sparse_data, *encoding_);
  if (!occupied) return occupied.take_error();
  return sparse_row(*occupied, confidence);
}

Result<ViewEstimator::Estimate> ViewEstimator::decode_and_estimate(ByteView bytes, SketchStateView& room,
                                                                   EstimateMethod method,
                                                                   std::optional<double> confidence) {
  VANTORELLE_RETURN_IF_ERROR(check_not_empty(bytes));
  VANTORELLE_RETURN_IF_ERROR(decode_state_view_into(bytes, room));
  return estimate(room, method, confidence);
}

std::int64_t ViewEstimator::remember_estimate(std::uint64_t occupied) {
  if (occupied >= kRemembered) return sparse_estimate(occupied);
  if (estimates_.empty()) estimates_.assign(kRemembered, -1);
  std::int64_t& known = estimates_[occupied];
  if (known < 0) known = sparse_estimate(occupied);
  return known;
}

namespace {

// An empty sketch of `shape`'s precisions holding values of `type`.
Result<HyperLogLogPlusPlus> empty_of(const HyperLogLogPlusPlus& shape, ValueType type) {
  SketchState empty = scalar_fields(shape.representation().state());
  empty.value_type = type;
  empty.num_values = 0;
  empty.sparse_size = 0;
  return HyperLogLogPlusPlus::from_state(std::move(empty));
}

// `sketch` lowered to the common precisions of itself and `other`, as merge
// lowers: merged into an empty sketch of `other`'s precisions.
Result<HyperLogLogPlusPlus> lowered(const HyperLogLogPlusPlus& sketch,
                                    const HyperLogLogPlusPlus& other) {
  Result<HyperLogLogPlusPlus> target = empty_of(other, sketch.representation().state().value_type);
  if (!target) return target.take_error();
  HyperLogLogPlusPlus copy = sketch;
  VANTORELLE_RETURN_IF_ERROR(copy.merge(std::move(*target)));
  return copy;
}

// The registers of a representation: a normal one's own, or those its sparse
// values give, kept in `storage`.
Result<ByteView> dense_registers(const Representation& representation, Bytes& storage) {
  if (const NormalRepresentation* normal = representation.normal()) return registers_of(*normal);
  Result<NormalRepresentation> normal = representation.sparse()->to_normal();
  if (!normal) return normal.take_error();
  storage = normal->state().data ? std::move(*normal->state().data) : Bytes();
  return ByteView(storage);
}

bool same_precisions(const HyperLogLogPlusPlus& a, const HyperLogLogPlusPlus& b) {
  return a.normal_precision() == b.normal_precision() && a.sparse_precision() == b.sparse_precision();
}

std::size_t intersection_size(const std::vector<std::uint32_t>& a,
                              const std::vector<std::uint32_t>& b) {
  std::size_t count = 0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++count;
      ++i;
      ++j;
    }
  }
  return count;
}

}  // namespace

Result<PairEstimate> estimate_pair(const HyperLogLogPlusPlus& a, const HyperLogLogPlusPlus& b) {
  if (a.representation().is_invalid() || b.representation().is_invalid()) {
    return invalid_representation();
  }
  if ((a.allowed_input_types() & b.allowed_input_types()).empty()) {
    return Err(ErrorKind::InvalidArgument,
               "sketches of different value types cannot be compared: " +
                   a.allowed_input_types().display() + " and " + b.allowed_input_types().display());
  }
  // Sketches of one precision pair are read as they are; others are lowered
  // to the common pair first.
  std::optional<HyperLogLogPlusPlus> low_a;
  std::optional<HyperLogLogPlusPlus> low_b;
  if (!same_precisions(a, b)) {
    Result<HyperLogLogPlusPlus> lowered_a = lowered(a, b);
    if (!lowered_a) return lowered_a.take_error();
    Result<HyperLogLogPlusPlus> lowered_b = lowered(b, a);
    if (!lowered_b) return lowered_b.take_error();
    low_a.emplace(std::move(*lowered_a));
    low_b.emplace(std::move(*lowered_b));
  }
  const HyperLogLogPlusPlus& sa = low_a ? *low_a : a;
  const HyperLogLogPlusPlus& sb = low_b ? *low_b : b;
  const Representation& ra = sa.representation();
  const Representation& rb = sb.representation();

  if (ra.sparse() && rb.sparse()) {
    const std::vector<std::uint32_t> ia = sparse_indices(*ra.sparse());
    const std::vector<std::uint32_t> ib = sparse_indices(*rb.sparse());
    const double cells = std::ldexp(1.0, ra.sparse()->encoding().sparse_precision());
    const double shared = static_cast<double>(intersection_size(ia, ib));
    const double na = linear_count(cells, static_cast<double>(ia.size()));
    const double nb = linear_count(cells, static_cast<double>(ib.size()));
    const double nu =
        linear_count(cells, static_cast<double>(ia.size() + ib.size()) - shared);
    const double both = std::clamp(na + nb - nu, 0.0, std::min(na, nb));
    return PairEstimate{na - both, nb - both, both, true};
  }
  Bytes storage_a;
  Bytes storage_b;
  Result<ByteView> da = dense_registers(ra, storage_a);
  if (!da) return da.take_error();
  Result<ByteView> db = dense_registers(rb, storage_b);
  if (!db) return db.take_error();
  const JointEstimate joint = joint_ml_estimate(*da, *db, sa.normal_precision());
  return PairEstimate{joint.only_a, joint.only_b, joint.both, false};
}

Result<PairEstimate> estimate_pair_or_empty(const HyperLogLogPlusPlus* a, const HyperLogLogPlusPlus* b) {
  VANTORELLE_ASSERT(a != nullptr || b != nullptr, "a side of the pair is given");
  if (a != nullptr && b != nullptr) return estimate_pair(*a, *b);
  const HyperLogLogPlusPlus& present = a != nullptr ? *a : *b;
  Result<HyperLogLogPlusPlus> empty = empty_of(present, present.representation().state().value_type);
  if (!empty) return empty.take_error();
  return a != nullptr ? estimate_pair(*a, *empty) : estimate_pair(*empty, *b);
}

Result<double> union_estimate(std::span<const HyperLogLogPlusPlus> sketches) {
  if (sketches.empty()) return 0.0;
  auto merged = [](std::span<const HyperLogLogPlusPlus> part) -> Result<HyperLogLogPlusPlus> {
    HyperLogLogPlusPlus out = part.front();
    for (const HyperLogLogPlusPlus& sketch : part.subspan(1)) {
      HyperLogLogPlusPlus copy = sketch;
      VANTORELLE_RETURN_IF_ERROR(out.merge(std::move(copy)));
    }
    return out;
  };
  const std::size_t half = (sketches.size() + 1) / 2;
  Result<HyperLogLogPlusPlus> first = merged(sketches.first(half));
  if (!first) return first.take_error();
  if (sketches.size() == 1) {
    Result<PairEstimate> self = estimate_pair(*first, *first);
    if (!self) return self.take_error();
    return self->union_size();
  }
  Result<HyperLogLogPlusPlus> second = merged(sketches.subspan(half));
  if (!second) return second.take_error();
  Result<PairEstimate> pair = estimate_pair(*first, *second);
  if (!pair) return pair.take_error();
  return pair->union_size();
}

}  // namespace vantorelle
