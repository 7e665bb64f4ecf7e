// Every sketch is validated (decode_state, validate_state: the checks of
// vantorelle.validate) before it is read, so corrupt bytes fail the query
// with the validating check's message and never reach an estimator.
//
// NULLs: a NULL sketch stands for the empty set (estimate 0, bounds {0, 0},
// a union with the other's estimate, an intersection and a Jaccard index of
// 0); vantorelle_describe(NULL) and a NULL confidence give NULL.
#include "duckdb/scalar_functions.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "duckdb/sketch_aggregate_functions.h"
#include "duckdb/function_errors.h"
#include "duckdb/vectors.h"
#include "engine/sketch_aggregate.h"
#include "hll/sketch_estimates.h"
#include "state/state_description.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle::duckdb_ext {
namespace {

template <class Body>
void guarded(duckdb_function_info info, std::string_view function, Body&& body) {
  guarded_with(duckdb_scalar_function_set_error, info, function, std::forward<Body>(body));
}

// A BLOB argument column, read in place.
class BlobColumn {
 public:
  BlobColumn(duckdb_data_chunk input, idx_t column)
      : vector_(duckdb_data_chunk_get_vector(input, column)),
        values_(static_cast<const duckdb_string_t*>(duckdb_vector_get_data(vector_))),
        validity_(duckdb_vector_get_validity(vector_)) {}

  std::optional<ByteView> at(idx_t row) const {
    if (!is_valid(validity_, row)) return std::nullopt;
    return string_bytes(values_[row]);
  }

 private:
  duckdb_vector vector_;
  const duckdb_string_t* values_;
  const std::uint64_t* validity_;
};

SketchState load_state(ByteView bytes, idx_t row) {
  Result<SketchState> state = decode_valid_state(bytes);
  if (!state) {
    throw Failure{"the sketch in row " + std::to_string(row) + " of the chunk (" +
                  std::to_string(bytes.size()) + " bytes) is not a sound sketch: " +
                  state.error().display()};
  }
  return std::move(*state);
}

// The estimate of a stored sketch read in place, refused as load_state
// refuses it.
std::int64_t estimate_in_place(ViewEstimator& estimator, SketchStateView& room, ByteView bytes, idx_t row) {
  Result<ViewEstimator::Estimate> estimate =
      estimator.estimate_message(bytes, room, EstimateMethod::Default, std::nullopt);
  if (!estimate) {
    throw Failure{"the sketch in row " + std::to_string(row) + " of the chunk (" +
                  std::to_string(bytes.size()) + " bytes) is not a sound sketch: " +
                  estimate.error().display()};
  }
  return estimate->estimate;
}

HyperLogLogPlusPlus load(ByteView bytes, idx_t row) {
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(load_state(bytes, row));
  if (!sketch) throw Failure{sketch.error().display()};
  return std::move(*sketch);
}

template <class T>
T value_or_fail(Result<T> result) {
  if (!result) throw Failure{result.error().display()};
  return std::move(*result);
}

// Python's round(): to the nearest integer, ties to even.
std::int64_t rounded(double value) { return static_cast<std::int64_t>(std::nearbyint(value)); }

// --- vantorelle_estimate(sketch) -> BIGINT ------------------------------------------

void estimate(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  guarded(info, "vantorelle_estimate", [&] {
    const idx_t count = duckdb_data_chunk_get_size(input);
    const BlobColumn sketches(input, 0);
    auto* out = static_cast<std::int64_t*>(duckdb_vector_get_data(output));
    // Each sketch is estimated where it lies, without copying its byte
    // arrays; the estimator keeps the checks of the scalar fields the rows
    // share.
    ViewEstimator estimator;
    SketchStateView room;
    for (idx_t row = 0; row < count; ++row) {
      const std::optional<ByteView> bytes = sketches.at(row);
      out[row] = bytes ? estimate_in_place(estimator, room, *bytes, row) : 0;
    }
  });
}

// --- vantorelle_bounds(sketch, confidence) -> STRUCT(lower, upper) -------------------

void bounds(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  guarded(info, "vantorelle_bounds", [&] {
    const idx_t count = duckdb_data_chunk_get_size(input);
    const BlobColumn sketches(input, 0);
    duckdb_vector confidence_vector = duckdb_data_chunk_get_vector(input, 1);
    const auto* confidences = static_cast<const double*>(duckdb_vector_get_data(confidence_vector));
    const std::uint64_t* confidence_validity = duckdb_vector_get_validity(confidence_vector);
    duckdb_vector lower_vector = duckdb_struct_vector_get_child(output, 0);
    duckdb_vector upper_vector = duckdb_struct_vector_get_child(output, 1);
    auto* lower = static_cast<std::int64_t*>(duckdb_vector_get_data(lower_vector));
    auto* upper = static_cast<std::int64_t*>(duckdb_vector_get_data(upper_vector));
    for (idx_t row = 0; row < count; ++row) {
      if (!is_valid(confidence_validity, row)) {
        set_null(output, row);
        set_null(lower_vector, row);
        set_null(upper_vector, row);
        continue;
      }
      const double confidence = confidences[row];
      if (Status checked = check_confidence(confidence); !checked) throw Failure{checked.error().message()};
      const std::optional<ByteView> bytes = sketches.at(row);
      SketchBounds interval;
      if (bytes) interval = value_or_fail(bounds_of_state(load_state(*bytes, row), confidence));
      lower[row] = interval.lower;
      upper[row] = interval.upper;
    }
  });
}

// --- the two-sketch estimates ---------------------------------------------------------

// The joint estimate of a row's two sketches; nullopt when both are NULL. A
// NULL side is the empty sketch.
std::optional<PairEstimate> pair_at(const BlobColumn& a, const BlobColumn& b, idx_t row) {
  const std::optional<ByteView> left = a.at(row);
  const std::optional<ByteView> right = b.at(row);
  if (!left && !right) return std::nullopt;
  std::optional<HyperLogLogPlusPlus> first, second;
  if (left) first.emplace(load(*left, row));
  if (right) second.emplace(load(*right, row));
  return value_or_fail(estimate_pair_or_empty(first ? &*first : nullptr, second ? &*second : nullptr));
}

// Two NULL sketches are two empty sets: every estimate of them is 0.
template <class T, T (*of)(const PairEstimate&)>
void pair_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output,
                   std::string_view name) {
  guarded(info, name, [&] {
    const idx_t count = duckdb_data_chunk_get_size(input);
    const BlobColumn a(input, 0);
    const BlobColumn b(input, 1);
    auto* out = static_cast<T*>(duckdb_vector_get_data(output));
    for (idx_t row = 0; row < count; ++row) {
      const std::optional<PairEstimate> joint = pair_at(a, b, row);
      out[row] = joint ? of(*joint) : T{0};
    }
  });
}

