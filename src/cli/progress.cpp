#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace vantorelle::cli {
namespace {

// 1536 -> "1.50 KiB".
std::string size_text(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 5) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, kUnits[unit]);
  return text;
}

// 1234567 -> "1,234,567".
std::string grouped(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

}  // namespace

Progress::Progress(std::optional<std::uint64_t> total)
    : enabled_(isatty(STDERR_FILENO) == 1), total_(total), started_(Clock::now()) {}

void Progress::update(std::uint64_t bytes, std::uint64_t values) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - started_ < kDelay || (shown_ && now - drawn_ < kRedraw)) return;
  const double seconds = std::chrono::duration<double>(now - started_).count();
  std::string line = size_text(static_cast<double>(bytes));
  if (total_ && *total_ != 0) {
    line.append(" / ").append(size_text(static_cast<double>(*total_)));
    char percent[32];
    std::snprintf(percent, sizeof percent, " (%llu%%)",
                  static_cast<unsigned long long>(bytes * 100 / *total_));
    line.append(percent);
  }
  line.append(", ").append(size_text(static_cast<double>(bytes) / seconds)).append("/s, ");
  line.append(grouped(values)).append(" lines");
  // Back to the start of the line, the new text, the rest of the line cleared.
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
  drawn_ = now;
}

void Progress::close() {
  if (!shown_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace vantorelle::cli
