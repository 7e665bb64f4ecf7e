// LineReader: the lines of byte streams, or one column of their CSV records,
// hashed into an aggregator of its own.
//
// The values are those of line_splitter.h; several inputs (files) may be read
// one after the other: `end_input` ends the current one. Every value is
// hashed as `add` of the same bytes would hash it and added as a byte string
// to a text-or-bytes aggregator, in blocks. Large chunks of lines are hashed
// on two threads (part_hasher.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "native/line_splitter.h"
#include "native/part_hasher.h"

namespace vantorelle::native {

class LineReader {
 public:
  // Whole lines when `csv` is empty, else that column of CSV records.
  LineReader(HyperLogLogPlusPlus sketch, std::optional<CsvFormat> csv);

  // Reads the next bytes of the current input. False when the input cannot be
  // read as asked (a header without the named column, an aggregator failure);
  // `error()` then says why and the reader takes no more input.
  bool feed(const std::uint8_t* data, std::size_t size);
  // Ends the current input; the next bytes start a new one (with its own
  // header in CSV). Same result as `feed`.
  bool end_input();
  // Adds the values still pending to the aggregator.
  bool flush();

  const std::string& error() const { return error_; }
  std::uint64_t values() const { return values_; }
  std::uint64_t short_rows() const { return csv_ ? csv_->short_rows() : 0; }
  std::uint64_t nulls() const { return csv_ ? csv_->nulls() : 0; }
  const HyperLogLogPlusPlus& sketch() const { return sketch_; }

 private:
  bool feed_lines(const std::uint8_t* data, std::size_t size);
  bool add_all(const std::vector<std::uint64_t>& hashes);
  bool add_value(const std::uint8_t* data, std::size_t size) {
    pending_[pending_size_++] = HyperLogLogPlusPlus::hash_bytes(ByteView(data, size));
    ++values_;
    if (pending_size_ == pending_.size()) return flush();
    return true;
  }
  bool add_hashes(std::span<const std::uint64_t> hashes);
  bool fail(std::string message);
  // The splitter's error, once it has stopped.
  bool csv_failed();

  HyperLogLogPlusPlus sketch_;
  std::string error_;
  std::uint64_t values_ = 0;

  static constexpr std::size_t kBlock = 1024;
  std::array<std::uint64_t, kBlock> pending_{};
  std::size_t pending_size_ = 0;

  // Lines: the start of a line cut by the end of the last chunk, and the
  // hashing of the lines of large chunks.
  std::string partial_;
  PartHasher hasher_;

  std::optional<CsvSplitter> csv_;
};

}  // namespace vantorelle::native
