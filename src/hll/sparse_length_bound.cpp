#include "hll/sparse_length_bound.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "utils/var_int.h"

namespace vantorelle {
namespace {

// The sparse precisions up to which the bound is worked out: a bitmap of
// 2^21 bits is 256 KiB.
constexpr std::int32_t kLargestBoundedSparsePrecision = 21;

// The length of the sparse data that uniform hashes filling `filled` of the
// 2^p registers make, about (a guide to when the bound is worth its pass,
// not a bound): as many distinct values as fill them,
// d = -2^p ln(1 - filled / 2^p), at distances of 2^sp / d on average
// (exponentially spread), each a varint of one byte, two past 2^7, three
// past 2^14.
double expected_sparse_bytes(std::uint64_t filled, const SparseEncoding& encoding) {
  const double registers = std::ldexp(1.0, encoding.normal_precision());
  if (static_cast<double>(filled) >= registers) return std::numeric_limits<double>::infinity();
  const double distinct = -registers * std::log1p(-static_cast<double>(filled) / registers);
  if (distinct <= 0) return 0;
  const double distance = std::ldexp(1.0, encoding.sparse_precision()) / distinct;
  return distinct * (1 + std::exp(-128 / distance) + std::exp(-16384 / distance));
}

}  // namespace

// The data is the varint of each distinct value's distance from the one
// before, in ascending order from 0: first the plain values (distinct
// sparse indices, counted exactly), then the rho-encoded ones, whose flag
// lies above every plain value, one per register index (the largest rho_w
// kept). Those are counted from their indices alone: two apart by d indices
// are at least 64 * d - 63 apart.
std::uint64_t sparse_bytes_at_least(std::span<const std::uint32_t> codes, const SparseEncoding& encoding) {
  const std::int32_t sparse_precision = encoding.sparse_precision();
  if (sparse_precision > kLargestBoundedSparsePrecision) return 0;
  // Bitmaps of the sparse indices of plain values and of the register
  // indices of rho-encoded ones, kept zeroed between calls.
  thread_local std::vector<std::uint64_t> plain;
  thread_local std::vector<std::uint64_t> rho_encoded;
  plain.resize((std::size_t{1} << sparse_precision) / 64 + 1);
  rho_encoded.resize((std::size_t{1} << encoding.normal_precision()) / 64 + 1);
  // (the distinct plain values counted as their bits are set: the build's
  // baseline has no population-count instruction)
  std::uint64_t distinct_plain = 0;
  for (const std::uint32_t code : codes) {
    if (encoding.is_rho_encoded(code)) {
      const std::uint32_t index = encoding.decode_normal(code).index;
      rho_encoded[index >> 6] |= std::uint64_t{1} << (index & 63);
    } else {
      const std::uint64_t bit = std::uint64_t{1} << (code & 63);
      const std::uint64_t word = plain[code >> 6];
      distinct_plain += (word & bit) == 0 ? 1 : 0;
      plain[code >> 6] = word | bit;
    }
  }
  // Values of one word are less than 64 apart: a byte each. Only the first
  // of each word may take more, its distance measured from the last value of
  // the word before.
  std::uint64_t bytes = distinct_plain;
  std::uint64_t previous = 0;
  for (std::size_t w = 0; w < plain.size(); ++w) {
    const std::uint64_t word = plain[w];
    if (word == 0) continue;
    plain[w] = 0;
    const std::uint64_t base = w * 64;
    bytes += varint64_length(base + static_cast<std::uint64_t>(std::countr_zero(word)) - previous) - 1;
    previous = base + 63 - static_cast<std::uint64_t>(std::countl_zero(word));
  }
  bool first = true;
  for (std::size_t w = 0; w < rho_encoded.size(); ++w) {
    std::uint64_t word = rho_encoded[w];
    if (word == 0) continue;
    rho_encoded[w] = 0;
    for (; word != 0; word &= word - 1) {
      const std::uint64_t index = w * 64 + static_cast<std::uint64_t>(std::countr_zero(word));
      // The first follows the plain values (or 0): at least one byte.
      bytes += first ? 1 : varint64_length(((index - previous) << RHOW_BITS) - 63);
      first = false;
      previous = index;
    }
  }
  return bytes;
}

bool sparse_data_exceeds(std::span<const std::uint32_t> codes, std::uint64_t filled, std::uint64_t budget,
                         const SparseEncoding& encoding) {
  if (filled > budget) return true;
  if (expected_sparse_bytes(filled, encoding) < 0.8 * static_cast<double>(budget)) return false;
  return sparse_bytes_at_least(codes, encoding) > budget;
}

}  // namespace vantorelle
