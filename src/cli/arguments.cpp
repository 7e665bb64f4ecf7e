#include "cli/arguments.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "hll/hyperloglogplusplus.h"

namespace vantorelle::cli {
namespace {

struct CommandName {
  Command command;
  const char* name;
  const char* usage;
};

constexpr CommandName kCommands[] = {
    {Command::Count, "count", "vantorelle count [options] [FILE ...]"},
    {Command::Sketch, "sketch", "vantorelle sketch [options] [FILE ...] -o OUT"},
    {Command::Merge, "merge", "vantorelle merge [--json] SKETCH ... -o OUT"},
    {Command::Estimate, "estimate",
     "vantorelle estimate [--union] [--method M] [--bounds [--confidence C]] [--json] SKETCH ...\n"
     "       vantorelle estimate (--intersection | --jaccard) [--json] A B"},
    {Command::Inspect, "inspect", "vantorelle inspect [--json] SKETCH"},
};

constexpr const char kTopUsage[] = "vantorelle [--help] [--version] COMMAND ...";

const CommandName* find_command(Command command) {
  for (const CommandName& entry : kCommands) {
    if (entry.command == command) return &entry;
  }
  return nullptr;
}

// Python-style quoting of a value in a message: 'text'.
std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

class ArgumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int parse_int(const std::string& text, const char* option) {
  std::string_view digits(text);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw ArgumentError(std::string("argument ") + option + ": invalid integer value: " +
                        in_quotes(text));
  }
  return value;
}

double parse_confidence(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value > 0.0 && value < 1.0)) {
    throw ArgumentError("argument --confidence: invalid confidence (between 0 and 1) value: " +
                        in_quotes(text));
  }
  return value;
}

void exclusive(const CLI::Option* first, const CLI::Option* second) {
  if (first->count() > 0 && second->count() > 0) {
    throw ArgumentError("argument " + second->get_name() + ": not allowed with argument " +
                        first->get_name());
  }
}

// The arguments of `given` whose flag is false, named as argparse names them.
void required(std::initializer_list<std::pair<bool, const char*>> given) {
  std::string missing;
  for (const auto& [present, name] : given) {
    if (present) continue;
    if (!missing.empty()) missing += ", ";
    missing += name;
  }
  if (!missing.empty()) throw ArgumentError("the following arguments are required: " + missing);
}

// The options that read lines: count and sketch.
struct ReadingOptions {
  CLI::Option* delimiter = nullptr;
  CLI::Option* tsv = nullptr;
  CLI::Option* csv = nullptr;
  std::string precision;
  std::string sparse_precision;
};

void add_reading_options(CLI::App* command, Arguments& args, ReadingOptions& options) {
  command->add_option("FILE", args.files, "input files ('-' or none: standard input)");
  options.csv = command->add_option(
      "--csv", args.csv,
      "read CSV and count the values of COLUMN (a header name, or a number from 1 with "
      "--no-header)");
  options.csv->type_name("COLUMN");
  command->add_flag("--no-header", args.no_header, "the CSV input has no header row");
  options.delimiter = command->add_option(
      "--delimiter", args.delimiter,
      "the CSV field separator (default ','; '\\t' or 'tab' for a tab)");
  options.delimiter->type_name("CHAR");
  options.tsv = command->add_flag("--tsv", args.tsv, "tab-separated fields: --delimiter tab");
  command->add_flag("--empty-as-null", args.empty_as_null,
                    "empty CSV fields are nulls, not counted (a quoted \"\" is still a value)");
  options.precision = std::to_string(HyperLogLogPlusPlus::kDefaultNormalPrecision);
  options.sparse_precision = std::to_string(HyperLogLogPlusPlus::kDefaultSparsePrecision);
  command->add_option("-p,--precision", options.precision, "normal precision")
      ->type_name("INT")
      ->capture_default_str();
  command
      ->add_option("--sparse-precision", options.sparse_precision,
                   "sparse precision (0: no sparse phase)")
      ->type_name("INT")
      ->capture_default_str();
  command->add_flag("--json", args.json,
                    "print estimate, values read, precisions and elapsed seconds as JSON");
}

