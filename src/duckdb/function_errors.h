// The one exit path of a DuckDB callback's errors: a Failure, or an
// exception escaping the engine (an internal failure, memory), becomes the
// query's error, prefixed with the function's name. Nothing may unwind into
// DuckDB's C frames.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "duckdb/duckdb_api.h"

namespace vantorelle::duckdb_ext {

// A failure of one call: the query's error.
struct Failure {
  std::string message;
};

// duckdb_scalar_function_set_error or duckdb_aggregate_function_set_error.
using SetError = void (*)(duckdb_function_info, const char*);

inline void fail_with(SetError set_error, duckdb_function_info info, std::string_view function,
                      const std::string& message) {
  const std::string text = std::string(function) + ": " + message;
  set_error(info, text.c_str());
}

template <class Body>
void guarded_with(SetError set_error, duckdb_function_info info, std::string_view function, Body&& body) {
  try {
    body();
  } catch (const Failure& failure) {
    fail_with(set_error, info, function, failure.message);
  } catch (const std::bad_alloc&) {
    fail_with(set_error, info, function, "out of memory");
  } catch (const std::exception& failure) {
    fail_with(set_error, info, function, std::string("internal failure: ") + failure.what());
  }
}

}  // namespace vantorelle::duckdb_ext
