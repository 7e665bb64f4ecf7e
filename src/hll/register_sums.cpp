#include "hll/register_sums.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VANTORELLE_REGISTER_SUMS_AVX2 1
#endif

namespace vantorelle {

RegisterCounts count_register_values(ByteView registers) {
  // Four interleaved tables, so that runs of equal bytes do not serialise
  // on one counter.
  std::array<std::array<std::uint32_t, 256>, 4> partial{};
  const std::size_t n = registers.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++partial[0][registers[i]];
    ++partial[1][registers[i + 1]];
    ++partial[2][registers[i + 2]];
    ++partial[3][registers[i + 3]];
  }
  for (; i < n; ++i) ++partial[0][registers[i]];
  RegisterCounts counts{};
  for (std::size_t v = 0; v < counts.size(); ++v) {
    counts[v] = std::uint64_t{partial[0][v]} + partial[1][v] + partial[2][v] + partial[3][v];
  }
  return counts;
}

namespace {

// Widest H - L the 32-bit lanes take: a term is at most 2^(H - L), and a
// block of rounds adds one term a round to a lane, at most 2^31 in all.
constexpr std::uint32_t MAX_LANE_SPREAD = 31;

std::size_t rounds_per_block(std::uint32_t spread) {
  return std::size_t{1} << (MAX_LANE_SPREAD - std::max(spread, MAX_LANE_SPREAD - 8));
}

// Every partial sum of `count` terms 2^-v, L <= v <= H, is a multiple of
// 2^-H at most 2^(c - L), count <= 2^c: an integer of this many bits times
// 2^-H.
std::uint32_t exact_sum_bits(std::size_t count, const RegisterSummary& summary) {
  const auto count_bits = count == 0 ? 0u : static_cast<std::uint32_t>(std::bit_width(count - 1));
  return count_bits + summary.highest - summary.lowest;
}

RegisterSummary summarize_scalar(const std::uint8_t* registers, std::size_t count,
                                 RegisterSummary summary) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t v = registers[i];
    summary.zeros += v == 0;
    summary.lowest = std::min(summary.lowest, v);
    summary.highest = std::max(summary.highest, v);
  }
  return summary;
}

// T = sum of 2^(H - v) through a histogram of register values; T < 2^64
// because the caller checked exact_sum_bits <= 53.
std::uint64_t scaled_sum_by_histogram(ByteView registers, std::uint8_t highest) {
  const RegisterCounts counts = count_register_values(registers);
  std::uint64_t total = 0;
  for (std::uint32_t v = 0; v <= highest; ++v) total += counts[v] << (highest - v);
  return total;
}

#ifdef VANTORELLE_REGISTER_SUMS_AVX2

bool has_avx2() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
}

__attribute__((target("avx2"))) std::uint64_t sum_u64_lanes(__m256i lanes) {
  alignas(32) std::array<std::uint64_t, 4> values;
  _mm256_store_si256(reinterpret_cast<__m256i*>(values.data()), lanes);
  return values[0] + values[1] + values[2] + values[3];
}

__attribute__((target("avx2"))) RegisterSummary summarize_avx2(ByteView registers) {
  const std::uint8_t* data = registers.data();
  const std::size_t whole = registers.size() & ~std::size_t{63};
  const __m256i zero = _mm256_setzero_si256();
  // Two of each running value, for the two halves of a 64-byte round, so
  // that neither waits on the other.
  __m256i lowest[2] = {_mm256_set1_epi8(-1), _mm256_set1_epi8(-1)};
  __m256i highest[2] = {zero, zero};
  __m256i zeros = zero;  // four 64-bit counts
  std::size_t i = 0;
  while (i < whole) {
    // A byte counter takes 255 rounds before it is folded into 64 bits.
    const std::size_t block_end = std::min(whole, i + 64 * 255);
    __m256i counts[2] = {zero, zero};
    for (; i < block_end; i += 64) {
      for (int half = 0; half < 2; ++half) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32 * half));
        lowest[half] = _mm256_min_epu8(lowest[half], v);
        highest[half] = _mm256_max_epu8(highest[half], v);
        counts[half] = _mm256_sub_epi8(counts[half], _mm256_cmpeq_epi8(v, zero));
      }
    }
    zeros = _mm256_add_epi64(zeros, _mm256_add_epi64(_mm256_sad_epu8(counts[0], zero),
                                                     _mm256_sad_epu8(counts[1], zero)));
  }
  alignas(32) std::array<std::uint8_t, 32> low_bytes;
  alignas(32) std::array<std::uint8_t, 32> high_bytes;
  _mm256_store_si256(reinterpret_cast<__m256i*>(low_bytes.data()), _mm256_min_epu8(lowest[0], lowest[1]));
  _mm256_store_si256(reinterpret_cast<__m256i*>(high_bytes.data()), _mm256_max_epu8(highest[0], highest[1]));
  RegisterSummary summary;
  summary.zeros = static_cast<std::uint32_t>(sum_u64_lanes(zeros));
  summary.lowest = *std::min_element(low_bytes.begin(), low_bytes.end());
  summary.highest = *std::max_element(high_bytes.begin(), high_bytes.end());
  return summarize_scalar(data + whole, registers.size() - whole, summary);
}

