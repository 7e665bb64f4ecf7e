#include "engine/grouped_aggregation.h"

#include <algorithm>

#include "engine/array_checks.h"
#include "engine/arrow_type_names.h"
#include "engine/group_keys.h"
#include "engine/input_errors.h"
#include "engine/value_codes.h"
#include "state/state_validation.h"
#include "utils/parallel.h"

namespace vantorelle::engine {
namespace {

constexpr char kUnsupportedType[] = "Unsupported type for HyperLogLogPlusPlus";

bool same_family(InputType a, InputType b) { return (a == InputType::LONG) == (b == InputType::LONG); }

// The aggregator's refusal of `column_type` in a sketch of `family`.
std::string refusal_text(InputType family, InputType column_type) {
  const InputTypeSet allowed = family == InputType::LONG
                                   ? InputTypeSet::of(InputType::LONG)
                                   : InputTypeSet::of(InputType::STRING) | InputTypeSet::of(InputType::BYTES);
  Status admitted = check_admitted(allowed, column_type);
  return admitted ? std::string(kUnsupportedType) : admitted.error().message();
}

std::string row_text(const std::string& name, const char* where, std::int64_t row) {
  return "column '" + name + "', " + where + " " + std::to_string(row) + ": ";
}

RowContext group_context(const Grouping& grouping, std::span<const ColumnChunks> keys,
                         std::span<const KeyFormat> formats) {
  return [&grouping, keys, formats](std::int64_t row) {
    const std::uint32_t group = grouping.group_of_row[static_cast<std::size_t>(row)];
    return " (group " + describe_group(grouping, group, keys, formats) + ")";
  };
}

// The error for a column whose coding stopped at `failure`.
Err coding_error(const ColumnChunks& column, CodingFailure failure, const char* where, const RowContext& context) {
  const std::int64_t row = failure.row;
  switch (failure.fault) {
    case CodingFault::IndexOutOfRange:
      return input_error(InputFault::Malformed, row_text(column.name, where, row) +
                                                    "malformed Arrow array: dictionary index out of range" +
                                                    context(row));
    case CodingFault::NotUtf8:
      return input_error(InputFault::Malformed,
                         row_text(column.name, where, row) + "the text is not valid UTF-8" + context(row));
    case CodingFault::Refused: break;
  }
  return input_error(InputFault::Refused, row_text(column.name, where, row) +
                                              integer_range_refusal(std::to_string(failure.refused_value)) +
                                              context(row));
}

// A column of values of the other family than the sketches': every value is
// refused, so the first one is reported (as an error); a column of nulls
// only gives empty sketches (no error).
std::optional<Err> family_refusal(const ColumnChunks& column, const ValueColumnFormat& format, InputType family,
                                  const char* where, const RowContext& context) {
  const InputType column_type = input_type_of(format.values.kind);
  const std::int64_t row = first_value_row(column, format);
  if (row < 0) return std::nullopt;
  return input_error(InputFault::Refused,
                     row_text(column.name, where, row) + refusal_text(family, column_type) + context(row));
}

}  // namespace

Result<Codes> code_column(const ColumnChunks& column, const ValueColumnFormat& format, InputType family,
                          const GroupedSketchBuilder& builder, int threads, const char* where,
                          const RowContext& context) {
  if (!same_family(family, input_type_of(format.values.kind))) {
    if (std::optional<Err> refused = family_refusal(column, format, family, where, context)) return *refused;
    return Codes(static_cast<std::size_t>(column.rows), GroupedSketchBuilder::kNoValue);
  }
  ValueCodes coded = code_values(column, format, builder, threads);
  if (coded.failure.row < 0) return std::move(coded.codes);
  return coding_error(column, coded.failure, where, context);
}

namespace {

// The codes of every row, by group: each block of codes goes to its rows'
// groups as it is made, so the codes are never held in row order.
Result<GroupedItems> code_column_by_group(const ColumnChunks& column, const ValueColumnFormat& format,
                                          InputType family, const GroupedSketchBuilder& builder,
                                          std::span<const std::uint32_t> groups, std::uint32_t group_count,
                                          int threads, const RowContext& context) {
  if (!same_family(family, input_type_of(format.values.kind))) {
    if (std::optional<Err> refused = family_refusal(column, format, family, "row", context)) return *refused;
    GroupedItems none;
    none.starts = GroupStarts(MappedVector<std::uint32_t>(static_cast<std::size_t>(group_count) + 1, 0));
    return none;
  }
  GroupScatter scatter(groups, group_count, threads);
  const CodingFailure failure = code_blocks(
      column, format, builder, scatter.parts(),
      [&scatter](int part, std::int64_t row, std::size_t count, const std::uint32_t* codes) {
        scatter.place(part, static_cast<std::size_t>(row), count, codes);
      });
  if (failure.row >= 0) return coding_error(column, failure, "row", context);
  return std::move(scatter).finish();
}

// A table's rows grouped by its keys, and their values' builder.
struct GroupedRows {
  std::vector<KeyFormat> key_formats;
  GroupedSketchBuilder builder;
  Grouping grouping;
  ValueColumnFormat value_format;
  InputType family;
};

// The checks and grouping that sketch_groups and count_groups share.
Result<GroupedRows> check_and_group(std::span<const ColumnChunks> keys, const ColumnChunks& values,
                                    std::optional<InputType> ty, int normal_precision, int sparse_precision,
                                    int threads) {
  Result<std::vector<KeyFormat>> formats = check_key_columns(keys);
  if (!formats) return formats.take_error();
  Result<ValueColumnFormat> value_format = check_value_column(values);
  if (!value_format) return value_format.take_error();
  if (!ty && value_format->values.kind == Kind::Null) {
    // (every value null: nothing tells integers from text, as in an empty
    // column of sketch)
    return input_error(InputFault::Malformed,
                       (values.name.empty() ? std::string("the column") : "column '" + values.name + "'") +
                           " has no values (every one is null), so its value type cannot be inferred; "
                           "give it (ty=int, ty=str or ty=bytes)");
  }
  const InputType family = ty ? *ty : input_type_of(value_format->values.kind);
  Result<GroupedSketchBuilder> builder = GroupedSketchBuilder::create(family, normal_precision, sparse_precision);
  if (!builder) return from_core(builder.error());
  Result<Grouping> grouping = group_rows(keys, *formats, values.rows, threads);
  if (!grouping) return grouping.take_error();
  return GroupedRows{std::move(*formats), std::move(*builder), std::move(*grouping), *value_format, family};
}

}  // namespace

Result<GroupedSketches> sketch_groups(std::span<const ColumnChunks> keys, const ColumnChunks& values,
                                      std::optional<InputType> ty, int normal_precision, int sparse_precision,
                                      int threads) {
  Result<GroupedRows> grouped = check_and_group(keys, values, ty, normal_precision, sparse_precision, threads);
  if (!grouped) return grouped.take_error();
  Grouping& grouping = grouped->grouping;
  const auto group_count = static_cast<std::uint32_t>(grouping.groups());
  const RowContext context = group_context(grouping, keys, grouped->key_formats);
  Result<SerializedSketches> built = SerializedSketches{};
  if (grouped->builder.folds_rows(group_count, static_cast<std::size_t>(values.rows), threads)) {
    // Few groups: the codes in row order, then folded into each group's
    // registers in a pass of their own (folding each block as it is coded
    // measured slower: the registers of all groups then share the caches
    // with the hashing).
    Result<Codes> codes =
        code_column(values, grouped->value_format, grouped->family, grouped->builder, threads, "row", context);
    if (!codes) return codes.take_error();
    built = grouped->builder.build_consuming(grouping.group_of_row, *codes, group_count, threads);
  } else {
    Result<GroupedItems> sorted = code_column_by_group(values, grouped->value_format, grouped->family,
                                                       grouped->builder, grouping.group_of_row, group_count,
                                                       threads, context);
    if (!sorted) return sorted.take_error();
    MappedVector<std::uint32_t>().swap(grouping.group_of_row);
    built = grouped->builder.build_sorted(std::move(*sorted), threads);
  }
  if (!built) return from_core(built.error());
  GroupedSketches out;
  out.first_rows = std::move(grouping.first_rows);
  out.sketches = std::move(*built);
  return out;
}

Result<GroupedCounts> count_groups(std::span<const ColumnChunks> keys, const ColumnChunks& values,
                                   std::optional<InputType> ty, int normal_precision, int sparse_precision,
                                   int threads) {
  Result<MartingaleCounter> counter = MartingaleCounter::create(normal_precision, sparse_precision);
  if (!counter) return from_core(counter.error());
  // Coded exactly as sketch_groups codes them.
  Result<GroupedRows> grouped = check_and_group(keys, values, ty, normal_precision, sparse_precision, threads);
  if (!grouped) return grouped.take_error();
  Grouping& grouping = grouped->grouping;
  Result<Codes> codes = code_column(values, grouped->value_format, grouped->family, grouped->builder, threads,
                                    "row", group_context(grouping, keys, grouped->key_formats));
  if (!codes) return codes.take_error();
  GroupedCounts out;
  out.counts = counter->count(grouping.group_of_row, *codes, static_cast<std::uint32_t>(grouping.groups()), threads);
  out.first_rows = std::move(grouping.first_rows);
  out.sparse_precision = counter->sparse_precision();
  return out;
}

Status check_sketch_schema(const ArrowSchema& schema, std::string_view name, ValueFormat* format) {
  if (schema.dictionary == nullptr && value_format(schema.format ? schema.format : "", format) &&
      (format->kind == Kind::Binary || format->kind == Kind::LargeBinary ||
       format->kind == Kind::BinaryView || format->kind == Kind::Null)) {
    return {};
  }
  const std::string column = name.empty() ? "the column" : "column '" + std::string(name) + "'";
  return input_error(InputFault::Refused,
                     column + " holds " + arrow_type_in_words(schema) +
                         " values, which are not serialised sketches (expected Arrow binary, "
                         "large_binary or binary_view)");
}

Status check_sketch_column(const ColumnChunks& column) {
  ValueFormat format;
  VANTORELLE_RETURN_IF_ERROR(check_sketch_schema(*column.schema, column.name, &format));
  return check_column_chunks(column, format, std::nullopt);
}

StoredSketches stored_sketches(const ColumnChunks& column) {
  ValueFormat format;
  value_format(column.schema->format ? column.schema->format : "", &format);
  StoredSketches out;
  for (std::size_t b = 0; b < column.chunks.size(); ++b) {
    const ValueReader reader(format, column.chunks[b]);
    for (std::int64_t row = 0; row < column.chunks[b].length; ++row) {
      ByteView bytes;
      if (reader.bytes(row, &bytes) != Row::Value) continue;
      out.sketches.push_back(bytes);
      out.rows.push_back(column.starts[b] + row);
    }
  }
  return out;
}

namespace {

// The first stored sketch that fails the validating door, by row.
RowFailure validate_all(const StoredSketches& stored, int threads) {
  const std::size_t n = stored.sketches.size();
  const int parts = static_cast<int>(std::clamp<std::size_t>(n / 256, 1, static_cast<std::size_t>(threads)));
  std::vector<RowFailure> failures(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [begin, end] = part_range(n, parts, t);
    for (std::size_t i = begin; i < end; ++i) {
      Status checked = validate_bytes(stored.sketches[i]);
      if (!checked) {
        failures[static_cast<std::size_t>(t)] = RowFailure{stored.rows[i], checked.error().display()};
        return;
      }
    }
  });
  for (RowFailure& failure : failures) {
    if (failure.row >= 0) return std::move(failure);
  }
  return RowFailure{};
}

}  // namespace

