// Hash encodings: how a 64-bit hash becomes register coordinates at a normal
// precision p, or a 32-bit sparse value at a pair (p, sp).
//
// Register coordinates at precision p (hash bits 63..0):
//
//   +-------------------+------------------------------------------+
//   | index (top p bits)| rest (64 - p bits)                       |
//   +-------------------+------------------------------------------+
//   rho_w = 1 + leading zeros of `rest` (65 - p when `rest` is all zero);
//   0 in a register means "empty".
//
// Sparse value at (p, sp), 32 bits, with flag = 1 << max(sp, p + 6):
//
//   plain        0 ....... 0 | sparse_index (top sp bits of the hash)
//   rho-encoded  0 .. 0 | 1 | normal index (p bits) | sparse_rho_w (6 bits)
//                        flag                        bits 5..0
//
// A value is plain when the low (sp - p) bits of its sparse index are not
// all zero: those bits already fix the register's rho_w at precision p. When
// they are zero the register's rho_w depends on bits beyond the sparse index,
// so they are stored as sparse_rho_w. The flag lies above every plain value
// and every rho payload, so rho-encoded values sort after plain ones and the
// flag alone tells the two forms apart. With p <= 24 and sp <= 30 the flag is
// at most bit 30: every sparse value fits in 31 bits.
#pragma once

#include <cstdint>

#include "error/result.h"

namespace vantorelle {

// Width of sparse_rho_w inside a rho-encoded value: every stored rho is < 64.
inline constexpr std::int32_t RHOW_BITS = 6;
// Bounds that the representations accept (the encodings accept wider ones).
inline constexpr std::int32_t MINIMUM_PRECISION = 10;
inline constexpr std::int32_t MAXIMUM_PRECISION = 24;
inline constexpr std::int32_t MAXIMUM_SPARSE_PRECISION = 25;

struct NormalCoordinates {
  std::uint32_t index;
  std::uint32_t rho_w;  // 0 for an empty register
};

struct SparseCoordinates {
  std::uint32_t sparse_index;
  std::uint32_t sparse_rho_w;  // 0 for a plain value: the index bits imply it
};

// rho_w of a register moved from index at source_p to index >> d at target_p.
std::uint32_t downgrade_rho_w(std::uint32_t index, std::uint32_t rho_w, std::int32_t source_p,
                              std::int32_t target_p);

class NormalEncoding {
 public:
  // Accepts 1 <= precision <= 63.
  static Result<NormalEncoding> create(std::int32_t precision);

  std::int32_t precision() const { return precision_; }

  NormalCoordinates coordinates(std::uint64_t hash) const { return coordinates_at(precision_, hash); }

  // coordinates() at a precision already known to be valid, for loops that
  // keep the precision in a register.
  static NormalCoordinates coordinates_at(std::int32_t precision, std::uint64_t hash) {
    const std::uint32_t index = static_cast<std::uint32_t>(hash >> (64 - precision));
    const std::uint64_t rest = hash << precision;
    const std::uint32_t rho_w =
        rest != 0 ? static_cast<std::uint32_t>(__builtin_clzll(rest)) + 1
                  : static_cast<std::uint32_t>(64 - precision + 1);
    return {index, rho_w};
  }

  // Moves coordinates of this precision to target_precision <= precision.
  NormalCoordinates downgrade(NormalCoordinates coordinates, std::int32_t target_precision) const;

 private:
  explicit NormalEncoding(std::int32_t precision) : precision_(precision) {}
  std::int32_t precision_;
};

class SparseEncoding {
 public:
  // Accepts 1 <= p <= 24, 1 <= sp <= 30 and sp >= p.
  static Result<SparseEncoding> create(std::int32_t normal_precision, std::int32_t sparse_precision);

  std::int32_t normal_precision() const { return normal_.precision(); }
  std::int32_t sparse_precision() const { return sparse_precision_; }
  std::uint32_t rho_encoded_flag() const { return rho_encoded_flag_; }
  const NormalEncoding& normal() const { return normal_; }

