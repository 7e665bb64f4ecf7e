// The record that is a sketch's whole state, in memory and on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/bytes.h"

namespace vantorelle {

enum class AggregatorType : std::uint8_t {
  SUM = 100,
  HYPERLOGLOG_PLUS_UNIQUE = 112,
};

enum class DefaultOpsType : std::uint8_t {
  UNKNOWN = 0,
  INT8 = 1,
  INT16 = 2,
  INT32 = 3,
  INT64 = 4,
  UINT8 = 5,
  UINT16 = 6,
  UINT32 = 7,
  UINT64 = 8,
  FLOAT = 9,
  DOUBLE = 10,
  BYTES_OR_UTF8_STRING = 11,
};

std::string_view display_name(AggregatorType type);
std::string_view display_name(DefaultOpsType type);

// The family of values a sketch counts: a DefaultOpsType, a custom number,
// or Unknown (absent on the wire).
class ValueType {
 public:
  enum class Variant : std::uint8_t { Unknown, DefaultOps, Custom };

  constexpr ValueType() = default;
  static constexpr ValueType unknown() { return ValueType(); }
  static constexpr ValueType default_ops(DefaultOpsType type) {
    return ValueType(Variant::DefaultOps, static_cast<std::int32_t>(type));
  }
  static constexpr ValueType custom(std::int32_t number) {
    return ValueType(Variant::Custom, number);
  }
  // The wire mapping: 1..11 DefaultOpsType, >= 1000 CustomType, else Unknown.
  static ValueType from_wire(std::int32_t number);

  Variant variant() const { return variant_; }
  DefaultOpsType default_ops_type() const { return static_cast<DefaultOpsType>(number_); }
  // The number written on the wire; 0 for Unknown.
  std::int32_t wire_number() const { return variant_ == Variant::Unknown ? 0 : number_; }
  // DefaultOpsType(UINT64), CustomType(1000) or Unknown.
  std::string debug() const;

  bool operator==(const ValueType&) const = default;

 private:
  constexpr ValueType(Variant variant, std::int32_t number) : variant_(variant), number_(number) {}

  Variant variant_ = Variant::Unknown;
  std::int32_t number_ = 0;
};

// Field defaults are those of a decoded message in which the field is absent.
struct SketchState {
  AggregatorType type = AggregatorType::SUM;
  std::uint64_t num_values = 0;
  std::int32_t encoding_version = 1;
  ValueType value_type;
  std::int32_t sparse_size = 0;
  std::int32_t precision = 0;
  std::int32_t sparse_precision = 0;
  // Absent and present-but-empty are different states.
  std::optional<Bytes> data;
  std::optional<Bytes> sparse_data;

  bool operator==(const SketchState&) const = default;
};

// A decoded message whose byte arrays are views into the message: for the
// steps that only read them, so that they are not copied. Valid while the
// message's bytes are.
struct SketchStateView {
  SketchState scalars;  // data and sparse_data absent
  std::optional<ByteView> data;
  std::optional<ByteView> sparse_data;
};

// A copy of the scalar fields of `state`, with data and sparse_data absent:
// for the steps that read no byte array or replace them, so that they are
// not copied.
SketchState scalar_fields(const SketchState& state);

// Whether two states agree in every scalar field but the counts (num_values
// and sparse_size): the fields a sketch's checks read, so that states alike
// in them pass or fail those checks alike.
bool same_checked_fields(const SketchState& a, const SketchState& b);

}  // namespace vantorelle
