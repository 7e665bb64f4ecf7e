#include "hll/code_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "utils/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantorelle {
namespace {

#if defined(__x86_64__)

// Up to kRankSorted codes: each code's place is the number of codes before
// it in order (equal codes by their position), counted with one compare of
// 16 lanes per 16 codes. No branch depends on the codes, where an insertion
// or bucket sort of a small group mispredicts about once a code.
constexpr std::size_t kRankSorted = 64;

__attribute__((target("avx512f"))) void rank_sort(std::uint32_t* codes, std::size_t n) {
  const std::size_t blocks = (n + 15) / 16;
  __m512i all[kRankSorted / 16];
  for (std::size_t b = 0; b < blocks; ++b) {
    // Lanes past n hold UINT32_MAX, above every code: they rank after all.
    const std::size_t here = std::min<std::size_t>(16, n - b * 16);
    all[b] = _mm512_mask_loadu_epi32(_mm512_set1_epi32(-1), static_cast<__mmask16>((1u << here) - 1),
                                     codes + b * 16);
  }
  alignas(64) std::uint32_t out[kRankSorted];
  for (std::size_t i = 0; i < n; ++i) {
    const __m512i code = _mm512_set1_epi32(static_cast<int>(codes[i]));
    unsigned rank = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
      // The lanes of this block that come before code i.
      const std::size_t earlier = std::min<std::size_t>(16, i > b * 16 ? i - b * 16 : 0);
      const auto before = static_cast<__mmask16>((1u << earlier) - 1);
      const __mmask16 below = _mm512_cmplt_epu32_mask(all[b], code);
      const __mmask16 equal = _mm512_cmpeq_epu32_mask(all[b], code) & before;
      rank += static_cast<unsigned>(std::popcount(static_cast<unsigned>(below | equal)));
    }
    out[rank] = codes[i];
  }
  std::memcpy(codes, out, n * sizeof(std::uint32_t));
}

#endif

// Two to four codes: a sorting network over them padded with UINT32_MAX
// (above every code), of minima and maxima, with no branch on the codes.
void sort_few(std::uint32_t* codes, std::size_t n) {
  std::uint32_t a = codes[0], b = codes[1];
  std::uint32_t c = n > 2 ? codes[2] : UINT32_MAX, d = n > 3 ? codes[3] : UINT32_MAX;
  const auto exchange = [](std::uint32_t& low, std::uint32_t& high) {
    const std::uint32_t least = std::min(low, high);
    high = std::max(low, high);
    low = least;
  };
  exchange(a, b);
  exchange(c, d);
  exchange(a, c);
  exchange(b, d);
  exchange(b, c);
  // (one store a code: a copy from an array just stored would wait on them)
  codes[0] = a;
  codes[1] = b;
  if (n > 2) codes[2] = c;
  if (n > 3) codes[3] = d;
}

void insertion_sort(std::uint32_t* begin, std::uint32_t* end) {
  for (std::uint32_t* i = begin + 1; i < end; ++i) {
    const std::uint32_t value = *i;
    std::uint32_t* j = i;
    for (; j > begin && *(j - 1) > value; --j) *j = *(j - 1);
    *j = value;
  }
}

}  // namespace

// Sorts codes (below 2^31). Up to four: sort_few. Up to 64 with AVX-512:
// rank_sort; otherwise few: insertion sort. Up to a few thousand: one pass
// into buckets by the top bits of their range, two to four buckets a code
// (with more, summing the counts costs more than the insertion sort of the
// nearly sorted result saves; with fewer, the other way), then that
// insertion sort. More: a least-significant-digit radix sort of 11 bits a
// pass, as many passes as the largest code needs.
void sort_codes(std::span<std::uint32_t> codes, std::vector<std::uint32_t>& scratch) {
  const std::size_t n = codes.size();
  if (n < 2) return;
  if (n <= 4) {
    sort_few(codes.data(), n);
    return;
  }
#if defined(__x86_64__)
  if (n <= kRankSorted && cpu_has_avx512()) {
    rank_sort(codes.data(), n);
    return;
  }
#endif
  if (n < 32) {
    insertion_sort(codes.data(), codes.data() + n);
    return;
  }
  std::uint32_t largest = 0;
  for (const std::uint32_t code : codes) largest = std::max(largest, code);
  const int bits = std::bit_width(largest);
  scratch.resize(n);
  if (n < 4096) {
    const int bucket_bits = std::min(bits, static_cast<int>(std::bit_width(n)) + 1);
    const int shift = bits - bucket_bits;
    std::uint32_t counts[16385];
    std::fill(counts, counts + (std::size_t{1} << bucket_bits) + 1, 0);
    for (const std::uint32_t code : codes) ++counts[(code >> shift) + 1];
    for (std::size_t b = 1; b <= (std::size_t{1} << bucket_bits); ++b) counts[b] += counts[b - 1];
    for (const std::uint32_t code : codes) scratch[counts[code >> shift]++] = code;
    insertion_sort(scratch.data(), scratch.data() + n);
    std::memcpy(codes.data(), scratch.data(), n * sizeof(std::uint32_t));
    return;
  }
  std::uint32_t* from = codes.data();
  std::uint32_t* to = scratch.data();
  for (int shift = 0; shift < bits; shift += 11) {
    std::size_t counts[2048] = {};
    for (std::size_t i = 0; i < n; ++i) ++counts[(from[i] >> shift) & 2047];
    std::size_t running = 0;
    for (std::size_t& count : counts) {
      const std::size_t here = count;
      count = running;
      running += here;
    }
    for (std::size_t i = 0; i < n; ++i) to[counts[(from[i] >> shift) & 2047]++] = from[i];
    std::swap(from, to);
  }
  if (from != codes.data()) std::memcpy(codes.data(), from, n * sizeof(std::uint32_t));
}

}  // namespace vantorelle
