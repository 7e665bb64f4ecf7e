// Merging into the sparse form: single values and runs of values made at
// any compatible precisions, a lowering of the sketch's own precisions, and
// the union with another sparse sketch.
#include "hll/sparse_representation.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "hll/representation.h"
#include "hll/sparse_union.h"

namespace vantorelle {

namespace {

Result<Representation> invalid_representation() {
  return invalid_state("Invalid representation");
}

}  // namespace

Result<Representation> SparseRepresentation::add_sparse_value(SparseRepresentation self,
                                                              std::uint32_t value,
                                                              const SparseEncoding& source) {
  const std::int32_t p = self.encoding_.normal_precision();
  const std::int32_t sp = self.encoding_.sparse_precision();
  const std::int32_t source_p = source.normal_precision();
  const std::int32_t source_sp = source.sparse_precision();
  VANTORELLE_RETURN_IF_ERROR(check_compatible(p, sp, source_p, source_sp));

  if (source_p < p || source_sp < sp) {
    Result<Representation> lowered = downgrade(std::move(self), source);
    if (!lowered) return lowered;
    if (NormalRepresentation* normal = lowered->normal()) {
      VANTORELLE_RETURN_IF_ERROR(normal->merge_sparse_values(source, std::span(&value, 1)));
      return lowered;
    }
    if (SparseRepresentation* sparse = lowered->sparse()) {
      return add_sparse_value(std::move(*sparse), value, source);
    }
    return invalid_representation();
  }

  VANTORELLE_RETURN_IF_ERROR(self.insert_value(value, source));
  return update(std::move(self));
}

Status SparseRepresentation::insert_value(std::uint32_t value, const SparseEncoding& source) {
  if (source.normal_precision() != encoding_.normal_precision() ||
      source.sparse_precision() != encoding_.sparse_precision()) {
    Result<std::uint32_t> converted = source.downgrade(value, encoding_);
    if (!converted) return converted.take_error();
    buffer_.insert(*converted);
    return {};
  }
  // Values of another sketch's stored data are unchecked; one outside the
  // encoding must not reach the buffer.
  VANTORELLE_RETURN_IF_ERROR(encoding_.check_holds(value));
  buffer_.insert(value);
  return {};
}

Result<Representation> add_value_sequence(Representation current,
                                          std::span<const std::uint32_t> values,
                                          const SparseEncoding& encoding) {
  std::size_t i = 0;
  while (i < values.size()) {
    if (NormalRepresentation* normal = current.normal()) {
      // Folding into registers cannot change the representation, so the rest
      // of the sequence goes in at once.
      VANTORELLE_RETURN_IF_ERROR(normal->merge_sparse_values(encoding, values.subspan(i)));
      return current;
    }
    SparseRepresentation* sparse = current.sparse();
    if (!sparse) return invalid_representation();
    const SparseEncoding& own = sparse->encoding();
    const bool lowers_self = encoding.normal_precision() < own.normal_precision() ||
                             encoding.sparse_precision() < own.sparse_precision();
    if (lowers_self) {
      // Incompatible or lower precisions: the general path checks and
      // downgrades.
      Result<Representation> next =
          SparseRepresentation::add_sparse_value(std::move(*sparse), values[i], encoding);
      if (!next) return next;
      current = std::move(*next);
      ++i;
      continue;
    }
    // The same steps as add_sparse_value, in place: the representation is
    // taken out only when update() would flush or convert.
    VANTORELLE_RETURN_IF_ERROR(sparse->insert_value(values[i], encoding));
    ++i;
    if (sparse->needs_update()) {
      SparseRepresentation taken = std::move(*sparse);
      Result<Representation> next = SparseRepresentation::update(std::move(taken));
      if (!next) return next;
      current = std::move(*next);
    }
  }
  return current;
}

Result<Representation> SparseRepresentation::downgrade(SparseRepresentation self,
                                                       const SparseEncoding& target) {
  const std::optional<Bytes> stored = std::move(self.state_.sparse_data);
  self.state_.sparse_data.reset();
  SketchState state = std::move(self.state_);
  state.precision = std::min(self.encoding_.normal_precision(), target.normal_precision());
  state.sparse_precision = std::min(self.encoding_.sparse_precision(), target.sparse_precision());
  Result<SparseRepresentation> lowered = create(std::move(state));
  if (!lowered) return lowered.take_error();
  const SparseEncoding lowered_encoding = lowered->encoding_;
  Representation current(std::move(*lowered));

  if (stored && !stored->empty()) {
    std::vector<std::uint32_t> converted;
    converted.reserve(stored->size());
    DifferenceDecoder decoder(*stored);
    while (!decoder.at_end()) {
      Result<std::uint32_t> value = self.encoding_.downgrade(decoder.next(), lowered_encoding);
      if (!value) return value.take_error();
      converted.push_back(*value);
    }
    Result<Representation> added =
        add_value_sequence(std::move(current), converted, lowered_encoding);
    if (!added) return added;
    current = std::move(*added);
  }
  // Ascending order makes the moment of any intermediate flush or conversion
  // the same on every build.
  return add_value_sequence(std::move(current), self.sorted_buffer(), self.encoding_);
}

Result<Representation> SparseRepresentation::merge_sparse(SparseRepresentation self,
                                                          const SparseRepresentation& other) {
  const std::int32_t p = self.encoding_.normal_precision();
  const std::int32_t sp = self.encoding_.sparse_precision();
  const std::int32_t other_p = other.encoding_.normal_precision();
  const std::int32_t other_sp = other.encoding_.sparse_precision();
  VANTORELLE_RETURN_IF_ERROR(check_compatible(p, sp, other_p, other_sp));

  if (p > other_p || (p == other_p && sp > other_sp)) {
    Result<Representation> lowered = downgrade(std::move(self), other.encoding_);
    if (!lowered) return lowered;
    if (NormalRepresentation* normal = lowered->normal()) {
      VANTORELLE_RETURN_IF_ERROR(other.fold_into(*normal));
      return lowered;
    }
    if (SparseRepresentation* sparse = lowered->sparse()) {
      return merge_sparse(std::move(*sparse), other);
    }
    return invalid_representation();
  }

  const std::optional<Bytes>& other_stored = other.state_.sparse_data;
  const std::vector<std::uint32_t> other_buffered = other.sorted_buffer();
  if ((!other_stored || other_stored->empty()) && other_buffered.empty()) {
    return Representation(std::move(self));
  }
  // The other sketch's values are read from its stored bytes as they are
  // decoded, and only its collapsed union is held: the stored data may be
  // another producer's, as large as its message, and full of repeats.

  if (p < other_p || sp < other_sp) {
    std::vector<std::uint32_t> converted;
    Status lowering;
    stream_union(other_stored, other_buffered, other.encoding_, [&](std::uint32_t value) {
      Result<std::uint32_t> lowered = other.encoding_.downgrade(value, self.encoding_);
      if (!lowered) {
        lowering = lowered.take_error();
        return false;
      }
      converted.push_back(*lowered);
      return true;
    });
    VANTORELLE_RETURN_IF_ERROR(std::move(lowering));
    const SparseEncoding encoding = self.encoding_;
    return add_value_sequence(Representation(std::move(self)), converted, encoding);
  }

  // Equal precisions: the union is written into sparse_data in one pass.
  // The other's stored values are unchecked data; one outside the encoding
  // would otherwise settle in this sketch and fail a later, innocent add.
  VANTORELLE_RETURN_IF_ERROR(check_stored_values(other_stored, self.encoding_));
  VANTORELLE_RETURN_IF_ERROR(self.flush_buffer());
  std::vector<std::uint32_t> incoming;
  stream_union(other_stored, other_buffered, other.encoding_, [&incoming](std::uint32_t value) {
    incoming.push_back(value);
    return true;
  });
  Result<EncodedUnion> united = encode_union(self.state_.sparse_data, incoming, self.encoding_, true);
  if (!united) return united.take_error();
  self.state_.sparse_data = std::move(united->bytes);
  self.state_.sparse_size = united->count;
  return update(std::move(self));
}

}  // namespace vantorelle
