#include "hll/encoding.h"

#include <algorithm>
#include <bit>
#include <string>

#include "error/internal_failure.h"

namespace vantorelle {

namespace {

std::uint32_t low_bits_mask(std::int32_t bits) {
  return bits >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << bits) - 1;
}

// The one fold of rho_w to a precision d bits lower, for registers and sparse
// values alike: the low d bits of `index` drop out. When they are all zero
// the run of zeros grows by d; otherwise it ends at the highest dropped set
// bit, 1 + the zero bits above it within the d-bit field. A zero rho_w is
// folded like any other (callers that keep empty registers empty check first).
std::uint32_t fold_rho_w(std::uint32_t index, std::uint32_t rho_w, std::int32_t d) {
  const std::uint32_t dropped = index & low_bits_mask(d);
  if (dropped != 0) return static_cast<std::uint32_t>(d - std::bit_width(dropped) + 1);
  return rho_w + static_cast<std::uint32_t>(d);
}

}  // namespace

std::uint32_t downgrade_rho_w(std::uint32_t index, std::uint32_t rho_w, std::int32_t source_p,
                              std::int32_t target_p) {
  if (rho_w == 0) return 0;
  VANTORELLE_ASSERT(target_p < source_p, "target_p < source_p");
  return fold_rho_w(index, rho_w, source_p - target_p);
}

Result<NormalEncoding> NormalEncoding::create(std::int32_t precision) {
  if (precision < 1 || precision > 63) {
    return invalid_argument("Normal precision must be between 1 and 63, got " +
                            std::to_string(precision));
  }
  return NormalEncoding(precision);
}

NormalCoordinates NormalEncoding::downgrade(NormalCoordinates coordinates,
                                            std::int32_t target_precision) const {
  VANTORELLE_ASSERT(target_precision <= precision_, "target_precision <= self.precision");
  if (target_precision == precision_) return coordinates;
  const std::int32_t shift = precision_ - target_precision;
  return {shift >= 32 ? 0 : coordinates.index >> shift,
          downgrade_rho_w(coordinates.index, coordinates.rho_w, precision_, target_precision)};
}

SparseEncoding::SparseEncoding(std::int32_t sparse_precision, NormalEncoding normal)
    : sparse_precision_(sparse_precision),
      shift_(sparse_precision - normal.precision()),
      low_mask_(low_bits_mask(sparse_precision - normal.precision())),
      rho_encoded_flag_(std::uint32_t{1}
                        << std::max(sparse_precision, normal.precision() + RHOW_BITS)),
      normal_(normal) {}

Result<SparseEncoding> SparseEncoding::create(std::int32_t normal_precision,
                                              std::int32_t sparse_precision) {
  if (normal_precision < 1 || normal_precision > 24) {
    return invalid_argument("Sparse mode: normal precision must be 1-24, got " +
                            std::to_string(normal_precision));
  }
  if (sparse_precision < 1 || sparse_precision > 30) {
    return invalid_argument("Sparse mode: sparse precision must be 1-30, got " +
                            std::to_string(sparse_precision));
  }
  if (sparse_precision < normal_precision) {
    return invalid_argument("Sparse precision (" + std::to_string(sparse_precision) +
                            ") must be >= normal precision (" + std::to_string(normal_precision) +
                            ")");
  }
  Result<NormalEncoding> normal = NormalEncoding::create(normal_precision);
  if (!normal) return normal.take_error();
  return SparseEncoding(sparse_precision, *normal);
}

void SparseEncoding::rho_out_of_range() {
  internal_failure("sparse_rho_w < (1u8 << RHOW_BITS)");
}

std::uint32_t SparseEncoding::encode(SparseCoordinates coordinates) const {
  VANTORELLE_ASSERT(coordinates.sparse_index < (std::uint32_t{1} << sparse_precision_),
                    "sparse_index < (1u32 << self.sparse_precision)");
  VANTORELLE_ASSERT(coordinates.sparse_rho_w < (1u << RHOW_BITS),
                    "sparse_rho_w < (1u8 << RHOW_BITS)");
  return encode_unchecked(coordinates.sparse_index, coordinates.sparse_rho_w);
}

bool SparseEncoding::holds(std::uint32_t value) const {
  if (is_rho_encoded(value)) {
    const std::uint32_t normal_index = (value ^ rho_encoded_flag_) >> RHOW_BITS;
    return (normal_index >> normal_.precision()) == 0;
  }
  return (static_cast<std::uint64_t>(value) >> sparse_precision_) == 0;
}

Status SparseEncoding::check_holds(std::uint32_t value) const {
  if (holds(value)) return {};
  return invalid_state("Sparse value " + std::to_string(value) +
                       " lies outside its encoding (normal_precision=" +
                       std::to_string(normal_precision()) +
                       ", sparse_precision=" + std::to_string(sparse_precision_) + ")");
}

Result<std::uint32_t> SparseEncoding::downgrade(std::uint32_t value,
                                                const SparseEncoding& target) const {
  VANTORELLE_RETURN_IF_ERROR(check_holds(value));
  SparseCoordinates coordinates = decode_sparse(value);
  if (target.sparse_precision_ != sparse_precision_) {
    VANTORELLE_ASSERT(target.sparse_precision_ < sparse_precision_, "target_p < source_p");
    const std::int32_t d = sparse_precision_ - target.sparse_precision_;
    coordinates.sparse_rho_w = fold_rho_w(coordinates.sparse_index, coordinates.sparse_rho_w, d);
    coordinates.sparse_index >>= d;
  }
  if (coordinates.sparse_rho_w >= (1u << RHOW_BITS)) {
    return invalid_state("Sparse value " + std::to_string(value) + " has rho_w " +
                         std::to_string(coordinates.sparse_rho_w) +
                         " that does not fit the target encoding (normal_precision=" +
                         std::to_string(target.normal_precision()) + ", sparse_precision=" +
                         std::to_string(target.sparse_precision_) + ")");
  }
  return target.encode_unchecked(coordinates.sparse_index, coordinates.sparse_rho_w);
}

Status check_normal_precision(std::int32_t precision) {
  if (precision >= MINIMUM_PRECISION && precision <= MAXIMUM_PRECISION) return {};
  return invalid_argument("Expected normal precision to be >= " +
                          std::to_string(MINIMUM_PRECISION) + " and <= " +
                          std::to_string(MAXIMUM_PRECISION) + " but was " +
                          std::to_string(precision));
}

Status check_sparse_precision(std::int32_t normal_precision, std::int32_t sparse_precision) {
  if (sparse_precision >= normal_precision && sparse_precision <= MAXIMUM_SPARSE_PRECISION) {
    return {};
  }
  return invalid_argument("Expected sparse precision to be >= normal precision (" +
                          std::to_string(normal_precision) + ") and <= " +
                          std::to_string(MAXIMUM_SPARSE_PRECISION) + " but was " +
                          std::to_string(sparse_precision) + ".");
}

Status check_compatible(std::int32_t p1, std::int32_t sp1, std::int32_t p2, std::int32_t sp2) {
  if ((p1 < p2 && sp1 > sp2) || (p1 > p2 && sp1 < sp2)) {
    return incompatible_precision("Precisions (normal=" + std::to_string(p1) +
                                  ", sparse=" + std::to_string(sp1) + ") and (normal=" +
                                  std::to_string(p2) + ", sparse=" + std::to_string(sp2) +
                                  ") are not compatible");
  }
  return {};
}

}  // namespace vantorelle
