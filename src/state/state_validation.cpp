#include "state/state_validation.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "utils/var_int.h"

namespace vantorelle {

namespace {

// What a value of one encoding may be, as 64-bit bounds so that running sums
// past 2^32 compare correctly.
struct ValueBounds {
  std::uint64_t plain_end;  // 2^sp: plain values lie below
  std::uint64_t flag;       // rho-encoded values have this bit set
  std::uint64_t rho_end;    // flag + 2^(p + 6): register index below 2^p
  std::uint32_t max_rho;    // 65 - sp: the largest rho_w stored in a value
};

ValueBounds bounds_of(const SparseEncoding& encoding) {
  const std::int32_t p = encoding.normal_precision();
  const std::int32_t sp = encoding.sparse_precision();
  ValueBounds b;
  b.plain_end = std::uint64_t{1} << sp;
  b.flag = encoding.rho_encoded_flag();
  b.rho_end = b.flag + (std::uint64_t{1} << (p + RHOW_BITS));
  b.max_rho = static_cast<std::uint32_t>(65 - sp);
  return b;
}

// ---------------------------------------------------------------- fast pass
//
// Values ascend, so the plain ones come first and need no check of their
// own while the running sum stays below 2^sp; only the rho-encoded values at
// the end carry a rho_w to check one by one. The plain stretch is summed
// sixteen bytes at a time while its varints are at most two bytes long,
// which is what most stored data holds: no step waits for the length of the
// varint before it.

#if defined(__SSE2__)
// The lanes of `now` shifted up by k bytes, with the top k lanes of
// `before` (the sixteen bytes in front) shifted in.
template <int K>
inline __m128i shifted_in(__m128i now, __m128i before) {
  return _mm_or_si128(_mm_slli_si128(now, K), _mm_srli_si128(before, 16 - K));
}

// The sum of the varints in sixteen bytes whose low bits are `low`, each
// lane weighed by its place in its varint (after_k: lanes that follow k
// continuation bytes in a row), as two 64-bit halves.
inline __m128i varint_sums(__m128i low, __m128i after_1, __m128i after_2, __m128i after_3, __m128i after_4) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = _mm_sad_epu8(_mm_andnot_si128(after_1, low), zero);
  sums = _mm_add_epi64(sums, _mm_slli_epi64(_mm_sad_epu8(_mm_andnot_si128(after_2, _mm_and_si128(after_1, low)), zero), 7));
  sums = _mm_add_epi64(sums, _mm_slli_epi64(_mm_sad_epu8(_mm_andnot_si128(after_3, _mm_and_si128(after_2, low)), zero), 14));
  sums = _mm_add_epi64(sums, _mm_slli_epi64(_mm_sad_epu8(_mm_andnot_si128(after_4, _mm_and_si128(after_3, low)), zero), 21));
  return _mm_add_epi64(sums, _mm_slli_epi64(_mm_sad_epu8(_mm_and_si128(after_4, low), zero), 28));
}

// Advances `pos` (a varint boundary) sixteen bytes at a time while the
// varints are well formed and the running sum stays below `end`; leaves
// `pos` at a varint boundary and `value` at the value that ends there.
// Over rho-encoded values (RHO), also while every value's rho_w, its low six
// bits, is at most max_rho: modulo 64 a varint adds only its first byte's
// low six bits (the others weigh 2^7 and more), so the rho_w of each value
// is a running byte sum over the first bytes.
template <bool RHO>
inline void skip_stretch(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                         std::uint64_t& value, std::uint64_t end, std::uint32_t max_rho) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low_bits = _mm_set1_epi8(0x7F);
  const __m128i beyond_32_bits = _mm_set1_epi8(0x70);
  const __m128i rho_bits = _mm_set1_epi8(0x3F);
  const __m128i rho_limit = _mm_set1_epi8(static_cast<char>(max_rho));
  std::size_t at = pos;
  std::uint64_t sum = value;  // every byte before `at`, a cut varint's first bytes included
  __m128i before = zero;      // continuation lanes of the sixteen bytes before `at`
  unsigned before_mask = 0;
  std::uint32_t rho = static_cast<std::uint32_t>(value & 63);  // of the last value begun
  while (size - at >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const __m128i c = _mm_cmplt_epi8(v, zero);  // continuation bytes
    // after_k: lanes that follow k continuation bytes in a row, so are at
    // least the (k + 1)-th byte of their varint.
    const __m128i after_1 = shifted_in<1>(c, before);
    const __m128i after_2 = _mm_and_si128(after_1, shifted_in<2>(c, before));
    const __m128i low = _mm_and_si128(v, low_bits);
    __m128i sums;
    if (_mm_movemask_epi8(after_2) == 0) {
      // Varints of one and two bytes: the common case.
      sums = _mm_add_epi64(_mm_sad_epu8(_mm_andnot_si128(after_1, low), zero),
                           _mm_slli_epi64(_mm_sad_epu8(_mm_and_si128(after_1, low), zero), 7));
    } else {
      const __m128i after_3 = _mm_and_si128(after_2, shifted_in<3>(c, before));
      const __m128i after_4 = _mm_and_si128(after_3, shifted_in<4>(c, before));
      // A fifth byte must end its varint and hold no bits beyond 32.
      const __m128i fifth_bad =
          _mm_and_si128(after_4, _mm_or_si128(c, _mm_cmpgt_epi8(_mm_and_si128(v, beyond_32_bits), zero)));
      if (_mm_movemask_epi8(fifth_bad) != 0) break;
      sums = varint_sums(low, after_1, after_2, after_3, after_4);
    }
    const std::uint64_t next = sum + static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    // Every value that ends in these bytes is at most `next`.
    if (next >= end) break;
    if constexpr (RHO) {
      // Inclusive running sums of the first bytes' low six bits, lane by
      // lane (modulo 256, a multiple of 64).
      const __m128i first = _mm_andnot_si128(after_1, _mm_cmpeq_epi8(zero, zero));
      __m128i r = _mm_and_si128(_mm_and_si128(v, rho_bits), first);
      r = _mm_add_epi8(r, _mm_slli_si128(r, 1));
      r = _mm_add_epi8(r, _mm_slli_si128(r, 2));
      r = _mm_add_epi8(r, _mm_slli_si128(r, 4));
      r = _mm_add_epi8(r, _mm_slli_si128(r, 8));
      const __m128i rhos = _mm_and_si128(_mm_add_epi8(r, _mm_set1_epi8(static_cast<char>(rho))), rho_bits);
      if (_mm_movemask_epi8(_mm_and_si128(first, _mm_cmpgt_epi8(rhos, rho_limit))) != 0) break;
      rho = static_cast<std::uint32_t>(_mm_extract_epi16(rhos, 7)) >> 8;
    }
    sum = next;
    before = c;
    before_mask = static_cast<unsigned>(_mm_movemask_epi8(c));
    at += 16;
  }
  // Back to the start of a varint cut by `at` (at most four bytes, as the
  // fifth byte check passed), taking its bytes out of the sum.
  const int cut = std::countl_one(static_cast<std::uint16_t>(before_mask));
  for (int k = 0; k < cut; ++k) sum -= std::uint64_t{data[at - cut + k] & 0x7Fu} << (7 * k);
  pos = at - static_cast<std::size_t>(cut);
  value = sum;
}
#endif

