// LineReader: the lines of byte streams, or one column of their CSV records,
// hashed into an aggregator of its own.
//
// The input arrives in chunks of any size; a line or record cut by a chunk
// boundary is carried over to the next chunk, so the values and the sketch do
// not depend on how the stream was cut. Several inputs (files) may be read one
// after the other: `end_input` ends the current one.
//
// Lines. A line is the bytes before a "\n", without that "\n" and without a
// "\r" just before it. The bytes after the last "\n" of an input form one more
// line when there are any (a last line needs no newline); an empty input has
// no lines. An empty line is a value: the empty byte string.
//
// CSV records (RFC 4180). Fields are separated by ',' and records end with
// "\n" or "\r\n". A field that starts with '"' is quoted: it runs to the next
// lone '"', a doubled '""' inside it stands for one '"', and commas, "\r" and
// "\n" inside it are content. Bytes after a closing quote are appended to the
// field as they are, as common CSV readers do. A blank line is no record. A
// record with fewer fields than the column is skipped and counted in
// `short_rows`. With a header, the first record of each input names the
// columns and is not a value. A UTF-8 byte order mark at the start of an
// input is dropped. A quoted field left open at the end of an input is an
// error (an unbalanced quote would otherwise swallow the rest of the input).
//
// Every value is hashed as `add` of the same bytes would hash it and added as
// a byte string to a text-or-bytes aggregator, in blocks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hll/hyperloglogplusplus.h"

namespace vantorelle::native {

// Hashes the lines of a large chunk on the calling thread and one helper
// thread. The chunk is cut at newlines into parts that both threads take in
// turn, so the caller never waits for a helper that a busy machine schedules
// late: it waits only for parts the helper has already taken. The caller
// also hands each hashed part, in line order, to a consumer (the aggregator
// add), while the helper goes on hashing later parts.
class PartHasher {
 public:
  PartHasher() = default;
  ~PartHasher();
  PartHasher(const PartHasher&) = delete;
  PartHasher& operator=(const PartHasher&) = delete;

  // Called on the calling thread with each part's hashes, in order; false
  // stops the calls (the parts are still hashed).
  using Consumer = bool (*)(void* context, const std::vector<std::uint64_t>& hashes);

  // Hashes the complete lines of [begin, end) and passes their hashes to
  // `consume`; returns the start of the line left unfinished at `end`, and
  // whether every call of `consume` returned true.
  const std::uint8_t* hash(const std::uint8_t* begin, const std::uint8_t* end, Consumer consume,
                           void* context, bool* consumed);

  // Hashes the complete lines of [p, end) into `hashes`; returns the start of
  // the line left unfinished at `end`.
  static const std::uint8_t* hash_lines(const std::uint8_t* p, const std::uint8_t* end,
                                        std::vector<std::uint64_t>& hashes);

 private:
  static constexpr std::size_t kPartBytes = 128 * 1024;
  static constexpr std::size_t kMaxParts = 255;

  struct Part {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
    const std::uint8_t* rest = nullptr;  // where its unfinished line starts (or `end`)
    std::vector<std::uint64_t> hashes;
  };

  void start_helper();
  void run_helper();
  // Takes and hashes one part of job `job`; false when none is left.
  bool work_one(std::uint64_t job);

  std::vector<Part> parts_;
  std::array<std::atomic<bool>, kMaxParts> hashed_{};  // per part of the current job
  std::size_t count_ = 0;
  // The job number, the part count and the next part to take, as one word
  // (job << 16 | count << 8 | next), so that a part is taken only from the
  // job it belongs to.
  std::atomic<std::uint64_t> work_{0};
  std::atomic<std::uint64_t> job_{0};  // the helper wakes when it changes
  std::atomic<std::size_t> done_{0};   // parts of the current job hashed
  std::atomic<bool> stopping_{false};
  std::unique_ptr<std::thread> helper_;
  long helper_process_ = 0;  // the process that started the helper (a fork has none)
};

// Which values a LineReader reads.
struct LineSource {
  bool csv = false;
  // CSV: whether each input starts with a header record.
  bool header = true;
  // CSV: the column, by 0-based position or by header name.
  std::optional<std::size_t> column_index;
  std::string column_name;
};

class LineReader {
 public:
  LineReader(HyperLogLogPlusPlus sketch, LineSource source)
      : sketch_(std::move(sketch)), source_(std::move(source)) {
    start_input();
  }

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
  std::uint64_t short_rows() const { return short_rows_; }
  const HyperLogLogPlusPlus& sketch() const { return sketch_; }

 private:
  enum class CsvState : std::uint8_t { FieldStart, Unquoted, Quoted, QuoteInQuoted };

  bool feed_lines(const std::uint8_t* data, std::size_t size);
  bool add_all(const std::vector<std::uint64_t>& hashes);
  bool feed_csv(const std::uint8_t* data, std::size_t size);
  bool feed_csv_bytes(const std::uint8_t* data, std::size_t size);
  void start_input();
  void reset_record();

  bool add_value(const std::uint8_t* data, std::size_t size) {
    pending_[pending_size_++] = HyperLogLogPlusPlus::hash_bytes(ByteView(data, size));
    ++values_;
    if (pending_size_ == pending_.size()) return flush();
    return true;
  }

  // CSV helpers.
  bool collecting() const { return in_header_ || field_ == target_; }
  void append(std::uint8_t byte) {
    if (collecting()) text_.push_back(static_cast<char>(byte));
  }
  bool end_field();
  bool end_record();
  bool resolve_header();
  bool fail(std::string message);

  HyperLogLogPlusPlus sketch_;
  LineSource source_;
  std::string error_;
  std::uint64_t values_ = 0;
  std::uint64_t short_rows_ = 0;

  static constexpr std::size_t kBlock = 1024;
  std::array<std::uint64_t, kBlock> pending_{};
  std::size_t pending_size_ = 0;

  // Lines: the start of a line cut by the end of the last chunk, and the
  // hashing of the lines of large chunks.
  std::string partial_;
  PartHasher hasher_;

  // CSV: the position in the current input and record.
  bool input_started_ = false;   // a byte of this input was seen (for the byte order mark)
  std::size_t bom_matched_ = 0;  // bytes of a byte order mark seen at the input's start
  bool in_header_ = false;
  CsvState state_ = CsvState::FieldStart;
  std::size_t field_ = 0;         // index of the current field in its record
  std::size_t target_ = SIZE_MAX;  // the column's index, once known
  bool record_empty_ = true;      // no byte of the record seen but a trailing "\r"
  bool last_was_cr_ = false;      // the last byte was an unquoted "\r"
  std::uint64_t line_ = 1;         // the line of the input being read
  std::uint64_t record_line_ = 1;  // the line the current record started on
  std::string text_;              // the current field, when it is collected
  std::vector<std::string> header_;
};

// Adds the LineSketcher type to the module (its exec slot); -1 with an
// exception set on failure.
int add_line_sketcher(PyObject* module);

}  // namespace vantorelle::native
