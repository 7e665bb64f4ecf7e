// count and sketch: the lines (or one CSV column) of the inputs, hashed into
// a text-or-bytes sketch by the line library's LineReader.
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "cli/commands.h"
#include "cli/csv_options.h"
#include "cli/failures.h"
#include "cli/inputs.h"
#include "cli/json_object.h"
#include "cli/output_file.h"
#include "native/line_reader.h"

namespace vantorelle::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The reader the arguments ask for: their errors are usage errors, found
// before any output is made or input read.
struct Reading {
  std::optional<native::CsvFormat> csv;
  std::optional<native::LineReader> reader;
  ReadOptions options;
};

void prepare(const Arguments& args, Reading& reading) {
  reading.csv = csv_format(args);
  if (reading.csv) reading.options.column = column_label(*reading.csv);
  Result<HyperLogLogPlusPlus> sketch =
      HyperLogLogPlusPlus::new_string_or_bytes(args.precision, args.sparse_precision);
  if (!sketch) throw UsageError(sketch.error().display());
  reading.reader.emplace(std::move(sketch).value(), reading.csv);
}

struct ReadResult {
  Bytes sketch;
  std::int64_t estimate = 0;
  std::uint64_t bytes = 0;
};

ReadResult read_all(const Arguments& args, Reading& reading) {
  native::LineReader& reader = *reading.reader;
  ReadResult result;
  result.bytes = read_inputs(args.files, reader, reading.options);
  if (!reader.flush()) throw CommandError(reader.error());
  Result<Bytes> encoded = reader.sketch().to_bytes();
  if (!encoded) throw CommandError(encoded.error().display());
  Result<std::int64_t> estimate = reader.sketch().result();
  if (!estimate) throw CommandError(estimate.error().display());
  result.sketch = std::move(encoded).value();
  result.estimate = *estimate;
  return result;
}

void print_report(const Arguments& args, const Reading& reading, const ReadResult& result,
                  Clock::time_point started) {
  const native::LineReader& reader = *reading.reader;
  JsonObject report;
  report.add("estimate", result.estimate)
      .add_unsigned("values", reader.values())
      .add_unsigned("bytes", result.bytes)
      .add("normal_precision", std::int64_t{args.precision})
      .add("sparse_precision", std::int64_t{args.sparse_precision})
      .add("seconds", std::chrono::duration<double>(Clock::now() - started).count(), 6);
  if (reading.csv) {
    report.add_unsigned("rows_skipped", reader.short_rows());
    if (args.empty_as_null) report.add_unsigned("nulls", reader.nulls());
  }
  std::printf("%s\n", report.text().c_str());
}

}  // namespace

void run_count(const Arguments& args) {
  Reading reading;
  prepare(args, reading);
  const Clock::time_point started = Clock::now();
  const ReadResult result = read_all(args, reading);
  if (args.json) {
    print_report(args, reading, result, started);
  } else {
    std::printf("%lld\n", static_cast<long long>(result.estimate));
  }
}

void run_sketch(const Arguments& args) {
  if (args.json && args.output == "-") {
    throw UsageError("--json and -o - would both write to standard output");
  }
  Reading reading;
  prepare(args, reading);
  OutputFile output(args.output);
  const Clock::time_point started = Clock::now();
  const ReadResult result = read_all(args, reading);
  output.write(result.sketch);
  if (args.json) print_report(args, reading, result, started);
}

}  // namespace vantorelle::cli