std::int64_t union_of(const PairEstimate& joint) { return rounded(joint.union_size()); }
std::int64_t intersection_of(const PairEstimate& joint) { return rounded(joint.both); }
double jaccard_of(const PairEstimate& joint) {
  const double total = joint.union_size();
  return total > 0 ? joint.both / total : 0.0;
}

void union_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  pair_function<std::int64_t, union_of>(info, input, output, "vantorelle_union");
}
void intersection_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  pair_function<std::int64_t, intersection_of>(info, input, output, "vantorelle_intersection");
}
void jaccard_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  pair_function<double, jaccard_of>(info, input, output, "vantorelle_jaccard");
}

// --- vantorelle_describe(sketch) -> STRUCT -----------------------------------------------

constexpr const char* kDescribeFields[] = {"value_type", "normal_precision", "sparse_precision",
                                           "form",       "values",           "bytes"};

void describe(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
  guarded(info, "vantorelle_describe", [&] {
    const idx_t count = duckdb_data_chunk_get_size(input);
    const BlobColumn sketches(input, 0);
    duckdb_vector children[6];
    for (idx_t i = 0; i < 6; ++i) children[i] = duckdb_struct_vector_get_child(output, i);
    auto* normal = static_cast<std::int32_t*>(duckdb_vector_get_data(children[1]));
    auto* sparse = static_cast<std::int32_t*>(duckdb_vector_get_data(children[2]));
    // (the count is unsigned 64-bit in the message, as in UBIGINT)
    auto* values = static_cast<std::uint64_t*>(duckdb_vector_get_data(children[4]));
    auto* sizes = static_cast<std::int64_t*>(duckdb_vector_get_data(children[5]));
    for (idx_t row = 0; row < count; ++row) {
      const std::optional<ByteView> bytes = sketches.at(row);
      if (!bytes) {
        set_null(output, row);
        for (duckdb_vector child : children) set_null(child, row);
        continue;
      }
      Result<StateDescription> described = describe_state(*bytes);
      if (!described) {
        throw Failure{"the sketch in row " + std::to_string(row) + " of the chunk (" +
                      std::to_string(bytes->size()) + " bytes) is not a sound sketch: " +
                      described.error().display()};
      }
      duckdb_vector_assign_string_element_len(children[0], row, described->value_type.data(),
                                              described->value_type.size());
      normal[row] = described->normal_precision;
      sparse[row] = described->sparse_precision;
      duckdb_vector_assign_string_element(children[3], row, described->sparse ? "sparse" : "normal");
      values[row] = described->num_values;
      sizes[row] = static_cast<std::int64_t>(described->message_bytes);
    }
  });
}

