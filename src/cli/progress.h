// Progress of a long read on standard error: bytes read (of how many, when
// every input is a regular file), rate and values. Shown only when standard
// error is a terminal, only after half a second, redrawn at most ten times a
// second, and erased at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vantorelle::cli {

class Progress {
 public:
  explicit Progress(std::optional<std::uint64_t> total);
  ~Progress() { close(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void update(std::uint64_t bytes, std::uint64_t values);
  void close();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDelay{500};
  static constexpr std::chrono::milliseconds kRedraw{100};

  bool shown_ = false;
  bool enabled_ = false;
  std::optional<std::uint64_t> total_;
  Clock::time_point started_;
  Clock::time_point drawn_;
};

}  // namespace vantorelle::cli
