// The JNI entry points of vantorelle_sketch and vantorelle_merge. The JVM
// buffers a group's values and hands them over a batch at a time with the
// group's sketch so far (serialised); each call builds an engine state from
// them, adds the batch and serialises the state again. No native memory
// outlives a call, so a task that fails or is killed between calls leaves
// nothing behind.
#include <jni.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/sketch_aggregate.h"
#include "hll/sketch_estimates.h"
#include "hll/sparse_roll_up.h"
#include "spark/jni_support.h"
#include "state/state_validation.h"

namespace vantorelle::spark {
namespace {

using engine::SketchAggregate;
using engine::SketchParameters;

SketchParameters parameters_of(jint type, jint normal_precision, jint sparse_precision) {
  if (type != static_cast<jint>(InputType::LONG) && type != static_cast<jint>(InputType::STRING) &&
      type != static_cast<jint>(InputType::BYTES)) {
    fail(JavaError::InvalidInput, "unknown value type code " + std::to_string(type));
  }
  Result<SketchParameters> made =
      SketchParameters::create(static_cast<InputType>(type), normal_precision, sparse_precision);
  if (!made) fail_with(made.error(), JavaError::InvalidInput, "");
  return *made;
}

// The state a group's serialised sketch so far stands for. Those bytes were
// written by this library, but they may have crossed a shuffle: they pass
// the same check as a stored sketch.
void resume(JNIEnv* env, SketchAggregate& state, jbyteArray sketch) {
  std::optional<Bytes> bytes = copy_bytes(env, sketch);
  if (!bytes) return;
  Status merged = state.merge_stored(*bytes);
  if (!merged) fail_with(merged.error(), JavaError::Corrupt, "a partial sketch");
}

jbyteArray finish(JNIEnv* env, const SketchAggregate& state, const SketchParameters& parameters) {
  Result<Bytes> bytes = state.finalise_sketch(parameters);
  if (!bytes) fail_with(bytes.error(), JavaError::Sketch, "");
  return new_byte_array(env, *bytes);
}

void add(SketchAggregate& state, const SketchParameters& parameters,
         const std::vector<std::uint64_t>& hashes) {
  Status added = state.add_hashes(parameters, hashes);
  if (!added) fail_with(added.error(), JavaError::Incompatible, "");
}

// The fingerprints of `count` integers, hashed where they were copied.
std::vector<std::uint64_t> long_hashes(JNIEnv* env, jlongArray values, jint count) {
  std::vector<std::uint64_t> hashes = copy_words(env, values, count);
  HyperLogLogPlusPlus::hash_longs(hashes.data(), hashes.size(), hashes.data());
  return hashes;
}

// The fingerprints of `count` strings (UTF-8) or byte strings laid end to
// end in `data`; value i ends at ends[i].
std::vector<std::uint64_t> byte_hashes(JNIEnv* env, jbyteArray data, jintArray ends, jint count) {
  const std::vector<std::int32_t> value_ends = copy_ints(env, ends, count);
  const Bytes values = copy_bytes(env, data).value_or(Bytes());
  std::vector<std::uint64_t> hashes(value_ends.size());
  std::int32_t start = 0;
  for (std::size_t i = 0; i < value_ends.size(); ++i) {
    const std::int32_t end = value_ends[i];
    if (end < start || static_cast<std::size_t>(end) > values.size()) {
      fail(JavaError::InvalidInput, "a value outside its batch");
    }
    hashes[i] = HyperLogLogPlusPlus::hash_bytes(
        ByteView(values.data() + start, static_cast<std::size_t>(end - start)));
    start = end;
  }
  return hashes;
}

// The group's sketch so far (null: none) with `hashes` added, serialised.
jbyteArray sketch_of(JNIEnv* env, jbyteArray sketch, const SketchParameters& parameters,
                     const std::vector<std::uint64_t>& hashes) {
  SketchAggregate state;
  resume(env, state, sketch);
  add(state, parameters, hashes);
  return finish(env, state, parameters);
}

// vantorelle_estimate(vantorelle_sketch(...)): the estimate of what
// sketch_of would return. A group sketched in one batch (most are) is
// estimated as built, as its bytes would be, without writing them.
jlong estimate_of(JNIEnv* env, jbyteArray sketch, const SketchParameters& parameters,
                  const std::vector<std::uint64_t>& hashes) {
  std::optional<HyperLogLogPlusPlus> built;
  if (sketch == nullptr) {
    if (hashes.empty()) return 0;
    Result<HyperLogLogPlusPlus> fresh =
        parameters.type == InputType::LONG
            ? HyperLogLogPlusPlus::new_long(parameters.normal_precision,
                                            parameters.sparse_precision)
            : HyperLogLogPlusPlus::new_string_or_bytes(parameters.normal_precision,
                                                       parameters.sparse_precision);
    if (!fresh) fail_with(fresh.error(), JavaError::InvalidInput, "");
    Status added = fresh->add_hashes(parameters.type, hashes);
    if (!added) fail_with(added.error(), JavaError::Incompatible, "");
    built = std::move(*fresh);
  } else {
    SketchAggregate state;
    resume(env, state, sketch);
    add(state, parameters, hashes);
    Result<Bytes> bytes = state.finalise_sketch(parameters);
    if (!bytes) fail_with(bytes.error(), JavaError::Sketch, "");
    Result<HyperLogLogPlusPlus> read = HyperLogLogPlusPlus::from_bytes(*bytes);
    if (!read) fail_with(read.error(), JavaError::Sketch, "");
    built = std::move(*read);
  }
  Result<std::int64_t> value = estimate_as_stored(*built);
  if (!value) fail_with(value.error(), JavaError::Sketch, "");
  return *value;
}

}  // namespace
}  // namespace vantorelle::spark

