#include "hll/normal_representation.h"

#include <algorithm>
#include <string>

#include "error/internal_failure.h"
#include "hll/register_sums.h"
#include "utils/buffer_traits.h"

namespace vantorelle {

namespace {

// The largest rho_w a register can hold at precision p: a hash whose bits
// after the index are all zero.
constexpr std::uint32_t max_rho_w(std::int32_t precision) {
  return static_cast<std::uint32_t>(65 - precision);
}

}  // namespace

Status NormalRepresentation::check_state(const SketchState& state) {
  if (!state.data) return check_normal_precision(state.precision);
  Result<RegisterSummary> summary = check_registers(state.precision, *state.data);
  if (!summary) return summary.take_error();
  return {};
}

namespace {

Status check_register_count(std::int32_t p, ByteView data) {
  VANTORELLE_RETURN_IF_ERROR(check_normal_precision(p));
  const std::size_t expected = std::size_t{1} << p;
  if (data.size() != expected) {
    return invalid_state("Expected normal data to consist of exactly " + std::to_string(expected) +
                         " bytes but got " + std::to_string(data.size()));
  }
  return {};
}

// Stored registers above 65 - p cannot come from any hash; refusing them
// here keeps the estimate's exponents in range.
Status check_register_values(std::int32_t p, ByteView data, const RegisterSummary& summary) {
  if (summary.highest > max_rho_w(p)) {
    const auto it =
        std::find_if(data.begin(), data.end(), [p](std::uint8_t v) { return v > max_rho_w(p); });
    return invalid_state("Register " + std::to_string(it - data.begin()) + " holds " +
                         std::to_string(*it) + ", above the maximum " +
                         std::to_string(max_rho_w(p)) + " for precision " + std::to_string(p));
  }
  return {};
}

}  // namespace

Result<RegisterSummary> NormalRepresentation::check_registers(std::int32_t precision,
                                                              ByteView data) {
  VANTORELLE_RETURN_IF_ERROR(check_register_count(precision, data));
  const RegisterSummary summary = summarize_registers(data);
  VANTORELLE_RETURN_IF_ERROR(check_register_values(precision, data, summary));
  return summary;
}

Result<RegisterSums> NormalRepresentation::check_and_sum_registers(std::int32_t precision,
                                                                  ByteView data) {
  VANTORELLE_RETURN_IF_ERROR(check_register_count(precision, data));
  RegisterSums sums = summarize_and_sum_registers(data);
  VANTORELLE_RETURN_IF_ERROR(check_register_values(precision, data, sums.summary));
  return sums;
}

Result<NormalRepresentation> NormalRepresentation::create(SketchState state) {
  VANTORELLE_RETURN_IF_ERROR(check_state(state));
  Result<NormalEncoding> encoding = NormalEncoding::create(state.precision);
  if (!encoding) return encoding.take_error();
  state.sparse_data.reset();
  state.sparse_size = 0;
  return NormalRepresentation(std::move(state), *encoding);
}

void NormalRepresentation::allocate_registers() {
  state_.data.emplace(std::size_t{1} << state_.precision, 0);
}

Status NormalRepresentation::index_out_of_bounds(std::uint32_t index) const {
  return invalid_state("Index " + std::to_string(index) + " out of bounds for data length " +
                       std::to_string(state_.data->size()));
}

Status NormalRepresentation::add_sparse_value(const SparseEncoding& source, std::uint32_t value) {
  const std::int32_t target = encoding_.precision();
  NormalCoordinates c = source.decode_normal(value);
  if (source.normal_precision() > target) c = source.normal().downgrade(c, target);
  Bytes& data = *state_.data;
  if (c.index >= data.size()) {
    return invalid_state("Decoded index " + std::to_string(c.index) +
                         " out of bounds for data length " + std::to_string(data.size()) +
                         " (sparse_value=" + std::to_string(value) +
                         ", source_precision=" + std::to_string(source.sparse_precision()) +
                         ", target_precision=" + std::to_string(target) + ")");
  }
  // A stored rho-encoded value can carry any 6-bit rho; one that would put
  // a register above its maximum is refused like an out-of-range index.
  if (c.rho_w > max_rho_w(target)) {
    return invalid_state("Decoded rho_w " + std::to_string(c.rho_w) + " for index " +
                         std::to_string(c.index) + " above the maximum " +
                         std::to_string(max_rho_w(target)) + " (sparse_value=" +
                         std::to_string(value) + ", source_precision=" +
                         std::to_string(source.sparse_precision()) +
                         ", target_precision=" + std::to_string(target) + ")");
  }
  std::uint8_t& reg = data[c.index];
  reg = std::max(reg, static_cast<std::uint8_t>(c.rho_w));
  return {};
}

Status NormalRepresentation::downgrade(std::int32_t target_precision,
                                       std::int32_t target_sparse_precision) {
  if (state_.precision <= target_precision && state_.sparse_precision <= target_sparse_precision) {
    return {};
  }
  if (state_.precision > target_precision) {
    Result<NormalEncoding> target = NormalEncoding::create(target_precision);
    if (!target) return target.take_error();
    std::optional<Bytes> old = std::move(state_.data);
    state_.data.emplace(std::size_t{1} << target_precision, 0);
    state_.precision = target_precision;
    const std::int32_t source_precision = encoding_.precision();
    encoding_ = *target;
    VANTORELLE_RETURN_IF_ERROR(
        merge_normal_data_maybe_downgrading(target_precision, std::move(old), source_precision));
  }
  state_.sparse_precision = std::min(state_.sparse_precision, target_sparse_precision);
  if (encoding_.precision() != state_.precision) {
    Result<NormalEncoding> encoding = NormalEncoding::create(state_.precision);
    if (!encoding) return encoding.take_error();
    encoding_ = *encoding;
  }
  return {};
}

Status NormalRepresentation::merge_normal_data_maybe_downgrading(std::int32_t target_precision,
                                                                 std::optional<Bytes> other,
                                                                 std::int32_t source_precision) {
  if (!other) return {};
  Bytes& data = registers();
  const Bytes& source = *other;
  if (target_precision == source_precision) {
    if (data.size() != source.size()) {
      return invalid_state(
          "Mismatched data lengths in merge_normal_data_maybe_downgrading for same precision");
    }
    // Plain byte-wise maximum; the compiler vectorises this loop.
    std::uint8_t* __restrict dst = data.data();
    const std::uint8_t* __restrict src = source.data();
    const std::size_t n = data.size();
    for (std::size_t i = 0; i < n; ++i) dst[i] = dst[i] > src[i] ? dst[i] : src[i];
    return {};
  }
  if (source.empty()) return {};
  VANTORELLE_ASSERT(target_precision < source_precision, "target_precision <= self.precision");
  const std::int32_t shift = source_precision - target_precision;
  for (std::size_t i = 0; i < source.size(); ++i) {
    const std::size_t t = i >> shift;
    if (t >= data.size()) {
      return invalid_state("Downgraded index " + std::to_string(t) +
                           " out of bounds for target array length " + std::to_string(data.size()));
    }
    const std::uint8_t r = source[i];
    if (r == 0) continue;
    const auto folded = static_cast<std::uint8_t>(
        downgrade_rho_w(static_cast<std::uint32_t>(i), r, source_precision, target_precision));
    data[t] = std::max(data[t], folded);
  }
  return {};
}

Status NormalRepresentation::merge_sparse_values(const SparseEncoding& source,
                                                 std::span<const std::uint32_t> values) {
  VANTORELLE_RETURN_IF_ERROR(downgrade(source.normal_precision(), source.sparse_precision()));
  registers();
  for (std::uint32_t value : values) {
    VANTORELLE_RETURN_IF_ERROR(add_sparse_value(source, value));
  }
  return {};
}

Status NormalRepresentation::merge_sparse_data(const SparseEncoding& source,
                                               const std::optional<Bytes>& sparse_data) {
  VANTORELLE_RETURN_IF_ERROR(downgrade(source.normal_precision(), source.sparse_precision()));
  if (!sparse_data) return {};
  registers();
  DifferenceDecoder decoder(*sparse_data);
  while (!decoder.at_end()) {
    VANTORELLE_RETURN_IF_ERROR(add_sparse_value(source, decoder.next()));
  }
  return {};
}

Status NormalRepresentation::merge(NormalRepresentation other) {
  VANTORELLE_RETURN_IF_ERROR(downgrade(other.encoding_.precision(), other.state_.sparse_precision));
  return merge_normal_data_maybe_downgrading(encoding_.precision(), std::move(other.state_.data),
                                             other.encoding_.precision());
}

}  // namespace vantorelle
