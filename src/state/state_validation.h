// Validation of a sketch from another producer before it is used: the checks
// an aggregator build runs, plus the contents of sparse_data, which a build
// takes over unread. A state that passes can be loaded, added to, merged,
// estimated and serialised without ever meeting an internal failure.
#pragma once

#include "error/result.h"
#include "hll/encoding.h"
#include "hll/register_sums.h"
#include "state/sketch_state.h"

namespace vantorelle {

// Runs, in order:
//  1. the build checks of HyperLogLogPlusPlus::from_state (type, encoding
//     version, value type, precisions, register array), with their errors;
//  2. a sketch carries at most one of data and sparse_data;
//  3. for a sparse sketch, check_sparse_data on its sparse_data.
// sparse_size and num_values are not compared with anything.
Status validate_state(const SketchState& state);

// validate_state of a view that has data (its registers are read in place),
// with the same errors in the same order; on success the summary of the
// registers that the register check took, and S where it formed it.
Result<RegisterSums> validate_normal_view(const SketchStateView& view);

// Stored bytes as every door reads them: refused when empty (zero bytes
// decode as a message whose every field is at its default, which the type
// check would report as a sketch of the wrong type; HyperLogLogPlusPlus::
// from_bytes keeps that report), then decode_state (its wire errors
// unchanged) and validate_state.
Status check_not_empty(ByteView bytes);
Result<SketchState> decode_valid_state(ByteView bytes);

// decode_valid_state, its state dropped.
Status validate_bytes(ByteView bytes);

// The contents of stored sparse values made with `encoding`, as its
// producer wrote them (InvalidState, naming the offset or value):
//  - every varint ends inside the array, within five bytes, and fits in
//    32 bits;
//  - the values (running sums of the varints, modulo 2^32 as the sketch
//    reads them) never decrease;
//  - each value lies inside the encoding: a plain value below 2^sp, a
//    rho-encoded value with a register index below 2^p;
//  - the rho_w of a rho-encoded value is at most 65 - sp, that is at most
//    65 - p at the normal precision: no hash gives more.
Status check_sparse_data(ByteView sparse_data, const SparseEncoding& encoding);

// check_sparse_data (its errors), and in the same pass the number of
// distinct sparse indices among the values: the occupied cells of a sketch
// loaded from them, as it counts them (a plain value and a rho-encoded
// value of the same index, which no hash gives, count as two).
Result<std::uint64_t> count_sparse_indices(ByteView sparse_data, const SparseEncoding& encoding);

// count_sparse_indices' count of short data (up to 64 bytes, what a small
// sketch holds) that passes every check, taken in blocks without a step
// per value; false says nothing about the data (count_sparse_indices then
// decides), and is given too for some data that passes.
bool count_short_sparse_indices(ByteView sparse_data, const SparseEncoding& encoding, std::uint64_t& count);

}  // namespace vantorelle
