// The aggregates vantorelle_sketch(value [, normal_precision [,
// sparse_precision]]) and vantorelle_merge(sketch), over the engine's
// per-group state (engine/sketch_aggregate.h).
#pragma once

#include <cstdint>
#include <string>

#include "duckdb/duckdb_api.h"

namespace vantorelle::duckdb_ext {

// Registers both on `connection`; false with `error` set when DuckDB refuses.
bool register_sketch_aggregates(duckdb_connection connection, std::string& error);

// Hash buffers held by vantorelle_sketch's states now (the states' other
// memory is the engine's, counted by SketchAggregate::live_count).
std::int64_t live_hash_buffers();

}  // namespace vantorelle::duckdb_ext
