// The command line of `vantorelle`: its subcommands and options, parsed by
// CLI11. Wrong usage is reported the way the command has always reported
// it: the usage, then "vantorelle COMMAND: error: MESSAGE", exit status 2.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vantorelle::cli {

enum class Command : std::uint8_t { None, Count, Sketch, Merge, Estimate, Inspect };

struct Arguments {
  Command command = Command::None;
  bool json = false;

  // count and sketch: the inputs and how they are read.
  std::vector<std::string> files;
  bool csv_given = false;
  std::string csv;
  bool no_header = false;
  bool delimiter_given = false;
  std::string delimiter;
  bool tsv = false;
  bool empty_as_null = false;
  int precision = 0;
  int sparse_precision = 0;

  // sketch and merge: the output file ('-': standard output).
  std::string output;

  // merge, estimate, inspect: sketch files.
  std::vector<std::string> sketches;
  bool union_of = false;
  bool bounds = false;
  bool intersection = false;
  bool jaccard = false;
  std::string method = "default";
  double confidence = 0.95;
};

// The arguments of a run, or the exit status of one that ends while its
// arguments are read (--help, --version, wrong usage; already reported).
std::variant<Arguments, int> parse_arguments(int argc, const char* const* argv);

// Reports wrong usage of `command` found later; returns the exit status (2).
int report_usage_error(Command command, const std::string& message);

}  // namespace vantorelle::cli
