// The HLL++ estimate over a register array: linear counting while it is
// accurate, otherwise the raw HyperLogLog estimate minus an empirical bias
// interpolated from the published tables.
#pragma once

#include <cstdint>

#include "hll/linear_counting.h"
#include "hll/register_sums.h"
#include "utils/bytes.h"

namespace vantorelle {

// The estimate of the 2^p registers of precision p (10..24). A register above
// 65 - p, or a precision below 10, is an internal failure.
std::int64_t estimate_registers(ByteView registers, std::int32_t precision);
// The same, given the summary of the registers (and S, if formed).
std::int64_t estimate_registers(ByteView registers, std::int32_t precision,
                                const RegisterSums& sums);

// The bias that HLL++ subtracts from a raw estimate at precision p; 0 outside
// the tables.
double estimate_bias(double raw_estimate, std::int32_t precision);

}  // namespace vantorelle
