// One JSON object on one line, written as Python's json.dumps writes it
// ({"key": value, "other": value}), the form the command has always printed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantorelle::cli {

class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::int64_t value);
  JsonObject& add_unsigned(std::string_view key, std::uint64_t value);
  JsonObject& add(std::string_view key, std::string_view value);
  JsonObject& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  // Rounded to `decimals` places after the point; null when not finite.
  JsonObject& add(std::string_view key, double value, int decimals);
  JsonObject& add(std::string_view key, const std::vector<std::string>& values);

  // The object, without a newline.
  std::string text() const { return "{" + body_ + "}"; }

 private:
  void key(std::string_view name);

  std::string body_;
};

// `text` as a JSON string, quotes included.
std::string json_string(std::string_view text);

}  // namespace vantorelle::cli
