#include "native/line_splitter.h"

#include <algorithm>
#include <utility>

namespace vantorelle::native {
namespace {

constexpr std::uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

std::string quoted_name(const std::string& name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          quoted += "\\x";
          quoted += kHex[byte >> 4];
          quoted += kHex[byte & 0xF];
        } else {
          quoted += c;  // bytes above 0x7F are shown as the message is decoded
        }
    }
  }
  quoted += '"';
  return quoted;
}

bool CsvSplitter::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool CsvSplitter::feed(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* p = data;
  const std::uint8_t* const end = data + size;
  // A byte order mark may itself be cut by a chunk boundary.
  while (!input_started_ && p < end) {
    if (*p == kByteOrderMark[bom_matched_]) {
      ++p;
      if (++bom_matched_ == sizeof kByteOrderMark) input_started_ = true;
      continue;
    }
    input_started_ = true;
    // Not a mark after all: its first bytes were content.
    if (bom_matched_ != 0 && !feed_bytes(kByteOrderMark, bom_matched_)) return false;
  }
  return feed_bytes(p, static_cast<std::size_t>(end - p));
}

bool CsvSplitter::feed_bytes(const std::uint8_t* data, std::size_t size) {
  const auto delimiter = static_cast<std::uint8_t>(format_.delimiter);
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    if (byte == '\n') ++line_;
    switch (state_) {
      case State::Quoted:
        if (byte == '"') {
          state_ = State::QuoteInQuoted;
        } else {
          append(byte);
        }
        continue;
      case State::QuoteInQuoted:
        if (byte == '"') {  // a doubled quote
          append(byte);
          state_ = State::Quoted;
          continue;
        }
        break;
      case State::FieldStart:
        if (byte == '"') {
          state_ = State::Quoted;
          quoted_ = true;
          record_empty_ = false;
          last_was_cr_ = false;
          continue;
        }
        break;
      case State::Unquoted:
        break;
    }
    // Outside quotes.
    if (byte == delimiter) {
      record_empty_ = false;
      last_was_cr_ = false;
      if (!end_field()) return false;
      state_ = State::FieldStart;
    } else if (byte == '\n') {
      if (record_empty_) {
        // A blank line is no record.
        reset_record();
        continue;
      }
      if (!end_line()) return false;
    } else {
      if (byte != '\r') record_empty_ = false;
      last_was_cr_ = byte == '\r';
      append(byte);
      state_ = State::Unquoted;
    }
  }
  return true;
}

void CsvSplitter::reset_record() {
  state_ = State::FieldStart;
  quoted_ = false;
  field_ = 0;
  record_empty_ = true;
  last_was_cr_ = false;
  text_.clear();
  record_line_ = line_;
}

// Ends the record at a line ending, or at the end of the input.
bool CsvSplitter::end_line() {
  if (last_was_cr_ && collecting() && !text_.empty()) text_.pop_back();
  return end_field() && end_record();
}

bool CsvSplitter::end_field() {
  bool taken = true;
  if (in_header_) {
    header_.push_back(std::move(text_));
  } else if (field_ == target_) {
    if (format_.empty_as_null && text_.empty() && !quoted_) {
      ++nulls_;
    } else {
      taken = sink_(context_, reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size());
    }
  }
  text_.clear();
  quoted_ = false;
  ++field_;
  return taken;
}

bool CsvSplitter::end_record() {
  if (in_header_) {
    in_header_ = false;
    if (!resolve_header()) return false;
  } else if (field_ <= target_) {
    ++short_rows_;
  }
  reset_record();
  return true;
}

bool CsvSplitter::resolve_header() {
  if (format_.column_index) return true;
  for (std::size_t i = 0; i < header_.size(); ++i) {
    if (header_[i] != format_.column_name) continue;
    // (two columns of one name: which one is meant is not for us to guess)
    const auto again = std::find(header_.begin() + static_cast<std::ptrdiff_t>(i) + 1, header_.end(),
                                 format_.column_name);
    if (again != header_.end()) {
      return fail("the header names column " + quoted_name(format_.column_name) + " more than once (columns " +
                  std::to_string(i + 1) + " and " + std::to_string(again - header_.begin() + 1) + ")");
    }
    target_ = i;
    return true;
  }
  std::string names;
  for (const std::string& name : header_) {
    if (!names.empty()) names += ", ";
    names += quoted_name(name);
  }
  return fail("no column " + quoted_name(format_.column_name) +
              " in the header; its columns are: " + names);
}

void CsvSplitter::start_input() {
  input_started_ = false;
  bom_matched_ = 0;
  in_header_ = format_.header;
  header_.clear();
  target_ = format_.column_index ? *format_.column_index : SIZE_MAX;
  line_ = 1;
  reset_record();
}

bool CsvSplitter::end_input() {
  bool ended = true;
  if (!input_started_ && bom_matched_ != 0) {
    input_started_ = true;
    ended = feed_bytes(kByteOrderMark, bom_matched_);
  }
  if (ended && state_ == State::Quoted) {
    ended = fail("a quoted field opened on line " + std::to_string(record_line_) +
                 " is not closed before the end of the input");
  }
  // The last record needs no line ending.
  if (ended && !record_empty_) ended = end_line();
  start_input();
  return ended;
}

}  // namespace vantorelle::native
