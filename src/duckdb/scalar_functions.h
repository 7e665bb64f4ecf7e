// The scalar functions over stored sketches: vantorelle_estimate,
// vantorelle_bounds, vantorelle_union, vantorelle_intersection,
// vantorelle_jaccard and vantorelle_describe, with the meanings of the
// Python functions of the same names, and the debug function
// vantorelle_live_states().
#pragma once

#include <string>

#include "duckdb/duckdb_api.h"

namespace vantorelle::duckdb_ext {

bool register_scalar_functions(duckdb_connection connection, std::string& error);

}  // namespace vantorelle::duckdb_ext
