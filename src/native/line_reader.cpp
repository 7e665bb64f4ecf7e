#include "native/line_reader.h"

#include <cstring>
#include <span>
#include <utility>

namespace vantorelle::native {

LineReader::LineReader(HyperLogLogPlusPlus sketch, std::optional<CsvFormat> csv)
    : sketch_(std::move(sketch)) {
  if (csv) {
    csv_.emplace(
        std::move(*csv),
        [](void* reader, const std::uint8_t* data, std::size_t size) {
          return static_cast<LineReader*>(reader)->add_value(data, size);
        },
        this);
  }
}

bool LineReader::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool LineReader::csv_failed() { return fail(csv_->error()); }

bool LineReader::add_hashes(std::span<const std::uint64_t> hashes) {
  Status added = sketch_.add_hashes(InputType::BYTES, hashes);
  if (added) return true;
  return fail("Vantorelle error: " + added.error().display());
}

bool LineReader::flush() {
  if (!error_.empty()) return false;
  if (pending_size_ == 0) return true;
  const std::size_t size = pending_size_;
  pending_size_ = 0;
  return add_hashes(std::span<const std::uint64_t>(pending_.data(), size));
}

bool LineReader::feed(const std::uint8_t* data, std::size_t size) {
  if (!error_.empty()) return false;
  if (!csv_) return feed_lines(data, size);
  return csv_->feed(data, size) || csv_failed();
}

bool LineReader::add_all(const std::vector<std::uint64_t>& hashes) {
  if (hashes.empty()) return true;
  values_ += hashes.size();
  return add_hashes(std::span<const std::uint64_t>(hashes));
}

bool LineReader::feed_lines(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* p = data;
  const std::uint8_t* const end = data + size;
  if (!partial_.empty()) {
    const auto* newline = static_cast<const std::uint8_t*>(std::memchr(p, '\n', size));
    if (newline == nullptr) {
      partial_.append(reinterpret_cast<const char*>(p), size);
      return true;
    }
    partial_.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(newline - p));
    partial_.push_back('\n');
    const auto* line = reinterpret_cast<const std::uint8_t*>(partial_.data());
    if (!add_value(line, line_size(line, line + partial_.size() - 1))) return false;
    partial_.clear();
    p = newline + 1;
  }
  if (!flush()) return false;

  bool added = true;
  const std::uint8_t* tail = hasher_.hash(
      p, end,
      [](void* reader, const std::vector<std::uint64_t>& hashes) {
        return static_cast<LineReader*>(reader)->add_all(hashes);
      },
      this, &added);
  partial_.assign(reinterpret_cast<const char*>(tail), static_cast<std::size_t>(end - tail));
  return added;
}

bool LineReader::end_input() {
  if (!error_.empty()) return false;
  if (csv_) return csv_->end_input() || csv_failed();
  bool ended = true;
  if (!partial_.empty()) {
    ended = add_value(reinterpret_cast<const std::uint8_t*>(partial_.data()), partial_.size());
  }
  partial_.clear();
  return ended;
}

}  // namespace vantorelle::native
