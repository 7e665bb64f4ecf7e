// What the aggregates' callbacks share: their exit for errors, and the
// count of the heap buffers their states hold (read by the leak tests
// through vantorelle_live_states()).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "duckdb/duckdb_api.h"
#include "duckdb/function_errors.h"

namespace vantorelle::duckdb_ext {

inline void fail(duckdb_function_info info, std::string_view function, const std::string& message) {
  fail_with(duckdb_aggregate_function_set_error, info, function, message);
}

template <class Body>
void guarded(duckdb_function_info info, std::string_view function, Body&& body) {
  guarded_with(duckdb_aggregate_function_set_error, info, function, std::forward<Body>(body));
}

inline std::atomic<std::int64_t> live_buffers{0};

// The buffers one callback opened (+) and freed (-), added to live_buffers
// once when it returns (or throws): the threads would contend for the
// counter if every group updated it.
class BufferTally {
 public:
  BufferTally() = default;
  BufferTally(const BufferTally&) = delete;
  BufferTally& operator=(const BufferTally&) = delete;
  ~BufferTally() {
    if (change_ != 0) live_buffers.fetch_add(change_, std::memory_order_relaxed);
  }
  void opened() { ++change_; }
  void freed() { --change_; }

 private:
  std::int64_t change_ = 0;
};

// A destroy callback: each state's buffers released, then the state.
template <class Slot>
void destroy_slots(duckdb_aggregate_state* states, idx_t count) {
  BufferTally tally;
  for (idx_t i = 0; i < count; ++i) {
    Slot& slot = *reinterpret_cast<Slot*>(states[i]);
    slot.release(tally);
    slot.~Slot();
  }
}

}  // namespace vantorelle::duckdb_ext