// Decodes the varint at `pos`. False for one that is cut off, longer than
// five bytes or carries bits beyond 32.
inline bool decode_at(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                      std::uint64_t& delta) {
  const ReadVarint read = read_varint(ByteView(data + pos, size - pos));
  if (read.fault != VarintFault::None) return false;
  delta = read.value;
  pos += read.length;
  return true;
}

// Whether every rule holds; says nothing about which one fails.
bool passes(ByteView bytes, const ValueBounds& b) {
  if constexpr (std::endian::native != std::endian::little) return false;
  const std::uint8_t* const data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t pos = 0;    // at a varint boundary
  std::uint64_t value = 0;  // the last complete value
  std::uint64_t delta;

  // Plain values.
  while (pos < size) {
#if defined(__SSE2__)
    skip_stretch<false>(data, size, pos, value, b.plain_end, 0);
#endif
    // One value at a time over the next sixteen bytes at least (the rest,
    // past the stretch: a long varint, the last bytes, the way to 2^sp).
    const std::size_t stop = pos + 16;
    while (pos < size && pos < stop) {
      if (!decode_at(data, size, pos, delta)) return false;
      value += delta;
      if (value >= b.plain_end) [[unlikely]] {
        if (value < b.flag) return false;
        goto rho_encoded;
      }
    }
  }
  return true;

rho_encoded:
  // Every value from here on has the flag: it stays set until the running
  // sum reaches rho_end, which is refused.
  while (true) {
    if (value >= b.rho_end) return false;
    if ((value & 63) > b.max_rho) return false;
    if (pos >= size) return true;
#if defined(__SSE2__)
    skip_stretch<true>(data, size, pos, value, b.rho_end, b.max_rho);
    if (pos >= size) return true;
#endif
    if (!decode_at(data, size, pos, delta)) return false;
    value += delta;
  }
}

