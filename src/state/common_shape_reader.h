// A reader for the shape nearly every stored sketch has: only the fields of
// AggregatorState and HllUniqueState, each under its one-byte tag (two bytes
// for hll_state), varints of at most nine bytes, lengths that fit. It reads
// straight from the bytes, without a coded stream, which is most of the
// cost of decoding a small sparse sketch.
//
// It never reports an error: anything else (an unknown or long tag, a
// ten-byte varint, a value out of range, a length past the end) makes it
// give up, and the general reader of state_message.cpp then reads the
// message and says what is wrong. What it accepts, it decodes exactly as the
// general reader does.
#pragma once

#include "state/sketch_state.h"
#include "utils/bytes.h"

namespace vantorelle {

// True with `view` filled in; false (and `view` unspecified) when the
// message is not of the common shape.
bool read_common_shape(ByteView bytes, SketchStateView& view);

}  // namespace vantorelle
