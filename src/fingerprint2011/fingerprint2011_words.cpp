#include "fingerprint2011/fingerprint2011_words.h"

#include "fingerprint2011/fingerprint2011.h"
#include "utils/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantorelle {
namespace {

#if defined(__x86_64__)

#define VANTORELLE_AVX512 __attribute__((target("avx512f,avx512dq")))

VANTORELLE_AVX512 inline __m512i xorshift47_lanes(__m512i x) { return _mm512_xor_si512(x, _mm512_srli_epi64(x, 47)); }

// fingerprint2011_word, step for step, in eight 64-bit lanes (AVX-512DQ has
// the 64-bit multiply the scalar code leans on); the words it did.
VANTORELLE_AVX512 std::size_t words_avx512(const std::uint64_t* words, std::size_t count, std::uint64_t* hashes) {
  using namespace fingerprint2011_mixing;
  const __m512i c0 = _mm512_set1_epi64(static_cast<long long>(C0));
  const __m512i c3 = _mm512_set1_epi64(static_cast<long long>(C3));
  const __m512i seed = _mm512_set1_epi64(static_cast<long long>(SHORT_SEED ^ (8 * C3)));
  const __m512i two = _mm512_set1_epi64(2);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m512i word = _mm512_loadu_si512(words + i);
    __m512i h = _mm512_mullo_epi64(xorshift47_lanes(_mm512_mullo_epi64(word, c3)), c3);
    h = _mm512_mullo_epi64(_mm512_xor_si512(seed, h), c3);
    h = xorshift47_lanes(_mm512_mullo_epi64(xorshift47_lanes(h), c3));
    // finish(h, C0, word): fold_pair(h + C0, word).
    const __m512i high = _mm512_add_epi64(h, c0);
    const __m512i a = xorshift47_lanes(_mm512_mullo_epi64(_mm512_xor_si512(word, high), c3));
    const __m512i c = xorshift47_lanes(_mm512_mullo_epi64(_mm512_xor_si512(high, a), c3));
    __m512i r = _mm512_mullo_epi64(c, c3);
    // r > 1 ? r : r - 2
    const __mmask8 small = _mm512_cmple_epu64_mask(r, _mm512_set1_epi64(1));
    r = _mm512_mask_sub_epi64(r, small, r, two);
    _mm512_storeu_si512(hashes + i, r);
  }
  return i;
}

#endif

}  // namespace

void fingerprint2011_words(const std::uint64_t* words, std::size_t count, std::uint64_t* hashes) {
  std::size_t done = 0;
#if defined(__x86_64__)
  if (cpu_has_avx512()) done = words_avx512(words, count, hashes);
#endif
  for (std::size_t i = done; i < count; ++i) hashes[i] = fingerprint2011_word(words[i]);
}

}  // namespace vantorelle
