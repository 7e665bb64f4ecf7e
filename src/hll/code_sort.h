// Sorting the value codes of one group, the step every grouped writer
// takes before it collapses equal indices into sparse data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vantorelle {

// Sorts `codes` (each below 2^31) ascending; `scratch` is room the sort
// may reuse from call to call.
void sort_codes(std::span<std::uint32_t> codes, std::vector<std::uint32_t>& scratch);

}  // namespace vantorelle