void print_usage_error(const char* usage, const char* prog, const std::string& message) {
  std::fprintf(stderr, "usage: %s\n%s: error: %s\n", usage, prog, message.c_str());
}

// argparse's words for CLI11's missing option value.
std::string translated(const CLI::ParseError& error, const CLI::App* command) {
  const std::string text = error.what();
  const std::size_t cut = text.find(": 1 required ");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && cut != std::string::npos &&
      text.ends_with(" missing")) {
    const std::string name = text.substr(0, cut);
    std::string names = name;
    if (command != nullptr) {
      try {
        const CLI::Option* option = command->get_option(name);
        names.clear();
        for (const std::string& short_name : option->get_snames()) names += "-" + short_name + "/";
        for (const std::string& long_name : option->get_lnames()) names += "--" + long_name + "/";
        names.pop_back();
      } catch (const CLI::OptionNotFound&) {
        names = name;
      }
    }
    return "argument " + names + ": expected one argument";
  }
  return text;
}

}  // namespace

int report_usage_error(Command command, const std::string& message) {
  const CommandName* entry = find_command(command);
  if (entry == nullptr) {
    print_usage_error(kTopUsage, "vantorelle", message);
  } else {
    const std::string prog = std::string("vantorelle ") + entry->name;
    print_usage_error(entry->usage, prog.c_str(), message);
  }
  return 2;
}