  bool is_rho_encoded(std::uint32_t value) const { return (value & rho_encoded_flag_) != 0; }

  // The sparse value of a hash. The index always fits; the rho fits its six
  // bits for sp >= 2 (the representations use sp >= 10).
  std::uint32_t encode(std::uint64_t hash) const {
    const std::uint32_t sparse_index = static_cast<std::uint32_t>(hash >> (64 - sparse_precision_));
    const std::uint64_t rest = hash << sparse_precision_;
    const std::uint32_t sparse_rho_w =
        rest != 0 ? static_cast<std::uint32_t>(__builtin_clzll(rest)) + 1
                  : static_cast<std::uint32_t>(64 - sparse_precision_ + 1);
    if (sparse_rho_w >= (1u << RHOW_BITS)) [[unlikely]] rho_out_of_range();
    return encode_unchecked(sparse_index, sparse_rho_w);
  }

  // codes[i] = encode(hashes[i]) for i < count: eight a step with AVX-512
  // where the processor has it.
  void encode_all(const std::uint64_t* hashes, std::size_t count, std::uint32_t* codes) const;

  // Encodes a pair; a pair outside the encoding is an internal failure.
  std::uint32_t encode(SparseCoordinates coordinates) const;

  SparseCoordinates decode_sparse(std::uint32_t value) const {
    if (is_rho_encoded(value)) {
      return {((value ^ rho_encoded_flag_) >> RHOW_BITS) << shift_, value & 63u};
    }
    return {value, 0};
  }

  // Register coordinates at this encoding's normal precision.
  NormalCoordinates decode_normal(std::uint32_t value) const {
    if (is_rho_encoded(value)) {
      return {(value ^ rho_encoded_flag_) >> RHOW_BITS,
              (value & 63u) + static_cast<std::uint32_t>(shift_)};
    }
    const std::uint32_t low = value & low_mask_;
    const std::uint32_t bit_length =
        low == 0 ? 0 : 32 - static_cast<std::uint32_t>(__builtin_clz(low));
    // With sp == p there are no low bits and the index is the value itself.
    const std::uint32_t index = shift_ == 0 ? value : value >> shift_;
    return {index, static_cast<std::uint32_t>(shift_) - bit_length + 1};
  }

  // Whether a value (typically read from stored data) decodes to a sparse
  // index below 2^sp; values made from hashes always do.
  bool holds(std::uint32_t value) const;
  // The same as an error: InvalidState for a value outside the encoding.
  Status check_holds(std::uint32_t value) const;

  // Converts a value of this encoding to `target` (target precisions not
  // above ours). A stored value that lies outside this encoding, or whose
  // rho would not fit the target, is refused with InvalidState.
  Result<std::uint32_t> downgrade(std::uint32_t value, const SparseEncoding& target) const;

 private:
  SparseEncoding(std::int32_t sparse_precision, NormalEncoding normal);
  [[noreturn]] static void rho_out_of_range();

  std::uint32_t encode_unchecked(std::uint32_t sparse_index, std::uint32_t sparse_rho_w) const {
    if ((sparse_index & low_mask_) != 0) return sparse_index;
    return rho_encoded_flag_ | ((sparse_index >> shift_) << RHOW_BITS) | sparse_rho_w;
  }

  std::int32_t sparse_precision_;
  std::int32_t shift_;         // sp - p
  std::uint32_t low_mask_;     // low (sp - p) bits
  std::uint32_t rho_encoded_flag_;
  NormalEncoding normal_;
};

// The normal precisions both representations accept (10..24).
Status check_normal_precision(std::int32_t precision);
// The sparse precisions the sparse representation accepts with normal
// precision p (p..25).
Status check_sparse_precision(std::int32_t normal_precision, std::int32_t sparse_precision);

// Two precision pairs combine unless one is strictly lower in one precision
// and strictly higher in the other; the receiving sketch's pair comes first.
Status check_compatible(std::int32_t p1, std::int32_t sp1, std::int32_t p2, std::int32_t sp2);

}  // namespace vantorelle
