// SparseEncoding::encode over a column of hashes.
#include "hll/encoding.h"
#include "utils/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantorelle {
namespace {

#if defined(__x86_64__)

// encode(), step for step, in eight lanes: the index's top sp bits, rho_w
// from the leading zeros of the rest, and the rho-encoded form where the
// index's low sp - p bits are zero.
__attribute__((target("avx512f,avx512cd,avx512dq"))) std::size_t encode_avx512(
    const std::uint64_t* hashes, std::size_t count, std::uint32_t* codes, std::int32_t sparse_precision,
    std::int32_t shift, std::uint32_t low_mask, std::uint32_t flag) {
  const __m128i index_shift = _mm_cvtsi32_si128(64 - sparse_precision);
  const __m128i rest_shift = _mm_cvtsi32_si128(sparse_precision);
  const __m128i down_shift = _mm_cvtsi32_si128(shift);
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i empty_rho = _mm512_set1_epi64(64 - sparse_precision + 1);
  const __m512i low = _mm512_set1_epi64(low_mask);
  const __m512i rho_flag = _mm512_set1_epi64(flag);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m512i hash = _mm512_loadu_si512(hashes + i);
    const __m512i index = _mm512_srl_epi64(hash, index_shift);
    const __m512i rest = _mm512_sll_epi64(hash, rest_shift);
    const __mmask8 rest_zero = _mm512_cmpeq_epi64_mask(rest, _mm512_setzero_si512());
    const __m512i rho = _mm512_mask_mov_epi64(_mm512_add_epi64(_mm512_lzcnt_epi64(rest), one), rest_zero, empty_rho);
    const __m512i rho_encoded =
        _mm512_or_si512(rho_flag, _mm512_or_si512(_mm512_slli_epi64(_mm512_srl_epi64(index, down_shift), RHOW_BITS), rho));
    const __mmask8 plain = _mm512_test_epi64_mask(index, low);
    const __m512i code = _mm512_mask_mov_epi64(rho_encoded, plain, index);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + i), _mm512_cvtepi64_epi32(code));
  }
  return i;
}

#endif

}  // namespace

void SparseEncoding::encode_all(const std::uint64_t* hashes, std::size_t count, std::uint32_t* codes) const {
  std::size_t done = 0;
#if defined(__x86_64__)
  // (below sp = 2 a rho_w can outgrow its six bits: encode() reports it)
  if (sparse_precision_ >= 2 && cpu_has_avx512()) {
    done = encode_avx512(hashes, count, codes, sparse_precision_, shift_, low_mask_, rho_encoded_flag_);
  }
#endif
  for (std::size_t i = done; i < count; ++i) codes[i] = encode(hashes[i]);
}

}  // namespace vantorelle
