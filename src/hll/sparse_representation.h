// The sparse form of a sketch: sorted, difference-coded sparse values plus a
// buffer of new ones. See sparse_representation.cpp for the layout.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/result.h"
#include "hll/encoding.h"
#include "hll/normal_representation.h"
#include "hll/sparse_buffer.h"
#include "state/sketch_state.h"

namespace vantorelle {

class Representation;

class SparseRepresentation {
 public:
  // Checks 10 <= p <= 24 and p <= sp <= 25, builds the encoding and the
  // budgets. A present sparse_data is taken over without being decoded.
  static Result<SparseRepresentation> create(SketchState state);

  const SketchState& state() const { return state_; }
  SketchState& state() { return state_; }
  const SparseEncoding& encoding() const { return encoding_; }
  const SparseBuffer& buffer() const { return buffer_; }
  std::uint64_t max_sparse_data_bytes() const { return max_sparse_data_bytes_; }
  // The sparse data's budget of a sketch of normal precision p: 0.75 * 2^p.
  static std::uint64_t max_sparse_data_bytes_at(std::int32_t normal_precision);
  std::uint64_t max_buffer_elements() const { return max_buffer_elements_; }

  // Buffers the sparse value of a hash. The sketch must then be updated if
  // needs_update() says so.
  void insert_hash(std::uint64_t hash) { buffer_.insert(encoding_.encode(hash)); }
  // Whether update() would flush or convert.
  bool needs_update() const {
    return buffer_.size() > max_buffer_elements_ ||
           (state_.sparse_data && state_.sparse_data->size() > max_sparse_data_bytes_);
  }

  // Operations that may turn the sketch normal take it by value and return
  // its successor.
  // Flushes an over-full buffer, converts when sparse_data is over budget.
  static Result<Representation> update(SparseRepresentation self);
  // Flushes the buffer, makes sparse_data present, then update.
  static Result<Representation> compact(SparseRepresentation self);
  // What compact() would make of a copy of this sketch, built without
  // copying the buffer.
  Result<Representation> compacted() const;
  // Adds one value made with `source` (precisions compatible with ours).
  static Result<Representation> add_sparse_value(SparseRepresentation self, std::uint32_t value,
                                                 const SparseEncoding& source);
  // Lowers the precisions to those of `target` (not above ours).
  static Result<Representation> downgrade(SparseRepresentation self, const SparseEncoding& target);
  // Takes in every value of another sparse sketch.
  static Result<Representation> merge_sparse(SparseRepresentation self,
                                             const SparseRepresentation& other);

  // Merges the buffer into sparse_data; on failure nothing usable is left.
  Status flush_buffer();
  // The ascending, collapsed union of sparse_data and the buffer.
  std::vector<std::uint32_t> sorted_values() const;
  // The registers that this sketch's values give at its normal precision.
  Result<NormalRepresentation> to_normal() const;
  // Folds the stored values, then the buffered ones, into `normal`'s
  // registers (lowering its precisions to ours where they are above).
  Status fold_into(NormalRepresentation& normal) const;
  // Converts a value made with `source` (precisions not below ours) to this
  // encoding and buffers it; the caller then updates.
  Status insert_value(std::uint32_t value, const SparseEncoding& source);
  // The buffered values, ascending.
  std::vector<std::uint32_t> sorted_buffer() const;
  // Linear counting over 2^sp buckets.
  std::int64_t estimate() const;

 private:
  SparseRepresentation(SketchState state, SparseEncoding encoding, std::uint64_t max_data_bytes,
                       std::uint64_t max_buffer_elements)
      : state_(std::move(state)),
        encoding_(encoding),
        buffer_(encoding, max_buffer_elements),
        max_sparse_data_bytes_(max_data_bytes),
        max_buffer_elements_(max_buffer_elements) {}

  SketchState state_without_sparse_data() const;
  Status rewrite_sparse_data(std::span<const std::uint32_t> ascending);

  SketchState state_;
  SparseEncoding encoding_;
  SparseBuffer buffer_;
  std::uint64_t max_sparse_data_bytes_;
  std::uint64_t max_buffer_elements_;
};

// Adds values made with `encoding` one at a time to whichever representation
// is current, following a conversion to normal midway.
Result<Representation> add_value_sequence(Representation current,
                                          std::span<const std::uint32_t> values,
                                          const SparseEncoding& encoding);

}  // namespace vantorelle
