// Union coding of sparse values: the ascending union of a sketch's stored
// values (varint differences, decoded as they are read) and a run of
// ascending new values, collapsed to one value per sparse index (for a
// rho-encoded index, the largest rho_w), either handed on value by value
// or written straight into new sparse_data. See sparse_representation.cpp
// for the stored layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error/result.h"
#include "hll/encoding.h"
#include "utils/buffer_traits.h"
#include "utils/bytes.h"

namespace vantorelle {

// Whether `later`, coming after `earlier` in an ascending union, takes its
// place when the union is collapsed: after a plain value an equal one,
// after a rho-encoded value one of the same sparse index (the later has the
// larger rho_w).
[[gnu::always_inline]] inline bool replaces_in_union(const SparseEncoding& encoding, std::uint32_t earlier,
                                                     std::uint32_t later) {
  if (!encoding.is_rho_encoded(earlier)) return later == earlier;
  return encoding.decode_sparse(later).sparse_index == encoding.decode_sparse(earlier).sparse_index;
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
    const std::uint32_t head = value;
    while ((pending = next(following)) && replaces_in_union(encoding, head, following)) value = following;
    if (!emit(value)) {
      while (!decoder.at_end()) decoder.next();
      return;
    }
    value = following;
  }
}

// Decodes all of `stored` (malformed data fails wherever it lies, as an
// internal failure) and reports the first value outside `encoding`.
Status check_stored_values(const std::optional<Bytes>& stored, const SparseEncoding& encoding);

struct EncodedUnion {
  Bytes bytes;
  std::int32_t count;
};

// The sparse_data of the union of stored and buffered values, written in
// one pass: no decoded copy of the stored values, no merged copy.
// `exact_capacity` for a sparse_data that is kept rather than serialised.
Result<EncodedUnion> encode_union(const std::optional<Bytes>& stored,
                                  std::span<const std::uint32_t> buffered,
                                  const SparseEncoding& encoding, bool exact_capacity);

}  // namespace vantorelle
