// The estimates of a column of serialised sketches. The column is gathered
// first (GIL held: Arrow arrays as they are, other items as row views);
// then, with the GIL released, every row passes the validating door
// (validate_state, as `vantorelle.validate`; the registers of a normal
// sketch are checked and summarised in place) and is estimated as
// `HyperLogLogPlusPlus.from_bytes(row).result()` would, straight into the
// result's column. Several threads take contiguous ranges of rows; the first
// corrupt row of the column is the one reported, whatever the thread count.
#include "native/sketch_estimates.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hll/sketch_estimates.h"
#include "hll/hyperloglogplusplus.h"
#include "native/arrow_export.h"
#include "native/column_builder.h"
#include "native/errors.h"
#include "native/sketch_column.h"
#include "state/state_message.h"
#include "state/state_validation.h"
#include "utils/parallel.h"

namespace vantorelle::native {

const char kEstimatesDoc[] =
    "estimates(column, threads=1, method=0, confidence=None)\n--\n\n"
    "The estimates of a column of serialised sketches, as an int64 column (an\n"
    "ArrowExport, also a writable buffer of native int64 values): one per row, 0 for\n"
    "a null row. method 0 is result(), 1 the improved raw estimator, 2 maximum\n"
    "likelihood. With a confidence (0 < c < 1), a tuple (estimates, lower, upper) of\n"
    "such columns, the bounds as bounds() gives them.\n\n"
    "column is an Arrow binary, large_binary or binary_view array or stream\n"
    "(__arrow_c_array__ / __arrow_c_stream__), or an iterable of bytes-like objects\n"
    "and None. Each row is checked as validate() checks it; a corrupt row raises\n"
    "ValueError naming the row. threads (None: every core) share the rows.";

namespace {

// What each row gives: its estimate by `method`, and its bounds when a
// confidence is given.
struct RowRequest {
  EstimateMethod method = EstimateMethod::Default;
  std::optional<double> confidence;
};

// The three output columns (lower and upper only with a confidence).
struct Outputs {
  std::int64_t* estimates = nullptr;
  std::int64_t* lower = nullptr;
  std::int64_t* upper = nullptr;
};

void put(std::int64_t* column, std::size_t row, std::int64_t value) { column[row] = value; }

// `view` is the decoding's room, reused from row to row.
Status estimate_serialised(ByteView bytes, const RowRequest& request, std::size_t row, const Outputs& out,
                           ViewEstimator& estimator, SketchStateView& view) {
  Result<ViewEstimator::Estimate> estimate = estimator.estimate_message(bytes, view, request.method, request.confidence);
  if (!estimate) return estimate.take_error();
  put(out.estimates, row, estimate->estimate);
  if (request.confidence) {
    put(out.lower, row, estimate->bounds.lower);
    put(out.upper, row, estimate->bounds.upper);
  }
  return {};
}

// What a range of rows ended with: all estimated, or its first corrupt row,
// or an exception escaping the core.
struct RangeOutcome {
  std::int64_t corrupt_row = -1;
  std::string reason;
  std::exception_ptr failure;
};

void estimate_range(const SketchColumn& rows, std::size_t begin, std::size_t end, const RowRequest& request,
                    const Outputs& out, RangeOutcome& outcome) {
  try {
    ViewEstimator estimator;
    SketchStateView view;
    rows.for_each_row(
        begin, end,
        [&](std::size_t i, ByteView bytes) {
          Status done = estimate_serialised(bytes, request, i, out, estimator, view);
          if (done) [[likely]] return true;
          outcome.corrupt_row = static_cast<std::int64_t>(i);
          outcome.reason = done.error().display();
          return false;
        },
        [&](std::size_t i) {
          put(out.estimates, i, 0);
          if (request.confidence) {
            put(out.lower, i, 0);
            put(out.upper, i, 0);
          }
          return true;
        });
  } catch (...) {
    outcome.failure = std::current_exception();
  }
}

// threads: None (every core) or an int >= 1.
bool thread_count(PyObject* threads, std::size_t* out) {
  if (threads == Py_None) {
    *out = std::max(1u, std::thread::hardware_concurrency());
    return true;
  }
  if (!PyLong_Check(threads) || PyBool_Check(threads)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                 Py_TYPE(threads)->tp_name);
    return false;
  }
  const long long count = PyLong_AsLongLong(threads);
  if (count == -1 && PyErr_Occurred()) return false;
  if (count < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %lld", count);
    return false;
  }
  *out = static_cast<std::size_t>(std::min<long long>(count, 1024));
  return true;
}

bool read_column(PyObject* column, SketchColumn& rows) {
  if (PyBytes_Check(column) || PyByteArray_Check(column) || PyUnicode_Check(column)) {
    PyErr_Format(PyExc_TypeError,
                 "expected a column of serialised sketches, not a single %.200s; wrap it in a "
                 "list",
                 Py_TYPE(column)->tp_name);
    return false;
  }
  bool taken = false;
  if (!read_arrow_sketch_column(column, rows, &taken)) return false;
  return taken || read_iterable_sketch_column(column, rows);
}

// Rows a thread takes at the least: below that, starting it costs more than
// it saves.
constexpr std::size_t MIN_ROWS_PER_THREAD = 64;

}  // namespace

