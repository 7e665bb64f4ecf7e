// The merge of a group of stored sparse sketches alike in everything but
// their values: the common roll-up of partial sketches, made at one
// precision and none past the sparse budget. Merged one by one, each step
// decodes the growing union and writes it again; here the union is worked
// out on decoded values and written once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "hll/sparse_representation.h"
#include "utils/bytes.h"
#include "utils/mapped_allocator.h"

namespace vantorelle {

// Merges groups one after another, keeping its buffers and the checks of
// the last group's fields for the next.
class SparseRollUp {
 public:
  // Appends to `out` the serialised merge of `sketches` (two or more): the
  // bytes of from_bytes of the first, merge_bytes of the others in order,
  // then to_bytes. False, with `out` as it was, when they are not sparse
  // sketches alike, when the union passes the sparse budget at any step, or
  // for anything odd in their data: the one-by-one merge then decides, and
  // reports any error.
  bool merge_into(std::span<const ByteView> sketches, Bytes& out);

 private:
  std::optional<SparseRepresentation> shape_;  // a sketch of the last fields, without values
  MappedVector<std::uint32_t> united_, values_, scratch_;
  Bytes coded_;
};

}  // namespace vantorelle