// --- vantorelle_live_states() -> BIGINT ------------------------------------------------

// Sketches and hash buffers held by aggregate states in this process: the
// extension's own leak check (0 once no query is running).
void live_states(duckdb_function_info, duckdb_data_chunk input, duckdb_vector output) {
  const idx_t count = duckdb_data_chunk_get_size(input);
  auto* out = static_cast<std::int64_t*>(duckdb_vector_get_data(output));
  for (idx_t row = 0; row < count; ++row) out[row] = engine::SketchAggregate::live_count() + live_hash_buffers();
}

// --- registration ---------------------------------------------------------------------

duckdb_logical_type struct_type(std::initializer_list<std::pair<const char*, duckdb_type>> fields) {
  std::vector<duckdb_logical_type> types;
  std::vector<const char*> names;
  for (const auto& [name, id] : fields) {
    names.push_back(name);
    types.push_back(duckdb_create_logical_type(id));
  }
  duckdb_logical_type result = duckdb_create_struct_type(types.data(), names.data(), types.size());
  for (duckdb_logical_type& type : types) duckdb_destroy_logical_type(&type);
  return result;
}

bool register_scalar(duckdb_connection connection, const char* name, std::initializer_list<duckdb_type> parameters,
                     duckdb_logical_type returns, duckdb_scalar_function_t body, bool is_volatile,
                     std::string& error) {
  duckdb_scalar_function function = duckdb_create_scalar_function();
  duckdb_scalar_function_set_name(function, name);
  for (duckdb_type id : parameters) {
    LogicalType parameter(id);
    duckdb_scalar_function_add_parameter(function, parameter.get());
  }
  duckdb_scalar_function_set_return_type(function, returns);
  duckdb_scalar_function_set_function(function, body);
  // NULL arguments reach the function, which gives them their meaning.
  duckdb_scalar_function_set_special_handling(function);
  if (is_volatile) duckdb_scalar_function_set_volatile(function);
  const bool ok = duckdb_register_scalar_function(connection, function) == DuckDBSuccess;
  if (!ok) error = std::string("DuckDB refused the function ") + name;
  duckdb_destroy_scalar_function(&function);
  return ok;
}

}  // namespace

bool register_scalar_functions(duckdb_connection connection, std::string& error) {
  LogicalType bigint(DUCKDB_TYPE_BIGINT);
  LogicalType dbl(DUCKDB_TYPE_DOUBLE);
  LogicalType bounds_type(struct_type({{"lower", DUCKDB_TYPE_BIGINT}, {"upper", DUCKDB_TYPE_BIGINT}}));
  LogicalType description(struct_type({{kDescribeFields[0], DUCKDB_TYPE_VARCHAR},
                                       {kDescribeFields[1], DUCKDB_TYPE_INTEGER},
                                       {kDescribeFields[2], DUCKDB_TYPE_INTEGER},
                                       {kDescribeFields[3], DUCKDB_TYPE_VARCHAR},
                                       {kDescribeFields[4], DUCKDB_TYPE_UBIGINT},
                                       {kDescribeFields[5], DUCKDB_TYPE_BIGINT}}));
  constexpr duckdb_type kBlob = DUCKDB_TYPE_BLOB;
  return register_scalar(connection, "vantorelle_estimate", {kBlob}, bigint.get(), estimate, false, error) &&
         register_scalar(connection, "vantorelle_bounds", {kBlob, DUCKDB_TYPE_DOUBLE}, bounds_type.get(), bounds,
                         false, error) &&
         register_scalar(connection, "vantorelle_union", {kBlob, kBlob}, bigint.get(), union_function, false,
                         error) &&
         register_scalar(connection, "vantorelle_intersection", {kBlob, kBlob}, bigint.get(),
                         intersection_function, false, error) &&
         register_scalar(connection, "vantorelle_jaccard", {kBlob, kBlob}, dbl.get(), jaccard_function, false,
                         error) &&
         register_scalar(connection, "vantorelle_describe", {kBlob}, description.get(), describe, false, error) &&
         register_scalar(connection, "vantorelle_live_states", {}, bigint.get(), live_states, true, error);
}

}  // namespace vantorelle::duckdb_ext
