// What every JNI entry point of the Spark functions shares: Java arrays in
// and out, and the translation of failures into Java exceptions. Nothing
// here owns native memory past the call that made it.
#pragma once

#include <jni.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "error/sketch_error.h"
#include "utils/bytes.h"

namespace vantorelle::spark {

// The Java classes of org.vantorelle.spark that mirror the package's errors.
enum class JavaError { Sketch, Corrupt, Incompatible, InvalidInput };

// A failure on its way to the JVM: thrown inside an entry point, turned into
// a pending Java exception by guarded().
struct Raised {
  JavaError which;
  std::string message;
  // The scalar function's argument (0 or 1) whose sketch is corrupt, which
  // the Java side names by its column; -1 for any other failure.
  int argument = -1;
};

[[noreturn]] inline void fail(JavaError which, std::string message) {
  throw Raised{which, std::move(message)};
}

// Sets the pending Java exception.
void throw_java(JNIEnv* env, JavaError which, const std::string& message, int argument = -1);

// Runs an entry point's body; any failure becomes a pending Java exception
// and the entry point returns `fallback`, which the JVM ignores.
template <class T, class Body>
T guarded(JNIEnv* env, T fallback, Body&& body) {
  try {
    return body();
  } catch (const Raised& raised) {
    throw_java(env, raised.which, raised.message, raised.argument);
  } catch (const InternalFailure& failure) {
    throw_java(env, JavaError::Sketch, std::string("internal failure: ") + failure.what());
  } catch (const std::bad_alloc&) {
    jclass oom = env->FindClass("java/lang/OutOfMemoryError");
    if (oom != nullptr) env->ThrowNew(oom, "vantorelle: native allocation failed");
  } catch (const std::exception& other) {
    throw_java(env, JavaError::Sketch, other.what());
  }
  return fallback;
}

// A copy of a Java byte[]; nullopt for a null reference.
std::optional<Bytes> copy_bytes(JNIEnv* env, jbyteArray array);

// A new Java byte[] holding `bytes`; throws Raised when the JVM cannot
// allocate it (its exception is then pending already).
jbyteArray new_byte_array(JNIEnv* env, const Bytes& bytes);

// The first `count` elements of a Java primitive array, copied; refuses a
// count beyond the array.
std::vector<std::uint64_t> copy_words(JNIEnv* env, jlongArray array, jint count);
std::vector<std::int32_t> copy_ints(JNIEnv* env, jintArray array, jint count);

// A sketch failure as the exception class the package raises for it:
// corrupt bytes (decoding and validation) and sketches that do not combine.
[[noreturn]] void fail_with(const SketchError& error, JavaError which, const std::string& context);

// Corrupt bytes in argument `argument` of a scalar function.
[[noreturn]] void fail_corrupt_argument(const SketchError& error, int argument);

}  // namespace vantorelle::spark
