#include "state/state_description.h"

#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle {
namespace {

std::string_view value_type_name(const ValueType& type) {
  switch (type.variant()) {
    case ValueType::Variant::Unknown:
      return "none";
    case ValueType::Variant::Custom:
      return "unknown";
    case ValueType::Variant::DefaultOps:
      break;
  }
  switch (type.default_ops_type()) {
    case DefaultOpsType::INT8: return "integer (int8)";
    case DefaultOpsType::INT16: return "integer (int16)";
    case DefaultOpsType::INT32: return "integer (int32)";
    case DefaultOpsType::INT64: return "integer (int64)";
    case DefaultOpsType::UINT8: return "integer (uint8)";
    case DefaultOpsType::UINT16: return "integer (uint16)";
    case DefaultOpsType::UINT32: return "integer (uint32)";
    // The type of the sketches of Python integers.
    case DefaultOpsType::UINT64: return "integer";
    case DefaultOpsType::FLOAT: return "float";
    case DefaultOpsType::DOUBLE: return "double";
    case DefaultOpsType::BYTES_OR_UTF8_STRING: return "text or bytes";
    case DefaultOpsType::UNKNOWN: break;
  }
  return "unknown";
}

}  // namespace

Result<StateDescription> describe_state(ByteView bytes) {
  Result<SketchState> state = decode_valid_state(bytes);
  if (!state) return state.take_error();
  StateDescription description;
  description.value_type = value_type_name(state->value_type);
  description.normal_precision = state->precision;
  description.sparse_precision = state->sparse_precision;
  // A sketch without a sparse phase, or one whose registers are written
  // out, is normal; one that holds neither yet is still sparse.
  description.sparse = !state->data && state->sparse_precision != 0;
  description.num_values = state->num_values;
  description.message_bytes = bytes.size();
  return description;
}

}  // namespace vantorelle
