#include "hll/hyperloglogplusplus.h"

#include <climits>
#include <cstring>
#include <string>

#include "fingerprint2011/fingerprint2011.h"

namespace vantorelle {

namespace {

constexpr std::int32_t ENCODING_VERSION = 2;

ValueType value_type_for(InputType type) {
  switch (type) {
    case InputType::LONG: return ValueType::default_ops(DefaultOpsType::UINT64);
    case InputType::INTEGER: return ValueType::default_ops(DefaultOpsType::UINT32);
    case InputType::STRING:
    case InputType::BYTES: break;
  }
  return ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING);
}

// The input types a stored value type admits; empty when it is unsupported.
InputTypeSet allowed_for(const ValueType& value_type) {
  switch (value_type.variant()) {
    case ValueType::Variant::Unknown: return InputTypeSet::all();
    case ValueType::Variant::Custom: return InputTypeSet();
    case ValueType::Variant::DefaultOps: break;
  }
  switch (value_type.default_ops_type()) {
    case DefaultOpsType::UINT64: return InputTypeSet::of(InputType::LONG);
    case DefaultOpsType::UINT32: return InputTypeSet::of(InputType::INTEGER);
    case DefaultOpsType::BYTES_OR_UTF8_STRING:
      return InputTypeSet::of(InputType::STRING) | InputTypeSet::of(InputType::BYTES);
    default: return InputTypeSet();
  }
}

SketchState fresh_state(ValueType value_type, std::int32_t normal_precision,
                        std::optional<std::int32_t> sparse_precision) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.num_values = 0;
  state.encoding_version = ENCODING_VERSION;
  state.value_type = value_type;
  state.sparse_size = 0;
  state.precision = normal_precision;
  // Saturated so that an absurd normal precision still fails its own check.
  state.sparse_precision = sparse_precision.value_or(
      normal_precision <= INT32_MAX - 5 ? normal_precision + 5 : INT32_MAX);
  return state;
}

}  // namespace

std::string_view display_name(InputType type) {
  switch (type) {
    case InputType::LONG: return "LONG";
    case InputType::INTEGER: return "INTEGER";
    case InputType::STRING: return "STRING";
    case InputType::BYTES: return "BYTES";
  }
  return "LONG";
}

std::string InputTypeSet::display() const {
  std::string text = "{";
  for (InputType type : {InputType::LONG, InputType::INTEGER, InputType::STRING, InputType::BYTES}) {
    if (!contains(type)) continue;
    if (text.size() > 1) text += ", ";
    text += display_name(type);
  }
  text += "}";
  return text;
}

Result<HyperLogLogPlusPlus> HyperLogLogPlusPlus::new_long(
    std::int32_t normal_precision, std::optional<std::int32_t> sparse_precision) {
  return from_state(fresh_state(ValueType::default_ops(DefaultOpsType::UINT64), normal_precision,
                                sparse_precision));
}

Result<HyperLogLogPlusPlus> HyperLogLogPlusPlus::new_string_or_bytes(
    std::int32_t normal_precision, std::optional<std::int32_t> sparse_precision) {
  return from_state(fresh_state(ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING),
                                normal_precision, sparse_precision));
}

Status HyperLogLogPlusPlus::check_precisions(std::int32_t normal_precision,
                                             std::optional<std::int32_t> sparse_precision) {
  // Both value types admit the same precisions.
  return check_state(fresh_state(ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING),
                                 normal_precision, sparse_precision));
}

namespace {

// The aggregator's own fields: type, encoding version and value type. Gives
// the input types the value type admits.
Result<InputTypeSet> check_aggregator_fields(const SketchState& state) {
  if (state.type != AggregatorType::HYPERLOGLOG_PLUS_UNIQUE) {
    return invalid_state("Expected proto to be of type HYPERLOGLOG_PLUS_UNIQUE but was " +
                         std::string(display_name(state.type)));
  }
  if (state.encoding_version != ENCODING_VERSION) {
    return invalid_state("Expected encoding version to be " + std::to_string(ENCODING_VERSION) +
                         " but was " + std::to_string(state.encoding_version));
  }
  const InputTypeSet allowed = allowed_for(state.value_type);
  if (allowed.empty()) {
    return invalid_state("Unsupported value type " + state.value_type.debug());
  }
  return allowed;
}

}  // namespace

