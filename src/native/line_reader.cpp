#include "native/line_reader.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <span>
#include <system_error>
#include <utility>

#include "native/column_builder.h"
#include "native/errors.h"

namespace vantorelle::native {
namespace {

constexpr std::uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

// PartHasher ---------------------------------------------------------------

const std::uint8_t* PartHasher::hash_lines(const std::uint8_t* p, const std::uint8_t* end,
                                           std::vector<std::uint64_t>& hashes) {
  while (p < end) {
    const auto* newline =
        static_cast<const std::uint8_t*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (newline == nullptr) break;
    std::size_t length = static_cast<std::size_t>(newline - p);
    if (length != 0 && newline[-1] == '\r') --length;
    hashes.push_back(HyperLogLogPlusPlus::hash_bytes(ByteView(p, length)));
    p = newline + 1;
  }
  return p;
}

PartHasher::~PartHasher() {
  if (!helper_) return;
  if (helper_process_ != static_cast<long>(getpid())) {
    // Forked: the helper belongs to the parent process and was not copied.
    (void)helper_.release();
    return;
  }
  stopping_.store(true, std::memory_order_release);
  job_.fetch_add(1, std::memory_order_acq_rel);
  job_.notify_one();
  helper_->join();
}

void PartHasher::start_helper() {
  const long process = static_cast<long>(getpid());
  if (helper_ && helper_process_ == process) return;
  (void)helper_.release();  // after a fork, the parent's helper is not ours
  try {
    helper_ = std::make_unique<std::thread>(&PartHasher::run_helper, this);
    helper_process_ = process;
  } catch (const std::system_error&) {
    // No thread to be had: the calling thread hashes every part.
  }
}

void PartHasher::run_helper() {
  std::uint64_t seen = 0;
  for (;;) {
    job_.wait(seen, std::memory_order_acquire);
    seen = job_.load(std::memory_order_acquire);
    if (stopping_.load(std::memory_order_acquire)) return;
    while (work_one(seen)) {
    }
  }
}

bool PartHasher::work_one(std::uint64_t job) {
  std::uint64_t word = work_.load(std::memory_order_acquire);
  for (;;) {
    if ((word >> 16) != job) return false;
    const std::size_t count = (word >> 8) & 0xFF;
    const std::size_t next = word & 0xFF;
    if (next >= count) return false;
    if (work_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
      Part& part = parts_[next];
      part.rest = hash_lines(part.begin, part.end, part.hashes);
      hashed_[next].store(true, std::memory_order_release);
      done_.fetch_add(1, std::memory_order_acq_rel);
      done_.notify_one();
      return true;
    }
  }
}

const std::uint8_t* PartHasher::hash(const std::uint8_t* begin, const std::uint8_t* end,
                                     Consumer consume, void* context, bool* consumed) {
  // Parts of about kPartBytes, each ending just after a newline; the last
  // one runs to the end of the chunk and leaves its unfinished line.
  count_ = 0;
  const std::uint8_t* p = begin;
  while (p < end) {
    const std::uint8_t* cut = end;
    if (static_cast<std::size_t>(end - p) > 2 * kPartBytes && count_ + 1 < kMaxParts) {
      const auto* newline = static_cast<const std::uint8_t*>(
          std::memchr(p + kPartBytes, '\n', static_cast<std::size_t>(end - p) - kPartBytes));
      if (newline != nullptr) cut = newline + 1;
    }
    if (parts_.size() == count_) parts_.emplace_back();
    Part& part = parts_[count_];
    part.begin = p;
    part.end = cut;
    part.hashes.clear();
    hashed_[count_].store(false, std::memory_order_relaxed);
    ++count_;
    p = cut;
  }
  *consumed = true;
  if (count_ == 0) return begin;
  if (count_ == 1) {
    const std::uint8_t* rest = hash_lines(begin, end, parts_[0].hashes);
    *consumed = consume(context, parts_[0].hashes);
    return rest;
  }

  start_helper();
  const std::uint64_t job = job_.load(std::memory_order_relaxed) + 1;
  done_.store(0, std::memory_order_relaxed);
  work_.store(job << 16 | static_cast<std::uint64_t>(count_) << 8, std::memory_order_release);
  job_.store(job, std::memory_order_release);
  job_.notify_one();
  // Hand on the next part in order when it is hashed; otherwise hash one,
  // or, when the helper holds every part left, wait for it.
  for (std::size_t next = 0; next < count_;) {
    const std::size_t done = done_.load(std::memory_order_acquire);
    if (hashed_[next].load(std::memory_order_acquire)) {
      if (*consumed) *consumed = consume(context, parts_[next].hashes);
      ++next;
    } else if (!work_one(job)) {
      done_.wait(done, std::memory_order_acquire);
    }
  }
  // Only the last part can end inside a line.
  return parts_[count_ - 1].rest;
}

// LineReader ---------------------------------------------------------------

bool LineReader::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool LineReader::flush() {
  if (!error_.empty()) return false;
  if (pending_size_ == 0) return true;
  Status added = sketch_.add_hashes(
      InputType::BYTES, std::span<const std::uint64_t>(pending_.data(), pending_size_));
  pending_size_ = 0;
  if (added) return true;
  return fail("Vantorelle error: " + added.error().display());
}

bool LineReader::feed(const std::uint8_t* data, std::size_t size) {
  if (!error_.empty()) return false;
  return source_.csv ? feed_csv(data, size) : feed_lines(data, size);
}

bool LineReader::add_all(const std::vector<std::uint64_t>& hashes) {
  if (hashes.empty()) return true;
  values_ += hashes.size();
  Status added = sketch_.add_hashes(InputType::BYTES, std::span<const std::uint64_t>(hashes));
  if (added) return true;
  return fail("Vantorelle error: " + added.error().display());
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
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    if (!add_value(reinterpret_cast<const std::uint8_t*>(partial_.data()), partial_.size())) {
      return false;
    }
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

bool LineReader::feed_csv(const std::uint8_t* data, std::size_t size) {
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
    if (bom_matched_ != 0 && !feed_csv_bytes(kByteOrderMark, bom_matched_)) return false;
  }
  return feed_csv_bytes(p, static_cast<std::size_t>(end - p));
}

bool LineReader::feed_csv_bytes(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    if (byte == '\n') ++line_;
    switch (state_) {
      case CsvState::Quoted:
        if (byte == '"') {
          state_ = CsvState::QuoteInQuoted;
        } else {
          append(byte);
        }
        continue;
      case CsvState::QuoteInQuoted:
        if (byte == '"') {  // a doubled quote
          append(byte);
          state_ = CsvState::Quoted;
          continue;
        }
        break;
      case CsvState::FieldStart:
        if (byte == '"') {
          state_ = CsvState::Quoted;
          record_empty_ = false;
          last_was_cr_ = false;
          continue;
        }
        break;
      case CsvState::Unquoted:
        break;
    }
    // Outside quotes.
    if (byte == ',') {
      record_empty_ = false;
      last_was_cr_ = false;
      if (!end_field()) return false;
      state_ = CsvState::FieldStart;
    } else if (byte == '\n') {
      if (record_empty_) {
        // A blank line is no record.
        reset_record();
        continue;
      }
      if (last_was_cr_ && collecting() && !text_.empty()) text_.pop_back();
      if (!end_field() || !end_record()) return false;
    } else {
      if (byte != '\r') record_empty_ = false;
      last_was_cr_ = byte == '\r';
      append(byte);
      state_ = CsvState::Unquoted;
    }
  }
  return true;
}

void LineReader::reset_record() {
  state_ = CsvState::FieldStart;
  field_ = 0;
  record_empty_ = true;
  last_was_cr_ = false;
  text_.clear();
  record_line_ = line_;
}

bool LineReader::end_field() {
  if (in_header_) {
    header_.push_back(std::move(text_));
  } else if (field_ == target_) {
    if (!add_value(reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size())) return false;
  }
  text_.clear();
  ++field_;
  return true;
}

bool LineReader::end_record() {
  if (in_header_) {
    in_header_ = false;
    if (!resolve_header()) return false;
  } else if (field_ <= target_) {
    ++short_rows_;
  }
  reset_record();
  return true;
}

bool LineReader::resolve_header() {
  if (source_.column_index) return true;
  for (std::size_t i = 0; i < header_.size(); ++i) {
    if (header_[i] == source_.column_name) {
      target_ = i;
      return true;
    }
  }
  std::string names;
  for (const std::string& name : header_) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return fail("no column \"" + source_.column_name + "\" in the header; its columns are: " + names);
}

void LineReader::start_input() {
  partial_.clear();
  input_started_ = false;
  bom_matched_ = 0;
  in_header_ = source_.csv && source_.header;
  header_.clear();
  target_ = source_.column_index ? *source_.column_index : SIZE_MAX;
  line_ = 1;
  reset_record();
}

bool LineReader::end_input() {
  if (!error_.empty()) return false;
  bool ended = true;
  if (!source_.csv) {
    if (!partial_.empty()) {
      ended = add_value(reinterpret_cast<const std::uint8_t*>(partial_.data()), partial_.size());
    }
  } else {
    if (!input_started_ && bom_matched_ != 0) {
      input_started_ = true;
      ended = feed_csv_bytes(kByteOrderMark, bom_matched_);
    }
    if (ended && (state_ == CsvState::Quoted)) {
      ended = fail("a quoted field opened on line " + std::to_string(record_line_) +
                   " is not closed before the end of the input");
    }
    // The last record needs no line ending.
    if (ended && !record_empty_) {
      if (last_was_cr_ && collecting() && !text_.empty()) text_.pop_back();
      ended = end_field() && end_record();
    }
  }
  start_input();
  return ended;
}

namespace {

constexpr const char kLineSketcherDoc[] =
    "LineSketcher(normal_precision, sparse_precision, csv_column=None, header=True)\n--\n\n"
    "Hashes the lines of byte streams, or one column of CSV records, into a private\n"
    "text-or-bytes sketch. sparse_precision 0 means no sparse phase. csv_column is\n"
    "None (whole lines), an int (0-based position) or bytes (a header name, which\n"
    "needs header=True).\n\n"
    "feed(data) reads the next chunk of the current input (any bytes-like object);\n"
    "a line cut by the chunk's end is completed by the next chunk. end_input() ends\n"
    "the current input. finish() ends it too and returns (serialised sketch, values\n"
    "read, rows skipped for lacking the column).";

struct LineSketcherObject {
  PyObject_HEAD
  LineReader* reader;
  bool busy;  // a call runs without the GIL: no other call may enter
};

LineSketcherObject* as_sketcher(PyObject* self) {
  return reinterpret_cast<LineSketcherObject*>(self);
}

// Raises unless the sketcher is free; marks it busy for the scope.
class Busy {
 public:
  explicit Busy(LineSketcherObject* self) : self_(self->busy ? nullptr : self) {
    if (self_ == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "LineSketcher is in use by another thread");
    } else {
      self_->busy = true;
    }
  }
  ~Busy() {
    if (self_ != nullptr) self_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  explicit operator bool() const { return self_ != nullptr; }

 private:
  LineSketcherObject* self_;
};

// Holds a contiguous buffer view for its scope.
class BufferHold {
 public:
  BufferHold() = default;
  ~BufferHold() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferHold(const BufferHold&) = delete;
  BufferHold& operator=(const BufferHold&) = delete;

