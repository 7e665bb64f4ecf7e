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
#include "hll/sparse_representation.h"

#include <algorithm>
#include <bit>
#include <string>

#include "error/internal_failure.h"
#include "hll/estimate_rounding.h"
#include "hll/representation.h"
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

// The collapsed ascending union of stored values (decoded from `stored` as
// they are read) and ascending `buffered` values, handed to `emit` one by
// one, on equal heads the stored value first. The collapse keeps, of each
// run of rho-encoded values that share a sparse index, the last (the
// largest rho_w), and of equal plain values one. `emit` returns false to stop early; the rest of the
// stored data is then still decoded, so malformed data fails (as an
// internal failure) wherever it lies, exactly as if all of it had been
// decoded before the merge.
template <class Emit>
void stream_union(const std::optional<Bytes>& stored, std::span<const std::uint32_t> buffered,
                  const SparseEncoding& encoding, Emit&& emit) {
  DifferenceDecoder decoder(stored ? ByteView(*stored) : ByteView());
  bool stored_pending = !decoder.at_end();
  std::uint32_t stored_head = stored_pending ? decoder.next() : 0;
  std::size_t j = 0;
  const std::size_t n = buffered.size();
  auto next = [&](std::uint32_t& out) {
    if (stored_pending && (j == n || !(buffered[j] < stored_head))) {
      out = stored_head;
      stored_pending = !decoder.at_end();
      if (stored_pending) stored_head = decoder.next();
      return true;
    }
    if (j == n) return false;
    out = buffered[j++];
    return true;
  };
  std::uint32_t value = 0;
  bool pending = next(value);
  while (pending) {
    std::uint32_t following = 0;
    if (encoding.is_rho_encoded(value)) {
      const std::uint32_t index = encoding.decode_sparse(value).sparse_index;
      while ((pending = next(following)) && encoding.decode_sparse(following).sparse_index == index) {
        value = following;
      }
    } else {
      while ((pending = next(following)) && following == value) {
      }
    }
    if (!emit(value)) {
      while (!decoder.at_end()) decoder.next();
      return;
    }
    value = following;
  }
}

// Decodes all of `stored` (malformed data fails wherever it lies, as an
// internal failure) and reports the first value outside `encoding`.
Status check_stored_values(const std::optional<Bytes>& stored, const SparseEncoding& encoding) {
  if (!stored) return {};
  Status first_outside;
  DifferenceDecoder decoder(*stored);
  while (!decoder.at_end()) {
    const std::uint32_t value = decoder.next();
    if (first_outside) first_outside = encoding.check_holds(value);
  }
  return first_outside;
}

struct EncodedUnion {
  Bytes bytes;
  std::int32_t count;
};

// Trims the spare room of a sparse_data that is kept, so that it takes no
// more memory than one written to its exact size.
void trim(Bytes& bytes, bool exact_capacity) {
  if (exact_capacity && bytes.capacity() - bytes.size() > bytes.size() / 16 + 16) {
    bytes.shrink_to_fit();
  }
}

// The sparse_data of distinct, ascending buffered values alone: the
// collapse keeps the last of each run of rho-encoded values that share a
// sparse index, and each kept value is coded straight into room made for
// the longest case. Empty when a value is not above the one before it or
// reaches 2^31 (no buffer of a sketch holds such values); the general path
// then reports it as the encoder does.
std::optional<EncodedUnion> encode_buffered(std::span<const std::uint32_t> buffered,
                                            const SparseEncoding& encoding, bool exact_capacity) {
  Bytes output(buffered.size() * 5 + 8);
  std::uint8_t* const begin = output.data();
  std::uint8_t* out = begin;
  std::int64_t previous = -1;
  std::int32_t count = 0;
  const std::size_t n = buffered.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t value = buffered[i];
    if (encoding.is_rho_encoded(value) && i + 1 < n &&
        encoding.decode_sparse(buffered[i + 1]).sparse_index ==
            encoding.decode_sparse(value).sparse_index) {
      continue;
    }
    if (static_cast<std::int64_t>(value) <= previous || value > INT32_MAX) [[unlikely]] {
      return std::nullopt;
    }
    const std::uint32_t base = previous < 0 ? 0 : static_cast<std::uint32_t>(previous);
    out = DifferenceEncoder::write_varint(out, value - base);
    previous = value;
    ++count;
  }
  output.resize(static_cast<std::size_t>(out - begin));
  trim(output, exact_capacity);
  return EncodedUnion{std::move(output), count};
}