Result<SerializedSketches> merge_stored(const StoredSketches& stored, std::span<const std::uint32_t> groups,
                                        std::uint32_t group_count, int threads, const std::string& name,
                                        const char* where, const RowContext& context) {
  const RowFailure invalid = validate_all(stored, threads);
  if (invalid.row >= 0) {
    return input_error(InputFault::Corrupt, row_text(name, where, invalid.row) + "not a valid sketch: " +
                                                invalid.message + context(invalid.row));
  }
  RowFailure failed;
  Result<SerializedSketches> merged = merge_groups(groups, stored.sketches, stored.rows, group_count, threads, &failed);
  if (failed.row >= 0) {
    return input_error(InputFault::Incompatible,
                       row_text(name, where, failed.row) +
                           "cannot be merged with the sketches before it in its group: " + failed.message +
                           context(failed.row));
  }
  if (!merged) return from_core(merged.error());
  return merged;
}

Result<GroupedSketches> merge_stored_groups(std::span<const ColumnChunks> keys, const ColumnChunks& sketches,
                                            int threads) {
  Result<std::vector<KeyFormat>> formats = check_key_columns(keys);
  if (!formats) return formats.take_error();
  VANTORELLE_RETURN_IF_ERROR(check_sketch_column(sketches));
  Result<Grouping> grouping = group_rows(keys, *formats, sketches.rows, threads);
  if (!grouping) return grouping.take_error();
  const StoredSketches stored = stored_sketches(sketches);
  std::vector<std::uint32_t> groups;
  groups.reserve(stored.rows.size());
  for (std::int64_t row : stored.rows) groups.push_back(grouping->group_of_row[static_cast<std::size_t>(row)]);
  Result<SerializedSketches> merged =
      merge_stored(stored, groups, static_cast<std::uint32_t>(grouping->groups()), threads, sketches.name, "row",
                   group_context(*grouping, keys, *formats));
  if (!merged) return merged.take_error();
  GroupedSketches out;
  out.first_rows = std::move(grouping->first_rows);
  out.sketches = std::move(*merged);
  return out;
}

}  // namespace vantorelle::engine