  bool get(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The message may quote input bytes that are not UTF-8.
PyObject* raise_reader_error(const LineReader& reader) {
  const std::string& error = reader.error();
  PyObject* message = PyUnicode_DecodeUTF8(error.data(), static_cast<Py_ssize_t>(error.size()),
                                           "backslashreplace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* line_sketcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"normal_precision", "sparse_precision", "csv_column",
                                     "header", nullptr};
    int normal_precision = 0;
    int sparse_precision = 0;
    PyObject* column = Py_None;
    int header = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|Op:LineSketcher",
                                     const_cast<char**>(keywords), &normal_precision,
                                     &sparse_precision, &column, &header)) {
      return nullptr;
    }
    LineSource source;
    if (column != Py_None) {
      source.csv = true;
      source.header = header != 0;
      if (PyLong_Check(column)) {
        const Py_ssize_t index = PyLong_AsSsize_t(column);
        if (index == -1 && PyErr_Occurred()) return nullptr;
        if (index < 0) {
          PyErr_SetString(PyExc_ValueError, "csv_column must not be negative");
          return nullptr;
        }
        source.column_index = static_cast<std::size_t>(index);
      } else if (PyBytes_Check(column)) {
        if (!source.header) {
          PyErr_SetString(PyExc_ValueError, "a column name needs header=True");
          return nullptr;
        }
        source.column_name.assign(PyBytes_AS_STRING(column),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(column)));
      } else {
        PyErr_Format(PyExc_TypeError, "csv_column must be None, int or bytes, not %s",
                     Py_TYPE(column)->tp_name);
        return nullptr;
      }
    }
    Result<HyperLogLogPlusPlus> sketch =
        HyperLogLogPlusPlus::new_string_or_bytes(normal_precision, sparse_precision);
    if (!sketch) {
      raise_error(sketch.error());
      return nullptr;
    }
    auto reader = std::make_unique<LineReader>(std::move(sketch).value(), std::move(source));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_sketcher(self)->reader = reader.release();
    as_sketcher(self)->busy = false;
    return self;
  });
}

