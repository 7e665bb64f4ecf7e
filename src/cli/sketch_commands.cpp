// merge, estimate and inspect: sketch files, estimated and described by the
// core's own functions (the ones vantorelle._native binds).
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/failures.h"
#include "cli/json_object.h"
#include "cli/output_file.h"
#include "cli/sketch_files.h"
#include "hll/sketch_estimates.h"
#include "state/state_description.h"

namespace vantorelle::cli {
namespace {

template <class T>
T checked(Result<T> result, const std::string& context) {
  if (!result) throw CommandError(context + result.error().display());
  return std::move(result).value();
}

// What inspect shows of a sketch.
struct Facts {
  StateDescription state;
  std::int64_t estimate = 0;
};

Facts facts_of(const HyperLogLogPlusPlus& sketch, const std::string& name) {
  const std::string context = name + ": ";
  const Bytes bytes = checked(sketch.to_bytes(), context);
  return Facts{checked(describe_state(ByteView(bytes.data(), bytes.size())), context),
               checked(sketch.result(), context)};
}

// The facts in the order inspect shows them.
JsonObject facts_json(const Facts& facts) {
  const StateDescription& d = facts.state;
  JsonObject shown;
  shown.add("value_type", d.value_type)
      .add("normal_precision", std::int64_t{d.normal_precision})
      .add("sparse_precision", std::int64_t{d.sparse_precision})
      .add("form", d.sparse ? "sparse" : "normal")
      .add_unsigned("values", d.num_values)
      .add_unsigned("bytes", d.message_bytes)
      .add("estimate", facts.estimate);
  return shown;
}

EstimateMethod method_of(const std::string& name) {
  if (name == "improved") return EstimateMethod::Improved;
  if (name == "ml") return EstimateMethod::Ml;
  return EstimateMethod::Default;
}

void print(const std::string& line) { std::printf("%s\n", line.c_str()); }

void run_pair(const Arguments& args) {
  if (args.sketches.size() != 2 || args.union_of) {
    throw UsageError("--intersection and --jaccard take exactly two sketch files and no --union");
  }
  const SketchFile first = load_sketch(args.sketches[0]);
  const SketchFile second = load_sketch(args.sketches[1]);
  const PairEstimate joint =
      checked(estimate_pair(first.sketch, second.sketch),
              "cannot compare " + args.sketches[0] + " and " + args.sketches[1] + ": ");
  JsonObject shown;
  shown.add("files", args.sketches);
  char text[64];
  if (args.intersection) {
    // Halves go to the even neighbour, as Python's round() takes them.
    const auto both = static_cast<std::int64_t>(std::nearbyint(joint.both));
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(both));
    shown.add("intersection", both);
  } else {
    const double total = joint.union_size();
    const double jaccard = total > 0 ? joint.both / total : 0.0;
    std::snprintf(text, sizeof text, "%.6f", jaccard);
    shown.add("jaccard", jaccard, 6);
  }
  print(args.json ? shown.text() : text);
}

// The package's one union estimate (vantorelle.union) of the files.
std::int64_t union_of(const std::vector<HyperLogLogPlusPlus>& sketches) {
  const double value = checked(union_estimate(sketches), "cannot estimate the union: ");
  // Halves go to the even neighbour, as Python's round() takes them.
  return static_cast<std::int64_t>(std::nearbyint(value));
}

}  // namespace

void run_merge(const Arguments& args) {
  if (args.json && args.output == "-") {
    throw UsageError("--json and -o - would both write to standard output");
  }
  OutputFile output(args.output);
  const HyperLogLogPlusPlus merged = merge_sketches(args.sketches);
  output.write(checked(merged.to_bytes(), args.output + ": "));
  if (args.json) print(facts_json(facts_of(merged, args.output)).text());
}

void run_estimate(const Arguments& args) {
  if (args.intersection || args.jaccard) {
    run_pair(args);
    return;
  }
  // Every file is loaded (each read once: standard input cannot be read
  // again) before anything is printed.
  std::vector<SketchFile> files;
  for (const std::string& path : args.sketches) files.push_back(load_sketch(path));
  const EstimateMethod method = method_of(args.method);
  std::optional<std::int64_t> joint;
  if (args.union_of) {
    std::vector<HyperLogLogPlusPlus> sketches;
    for (const SketchFile& file : files) sketches.push_back(file.sketch);
    std::vector<SketchFile> merged;
    merged.push_back({"", merge_files(std::move(files))});  // (a file that cannot merge is named)
    files = std::move(merged);
    if (method == EstimateMethod::Default && sketches.size() > 1) joint = union_of(sketches);
  }
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string context = files[i].name.empty() ? "" : files[i].name + ": ";
    const std::int64_t value = joint ? *joint : checked(estimate_sketch(files[i].sketch, method), context);
    std::string line = std::to_string(value);
    JsonObject shown;
    if (args.union_of) {
      shown.add("files", args.sketches);
    } else {
      shown.add("file", args.sketches[i]);
    }
    shown.add("method", args.method).add("estimate", value);
    if (args.bounds) {
      const SketchBounds interval = checked(bounds_of(files[i].sketch, args.confidence), context);
      line.append("\t").append(std::to_string(interval.lower));
      line.append("\t").append(std::to_string(interval.upper));
      shown.add("confidence", args.confidence, 6)
          .add("lower", interval.lower)
          .add("upper", interval.upper);
    }
    if (files.size() > 1) line.append("\t").append(args.sketches[i]);
    lines.push_back(args.json ? shown.text() : line);
  }
  for (const std::string& line : lines) print(line);
}

void run_inspect(const Arguments& args) {
  const SketchFile file = load_sketch(args.sketches.front());
  const Facts facts = facts_of(file.sketch, file.name);
  if (args.json) {
    print(facts_json(facts).text());
    return;
  }
  const StateDescription& d = facts.state;
  std::printf("value type:        %.*s\n", static_cast<int>(d.value_type.size()), d.value_type.data());
  std::printf("normal precision:  %d\n", d.normal_precision);
  std::printf("sparse precision:  %d\n", d.sparse_precision);
  std::printf("form:              %s\n", d.sparse ? "sparse" : "normal");
  std::printf("values added:      %llu\n", static_cast<unsigned long long>(d.num_values));
  std::printf("estimate:          %lld\n", static_cast<long long>(facts.estimate));
  std::printf("size:              %zu bytes\n", d.message_bytes);
}

}  // namespace vantorelle::cli
