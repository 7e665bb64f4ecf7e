// The JNI entry points of the scalar functions: vantorelle_estimate,
// vantorelle_bounds, vantorelle_union, vantorelle_intersection and
// vantorelle_jaccard, with the meanings of the package's functions of the
// same names and the same core calls. A null sketch stands for the empty
// set.
#include <jni.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "hll/sketch_estimates.h"
#include "spark/jni_support.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle::spark {
namespace {

// The validated state of serialised bytes, as vantorelle.estimate reads them;
// `argument` is the function's argument that holds them (0 or 1).
SketchState load_state(const Bytes& bytes, int argument) {
  Result<SketchState> state = decode_valid_state(bytes);
  if (!state) fail_corrupt_argument(state.error(), argument);
  return std::move(*state);
}

HyperLogLogPlusPlus build(SketchState state, int argument) {
  Result<HyperLogLogPlusPlus> built = HyperLogLogPlusPlus::from_state(std::move(state));
  if (!built) fail_corrupt_argument(built.error(), argument);
  return std::move(*built);
}

// Sketches that cannot be estimated together, as the package reports them.
[[noreturn]] void fail_estimate(const SketchError& error) {
  const bool plain = error.kind() == ErrorKind::Io || error.kind() == ErrorKind::Generic;
  fail_with(error, plain ? JavaError::Sketch : JavaError::Incompatible, "");
}

// Intersection and Jaccard index with a null side are 0 without estimating;
// the other side is still checked. True when both sides are present.
bool both_present(JNIEnv* env, jbyteArray a, jbyteArray b) {
  if (a != nullptr && b != nullptr) return true;
  if (std::optional<Bytes> bytes = copy_bytes(env, a != nullptr ? a : b)) {
    load_state(*bytes, a != nullptr ? 0 : 1);
  }
  return false;
}

// Python's round(): halves to even, as the package rounds these estimates.
std::int64_t rounded(double value) { return static_cast<std::int64_t>(std::nearbyint(value)); }

// The joint estimate of two sketches, either possibly null; nullopt when
// both are.
std::optional<PairEstimate> pair_of(JNIEnv* env, jbyteArray a, jbyteArray b) {
  std::optional<Bytes> first = copy_bytes(env, a);
  std::optional<Bytes> second = copy_bytes(env, b);
  if (!first && !second) return std::nullopt;
  std::optional<SketchState> state_a;
  std::optional<SketchState> state_b;
  if (first) state_a = load_state(*first, 0);
  if (second) state_b = load_state(*second, 1);
  std::optional<HyperLogLogPlusPlus> left, right;
  if (state_a) left.emplace(build(std::move(*state_a), 0));
  if (state_b) right.emplace(build(std::move(*state_b), 1));
  Result<PairEstimate> joint = estimate_pair_or_empty(left ? &*left : nullptr, right ? &*right : nullptr);
  if (!joint) fail_estimate(joint.error());
  return *joint;
}

}  // namespace
}  // namespace vantorelle::spark

using namespace vantorelle;
using namespace vantorelle::spark;

extern "C" {

// The core's refusal of a confidence, or null.
JNIEXPORT jstring JNICALL Java_org_vantorelle_spark_NativeSketches_checkConfidence(
    JNIEnv* env, jclass, jdouble confidence) {
  return guarded<jstring>(env, nullptr, [&]() -> jstring {
    Status checked = check_confidence(confidence);
    if (checked) return nullptr;
    return env->NewStringUTF(checked.error().message().c_str());
  });
}

JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_estimate(JNIEnv* env, jclass,
                                                                          jbyteArray sketch) {
  return guarded<jlong>(env, 0, [&]() -> jlong {
    std::optional<Bytes> bytes = copy_bytes(env, sketch);
    if (!bytes) return 0;
    Result<std::int64_t> value =
        estimate_state(load_state(*bytes, 0), EstimateMethod::Default);
    if (!value) fail_estimate(value.error());
    return *value;
  });
}

// {lower, upper}; {0, 0} for a null sketch.
JNIEXPORT jlongArray JNICALL Java_org_vantorelle_spark_NativeSketches_bounds(
    JNIEnv* env, jclass, jbyteArray sketch, jdouble confidence) {
  return guarded<jlongArray>(env, nullptr, [&]() -> jlongArray {
    SketchBounds interval;
    std::optional<Bytes> bytes = copy_bytes(env, sketch);
    if (bytes) {
      Result<SketchBounds> found = bounds_of_state(load_state(*bytes, 0), confidence);
      if (!found) {
        fail_with(found.error(), found.error().kind() == ErrorKind::InvalidArgument
                                     ? JavaError::InvalidInput
                                     : JavaError::Incompatible, "");
      }
      interval = *found;
    } else if (Status checked = check_confidence(confidence); !checked) {
      fail(JavaError::InvalidInput, checked.error().message());
    }
    jlongArray out = env->NewLongArray(2);
    if (out == nullptr) fail(JavaError::Sketch, "cannot allocate the result");
    const jlong ends[2] = {interval.lower, interval.upper};
    env->SetLongArrayRegion(out, 0, 2, ends);
    return out;
  });
}

JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_union(JNIEnv* env, jclass,
                                                                       jbyteArray a, jbyteArray b) {
  return guarded<jlong>(env, 0, [&]() -> jlong {
    std::optional<PairEstimate> joint = pair_of(env, a, b);
    return joint ? rounded(joint->union_size()) : 0;
  });
}

JNIEXPORT jlong JNICALL Java_org_vantorelle_spark_NativeSketches_intersection(
    JNIEnv* env, jclass, jbyteArray a, jbyteArray b) {
  return guarded<jlong>(env, 0, [&]() -> jlong {
    if (!both_present(env, a, b)) return 0;
    return rounded(pair_of(env, a, b)->both);
  });
}

// |A n B| / |A u B|; 0.0 when the union is empty.
JNIEXPORT jdouble JNICALL Java_org_vantorelle_spark_NativeSketches_jaccard(
    JNIEnv* env, jclass, jbyteArray a, jbyteArray b) {
  return guarded<jdouble>(env, 0.0, [&]() -> jdouble {
    if (!both_present(env, a, b)) return 0.0;
    const std::optional<PairEstimate> joint = pair_of(env, a, b);
    const double total = joint->union_size();
    return total > 0 ? joint->both / total : 0.0;
  });
}

}  // extern "C"