void line_sketcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_sketcher(self)->reader;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* line_sketcher_feed(PyObject* self_object, PyObject* data) {
  return guarded([&]() -> PyObject* {
    LineSketcherObject* self = as_sketcher(self_object);
    Busy busy(self);
    if (!busy) return nullptr;
    BufferHold view;
    if (!view.get(data)) return nullptr;
    bool fed = false;
    {
      WithoutGil released;
      fed = self->reader->feed(static_cast<const std::uint8_t*>(view->buf),
                               static_cast<std::size_t>(view->len));
    }
    if (!fed) return raise_reader_error(*self->reader);
    Py_RETURN_NONE;
  });
}

PyObject* line_sketcher_end_input(PyObject* self_object, PyObject*) {
  return guarded([&]() -> PyObject* {
    LineSketcherObject* self = as_sketcher(self_object);
    Busy busy(self);
    if (!busy) return nullptr;
    if (!self->reader->end_input()) return raise_reader_error(*self->reader);
    Py_RETURN_NONE;
  });
}

PyObject* line_sketcher_finish(PyObject* self_object, PyObject*) {
  return guarded([&]() -> PyObject* {
    LineSketcherObject* self = as_sketcher(self_object);
    Busy busy(self);
    if (!busy) return nullptr;
    LineReader& reader = *self->reader;
    if (!reader.end_input() || !reader.flush()) return raise_reader_error(reader);
    Result<Bytes> encoded = reader.sketch().to_bytes();
    if (!encoded) {
      raise_error(encoded.error());
      return nullptr;
    }
    return Py_BuildValue("(y#KK)", reinterpret_cast<const char*>(encoded->data()),
                         static_cast<Py_ssize_t>(encoded->size()),
                         static_cast<unsigned long long>(reader.values()),
                         static_cast<unsigned long long>(reader.short_rows()));
  });
}

PyObject* line_sketcher_values(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_sketcher(self)->reader->values());
}

PyMethodDef line_sketcher_methods[] = {
    {"feed", line_sketcher_feed, METH_O, "feed($self, data, /)\n--\n\nRead the next chunk of the input."},
    {"end_input", line_sketcher_end_input, METH_NOARGS,
     "end_input($self, /)\n--\n\nEnd the current input; its last line needs no newline."},
    {"finish", line_sketcher_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nEnd the input; return (sketch bytes, values read, rows skipped)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef line_sketcher_getset[] = {
    {"values", line_sketcher_values, nullptr, "The number of values read so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot line_sketcher_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(line_sketcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(line_sketcher_dealloc)},
    {Py_tp_methods, line_sketcher_methods},
    {Py_tp_getset, line_sketcher_getset},
    {Py_tp_doc, const_cast<char*>(kLineSketcherDoc)},
    {0, nullptr},
};

PyType_Spec line_sketcher_spec = {
    "vantorelle._native.LineSketcher",
    sizeof(LineSketcherObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    line_sketcher_slots,
};

}  // namespace

int add_line_sketcher(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &line_sketcher_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "LineSketcher", type);
  Py_DECREF(type);
  return added;
}

}  // namespace vantorelle::native