// ---------------------------------------------------------------- diagnosis

std::string encoding_text(const SparseEncoding& encoding) {
  return "(normal_precision=" + std::to_string(encoding.normal_precision()) +
         ", sparse_precision=" + std::to_string(encoding.sparse_precision()) + ")";
}

Err content_error(std::string message) { return invalid_state("sparse_data: " + message); }

// Walks the values one byte at a time and reports the first broken rule.
Status diagnose(ByteView bytes, const SparseEncoding& encoding, const ValueBounds& b) {
  const std::int32_t p = encoding.normal_precision();
  const std::int32_t sp = encoding.sparse_precision();
  std::uint32_t previous = 0;
  std::uint64_t running = 0;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t start = pos;
    const ReadVarint read = read_varint(bytes.subspan(pos));
    switch (read.fault) {
      case VarintFault::None:
        break;
      case VarintFault::TooLong:
        // Five continuing bytes that end the data read as cut off.
        if (start + 5 < bytes.size()) {
          return content_error("varint at offset " + std::to_string(start) +
                               " is longer than five bytes");
        }
        [[fallthrough]];
      case VarintFault::CutOff:
        return content_error("varint cut off at offset " + std::to_string(start));
      case VarintFault::Over32Bits:
        return content_error("varint at offset " + std::to_string(start) +
                             " does not fit in 32 bits");
    }
    pos += read.length;
    running += read.value;
    const auto value = static_cast<std::uint32_t>(running);
    const auto at = [start] { return " at offset " + std::to_string(start); };
    if (running > UINT32_MAX) {
      // A sketch reads the sum modulo 2^32.
      return content_error("value " + std::to_string(value) + at() +
                           " is less than the value before it (" + std::to_string(previous) +
                           ")");
    }
    if (running < b.plain_end) {
      // A plain sparse index.
    } else if (running < b.flag) {
      return content_error("value " + std::to_string(value) + at() +
                           " lies outside the encoding " + encoding_text(encoding) +
                           ": not below 2^" + std::to_string(sp) + " and not rho-encoded");
    } else if (running >= b.rho_end) {
      return content_error("value " + std::to_string(value) + at() +
                           " lies outside the encoding " + encoding_text(encoding) +
                           ": its register index " +
                           std::to_string((running - b.flag) >> RHOW_BITS) + " is not below 2^" +
                           std::to_string(p));
    } else if ((value & 63) > b.max_rho) {
      return content_error("value " + std::to_string(value) + at() + " has rho_w " +
                           std::to_string((value & 63) + static_cast<std::uint32_t>(sp - p)) +
                           " at normal precision " + std::to_string(p) +
                           ", above the maximum " + std::to_string(65 - p));
    }
    previous = value;
  }
  return {};
}

}  // namespace

Status check_sparse_data(ByteView sparse_data, const SparseEncoding& encoding) {
  const ValueBounds b = bounds_of(encoding);
  if (passes(sparse_data, b)) [[likely]] return {};
  Status diagnosis = diagnose(sparse_data, encoding, b);
  // The fast pass and the diagnosis apply the same rules; a disagreement
  // would be a bug in one of them, and refusing is the safe side.
  if (diagnosis) return content_error("refused by the fast check but no rule names a fault");
  return diagnosis;
}

