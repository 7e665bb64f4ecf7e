// The values of byte streams: their lines, or one column of their CSV records.
//
// Lines. A line is the bytes before a "\n", without that "\n" and without a
// "\r" just before it. The bytes after the last "\n" of an input form one more
// line when there are any (a last line needs no newline); an empty input has
// no lines. An empty line is a value: the empty byte string.
//
// CSV records (RFC 4180, with a delimiter of choice: ',' by default, '\t' for
// TSV). Records end with "\n" or "\r\n". A field that starts with '"' is
// quoted: it runs to the next lone '"', a doubled '""' inside it stands for
// one '"', and delimiters, "\r" and "\n" inside it are content. Bytes after a
// closing quote are appended to the field as they are, as common CSV readers
// do. A blank line is no record. A record with fewer fields than the column
// is skipped and counted in `short_rows`. With a header, the first record of
// each input names the columns and is not a value. A UTF-8 byte order mark at
// the start of an input is dropped. A quoted field left open at the end of an
// input is an error (an unbalanced quote would otherwise swallow the rest of
// the input). With `empty_as_null`, an empty unquoted field is a null: no
// value, counted in `nulls` (a quoted "" stays the empty string).
//
// Both splitters take their input in chunks of any size; a value cut by a
// chunk boundary is completed by the next chunk, so the values do not depend
// on how the stream was cut.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantorelle::native {

// The size of the line that starts at `begin` and ends at the "\n" at
// `newline`, without a "\r" before that "\n".
inline std::size_t line_size(const std::uint8_t* begin, const std::uint8_t* newline) {
  std::size_t size = static_cast<std::size_t>(newline - begin);
  if (size != 0 && newline[-1] == '\r') --size;
  return size;
}

// Calls `on_line(data, size)` for each complete line of [p, end); returns the
// start of the line left unfinished at `end` (or `end`). Short lines are the
// common case: sixteen bytes are searched at a time and every newline among
// them is taken, rather than one search call per line.
template <class OnLine>
const std::uint8_t* split_lines(const std::uint8_t* p, const std::uint8_t* end, OnLine&& on_line) {
  const std::uint8_t* line = p;
#if defined(__SSE2__)
  const __m128i newlines = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newlines)));
    for (; found != 0; found &= found - 1) {
      const std::uint8_t* newline = p + std::countr_zero(found);
      on_line(line, line_size(line, newline));
      line = newline + 1;
    }
  }
#endif
  while (p < end) {
    const auto* newline =
        static_cast<const std::uint8_t*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (newline == nullptr) break;
    on_line(line, line_size(line, newline));
    line = p = newline + 1;
  }
  return line;
}

// Receives each value; false stops the splitting (the receiver keeps the
// reason).
using ValueSink = bool (*)(void* context, const std::uint8_t* data, std::size_t size);

// Which column of CSV records to read, and how the records are written.
struct CsvFormat {
  char delimiter = ',';
  // Whether each input starts with a header record.
  bool header = true;
  // The column, by 0-based position or (with a header) by name.
  std::optional<std::size_t> column_index;
  std::string column_name;
  bool empty_as_null = false;
};

class CsvSplitter {
 public:
  CsvSplitter(CsvFormat format, ValueSink sink, void* context)
      : format_(std::move(format)), sink_(sink), context_(context) {
    start_input();
  }

  // Reads the next bytes of the current input. False when the input cannot be
  // read as asked (a header without the named column, an unclosed quote) or
  // the sink stopped; `error()` then says why (empty when the sink stopped).
  bool feed(const std::uint8_t* data, std::size_t size);
  // Ends the current input; the next bytes start a new one, with its own
  // header. Same result as `feed`.
  bool end_input();

  const std::string& error() const { return error_; }
  std::uint64_t short_rows() const { return short_rows_; }
  std::uint64_t nulls() const { return nulls_; }

 private:
  enum class State : std::uint8_t { FieldStart, Unquoted, Quoted, QuoteInQuoted };

  bool feed_bytes(const std::uint8_t* data, std::size_t size);
  bool collecting() const { return in_header_ || field_ == target_; }
  void append(std::uint8_t byte) {
    if (collecting()) text_.push_back(static_cast<char>(byte));
  }
  bool end_field();
  bool end_record();
  bool end_line();
  bool resolve_header();
  bool fail(std::string message);
  void start_input();
  void reset_record();

  CsvFormat format_;
  ValueSink sink_;
  void* context_;
  std::string error_;
  std::uint64_t short_rows_ = 0;
  std::uint64_t nulls_ = 0;

  bool input_started_ = false;   // a byte of this input was seen (for the byte order mark)
  std::size_t bom_matched_ = 0;  // bytes of a byte order mark seen at the input's start
  bool in_header_ = false;
  State state_ = State::FieldStart;
  bool quoted_ = false;            // the current field started with a quote
  std::size_t field_ = 0;          // index of the current field in its record
  std::size_t target_ = SIZE_MAX;  // the column's index, once known
  bool record_empty_ = true;       // no byte of the record seen but a trailing "\r"
  bool last_was_cr_ = false;       // the last byte was an unquoted "\r"
  std::uint64_t line_ = 1;         // the line of the input being read
  std::uint64_t record_line_ = 1;  // the line the current record started on
  std::string text_;               // the current field, when it is collected
  std::vector<std::string> header_;
};

// `name` between double quotes, with '"', '\\' and control bytes escaped, so
// that a name ending in "\r" or holding odd bytes reads unambiguously.
std::string quoted_name(const std::string& name);

}  // namespace vantorelle::native