Result<HyperLogLogPlusPlus> HyperLogLogPlusPlus::from_state(SketchState state) {
  Result<InputTypeSet> allowed = check_aggregator_fields(state);
  if (!allowed) return allowed.take_error();
  Result<Representation> representation = Representation::from_state(std::move(state));
  if (!representation) return representation.take_error();
  return HyperLogLogPlusPlus(std::move(*representation), *allowed);
}

Status HyperLogLogPlusPlus::check_state(const SketchState& state) {
  Result<InputTypeSet> allowed = check_aggregator_fields(state);
  if (!allowed) return allowed.take_error();
  return Representation::check_state(state);
}

Result<RegisterSums> HyperLogLogPlusPlus::check_normal_view(const SketchStateView& view) {
  Result<InputTypeSet> allowed = check_aggregator_fields(view.scalars);
  if (!allowed) return allowed.take_error();
  return Representation::check_normal_view(view);
}

Status check_admitted(InputTypeSet allowed, InputType type) {
  if (allowed.contains(type)) return {};
  return invalid_state("Unable to add type " + std::string(display_name(type)) + " to aggregator of type " +
                       allowed.display());
}

Status HyperLogLogPlusPlus::admit_input_type(InputType type) {
  VANTORELLE_RETURN_IF_ERROR(check_admitted(allowed_input_types_, type));
  if (allowed_input_types_.size() > 1) {
    allowed_input_types_ = InputTypeSet::of(type);
    representation_.state().value_type = value_type_for(type);
  }
  return {};
}

Status HyperLogLogPlusPlus::add_hash(std::uint64_t hash) {
  VANTORELLE_RETURN_IF_ERROR(representation_.add_hash(hash));
  representation_.state().num_values += 1;
  return {};
}

std::uint64_t HyperLogLogPlusPlus::hash_bytes(ByteView bytes) {
  return fingerprint2011(bytes.data(), bytes.size());
}

Status HyperLogLogPlusPlus::add_long(std::int64_t value) {
  VANTORELLE_RETURN_IF_ERROR(check_input_type(InputType::LONG));
  return add_hash(hash_long(value));
}

Status HyperLogLogPlusPlus::add_string(std::string_view utf8) {
  VANTORELLE_RETURN_IF_ERROR(check_input_type(InputType::STRING));
  return add_hash(hash_bytes(ByteView(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size())));
}

Status HyperLogLogPlusPlus::add_bytes(ByteView bytes) {
  VANTORELLE_RETURN_IF_ERROR(check_input_type(InputType::BYTES));
  return add_hash(hash_bytes(bytes));
}

Status HyperLogLogPlusPlus::add_hashes(InputType type, std::span<const std::uint64_t> hashes) {
  VANTORELLE_RETURN_IF_ERROR(check_input_type(type));
  if (hashes.empty()) return {};
  VANTORELLE_RETURN_IF_ERROR(representation_.add_hashes(hashes));
  representation_.state().num_values += hashes.size();
  return {};
}

Status HyperLogLogPlusPlus::merge(HyperLogLogPlusPlus other) {
  const InputTypeSet common = allowed_input_types_ & other.allowed_input_types_;
  if (common.empty()) {
    return invalid_state("Aggregator of type " + allowed_input_types_.display() +
                         " is incompatible with aggregator of type " +
                         other.allowed_input_types_.display());
  }
  // A sketch left invalid by a failed add cannot be merged from or into;
  // that is reported as the error it is rather than met as a broken
  // invariant when the other's count is read.
  if (representation_.is_invalid() || other.representation_.is_invalid()) {
    return invalid_state("Representation is invalid");
  }
  const std::uint64_t added = other.num_values();
  Result<Representation> merged =
      Representation::merge(representation_, std::move(other.representation_));
  if (!merged) return merged.take_error();
  representation_ = std::move(*merged);
  representation_.state().num_values += added;
  allowed_input_types_ = common;
  return {};
}

Result<std::int64_t> HyperLogLogPlusPlus::result() const { return representation_.estimate(); }

}  // namespace vantorelle
