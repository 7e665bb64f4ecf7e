// Internal invariant failures: conditions the checks make unreachable for
// valid sketches, and malformed stored bytes met while decoding. They are not
// SketchErrors; they unwind the running operation and only the Python layer
// catches them.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorelle {

class InternalFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_failure(const std::string& what) {
  throw InternalFailure(what);
}

// Checks an invariant; `text` is the failure message (the invariant itself).
#define VANTORELLE_ASSERT(condition, text)                   \
  do {                                                       \
    if (!(condition)) ::vantorelle::internal_failure(text);  \
  } while (0)

}  // namespace vantorelle
