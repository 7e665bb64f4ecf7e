// The callbacks of the aggregate vantorelle_merge(sketch): the group's
// stored sketches merged, rolled up in one pass where they allow it.
#pragma once

#include "duckdb/duckdb_api.h"

namespace vantorelle::duckdb_ext {

idx_t merge_state_size(duckdb_function_info info);
void merge_init(duckdb_function_info info, duckdb_aggregate_state state);
void merge_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state* states);
void merge_combine(duckdb_function_info info, duckdb_aggregate_state* source, duckdb_aggregate_state* target,
                   idx_t count);
void merge_finalize(duckdb_function_info info, duckdb_aggregate_state* source, duckdb_vector result, idx_t count,
                    idx_t offset);
void merge_destroy(duckdb_aggregate_state* states, idx_t count);

}  // namespace vantorelle::duckdb_ext