PyObject* estimates(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"column", "threads", "method", "confidence", nullptr};
    PyObject* column = nullptr;
    PyObject* threads_argument = nullptr;
    int method = 0;
    PyObject* confidence = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OiO:estimates", const_cast<char**>(keywords), &column,
                                     &threads_argument, &method, &confidence)) {
      return nullptr;
    }
    std::size_t threads = 1;
    if (threads_argument != nullptr && !thread_count(threads_argument, &threads)) return nullptr;
    RowRequest request;
    if (method < 0 || method > 2) {
      raise_sketch_error(ErrorClass::InvalidInput, "method must be 0 (default), 1 (improved) or 2 (ml)");
      return nullptr;
    }
    request.method = static_cast<EstimateMethod>(method);
    if (confidence != Py_None) {
      const double value = PyFloat_AsDouble(confidence);
      if (value == -1.0 && PyErr_Occurred()) return nullptr;
      if (!(value > 0.0 && value < 1.0)) {
        raise_sketch_error_format(ErrorClass::InvalidInput, "confidence must lie strictly between 0 and 1, not %R",
                                  confidence);
        return nullptr;
      }
      request.confidence = value;
    }
    SketchColumn rows;
    if (!read_column(column, rows)) return nullptr;
    const std::size_t n = rows.size();
    Outputs out;
    python::OwnedRef estimates_column(new_int64_column(module, n, &out.estimates));
    if (!estimates_column) return nullptr;
    python::OwnedRef lower_column;
    python::OwnedRef upper_column;
    if (request.confidence) {
      lower_column.reset(new_int64_column(module, n, &out.lower));
      if (!lower_column) return nullptr;
      upper_column.reset(new_int64_column(module, n, &out.upper));
      if (!upper_column) return nullptr;
    }

    threads = std::max<std::size_t>(1, std::min(threads, n / MIN_ROWS_PER_THREAD));
    std::vector<RangeOutcome> outcomes(threads);
    {
      WithoutGil released;
      const std::size_t step = (n + threads - 1) / threads;
      run_parallel(static_cast<int>(threads), [&](int part) {
        const auto t = static_cast<std::size_t>(part);
        const std::size_t begin = std::min(n, t * step);
        estimate_range(rows, begin, std::min(n, begin + step), request, out, outcomes[t]);
      });
    }
    // Ranges are in row order, so the first one that failed holds the
    // column's first failure.
    for (const RangeOutcome& outcome : outcomes) {
      if (outcome.failure) std::rethrow_exception(outcome.failure);
      if (outcome.corrupt_row >= 0) {
        raise_sketch_error(ErrorClass::Corrupt,
                           "row " + std::to_string(outcome.corrupt_row) + ": " + outcome.reason);
        return nullptr;
      }
    }
    if (!request.confidence) return estimates_column.release();
    return PyTuple_Pack(3, estimates_column.get(), lower_column.get(), upper_column.get());
  });
}

}  // namespace vantorelle::native
