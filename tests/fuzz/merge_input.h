// The precisions that a merge_fuzz input header can choose, shared with the
// seed writer. Every normal precision 10..24 appears; 20..24 once each, as
// registers at 2^24 make an input some hundred times slower.
#pragma once

#include <cstdint>

namespace vantorelle {

inline constexpr std::int32_t NORMAL_PRECISIONS[64] = {
    10, 10, 10, 10, 10, 10, 10, 10, 11, 11, 11, 11, 11, 11, 11, 12,
    12, 12, 12, 12, 12, 12, 13, 13, 13, 13, 13, 13, 14, 14, 14, 14,
    14, 14, 15, 15, 15, 15, 15, 15, 15, 16, 16, 16, 16, 16, 17, 17,
    17, 17, 17, 18, 18, 18, 18, 19, 19, 19, 19, 20, 21, 22, 23, 24};

}  // namespace vantorelle
