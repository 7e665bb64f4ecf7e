// The sparse representation keeps the hashes it has seen as 32-bit sparse
// values at the sparse precision sp (see encoding.h for the value layout):
//
//   buffer       unordered set of values added since the last flush
//   sparse_data  the ascending values, stored as varint differences:
//
//     values   5        130        131
//     stored   05       7D         01        (130 - 5 = 125 = 0x7D)
//              |varint| |varint|   |varint|
//
//   No header and no count: the first varint is the first value itself,
//   every further one the difference to the value before it. At most one
//   value per sparse index; for a rho-encoded index the largest rho wins.
//
// Budgets, for m = 2^p registers:
//   buffer       more than m/4 values      -> flush into sparse_data
//   sparse_data  more than 3m/4 bytes      -> convert to m registers
// so the sparse form never outgrows the normal one. While sparse, the
// estimate is linear counting over the 2^sp buckets.
//
// This file holds the lifecycle: creation, flushes, compaction, conversion
// to the normal form and the estimate. The union of stored and new values is
// coded in sparse_union.cpp; merging values and sketches in is
// sparse_merge.cpp.
#include "hll/sparse_representation.h"

#include <algorithm>
#include <bit>
#include <string>

#include "error/internal_failure.h"
#include "hll/estimate.h"
#include "hll/estimate_rounding.h"
#include "hll/representation.h"
#include "hll/sparse_union.h"
#include "utils/buffer_traits.h"

namespace vantorelle {

namespace {

// 0.75 * m and 0.25 * m, computed in single precision and truncated.
std::uint64_t budget(float fraction, std::int32_t precision) {
  const std::int32_t m = std::int32_t{1} << precision;
  const float value = fraction * static_cast<float>(m);
  if (!(value > 0.0f)) return 0;
  if (value >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<std::uint64_t>(value);
}

}  // namespace

std::uint64_t SparseRepresentation::max_sparse_data_bytes_at(std::int32_t normal_precision) {
  return budget(0.75f, normal_precision);
}

Result<SparseRepresentation> SparseRepresentation::create(SketchState state) {
  const std::int32_t p = state.precision;
  const std::int32_t sp = state.sparse_precision;
  VANTORELLE_RETURN_IF_ERROR(check_normal_precision(p));
  VANTORELLE_RETURN_IF_ERROR(check_sparse_precision(p, sp));
  Result<SparseEncoding> encoding = SparseEncoding::create(p, sp);
  if (!encoding) return encoding.take_error();
  const std::uint64_t max_data_bytes = max_sparse_data_bytes_at(p);
  const std::uint64_t max_buffer_elements = budget(0.25f, p);
  if (max_data_bytes == 0 || max_buffer_elements == 0) {
    return invalid_argument(
        "Calculated max sparse data bytes or buffer elements is zero, precision too low?");
  }
  return SparseRepresentation(std::move(state), *encoding, max_data_bytes, max_buffer_elements);
}

Result<Representation> SparseRepresentation::update(SparseRepresentation self) {
  if (self.buffer_.size() > self.max_buffer_elements_) {
    VANTORELLE_RETURN_IF_ERROR(self.flush_buffer());
  }
  if (self.state_.sparse_data && self.state_.sparse_data->size() > self.max_sparse_data_bytes_) {
    Result<NormalRepresentation> normal = self.to_normal();
    if (!normal) return normal.take_error();
    return Representation(std::move(*normal));
  }
  return Representation(std::move(self));
}

Result<Representation> SparseRepresentation::compact(SparseRepresentation self) {
  VANTORELLE_RETURN_IF_ERROR(self.flush_buffer());
  if (!self.state_.sparse_data) self.state_.sparse_data.emplace();
  return update(std::move(self));
}

Result<Representation> SparseRepresentation::compacted() const {
  // The copy starts with an empty buffer and receives the flushed values
  // directly, so neither the buffer nor the old sparse_data is duplicated.
  SparseRepresentation copy(state_without_sparse_data(), encoding_, max_sparse_data_bytes_,
                            max_buffer_elements_);
  if (buffer_.empty()) {
    copy.state_.sparse_data = state_.sparse_data ? *state_.sparse_data : Bytes();
  } else {
    std::vector<std::uint32_t> buffered;
    buffer_.append_sorted_to(buffered);
    // The serialised copy is dropped after encoding: no trimming.
    Result<EncodedUnion> united = encode_union(state_.sparse_data, buffered, encoding_, false);
    if (!united) return united.take_error();
    copy.state_.sparse_data = std::move(united->bytes);
    copy.state_.sparse_size = united->count;
  }
  return update(std::move(copy));
}

std::vector<std::uint32_t> SparseRepresentation::sorted_buffer() const {
  std::vector<std::uint32_t> values;
  buffer_.append_sorted_to(values);
  return values;
}

std::vector<std::uint32_t> SparseRepresentation::sorted_values() const {
  std::vector<std::uint32_t> result;
  stream_union(state_.sparse_data, sorted_buffer(), encoding_, [&result](std::uint32_t v) {
    result.push_back(v);
    return true;
  });
  return result;
}

Status SparseRepresentation::rewrite_sparse_data(std::span<const std::uint32_t> ascending) {
  DifferenceEncoder encoder;
  VANTORELLE_RETURN_IF_ERROR(encoder.put_all(ascending));
  buffer_.clear();
  state_.sparse_data = std::move(encoder).take();
  state_.sparse_size = static_cast<std::int32_t>(ascending.size());
  return {};
}

Status SparseRepresentation::flush_buffer() {
  if (buffer_.empty()) return {};
  // The buffer is emptied anyway, so its own table holds the sorted values
  // while they are merged into the new sparse_data.
  Result<EncodedUnion> united =
      encode_union(state_.sparse_data, buffer_.sort_in_place(), encoding_, true);
  buffer_.clear();
  if (!united) return united.take_error();
  state_.sparse_data = std::move(united->bytes);
  state_.sparse_size = united->count;
  return {};
}

SketchState SparseRepresentation::state_without_sparse_data() const {
  SketchState state = scalar_fields(state_);
  state.data = state_.data;
  return state;
}

Result<NormalRepresentation> SparseRepresentation::to_normal() const {
  // The normal form drops sparse_data anyway, so it is not copied.
  SketchState state = state_without_sparse_data();
  Result<NormalRepresentation> normal = NormalRepresentation::create(std::move(state));
  if (!normal) return normal;
  VANTORELLE_RETURN_IF_ERROR(fold_into(*normal));
  return normal;
}

Status SparseRepresentation::fold_into(NormalRepresentation& normal) const {
  VANTORELLE_RETURN_IF_ERROR(normal.merge_sparse_data(encoding_, state_.sparse_data));
  // Registers keep the largest rho_w whatever the order: no sort needed.
  std::vector<std::uint32_t> buffered;
  buffer_.append_to(buffered);
  return normal.merge_sparse_values(encoding_, buffered);
}

std::int64_t SparseRepresentation::estimate() const {
  std::uint32_t count = 0;
  stream_union(state_.sparse_data, sorted_buffer(), encoding_, [&count](std::uint32_t) {
    ++count;
    return true;
  });
  const std::uint32_t m = std::uint32_t{1} << encoding_.sparse_precision();
  const std::uint32_t empty = m - count;
  const double buckets = static_cast<double>(m);
  return round_to_int64(linear_counting(buckets, static_cast<double>(empty)));
}

}  // namespace vantorelle
