#include "state/sketch_state.h"

namespace vantorelle {

std::string_view display_name(AggregatorType type) {
  return type == AggregatorType::HYPERLOGLOG_PLUS_UNIQUE ? "HYPERLOGLOG_PLUS_UNIQUE" : "SUM";
}

std::string_view display_name(DefaultOpsType type) {
  switch (type) {
    case DefaultOpsType::UNKNOWN: return "UNKNOWN";
    case DefaultOpsType::INT8: return "INT8";
    case DefaultOpsType::INT16: return "INT16";
    case DefaultOpsType::INT32: return "INT32";
    case DefaultOpsType::INT64: return "INT64";
    case DefaultOpsType::UINT8: return "UINT8";
    case DefaultOpsType::UINT16: return "UINT16";
    case DefaultOpsType::UINT32: return "UINT32";
    case DefaultOpsType::UINT64: return "UINT64";
    case DefaultOpsType::FLOAT: return "FLOAT";
    case DefaultOpsType::DOUBLE: return "DOUBLE";
    case DefaultOpsType::BYTES_OR_UTF8_STRING: return "BYTES_OR_UTF8_STRING";
  }
  return "UNKNOWN";
}

ValueType ValueType::from_wire(std::int32_t number) {
  if (number >= 1 && number <= 11) return default_ops(static_cast<DefaultOpsType>(number));
  if (number >= 1000) return custom(number);
  return unknown();
}

std::string ValueType::debug() const {
  switch (variant_) {
    case Variant::DefaultOps:
      return "DefaultOpsType(" + std::string(display_name(default_ops_type())) + ")";
    case Variant::Custom:
      return "CustomType(" + std::to_string(number_) + ")";
    case Variant::Unknown:
      break;
  }
  return "Unknown";
}

SketchState scalar_fields(const SketchState& state) {
  SketchState scalars;
  scalars.type = state.type;
  scalars.num_values = state.num_values;
  scalars.encoding_version = state.encoding_version;
  scalars.value_type = state.value_type;
  scalars.sparse_size = state.sparse_size;
  scalars.precision = state.precision;
  scalars.sparse_precision = state.sparse_precision;
  return scalars;
}

bool same_checked_fields(const SketchState& a, const SketchState& b) {
  return a.type == b.type && a.encoding_version == b.encoding_version && a.value_type == b.value_type &&
         a.precision == b.precision && a.sparse_precision == b.sparse_precision;
}

}  // namespace vantorelle
