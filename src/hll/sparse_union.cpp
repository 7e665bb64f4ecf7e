#include "hll/sparse_union.h"

#include <utility>

namespace vantorelle {

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

namespace {

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

}  // namespace

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
  VANTORELLE_RETURN_IF_ERROR(std::move(failure));
  Bytes bytes = std::move(encoder).take();
  trim(bytes, exact_capacity);
  return EncodedUnion{std::move(bytes), count};
}

}  // namespace vantorelle
