#include "engine/sketch_aggregate.h"

#include <algorithm>
#include <utility>

#include "error/internal_failure.h"
#include "hll/grouped_sketches.h"
#include "state/state_validation.h"

namespace vantorelle::engine {

namespace {

Result<HyperLogLogPlusPlus> new_sketch(const SketchParameters& parameters) {
  return parameters.type == InputType::LONG
             ? HyperLogLogPlusPlus::new_long(parameters.normal_precision, parameters.sparse_precision)
             : HyperLogLogPlusPlus::new_string_or_bytes(parameters.normal_precision,
                                                        parameters.sparse_precision);
}

}  // namespace

Result<SketchParameters> SketchParameters::create(InputType type, std::int32_t normal_precision,
                                                  std::int32_t sparse_precision) {
  if (type == InputType::INTEGER) type = InputType::LONG;
  VANTORELLE_RETURN_IF_ERROR(HyperLogLogPlusPlus::check_precisions(normal_precision, sparse_precision));
  return SketchParameters{type, normal_precision, sparse_precision};
}

SparseEncoding SketchParameters::codes() const {
  Result<SparseEncoding> encoding = GroupedSketchBuilder::code_encoding(normal_precision, sparse_precision);
  VANTORELLE_ASSERT(encoding.has_value(), "the codes of checked precisions");
  return *encoding;
}

void SketchAggregate::hold(HyperLogLogPlusPlus sketch) {
  if (sketch_ == nullptr) live_.fetch_add(1, std::memory_order_relaxed);
  sketch_ = std::make_unique<HyperLogLogPlusPlus>(std::move(sketch));
}

void SketchAggregate::reset() {
  if (sketch_ == nullptr) return;
  sketch_.reset();
  live_.fetch_sub(1, std::memory_order_relaxed);
}

Status SketchAggregate::add_hashes(const SketchParameters& parameters,
                                   std::span<const std::uint64_t> hashes) {
  if (hashes.empty()) return {};
  if (sketch_ == nullptr) {
    Result<HyperLogLogPlusPlus> fresh = new_sketch(parameters);
    if (!fresh) return fresh.take_error();
    hold(std::move(*fresh));
  }
  return sketch_->add_hashes(parameters.type, hashes);
}

Status SketchAggregate::add_codes(const SketchParameters& parameters, std::span<const std::uint32_t> codes) {
  // Each code stands for the hash of its sparse index followed by the one
  // bit its rho_w places (none when rho_w says the rest is zero): that hash
  // has the code and the register coordinates of every hash with the code.
  const SparseEncoding encoding = parameters.codes();
  const int sparse_bits = encoding.sparse_precision();
  constexpr std::size_t kBatch = 512;
  std::uint64_t hashes[kBatch];
  for (std::size_t begin = 0; begin < codes.size(); begin += kBatch) {
    const std::size_t count = std::min(kBatch, codes.size() - begin);
    for (std::size_t i = 0; i < count; ++i) {
      const SparseCoordinates c = encoding.decode_sparse(codes[begin + i]);
      const std::uint64_t index = std::uint64_t{c.sparse_index} << (64 - sparse_bits);
      const std::uint64_t one =
          c.sparse_rho_w == 0 || c.sparse_rho_w > static_cast<std::uint32_t>(64 - sparse_bits)
              ? 0
              : std::uint64_t{1} << (64 - sparse_bits - static_cast<int>(c.sparse_rho_w));
      hashes[i] = index | one;
    }
    VANTORELLE_RETURN_IF_ERROR(add_hashes(parameters, std::span(hashes, count)));
  }
  return {};
}

std::optional<std::int32_t> SketchAggregate::register_precision() const {
  if (sketch_ == nullptr) return std::nullopt;
  const NormalRepresentation* normal = sketch_->representation().normal();
  if (normal == nullptr) return std::nullopt;
  return normal->state().precision;
}

Status SketchAggregate::merge_registers(std::span<const std::uint8_t> registers, std::uint64_t count) {
  const std::optional<std::int32_t> precision = register_precision();
  VANTORELLE_ASSERT(precision && registers.size() == (std::size_t{1} << *precision),
                    "registers merged into a state without registers of their precision");
  if (count == 0) return {};
  // A sketch of the same kind holding these registers, merged as a partial
  // state is: registers by maximum, value counts added.
  SketchState state = scalar_fields(sketch_->representation().state());
  state.num_values = count;
  state.data = Bytes(registers.begin(), registers.end());
  Result<HyperLogLogPlusPlus> folded = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!folded) return folded.take_error();
  return sketch_->merge(std::move(*folded));
}

Status SketchAggregate::start_from_registers(const SketchParameters& parameters,
                                             std::span<const std::uint8_t> registers, std::uint64_t count) {
  VANTORELLE_ASSERT(sketch_ == nullptr && registers.size() == (std::size_t{1} << parameters.normal_precision),
                    "registers started in a state that has a sketch, or of another precision");
  Result<HyperLogLogPlusPlus> fresh = new_sketch(parameters);
  if (!fresh) return fresh.take_error();
  // The fresh sketch's fields with registers: what its switch to registers
  // keeps.
  SketchState state = scalar_fields(fresh->representation().state());
  state.num_values = count;
  state.data = Bytes(registers.begin(), registers.end());
  Result<HyperLogLogPlusPlus> started = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!started) return started.take_error();
  // Narrowed to the one type counted, as the adds would have.
  VANTORELLE_RETURN_IF_ERROR(started->add_hashes(parameters.type, {}));
  hold(std::move(*started));
  return {};
}

Status SketchAggregate::merge_stored(ByteView stored) {
  VANTORELLE_RETURN_IF_ERROR(validate_bytes(stored));
  if (sketch_ != nullptr) return sketch_->merge_bytes(stored);
  Result<HyperLogLogPlusPlus> loaded = HyperLogLogPlusPlus::from_bytes(stored);
  if (!loaded) return loaded.take_error();
  hold(std::move(*loaded));
  return {};
}

Status SketchAggregate::combine(SketchAggregate& other) {
  if (other.sketch_ == nullptr) return {};
  if (sketch_ == nullptr) {
    sketch_ = std::move(other.sketch_);  // one sketch changes hands: the count stays
    return {};
  }
  // merge() consumes its argument even when it fails; a copy keeps `other`
  // intact for the caller's error path.
  VANTORELLE_RETURN_IF_ERROR(sketch_->merge(HyperLogLogPlusPlus(*other.sketch_)));
  other.reset();
  return {};
}

Status SketchAggregate::combine_copy(const SketchAggregate& other) {
  if (other.sketch_ == nullptr) return {};
  if (sketch_ == nullptr) {
    hold(HyperLogLogPlusPlus(*other.sketch_));
    return {};
  }
  return sketch_->merge(HyperLogLogPlusPlus(*other.sketch_));
}

Result<Bytes> SketchAggregate::finalise_sketch(const SketchParameters& parameters) const {
  if (sketch_ != nullptr) return sketch_->to_bytes();
  Result<HyperLogLogPlusPlus> fresh = new_sketch(parameters);
  if (!fresh) return fresh.take_error();
  return fresh->to_bytes();
}

Result<std::optional<Bytes>> SketchAggregate::finalise_merge() const {
  if (sketch_ == nullptr) return std::optional<Bytes>();
  Result<Bytes> bytes = sketch_->to_bytes();
  if (!bytes) return bytes.take_error();
  return std::optional<Bytes>(std::move(*bytes));
}

}  // namespace vantorelle::engine
