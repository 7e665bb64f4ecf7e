// The DuckDB C extension API (stable, v1.5.6) as every file of the extension
// sees it: its functions are calls through the table the entry point filled.
#pragma once

#include "duckdb_extension.h"

DUCKDB_EXTENSION_EXTERN