// The sparse_data of the union of stored and buffered values, written in
// one pass: no decoded copy of the stored values, no merged copy.
// `exact_capacity` for a sparse_data that is kept rather than serialised.
Result<EncodedUnion> encode_union(const std::optional<Bytes>& stored,
                                  std::span<const std::uint32_t> buffered,
                                  const SparseEncoding& encoding, bool exact_capacity) {
  if (!stored || stored->empty()) {
    std::optional<EncodedUnion> fast = encode_buffered(buffered, encoding, exact_capacity);
    if (fast) return std::move(*fast);
  }
  Bytes output;
  // Room for the stored bytes plus two per new value, the usual difference
  // size; the output grows geometrically past that.
  output.reserve((stored ? stored->size() : 0) + 2 * buffered.size() + 16);
  DifferenceEncoder encoder(std::move(output));
  std::int32_t count = 0;
  Status failure;
  stream_union(stored, buffered, encoding, [&](std::uint32_t value) {
    Status put = encoder.put(static_cast<std::int32_t>(value));
    if (!put) {
      failure = std::move(put);
      return false;
    }
    ++count;
    return true;
  });
  if (!failure) return failure.take_error();
  Bytes bytes = std::move(encoder).take();
  trim(bytes, exact_capacity);
  return EncodedUnion{std::move(bytes), count};
}

Result<Representation> invalid_representation() {
  return invalid_state("Invalid representation");
}

}  // namespace

Result<SparseRepresentation> SparseRepresentation::create(SketchState state) {
  const std::int32_t p = state.precision;
  const std::int32_t sp = state.sparse_precision;
  Status precision_in_range = check_normal_precision(p);
  if (!precision_in_range) return precision_in_range.take_error();
  Status sparse_precision_in_range = check_sparse_precision(p, sp);
  if (!sparse_precision_in_range) return sparse_precision_in_range.take_error();
  Result<SparseEncoding> encoding = SparseEncoding::create(p, sp);
  if (!encoding) return encoding.take_error();
  const std::uint64_t max_data_bytes = budget(0.75f, p);
  const std::uint64_t max_buffer_elements = budget(0.25f, p);
  if (max_data_bytes == 0 || max_buffer_elements == 0) {
    return invalid_argument(
        "Calculated max sparse data bytes or buffer elements is zero, precision too low?");
  }
  return SparseRepresentation(std::move(state), *encoding, max_data_bytes, max_buffer_elements);
}

Result<Representation> SparseRepresentation::update(SparseRepresentation self) {
  if (self.buffer_.size() > self.max_buffer_elements_) {
    Status flushed = self.flush_buffer();
    if (!flushed) return flushed.take_error();
  }
  if (self.state_.sparse_data && self.state_.sparse_data->size() > self.max_sparse_data_bytes_) {
    Result<NormalRepresentation> normal = self.to_normal();
    if (!normal) return normal.take_error();
    return Representation(std::move(*normal));
  }
  return Representation(std::move(self));
}

Result<Representation> SparseRepresentation::compact(SparseRepresentation self) {
  Status flushed = self.flush_buffer();
  if (!flushed) return flushed.take_error();
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
  Status put = encoder.put_all(ascending);
  if (!put) return put;
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
  return round_to_int64(buckets * std::log(buckets / static_cast<double>(empty)));
}

Result<Representation> SparseRepresentation::add_sparse_value(SparseRepresentation self,
                                                              std::uint32_t value,
                                                              const SparseEncoding& source) {
  const std::int32_t p = self.encoding_.normal_precision();
  const std::int32_t sp = self.encoding_.sparse_precision();
  const std::int32_t source_p = source.normal_precision();
  const std::int32_t source_sp = source.sparse_precision();
  Status compatible = check_compatible(p, sp, source_p, source_sp);
  if (!compatible) return compatible.take_error();

  if (source_p < p || source_sp < sp) {
    Result<Representation> lowered = downgrade(std::move(self), source);
    if (!lowered) return lowered;
    if (NormalRepresentation* normal = lowered->normal()) {
      Status added = normal->merge_sparse_values(source, std::span(&value, 1));
      if (!added) return added.take_error();
      return lowered;
    }
    if (SparseRepresentation* sparse = lowered->sparse()) {
      return add_sparse_value(std::move(*sparse), value, source);
    }
    return invalid_representation();
  }

  Status inserted = self.insert_value(value, source);
  if (!inserted) return inserted.take_error();
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
  Status held = encoding_.check_holds(value);
  if (!held) return held;
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
      Status added = normal->merge_sparse_values(encoding, values.subspan(i));
      if (!added) return added.take_error();
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
    Status inserted = sparse->insert_value(values[i], encoding);
    if (!inserted) return inserted.take_error();
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
  Status compatible = check_compatible(p, sp, other_p, other_sp);
  if (!compatible) return compatible.take_error();

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
    if (!lowering) return lowering.take_error();
    const SparseEncoding encoding = self.encoding_;
    return add_value_sequence(Representation(std::move(self)), converted, encoding);
  }

  // Equal precisions: the union is written into sparse_data in one pass.
  // The other's stored values are unchecked data; one outside the encoding
  // would otherwise settle in this sketch and fail a later, innocent add.
  Status held = check_stored_values(other_stored, self.encoding_);
  if (!held) return held.take_error();
  Status flushed = self.flush_buffer();
  if (!flushed) return flushed.take_error();
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
