#include "cli/csv_options.h"

#include <charconv>

#include "cli/failures.h"

namespace vantorelle::cli {
namespace {

std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

char delimiter_of(const Arguments& args) {
  if (args.tsv) return '\t';
  if (!args.delimiter_given) return ',';
  const std::string text =
      args.delimiter == "\\t" || args.delimiter == "tab" ? "\t" : args.delimiter;
  if (text.size() != 1) {
    throw UsageError("--delimiter takes one byte, not " + in_quotes(args.delimiter));
  }
  if (text[0] == '"' || text[0] == '\r' || text[0] == '\n') {
    const char* shown = text[0] == '"' ? "'\"'" : text[0] == '\r' ? "'\\r'" : "'\\n'";
    throw UsageError(std::string("--delimiter cannot be ") + shown +
                     ": it has a meaning of its own in CSV");
  }
  return text[0];
}

}  // namespace

std::optional<native::CsvFormat> csv_format(const Arguments& args) {
  if (!args.csv_given) {
    const std::pair<const char*, bool> needing_csv[] = {{"--no-header", args.no_header},
                                                        {"--delimiter", args.delimiter_given},
                                                        {"--tsv", args.tsv},
                                                        {"--empty-as-null", args.empty_as_null}};
    for (const auto& [option, given] : needing_csv) {
      if (given) throw UsageError(std::string(option) + " needs --csv");
    }
    return std::nullopt;
  }
  native::CsvFormat format;
  format.header = !args.no_header;
  format.empty_as_null = args.empty_as_null;
  if (args.no_header) {
    std::size_t number = 0;
    const char* end = args.csv.data() + args.csv.size();
    const auto [stop, error] = std::from_chars(args.csv.data(), end, number);
    if (args.csv.empty() || error != std::errc() || stop != end || number < 1) {
      throw UsageError("with --no-header, --csv takes a column number from 1, not " +
                       in_quotes(args.csv));
    }
    format.column_index = number - 1;
  } else {
    format.column_name = args.csv;
  }
  format.delimiter = delimiter_of(args);
  return format;
}

std::string column_label(const native::CsvFormat& format) {
  if (format.column_index) return "column " + std::to_string(*format.column_index + 1);
  return "column " + native::quoted_name(format.column_name);
}

}  // namespace vantorelle::cli
