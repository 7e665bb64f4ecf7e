#include "cli/json_object.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "utils/utf8.h"

namespace vantorelle::cli {

// Bytes that are not UTF-8 (a file name may hold any) become U+FFFD, so
// that the output stays JSON that any reader takes.
std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  while (!text.empty()) {
    const char c = text[0];
    const auto byte = static_cast<unsigned char>(c);
    std::size_t taken = 1;
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          quoted += escaped;
        } else if (byte < 0x80) {
          quoted += c;
        } else {
          const Utf8Step step = utf8_step(text);
          quoted += step.well_formed ? text.substr(0, step.size) : "\xEF\xBF\xBD";
          taken = step.size;
        }
    }
    text.remove_prefix(taken);
  }
  return quoted + "\"";
}

void JsonObject::key(std::string_view name) {
  if (!body_.empty()) body_ += ", ";
  body_ += json_string(name);
  body_ += ": ";
}

JsonObject& JsonObject::add(std::string_view name, std::int64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add_unsigned(std::string_view name, std::uint64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, std::string_view value) {
  key(name);
  body_ += json_string(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, double value, int decimals) {
  key(name);
  if (!std::isfinite(value)) {
    body_ += "null";
    return *this;
  }
  // Rounded to `decimals` places, then written in its shortest form, as
  // Python writes a float (0.95, 1.0, not 0.950000).
  const double scale = std::pow(10.0, decimals);
  const double rounded = std::round(value * scale) / scale;
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, rounded);
  const std::string_view written(text, error == std::errc() ? static_cast<std::size_t>(end - text) : 0);
  body_ += written;
  if (written.find_first_of(".en") == std::string_view::npos) body_ += ".0";
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, const std::vector<std::string>& values) {
  key(name);
  body_ += "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) body_ += ", ";
    body_ += json_string(values[i]);
  }
  body_ += "]";
  return *this;
}

}  // namespace vantorelle::cli
