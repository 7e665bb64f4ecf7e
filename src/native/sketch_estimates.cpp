// The estimates of a column of serialised sketches. The column is gathered
// into row views first (GIL held); then, with the GIL released, every row
// passes the validating door (validate_state, as `vantorelle.validate`; the
// registers of a normal sketch are checked and summarised in place) and is
// estimated as `HyperLogLogPlusPlus.from_bytes(row).result()` would,
// straight into the result's bytes. Several threads take contiguous ranges
// of rows; the first corrupt row of the column is the one reported, whatever
// the thread count.
#include "native/sketch_estimates.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "hll/estimate.h"
#include "hll/hyperloglogplusplus.h"
#include "native/column_builder.h"
#include "native/errors.h"
#include "native/sketch_column.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle::native {

const char kEstimatesDoc[] =
    "estimates(column, threads=1)\n--\n\n"
    "The estimates of a column of serialised sketches, as native int64 values in a\n"
    "bytes object: one per row, 0 for a null row.\n\n"
    "column is an Arrow binary, large_binary or binary_view array or stream\n"
    "(__arrow_c_array__ / __arrow_c_stream__), or an iterable of bytes-like objects\n"
    "and None. Each row is checked as validate() checks it; a corrupt row raises\n"
    "ValueError naming the row. threads (None: every core) share the rows.";

namespace {

Result<std::int64_t> estimate_serialised(ByteView bytes) {
  Result<SketchStateView> view = decode_state_view(bytes);
  if (!view) return view.take_error();
  // A state with registers that passes the door builds a normal sketch,
  // whose result() is the estimate of its registers: read in place, the
  // summary the register check took shared with the estimate.
  if (view->data) {
    Result<RegisterSums> sums = validate_normal_view(*view);
    if (!sums) return sums.take_error();
    return estimate_registers(*view->data, view->scalars.precision, *sums);
  }
  SketchState state = copy_state(*view);
  VANTORELLE_RETURN_IF_ERROR(validate_state(state));
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!sketch) return sketch.take_error();
  return sketch->result();
}

// What a range of rows ended with: all estimated, or its first corrupt row,
// or an exception escaping the core.
struct RangeOutcome {
  std::int64_t corrupt_row = -1;
  std::string reason;
  std::exception_ptr failure;
};

void estimate_range(const std::vector<SketchColumn::Row>& rows, std::size_t begin, std::size_t end,
                    char* out, RangeOutcome& outcome) {
  try {
    for (std::size_t i = begin; i < end; ++i) {
      std::int64_t value = 0;
      if (rows[i].present) {
        Result<std::int64_t> estimate = estimate_serialised(rows[i].bytes);
        if (!estimate) {
          outcome.corrupt_row = static_cast<std::int64_t>(i);
          outcome.reason = estimate.error().display();
          return;
        }
        value = *estimate;
      }
      std::memcpy(out + i * sizeof value, &value, sizeof value);
    }
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

PyObject* estimates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"column", "threads", nullptr};
    PyObject* column = nullptr;
    PyObject* threads_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:estimates", const_cast<char**>(keywords),
                                     &column, &threads_argument)) {
      return nullptr;
    }
    std::size_t threads = 1;
    if (threads_argument != nullptr && !thread_count(threads_argument, &threads)) return nullptr;
    SketchColumn rows;
    if (!read_column(column, rows)) return nullptr;
    const std::vector<SketchColumn::Row>& all = rows.rows();
    const std::size_t n = all.size();
    python::OwnedRef result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * 8)));
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result.get());

    threads = std::max<std::size_t>(1, std::min(threads, n / MIN_ROWS_PER_THREAD));
    std::vector<RangeOutcome> outcomes(threads);
    {
      WithoutGil released;
      const std::size_t step = (n + threads - 1) / threads;
      std::vector<std::thread> workers;
      for (std::size_t t = 1; t < threads; ++t) {
        const std::size_t begin = std::min(n, t * step);
        const std::size_t end = std::min(n, begin + step);
        workers.emplace_back(estimate_range, std::cref(all), begin, end, out, std::ref(outcomes[t]));
      }
      estimate_range(all, 0, std::min(n, step), out, outcomes[0]);
      for (std::thread& worker : workers) worker.join();
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
    return result.release();
  });
}

}  // namespace vantorelle::native
