#include "duckdb/vectors.h"

namespace vantorelle::duckdb_ext {

void set_blob(duckdb_vector result, std::uint64_t row, ByteView bytes) {
  duckdb_vector_assign_string_element_len(result, row, reinterpret_cast<const char*>(bytes.data()),
                                          bytes.size());
}

void set_null(duckdb_vector result, std::uint64_t row) {
  duckdb_vector_ensure_validity_writable(result);
  duckdb_validity_set_row_invalid(duckdb_vector_get_validity(result), row);
}

std::string_view type_name(duckdb_type id) {
  switch (id) {
    case DUCKDB_TYPE_FLOAT: return "FLOAT";
    case DUCKDB_TYPE_DOUBLE: return "DOUBLE";
    case DUCKDB_TYPE_DECIMAL: return "DECIMAL";
    case DUCKDB_TYPE_HUGEINT: return "HUGEINT";
    case DUCKDB_TYPE_UHUGEINT: return "UHUGEINT";
    case DUCKDB_TYPE_BIGNUM: return "BIGNUM";
    case DUCKDB_TYPE_DATE: return "DATE";
    case DUCKDB_TYPE_TIME: return "TIME";
    case DUCKDB_TYPE_TIME_NS: return "TIME_NS";
    case DUCKDB_TYPE_TIME_TZ: return "TIME WITH TIME ZONE";
    case DUCKDB_TYPE_TIMESTAMP: return "TIMESTAMP";
    case DUCKDB_TYPE_TIMESTAMP_S: return "TIMESTAMP_S";
    case DUCKDB_TYPE_TIMESTAMP_MS: return "TIMESTAMP_MS";
    case DUCKDB_TYPE_TIMESTAMP_NS: return "TIMESTAMP_NS";
    case DUCKDB_TYPE_TIMESTAMP_TZ: return "TIMESTAMP WITH TIME ZONE";
    case DUCKDB_TYPE_INTERVAL: return "INTERVAL";
    case DUCKDB_TYPE_UUID: return "UUID";
    case DUCKDB_TYPE_BIT: return "BIT";
    case DUCKDB_TYPE_LIST: return "LIST";
    case DUCKDB_TYPE_ARRAY: return "ARRAY";
    case DUCKDB_TYPE_STRUCT: return "STRUCT";
    case DUCKDB_TYPE_MAP: return "MAP";
    case DUCKDB_TYPE_UNION: return "UNION";
    default: return "this type";
  }
}

}  // namespace vantorelle::duckdb_ext
