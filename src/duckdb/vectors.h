// Reading and writing DuckDB vectors: the few helpers every function of the
// extension shares, and the owning handle of a logical type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "duckdb/duckdb_api.h"
#include "utils/bytes.h"

namespace vantorelle::duckdb_ext {

// A logical type, destroyed with its handle.
class LogicalType {
 public:
  explicit LogicalType(duckdb_type id) : type_(duckdb_create_logical_type(id)) {}
  explicit LogicalType(duckdb_logical_type type) : type_(type) {}
  LogicalType(const LogicalType&) = delete;
  LogicalType& operator=(const LogicalType&) = delete;
  ~LogicalType() { duckdb_destroy_logical_type(&type_); }
  duckdb_logical_type get() const { return type_; }

 private:
  duckdb_logical_type type_;
};

// Whether row `row` holds a value; `validity` may be null (no NULLs).
inline bool is_valid(const std::uint64_t* validity, std::uint64_t row) {
  return validity == nullptr || ((validity[row / 64] >> (row % 64)) & 1u) != 0;
}

// The bytes of a VARCHAR or BLOB element, read in place: up to 12 bytes are
// held inside the element, longer ones behind its pointer.
inline ByteView string_bytes(const duckdb_string_t& value) {
  const std::uint32_t length = value.value.inlined.length;
  const char* data = length <= 12 ? value.value.inlined.inlined : value.value.pointer.ptr;
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), length);
}

// Writes `bytes` as row `row` of a BLOB result.
void set_blob(duckdb_vector result, std::uint64_t row, ByteView bytes);
// Marks row `row` of `result` NULL.
void set_null(duckdb_vector result, std::uint64_t row);

// The SQL name of a type id, as DuckDB writes it ("DOUBLE", "HUGEINT").
std::string_view type_name(duckdb_type id);

}  // namespace vantorelle::duckdb_ext
