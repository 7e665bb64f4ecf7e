// The entry point DuckDB calls on LOAD: registers the aggregates and the
// scalar functions on the loading database.
#include <string>

#include "duckdb/scalar_functions.h"
#include "duckdb/sketch_aggregate_functions.h"

DUCKDB_EXTENSION_ENTRYPOINT(duckdb_connection connection, duckdb_extension_info info,
                            duckdb_extension_access* access) {
  std::string error;
  if (!vantorelle::duckdb_ext::register_sketch_aggregates(connection, error) ||
      !vantorelle::duckdb_ext::register_scalar_functions(connection, error)) {
    access->set_error(info, error.c_str());
    return false;
  }
  return true;
}
