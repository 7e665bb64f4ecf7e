// The merge of a group of stored sparse sketches alike in everything but
// their values: the common roll-up of partial sketches, made at one
// precision and none past the sparse budget. Merged one by one, each step
// decodes the growing union and writes it again; here the union is worked
// out on decoded values and written once.
#pragma once

#include <optional>
#include <span>

#include "utils/bytes.h"

namespace vantorelle {

// The serialised merge of `sketches` (two or more): the bytes of from_bytes
// of the first, merge_bytes of the others in order, then to_bytes. Nothing
// when they are not sparse sketches alike, when the union passes the sparse
// budget at any step, or for anything odd in their data: the one-by-one
// merge then decides, and reports any error.
std::optional<Bytes> roll_up_alike_sparse(std::span<const ByteView> sketches);

}  // namespace vantorelle