namespace {

// decode_at for a varint with five bytes readable from `at`, unrolled:
// no bounds check per byte, and the branches on its length predict well, as
// the values of one sketch are spread evenly and their gaps take the same
// number of bytes.
inline bool decode_within_five(const std::uint8_t* at, std::size_t& pos, std::uint64_t& delta) {
  std::uint32_t value = at[0] & 0x7Fu;
  std::size_t length = 1;
  if (at[0] >= 0x80) {
    value |= (at[1] & 0x7Fu) << 7;
    length = 2;
    if (at[1] >= 0x80) {
      value |= (at[2] & 0x7Fu) << 14;
      length = 3;
      if (at[2] >= 0x80) {
        value |= (at[3] & 0x7Fu) << 21;
        length = 4;
        if (at[3] >= 0x80) {
          // The fifth byte ends the varint and holds bits 28-31 only.
          if (at[4] >= 16) return false;
          value |= static_cast<std::uint32_t>(at[4]) << 28;
          length = 5;
        }
      }
    }
  }
  delta = value;
  pos += length;
  return true;
}

// check_sparse_data's rules applied value by value (as the diagnosis does),
// counting the distinct sparse indices on the way as a loaded sketch counts
// them (stream_union): equal plain values once, rho-encoded values of one
// index once, and a plain value apart from a rho-encoded value of the same
// index (a pair no hash gives). Values never decrease, so those counted
// once are adjacent.
class IndexCounter {
 public:
  IndexCounter(const ValueBounds& b, const SparseEncoding& encoding) : b_(b), encoding_(encoding) {}

  // Adds the next gap; false when the value it makes breaks a rule.
  bool take(std::uint64_t delta) {
    value_ += delta;
    std::uint64_t key;  // what tells the counted cells apart
    if (value_ < b_.plain_end) {
      key = value_;
    } else {
      // Above every plain value: a rho-encoded one, inside the encoding, or
      // refused (which covers a running sum past 32 bits too).
      if (value_ < b_.flag || value_ >= b_.rho_end || (value_ & 63) > b_.max_rho) return false;
      key = rho_key(encoding_.decode_sparse(static_cast<std::uint32_t>(value_)).sparse_index);
    }
    distinct_ += distinct_ == 0 || key != previous_;
    previous_ = key;
    return true;
  }
  std::uint64_t distinct() const { return distinct_; }
  const ValueBounds& bounds() const { return b_; }
  // Takes up after `count` plain values that ascend strictly to `value`.
  void resume(std::uint64_t value, std::uint64_t count) {
    value_ = value;
    distinct_ = count;
    previous_ = value;
  }
  // The key of a rho-encoded value's index, apart from every plain value.
  static std::uint64_t rho_key(std::uint32_t index) { return index | (std::uint64_t{1} << 32); }