std::variant<Arguments, int> parse_arguments(int argc, const char* const* argv) {
  Arguments args;
  CLI::App app("Estimated distinct counts of lines and CSV columns (HyperLogLog++).", "vantorelle");
  app.set_version_flag("--version", "vantorelle " VANTORELLE_VERSION);
  // An option given twice keeps its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(0, 1);

  ReadingOptions count_options;
  CLI::App* count = app.add_subcommand(
      "count", "Print the estimated number of distinct lines (or CSV values).");
  add_reading_options(count, args, count_options);

  ReadingOptions sketch_options;
  CLI::App* sketch =
      app.add_subcommand("sketch", "Write a sketch of the lines (or CSV values) to a file.");
  add_reading_options(sketch, args, sketch_options);
  const char* output_help = "sketch file ('-': standard output)";
  CLI::Option* sketch_output =
      sketch->add_option("-o,--output", args.output, output_help)->type_name("OUT");

  CLI::App* merge = app.add_subcommand("merge", "Merge sketch files into one.");
  merge->add_option("SKETCH", args.sketches, "sketch files");
  CLI::Option* merge_output =
      merge->add_option("-o,--output", args.output, output_help)->type_name("OUT");
  merge->add_flag("--json", args.json, "describe the merged sketch as JSON (as inspect --json)");

  CLI::App* estimate = app.add_subcommand("estimate", "Print the estimate of each sketch file.");
  estimate->add_option("SKETCH", args.sketches, "sketch files");
  CLI::Option* union_of = estimate->add_flag(
      "--union", args.union_of,
      "print one estimate: that of the files' union (with the default method, the joint estimate "
      "of vantorelle.union; with another, that of the files merged)");
  CLI::Option* method = estimate
      ->add_option("--method", args.method,
                   "estimator: result() (default), Ertl's improved raw estimator (improved), or "
                   "maximum likelihood (ml)")
      ->type_name("{default,improved,ml}")
      ->capture_default_str();
  CLI::Option* bounds = estimate->add_flag("--bounds", args.bounds,
                     "also print the lower and upper bounds of the count (tab-separated)");
  std::string confidence = "0.95";
  CLI::Option* confidence_option = estimate
      ->add_option("--confidence", confidence,
                   "probability that the bounds hold the count")
      ->type_name("C")
      ->capture_default_str();
  CLI::Option* intersection = estimate->add_flag(
      "--intersection", args.intersection,
      "print the estimated number of values in both of two sketch files");
  CLI::Option* jaccard = estimate->add_flag(
      "--jaccard", args.jaccard, "print the estimated Jaccard similarity of two sketch files");
  estimate->add_flag("--json", args.json, "print the estimates as JSON, one object per line");

  CLI::App* inspect = app.add_subcommand("inspect", "Describe a sketch file.");
  std::string inspected;
  CLI::Option* inspect_sketch = inspect->add_option("SKETCH", inspected, "a sketch file");
  inspect->add_flag("--json", args.json, "print the description as JSON");

  const std::pair<CLI::App*, Command> subcommands[] = {{count, Command::Count},
                                                       {sketch, Command::Sketch},
                                                       {merge, Command::Merge},
                                                       {estimate, Command::Estimate},
                                                       {inspect, Command::Inspect}};
  // A first word that names no command is reported as such, not as an
  // argument nobody expected.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const auto& [subcommand, command] : subcommands) {
      known = known || subcommand->get_name() == argv[1];
    }
    if (!known) {
      return report_usage_error(
          Command::None, std::string("argument COMMAND: invalid choice: ") + in_quotes(argv[1]) +
                             " (choose from 'count', 'sketch', 'merge', 'estimate', 'inspect')");
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& call) {
    return app.exit(call);
  } catch (const CLI::CallForAllHelp& call) {
    return app.exit(call);
  } catch (const CLI::CallForVersion& call) {
    return app.exit(call);
  } catch (const CLI::ParseError& error) {
    for (const auto& [subcommand, command] : subcommands) {
      if (subcommand->parsed()) return report_usage_error(command, translated(error, subcommand));
    }
    return report_usage_error(Command::None, translated(error, nullptr));
  }

  for (const auto& [subcommand, command] : subcommands) {
    if (subcommand->parsed()) args.command = command;
  }
  try {
    switch (args.command) {
      case Command::None:
        required({{false, "COMMAND"}});
        break;
      case Command::Count:
      case Command::Sketch: {
        const ReadingOptions& options =
            args.command == Command::Count ? count_options : sketch_options;
        exclusive(options.delimiter, options.tsv);
        if (args.command == Command::Sketch) required({{sketch_output->count() > 0, "-o/--output"}});
        args.csv_given = options.csv->count() > 0;
        args.delimiter_given = options.delimiter->count() > 0;
        args.precision = parse_int(options.precision, "-p/--precision");
        args.sparse_precision = parse_int(options.sparse_precision, "--sparse-precision");
        break;
      }
      case Command::Merge:
        required({{!args.sketches.empty(), "SKETCH"}, {merge_output->count() > 0, "-o/--output"}});
        break;
      case Command::Estimate:
        required({{!args.sketches.empty(), "SKETCH"}});
        exclusive(intersection, jaccard);
        // (options that the two-sketch forms would ignore)
        for (const CLI::Option* pair : {intersection, jaccard}) {
          for (const CLI::Option* single : {union_of, method, bounds, confidence_option}) exclusive(pair, single);
        }
        if (confidence_option->count() > 0 && bounds->count() == 0) {
          throw ArgumentError("argument --confidence: only with --bounds");
        }
        if (args.method != "default" && args.method != "improved" && args.method != "ml") {
          throw ArgumentError("argument --method: invalid choice: " + in_quotes(args.method) +
                              " (choose from 'default', 'improved', 'ml')");
        }
        args.confidence = parse_confidence(confidence);
        break;
      case Command::Inspect:
        required({{inspect_sketch->count() > 0, "SKETCH"}});
        args.sketches.push_back(inspected);
        break;
    }
  } catch (const ArgumentError& error) {
    return report_usage_error(args.command, error.what());
  }
  return args;
}

}  // namespace vantorelle::cli
