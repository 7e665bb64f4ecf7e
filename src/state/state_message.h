// The protocol-buffers form of a SketchState: message AggregatorState with
// the embedded HllUniqueState under field 112.
#pragma once

#include "error/result.h"
#include "state/sketch_state.h"
#include "utils/mapped_allocator.h"

namespace vantorelle {

// Writes the fields in table order under their conditions.
Result<Bytes> encode_state(const SketchState& state);
// The same message appended to `out` (for many messages end to end).
Status encode_state_into(const SketchState& state, Bytes& out);
Status encode_state_into(const SketchState& state, MappedVector<std::uint8_t>& out);

// Checks the wire form only; failures are ProtoDeserialization with a text
// that says what was wrong and at which byte offset.
Result<SketchState> decode_state(ByteView bytes);
// The same, with the byte arrays left in `bytes` (the same errors). A
// message of the common shape (common_shape_reader.h) is read without a
// coded stream; any other goes to the general reader.
Result<SketchStateView> decode_state_view(ByteView bytes);
// The same into `view` (every field replaced), for a loop over many
// messages: no result to build and move per message.
Status decode_state_view_into(ByteView bytes, SketchStateView& view);
// The general reader alone, for every message (the tests hold the common
// shape's reader to it).
Result<SketchStateView> decode_state_view_general(ByteView bytes);
// The state of `view`, its byte arrays copied.
SketchState copy_state(const SketchStateView& view);

}  // namespace vantorelle