using namespace vantorelle;
using namespace vantorelle::spark;

extern "C" {

JNIEXPORT jstring JNICALL Java_org_vantorelle_spark_NativeSketches_checkPrecisions(
    JNIEnv* env, jclass, jint normal_precision, jint sparse_precision) {
  return guarded<jstring>(env, nullptr, [&]() -> jstring {
    Result<engine::SketchParameters> made =
        engine::SketchParameters::create(InputType::LONG, normal_precision, sparse_precision);
    if (made) return nullptr;
    return env->NewStringUTF(made.error().display().c_str());
  });
}

// The group's sketch (null: none yet) with `count` integers added.
JNIEXPORT jbyteArray JNICALL Java_org_vantorelle_spark_NativeSketches_addLongs(
    JNIEnv* env, jclass, jbyteArray sketch, jint normal_precision, jint sparse_precision,
    jlongArray values, jint count) {
  return guarded<jbyteArray>(env, nullptr, [&] {
    const engine::SketchParameters parameters =
        parameters_of(static_cast<jint>(InputType::LONG), normal_precision, sparse_precision);
    return sketch_of(env, sketch, parameters, long_hashes(env, values, count));
  });
}

// The estimate of what addLongs would return.
JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_estimateLongs(
    JNIEnv* env, jclass, jbyteArray sketch, jint normal_precision, jint sparse_precision,
    jlongArray values, jint count) {
  return guarded<jlong>(env, 0, [&] {
    const engine::SketchParameters parameters =
        parameters_of(static_cast<jint>(InputType::LONG), normal_precision, sparse_precision);
    return estimate_of(env, sketch, parameters, long_hashes(env, values, count));
  });
}

// The same for `count` strings (UTF-8) or byte strings laid end to end in
// `data`; value i ends at ends[i].
JNIEXPORT jbyteArray JNICALL Java_org_vantorelle_spark_NativeSketches_addBytes(
    JNIEnv* env, jclass, jbyteArray sketch, jint type, jint normal_precision,
    jint sparse_precision, jbyteArray data, jintArray ends, jint count) {
  return guarded<jbyteArray>(env, nullptr, [&] {
    const engine::SketchParameters parameters =
        parameters_of(type, normal_precision, sparse_precision);
    return sketch_of(env, sketch, parameters, byte_hashes(env, data, ends, count));
  });
}

JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_estimateBytes(
    JNIEnv* env, jclass, jbyteArray sketch, jint type, jint normal_precision,
    jint sparse_precision, jbyteArray data, jintArray ends, jint count) {
  return guarded<jlong>(env, 0, [&] {
    const engine::SketchParameters parameters =
        parameters_of(type, normal_precision, sparse_precision);
    return estimate_of(env, sketch, parameters, byte_hashes(env, data, ends, count));
  });
}

// vantorelle_sketch of a group without values.
JNIEXPORT jbyteArray JNICALL Java_org_vantorelle_spark_NativeSketches_emptySketch(
    JNIEnv* env, jclass, jint type, jint normal_precision, jint sparse_precision) {
  return guarded<jbyteArray>(env, nullptr, [&] {
    const engine::SketchParameters parameters =
        parameters_of(type, normal_precision, sparse_precision);
    return finish(env, engine::SketchAggregate(), parameters);
  });
}

// The group's merged sketch so far (null: none) with the first `count`
// stored sketches of `stored` merged in, each validated first. Null when
// nothing was merged. A corrupt sketch names its place in the batch.
JNIEXPORT jbyteArray JNICALL Java_org_vantorelle_spark_NativeSketches_mergeStored(
    JNIEnv* env, jclass, jbyteArray sketch, jobjectArray stored, jint count) {
  return guarded<jbyteArray>(env, nullptr, [&]() -> jbyteArray {
    if (stored == nullptr || count < 0 || count > env->GetArrayLength(stored)) {
      fail(JavaError::InvalidInput, "a batch count outside its array");
    }
    // The sketch so far and the batch's stored sketches, in order. When
    // every one passes the check and they are sparse sketches alike, they are
    // rolled up in one pass; otherwise they are merged one by one, which
    // meets any failure where it lies.
    std::vector<Bytes> batch;
    if (std::optional<Bytes> so_far = copy_bytes(env, sketch)) batch.push_back(std::move(*so_far));
    for (jint i = 0; i < count; ++i) {
      jobject element = env->GetObjectArrayElement(stored, i);
      std::optional<Bytes> bytes = copy_bytes(env, static_cast<jbyteArray>(element));
      env->DeleteLocalRef(element);
      if (bytes) batch.push_back(std::move(*bytes));
    }
    bool rolled_up = false;  // batch.front() is then the roll-up of the first ones
    // (a batch that cannot be rolled up is not checked for it)
    if (batch.size() >= 2 && SparseRollUp::may_lead(batch.front()) &&
        std::all_of(batch.begin(), batch.end(), [](const Bytes& bytes) {
          return static_cast<bool>(validate_bytes(bytes));
        })) {
      const std::vector<ByteView> views(batch.begin(), batch.end());
      SparseRollUp roll_up;
      Bytes rolled;
      const std::size_t taken = roll_up.merge_prefix_into(views, rolled);
      if (taken == views.size()) return new_byte_array(env, rolled);
      if (taken != 0) {
        // Those before the one that passes the sparse budget: the rest go
        // one by one from their merge.
        batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(taken));
        batch.insert(batch.begin(), std::move(rolled));
        rolled_up = true;
      }
    }
    engine::SketchAggregate state;
    if (sketch != nullptr || rolled_up) {
      Status merged = state.merge_stored(batch.front());
      if (!merged) fail_with(merged.error(), JavaError::Corrupt, "a partial sketch");
    }
    for (std::size_t i = sketch != nullptr || rolled_up ? 1 : 0; i < batch.size(); ++i) {
      const Bytes& bytes = batch[i];
      Status merged = state.merge_stored(bytes);
      if (!merged) {
        // Validation failures are corrupt input; a sound sketch that does
        // not merge with the others is an incompatibility.
        const bool sound = static_cast<bool>(validate_bytes(bytes));
        fail_with(merged.error(), sound ? JavaError::Incompatible : JavaError::Corrupt, "");
      }
    }
    Result<std::optional<Bytes>> merged = state.finalise_merge();
    if (!merged) fail_with(merged.error(), JavaError::Sketch, "");
    if (!*merged) return nullptr;
    return new_byte_array(env, **merged);
  });
}

// Engine states alive in this process (SketchAggregate::live_count): what
// the leak test reads before and after a failed job.
JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_liveStates(JNIEnv*, jclass) {
  return static_cast<jlong>(engine::SketchAggregate::live_count());
}

}  // extern "C"