 private:
  const ValueBounds& b_;
  const SparseEncoding& encoding_;
  std::uint64_t value_ = 0;
  std::uint64_t distinct_ = 0;
  std::uint64_t previous_ = 0;
};

#if defined(__SSE2__)
// The number of bits set in a 16-bit mask. std::popcount is a library call
// unless the build targets CPUs with POPCNT.
inline std::uint64_t bits_set(unsigned mask) {
  std::uint32_t x = mask & 0xFFFFu;
  x -= (x >> 1) & 0x5555u;
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

// The plain values at the start of the data, sixteen bytes at a time (as
// the fast pass skips them): where they end, the last of them, and how many
// there are (the bytes that end a varint). False when a gap among them is
// zero (a zero gap ends in a zero byte), so that they need not all differ.
bool skip_plain(const std::uint8_t* data, std::size_t size, const ValueBounds& b, std::size_t& pos,
                std::uint64_t& value, std::uint64_t& count) {
  skip_stretch<false>(data, size, pos, value, b.plain_end, 0);
  std::uint64_t ends = 0;
  for (std::size_t at = 0; at < pos; at += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const std::size_t lanes = std::min<std::size_t>(16, pos - at);
    const unsigned inside = (1u << lanes) - 1;
    const unsigned zero = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    if ((zero & inside) != 0) return false;
    ends += bits_set(~static_cast<unsigned>(_mm_movemask_epi8(v)) & inside);
  }
  count = ends;
  return true;
}

// The plain values from `pos` (a varint boundary) to the end, when they lie
// in the last sixteen bytes of the data (size >= 16): that block is read in
// place, the bytes before `pos` in it taken as zero bytes (gaps of zero,
// which add nothing and end before `pos`). Adds the last of them to `value`
// and their number to `count` only when every rule holds there, no gap is
// zero and the last value stays below 2^sp.
bool skip_plain_tail(const std::uint8_t* data, std::size_t size, std::size_t pos, const ValueBounds& b,
                     std::uint64_t& value, std::uint64_t& count) {
  const int rest = static_cast<int>(size - pos);  // 1 to 16
  const __m128i zero = _mm_setzero_si128();
  const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i keep = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(15 - rest)));
  const __m128i v =
      _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16)), keep);
  const __m128i c = _mm_cmplt_epi8(v, zero);  // continuation bytes
  const unsigned kept = static_cast<unsigned>(_mm_movemask_epi8(keep));
  const unsigned continues = static_cast<unsigned>(_mm_movemask_epi8(c));
  // The last varint must end inside the data; a zero byte ends a zero gap.
  if ((continues & 0x8000u) != 0) return false;
  if ((static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) & kept) != 0) return false;
  // after_k: lanes that follow k continuation bytes in a row.
  const __m128i after_1 = _mm_slli_si128(c, 1);
  const __m128i after_2 = _mm_and_si128(after_1, _mm_slli_si128(c, 2));
  const __m128i after_3 = _mm_and_si128(after_2, _mm_slli_si128(c, 3));
  const __m128i after_4 = _mm_and_si128(after_3, _mm_slli_si128(c, 4));
  // A fifth byte must end its varint and hold no bits beyond 32.
  const __m128i fifth_bad =
      _mm_and_si128(after_4, _mm_or_si128(c, _mm_cmpgt_epi8(_mm_and_si128(v, _mm_set1_epi8(0x70)), zero)));
  if (_mm_movemask_epi8(fifth_bad) != 0) return false;
  const __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x7F));
  const __m128i sums = varint_sums(low, after_1, after_2, after_3, after_4);
  const std::uint64_t last = value + static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  if (last >= b.plain_end) return false;
  value = last;
  count += bits_set(~continues & kept);
  return true;
}

// Data up to this size is read by count_short.
constexpr std::size_t kShortData = 64;

// What count_short adds up over the lanes of its blocks that are `fresh`
// (the others were taken by the block before): the varint bytes by their
// place in their varint (the k-th byte weighs 2^(7k)), and the bytes that
// end a varint; whether a fifth byte of a varint or a zero byte was among
// them. Sums of bytes, with no branch, so that a block costs the same
// whatever its varints are. Each lane's four bytes before lie in its block,
// or before the data (where the caller's block has none).
class ShortSums {
 public:
  void take(__m128i v, __m128i fresh) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c = _mm_cmplt_epi8(v, zero);  // continuation bytes
    // after_k: lanes that follow k continuation bytes in a row.
    const __m128i after_1 = _mm_slli_si128(c, 1);
    const __m128i after_2 = _mm_and_si128(after_1, _mm_slli_si128(c, 2));
    const __m128i after_3 = _mm_and_si128(after_2, _mm_slli_si128(c, 3));
    const __m128i after_4 = _mm_and_si128(after_3, _mm_slli_si128(c, 4));
    refused_ = _mm_or_si128(refused_, _mm_and_si128(fresh, _mm_or_si128(after_4, _mm_cmpeq_epi8(v, zero))));
    const __m128i low = _mm_and_si128(fresh, _mm_and_si128(v, _mm_set1_epi8(0x7F)));
    by_place_[0] = _mm_add_epi64(by_place_[0], _mm_sad_epu8(_mm_andnot_si128(after_1, low), zero));
    by_place_[1] = _mm_add_epi64(by_place_[1], _mm_sad_epu8(_mm_andnot_si128(after_2, _mm_and_si128(after_1, low)), zero));
    by_place_[2] = _mm_add_epi64(by_place_[2], _mm_sad_epu8(_mm_andnot_si128(after_3, _mm_and_si128(after_2, low)), zero));
    by_place_[3] = _mm_add_epi64(by_place_[3], _mm_sad_epu8(_mm_and_si128(after_3, low), zero));
    ends_ = _mm_add_epi64(ends_, _mm_sad_epu8(_mm_and_si128(_mm_andnot_si128(c, fresh), _mm_set1_epi8(1)), zero));
  }
  bool refused() const { return _mm_movemask_epi8(refused_) != 0; }
  std::uint64_t ends() const { return both_halves(ends_); }
  // The sum of the varints: the last value.
  std::uint64_t total() const {
    return both_halves(by_place_[0]) + (both_halves(by_place_[1]) << 7) + (both_halves(by_place_[2]) << 14) +
           (both_halves(by_place_[3]) << 21);
  }

 private:
  static std::uint64_t both_halves(__m128i sums) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }

  __m128i by_place_[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  __m128i ends_ = _mm_setzero_si128();
  __m128i refused_ = _mm_setzero_si128();
};