// Eight terms 2^(H - v) = 2^(H - B) >> (v - B), for the registers v in the
// lanes of `v`: `top` holds 2^(H - B) and `base` B, which the caller chose so
// that H - B <= 31 and B <= every register.
template <bool kOffset>
__attribute__((target("avx2"))) inline __m256i eight_terms(__m256i v, __m256i top, __m256i base) {
  return _mm256_srlv_epi32(top, kOffset ? _mm256_sub_epi32(v, base) : v);
}

// The eight 32-bit lanes added pairwise into four 64-bit lanes.
__attribute__((target("avx2"))) inline __m256i widen(__m256i lanes) {
  return _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(lanes)),
                          _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lanes, 1)));
}

// T = sum of 2^(H - v) with H - L <= MAX_LANE_SPREAD. The shifts count from
// B = 0 while H <= 31, which saves a subtraction, otherwise from B = L.
template <bool kOffset>
__attribute__((target("avx2"))) std::uint64_t scaled_sum_avx2(ByteView registers,
                                                              const RegisterSummary& summary) {
  const std::uint8_t* data = registers.data();
  const std::size_t whole = registers.size() & ~std::size_t{31};
  const std::size_t block = 32 * rounds_per_block(summary.highest - summary.lowest);
  const int base = kOffset ? summary.lowest : 0;
  const __m256i top = _mm256_set1_epi32(static_cast<int>(std::uint32_t{1} << (summary.highest - base)));
  const __m256i bases = _mm256_set1_epi32(base);
  const __m256i low_byte = _mm256_set1_epi32(0xFF);
  const __m256i zero = _mm256_setzero_si256();
  __m256i total = zero;  // four 64-bit sums
  std::size_t i = 0;
  while (i < whole) {
    const std::size_t block_end = std::min(whole, i + block);
    __m256i a = zero, b = zero, c = zero, d = zero;
    for (; i < block_end; i += 32) {
      // Byte k of every 32-bit lane, by shifts and masks rather than
      // shuffles: the order of the terms does not matter.
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
      a = _mm256_add_epi32(a, eight_terms<kOffset>(_mm256_and_si256(x, low_byte), top, bases));
      b = _mm256_add_epi32(b, eight_terms<kOffset>(
                                  _mm256_and_si256(_mm256_srli_epi32(x, 8), low_byte), top, bases));
      c = _mm256_add_epi32(c, eight_terms<kOffset>(
                                  _mm256_and_si256(_mm256_srli_epi32(x, 16), low_byte), top, bases));
      d = _mm256_add_epi32(d, eight_terms<kOffset>(_mm256_srli_epi32(x, 24), top, bases));
    }
    total = _mm256_add_epi64(total, _mm256_add_epi64(_mm256_add_epi64(widen(a), widen(b)),
                                                     _mm256_add_epi64(widen(c), widen(d))));
  }
  std::uint64_t sum = sum_u64_lanes(total);
  for (; i < registers.size(); ++i) sum += std::uint64_t{1} << (summary.highest - data[i]);
  return sum;
}

// Largest H for which the pass of summarize_and_sum_registers forms S.
constexpr std::uint32_t FUSED_TOP = 24;

