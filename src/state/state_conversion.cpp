// The byte-level operations of the aggregator: a serialised sketch is the
// state message of its (compacted) state.
#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"

namespace vantorelle {

Result<HyperLogLogPlusPlus> HyperLogLogPlusPlus::from_bytes(ByteView bytes) {
  Result<SketchState> state = decode_state(bytes);
  if (!state) return state.take_error();
  return from_state(std::move(*state));
}

Result<Bytes> HyperLogLogPlusPlus::to_bytes() const {
  // Compaction changes nothing for a normal sketch, nor for a sparse one with
  // an empty buffer, present sparse_data and no budget overrun; those are
  // written straight from this sketch. Otherwise a compacted copy is written.
  if (const NormalRepresentation* normal = representation_.normal()) {
    return encode_state(normal->state());
  }
  const SparseRepresentation* sparse = representation_.sparse();
  if (!sparse) return invalid_state("Representation is invalid");
  if (sparse->buffer().empty() && sparse->state().sparse_data && !sparse->needs_update()) {
    return encode_state(sparse->state());
  }
  Result<Representation> compacted = sparse->compacted();
  if (!compacted) return compacted.take_error();
  return encode_state(compacted->state());
}

Status HyperLogLogPlusPlus::merge_bytes(ByteView bytes) {
  Result<HyperLogLogPlusPlus> other = from_bytes(bytes);
  if (!other) return other.take_error();
  return merge(std::move(*other));
}

}  // namespace vantorelle