// Lanes `from` to 15.
inline __m128i lanes_from(std::size_t from) {
  const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(from) - 1));
}

// Short data whose values are plain but perhaps the last, what a small
// sketch holds: the count in blocks, with no step per value. Values ascend,
// so they are all plain when their sum (the last value) is below 2^sp; they
// all differ when no gap is zero, and a zero gap ends in a zero byte, so the
// count is the number of varints. True with `count` only when every rule
// holds, every varint takes at most four bytes (a plain gap never needs
// five) and no byte is zero; false says nothing, and the value-by-value pass
// decides.
bool count_short(ByteView bytes, const ValueBounds& b, const SparseEncoding& encoding, std::uint64_t& count) {
  const std::uint8_t* const data = bytes.data();
  const std::size_t size = bytes.size();  // 1 to kShortData
  if (data[size - 1] >= 0x80) return false;  // the last varint is cut off
  ShortSums block;
  if (size < 16) {
    // Too short to load in place: copied in front of zero bytes.
    alignas(16) std::uint8_t room[16] = {};
    std::memcpy(room, data, size);
    const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(room));
    block.take(v, _mm_cmpeq_epi8(lanes_from(size), _mm_setzero_si128()));
  } else {
    block.take(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), _mm_cmpeq_epi8(lanes_from(0), lanes_from(0)));
    // Each later block starts at least four bytes before the first it
    // adds, so that the bytes before each of its lanes lie in it.
    for (std::size_t done = 16; done < size;) {
      const std::size_t at = std::min(done - 4, size - 16);
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
      block.take(v, lanes_from(done - at));
      done = at + 16;
    }
  }
  if (block.refused()) return false;
  const std::uint64_t last = block.total();
  if (last < b.plain_end) [[likely]] {
    count = block.ends();
    return true;
  }
  // The values past 2^sp, rho-encoded, come last and are few: walked back
  // from the last, one varint at a time, down to the last plain value.
  // IndexCounter's count: a rho-encoded value adds an index unless the
  // value before it is rho-encoded with the same index.
  std::uint64_t ends = block.ends();
  std::uint64_t value = last;
  std::size_t end = size;  // of the varint that ends in `value`
  while (true) {
    if (value < b.flag || value >= b.rho_end || (value & 63) > b.max_rho) return false;
    std::size_t length = 1;  // at most four, as the blocks found
    while (length < end && data[end - 1 - length] >= 0x80) ++length;
    std::uint64_t delta = 0;
    for (std::size_t k = 0; k < length; ++k) delta |= std::uint64_t{data[end - length + k] & 0x7Fu} << (7 * k);
    end -= length;
    if (end == 0) break;  // the first value
    const std::uint64_t before = value - delta;
    if (before < b.plain_end) break;
    ends -= encoding.decode_sparse(static_cast<std::uint32_t>(value)).sparse_index ==
            encoding.decode_sparse(static_cast<std::uint32_t>(before)).sparse_index;
    value = before;
  }
  count = ends;
  return true;
}
#endif