__attribute__((target("avx2"))) RegisterSums summarize_and_sum_avx2(ByteView registers) {
  const std::uint8_t* data = registers.data();
  const std::size_t whole = registers.size() & ~std::size_t{31};
  const __m256i zero = _mm256_setzero_si256();
  const __m256i top = _mm256_set1_epi32(1 << FUSED_TOP);
  const __m256i low_byte = _mm256_set1_epi32(0xFF);
  __m256i lowest = _mm256_set1_epi8(-1);
  __m256i highest = zero;
  __m256i zeros = zero;  // four 64-bit counts
  __m256i total = zero;  // four 64-bit sums
  std::size_t i = 0;
  while (i < whole) {
    const std::size_t block_end = std::min(whole, i + 32 * 255);
    __m256i counts = zero, a = zero, b = zero, c = zero, d = zero;
    for (; i < block_end; i += 32) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
      lowest = _mm256_min_epu8(lowest, x);
      highest = _mm256_max_epu8(highest, x);
      counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(x, zero));
      // A shift by more than 31 gives 0: registers above FUSED_TOP add
      // nothing, and the sum is then not used.
      a = _mm256_add_epi32(a, eight_terms<false>(_mm256_and_si256(x, low_byte), top, zero));
      b = _mm256_add_epi32(b, eight_terms<false>(
                                  _mm256_and_si256(_mm256_srli_epi32(x, 8), low_byte), top, zero));
      c = _mm256_add_epi32(c, eight_terms<false>(
                                  _mm256_and_si256(_mm256_srli_epi32(x, 16), low_byte), top, zero));
      d = _mm256_add_epi32(d, eight_terms<false>(_mm256_srli_epi32(x, 24), top, zero));
    }
    zeros = _mm256_add_epi64(zeros, _mm256_sad_epu8(counts, zero));
    total = _mm256_add_epi64(total, _mm256_add_epi64(_mm256_add_epi64(widen(a), widen(b)),
                                                     _mm256_add_epi64(widen(c), widen(d))));
  }
  alignas(32) std::array<std::uint8_t, 32> low_bytes;
  alignas(32) std::array<std::uint8_t, 32> high_bytes;
  _mm256_store_si256(reinterpret_cast<__m256i*>(low_bytes.data()), lowest);
  _mm256_store_si256(reinterpret_cast<__m256i*>(high_bytes.data()), highest);
  RegisterSums sums;
  sums.summary.zeros = static_cast<std::uint32_t>(sum_u64_lanes(zeros));
  sums.summary.lowest = *std::min_element(low_bytes.begin(), low_bytes.end());
  sums.summary.highest = *std::max_element(high_bytes.begin(), high_bytes.end());
  std::uint64_t scaled = sum_u64_lanes(total);
  sums.summary = summarize_scalar(data + whole, registers.size() - whole, sums.summary);
  const RegisterSummary widest{0, 0, FUSED_TOP};
  if (sums.summary.highest <= FUSED_TOP && exact_sum_bits(registers.size(), widest) <= 53) {
    for (std::size_t k = whole; k < registers.size(); ++k) {
      scaled += std::uint64_t{1} << (FUSED_TOP - data[k]);
    }
    sums.harmonic_sum = std::ldexp(static_cast<double>(scaled), -static_cast<int>(FUSED_TOP));
  }
  return sums;
}

#endif  // VANTORELLE_REGISTER_SUMS_AVX2

}  // namespace

RegisterSums summarize_and_sum_registers(ByteView registers) {
#ifdef VANTORELLE_REGISTER_SUMS_AVX2
  if (!registers.empty() && has_avx2()) return summarize_and_sum_avx2(registers);
#endif
  return {summarize_registers(registers), std::nullopt};
}

RegisterSummary summarize_registers(ByteView registers) {
  if (registers.empty()) return {};
#ifdef VANTORELLE_REGISTER_SUMS_AVX2
  if (has_avx2()) return summarize_avx2(registers);
#endif
  RegisterSummary start;
  start.lowest = 0xFF;
  return summarize_scalar(registers.data(), registers.size(), start);
}

double harmonic_sum(ByteView registers, const RegisterSummary& summary) {
  if (exact_sum_bits(registers.size(), summary) > 53) return harmonic_sum_in_order(registers);
  std::uint64_t scaled;
#ifdef VANTORELLE_REGISTER_SUMS_AVX2
  if (has_avx2() && summary.highest - summary.lowest <= static_cast<int>(MAX_LANE_SPREAD)) {
    scaled = summary.highest <= MAX_LANE_SPREAD ? scaled_sum_avx2<false>(registers, summary)
                                                : scaled_sum_avx2<true>(registers, summary);
  } else {
    scaled = scaled_sum_by_histogram(registers, summary.highest);
  }
#else
  scaled = scaled_sum_by_histogram(registers, summary.highest);
#endif
  return std::ldexp(static_cast<double>(scaled), -static_cast<int>(summary.highest));
}

double harmonic_sum_in_order(ByteView registers) {
  double sum = 0.0;
  for (std::uint8_t v : registers) sum += std::ldexp(1.0, -static_cast<int>(v));
  return sum;
}

}  // namespace vantorelle
