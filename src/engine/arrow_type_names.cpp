#include "engine/arrow_type_names.h"

#include <string_view>

namespace vantorelle::engine {

std::string arrow_format_in_words(std::string_view format) {
  static constexpr struct {
    std::string_view format;
    std::string_view words;
  } kNames[] = {
      {"n", "null"},        {"b", "bool"},          {"c", "int8"},         {"C", "uint8"},
      {"s", "int16"},       {"S", "uint16"},        {"i", "int32"},        {"I", "uint32"},
      {"l", "int64"},       {"L", "uint64"},        {"e", "float16"},      {"f", "float32"},
      {"g", "float64"},     {"u", "string"},        {"U", "large_string"}, {"vu", "string_view"},
      {"z", "binary"},      {"Z", "large_binary"},  {"vz", "binary_view"}, {"tdD", "date32"},
      {"tdm", "date64"},    {"tts", "time32[s]"},   {"ttm", "time32[ms]"}, {"ttu", "time64[us]"},
      {"ttn", "time64[ns]"}, {"tDs", "duration[s]"}, {"tDm", "duration[ms]"},
      {"tDu", "duration[us]"}, {"tDn", "duration[ns]"}, {"tiM", "month interval"},
      {"tiD", "day-time interval"}, {"tin", "month-day-nano interval"},
      {"+l", "list"},       {"+L", "large_list"},   {"+vl", "list_view"},  {"+vL", "large_list_view"},
      {"+s", "struct"},     {"+m", "map"},          {"+r", "run-end encoded"},
  };
  for (const auto& entry : kNames) {
    if (entry.format == format) return std::string(entry.words);
  }
  const auto starts = [&](std::string_view prefix) { return format.substr(0, prefix.size()) == prefix; };
  static constexpr std::string_view kUnits[] = {"s", "ms", "us", "ns"};
  const std::size_t unit = std::string_view("smun").find(format.size() >= 4 ? format[2] : '?');
  if (starts("ts") && unit != std::string_view::npos && format[3] == ':') {
    // (pyarrow's own spelling: timestamp[us, tz=UTC])
    const std::string_view zone = format.substr(4);
    return "timestamp[" + std::string(kUnits[unit]) + (zone.empty() ? "" : ", tz=" + std::string(zone)) + "]";
  }
  if (starts("d:")) {
    // d:precision,scale[,bit width], in pyarrow's spelling: decimal128(38, 0)
    // (the form a DuckDB HUGEINT takes in Arrow)
    const std::string_view fields = format.substr(2);
    const std::size_t comma = fields.find(',');
    if (comma == std::string_view::npos) return "decimal";
    const std::size_t last = fields.find(',', comma + 1);
    const std::string_view scale = fields.substr(comma + 1, last == std::string_view::npos ? last : last - comma - 1);
    const std::string bits(last == std::string_view::npos ? "128" : fields.substr(last + 1));
    return "decimal" + bits + "(" + std::string(fields.substr(0, comma)) + ", " + std::string(scale) + ")";
  }
  if (starts("w:")) return "fixed_size_binary";
  if (starts("+w:")) return "fixed_size_list";
  if (starts("+ud:") || starts("+us:")) return "union";
  return "Arrow format '" + std::string(format) + "'";
}

std::string arrow_type_in_words(const ArrowSchema& schema) {
  const std::string own = arrow_format_in_words(schema.format ? schema.format : "");
  if (schema.dictionary == nullptr) return own;
  return "dictionary<" + arrow_type_in_words(*schema.dictionary) + ">";
}

}  // namespace vantorelle::engine