// IndexCounter over the whole data (the plain values at the start and at
// the end in blocks, where they can be); says nothing about which rule
// fails.
bool passes_counting(ByteView bytes, IndexCounter& counter) {
  const std::uint8_t* const data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t pos = 0;
#if defined(__SSE2__)
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t value = 0;
    std::uint64_t count = 0;
    if (size >= 16 && skip_plain(data, size, counter.bounds(), pos, value, count)) {
      if (pos < size && size - pos <= 16 && skip_plain_tail(data, size, pos, counter.bounds(), value, count)) {
        pos = size;
      }
      counter.resume(value, count);
    } else {
      pos = 0;
    }
  }
#endif
  while (pos < size) {
    std::uint64_t delta;
    if (size - pos >= 5) [[likely]] {
      if (!decode_within_five(data + pos, pos, delta)) return false;
    } else if (!decode_at(data, size, pos, delta)) {
      return false;
    }
    if (!counter.take(delta)) return false;
  }
  return true;
}

}  // namespace

Result<std::uint64_t> count_sparse_indices(ByteView sparse_data, const SparseEncoding& encoding) {
  std::uint64_t count = 0;
  if (count_short_sparse_indices(sparse_data, encoding, count)) [[likely]] return count;
  const ValueBounds b = bounds_of(encoding);
  IndexCounter counter(b, encoding);
  const bool passed = passes_counting(sparse_data, counter);
  if (passed) [[likely]] return counter.distinct();
  Status diagnosis = diagnose(sparse_data, encoding, b);
  if (diagnosis) return content_error("refused by the counting check but no rule names a fault");
  return diagnosis.take_error();
}

bool count_short_sparse_indices(ByteView sparse_data, const SparseEncoding& encoding, std::uint64_t& count) {
#if defined(__SSE2__)
  if constexpr (std::endian::native == std::endian::little) {
    if (sparse_data.empty()) {
      count = 0;
      return true;
    }
    return sparse_data.size() <= kShortData && count_short(sparse_data, bounds_of(encoding), encoding, count);
  }
#endif
  return false;
}

namespace {

Err both_arrays_present() {
  return invalid_state("data and sparse_data are both present; a sketch carries one of them");
}

}  // namespace

Status validate_state(const SketchState& state) {
  VANTORELLE_RETURN_IF_ERROR(HyperLogLogPlusPlus::check_state(state));
  if (state.data && state.sparse_data) return both_arrays_present();
  if (!state.sparse_data || state.data || state.sparse_precision == 0) return {};
  // The build checks above accepted these precisions for a sparse sketch.
  Result<SparseEncoding> encoding = SparseEncoding::create(state.precision, state.sparse_precision);
  if (!encoding) return encoding.take_error();
  return check_sparse_data(*state.sparse_data, *encoding);
}

Result<RegisterSums> validate_normal_view(const SketchStateView& view) {
  Result<RegisterSums> sums = HyperLogLogPlusPlus::check_normal_view(view);
  if (!sums) return sums.take_error();
  if (view.sparse_data) return both_arrays_present();
  return *sums;
}

Status check_not_empty(ByteView bytes) {
  if (!bytes.empty()) return {};
  return invalid_state("the serialised sketch is empty (0 bytes); a sketch's to_bytes() is never empty");
}

Result<SketchState> decode_valid_state(ByteView bytes) {
  VANTORELLE_RETURN_IF_ERROR(check_not_empty(bytes));
  Result<SketchState> state = decode_state(bytes);
  if (!state) return state.take_error();
  VANTORELLE_RETURN_IF_ERROR(validate_state(*state));
  return state;
}

Status validate_bytes(ByteView bytes) {
  Result<SketchState> state = decode_valid_state(bytes);
  if (!state) return state.take_error();
  return {};
}

}  // namespace vantorelle
