// register_sums: the two numbers the estimate reads from a register array,
// formed so that they cost a few SIMD passes instead of a histogram.
//
// The estimate needs the count of zero registers (for linear counting) and
// the harmonic sum  S = sum over registers of 2^-v.  Added one register at a
// time in double precision, as the estimate has always been defined, S can
// round: its exact value is a multiple of 2^-H at most 2^(p - L), where H and
// L are the highest and lowest register, so it takes up to p + H - L
// significant bits. While p + H - L <= 53 every partial sum, in whatever
// order it is formed, is such a multiple within that bound and therefore
// exact in a double; the register-by-register sum is then the exact value,
// and so is any other summation order, or the integer
//
//     T = sum over registers of 2^(H - v),   S = T * 2^-H,
//
// which is how the fast path forms it: each term is an integer shift, T fits
// in 64 bits and converts to a double without rounding. Register states with
// a wider spread (only adversarial or absurdly large inputs reach them) keep
// the register-by-register double sum, bit for bit the estimate's own
// definition.
//
// The vector path, on x86-64 processors with AVX2 (chosen at run time), shifts
// eight registers at a time in 32-bit lanes; it applies while H - L <= 31,
// widening the lanes into 64 bits before they can overflow (every 2^8 rounds
// up to H - L = 23, then more often). Other processors, and wider spreads up
// to p + H - L <= 53, use a histogram of register values.
//
// Where the registers are both checked and estimated, one AVX2 pass forms the
// summary together with T' = sum of 2^(24 - v) over the registers, in 32-bit
// lanes widened every 255 rounds (the byte counters of the zeros allow no
// more, and 255 terms of at most 2^24 stay below 2^32). When H <= 24 no term
// was cut off, and for at most 2^29 registers T' = T * 2^(24 - H) is at most
// 2^53, so S = T' * 2^-24 converts without rounding; within the bound above
// (c + H - L <= 53 for 2^c registers) it is the same double. Otherwise the
// sum is formed afterwards as above.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "utils/bytes.h"

namespace vantorelle {

struct RegisterSummary {
  std::uint32_t zeros = 0;   // registers holding 0
  std::uint8_t lowest = 0;   // L (0 for an empty array)
  std::uint8_t highest = 0;  // H (0 for an empty array)
};

// How many registers hold each byte value.
using RegisterCounts = std::array<std::uint64_t, 256>;
RegisterCounts count_register_values(ByteView registers);

RegisterSummary summarize_registers(ByteView registers);

// The harmonic sum S of `registers`, identical to the sum formed register by
// register in double precision. `summary` is theirs.
double harmonic_sum(ByteView registers, const RegisterSummary& summary);

// The summary and, when it could be formed in the same pass, S.
struct RegisterSums {
  RegisterSummary summary;
  std::optional<double> harmonic_sum;
};

RegisterSums summarize_and_sum_registers(ByteView registers);

// S formed register by register: the definition the fast forms reproduce.
double harmonic_sum_in_order(ByteView registers);

}  // namespace vantorelle
