// Whether a sketch's values are already past what its sparse form may hold,
// judged without writing the sparse data: a group whose values fill many
// registers ends with registers, and the sort and encoding its sparse data
// would take can be skipped.
#pragma once

#include <cstdint>
#include <span>

#include "hll/encoding.h"

namespace vantorelle {

// A lower bound on the bytes of the sparse data that `codes` (sparse values
// of `encoding`, in any order, repeats allowed) make; 0 when the sparse
// precision is above 21 (its bitmap would pass 256 KiB).
std::uint64_t sparse_bytes_at_least(std::span<const std::uint32_t> codes, const SparseEncoding& encoding);

// Whether `codes`, which fill `filled` registers, make sparse data longer
// than `budget` bytes: more filled registers than bytes (each stored value
// takes at least one), or a lower bound past it. The bound costs a pass over
// the codes, so it is worked out only when uniform hashes that fill as many
// registers would come within a fifth of the budget. False may still mean
// longer; true never errs. More values never shorten the data, so a sketch
// whose values this holds for ends with registers.
bool sparse_data_exceeds(std::span<const std::uint32_t> codes, std::uint64_t filled, std::uint64_t budget,
                         const SparseEncoding& encoding);

}  // namespace vantorelle
