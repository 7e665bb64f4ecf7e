#include "spark/jni_support.h"

namespace vantorelle::spark {

namespace {

const char* class_name(JavaError which) {
  switch (which) {
    case JavaError::Corrupt: return "org/vantorelle/spark/CorruptSketchException";
    case JavaError::Incompatible: return "org/vantorelle/spark/IncompatibleSketchException";
    case JavaError::InvalidInput: return "org/vantorelle/spark/InvalidInputException";
    default: return "org/vantorelle/spark/SketchException";
  }
}

}  // namespace

void throw_java(JNIEnv* env, JavaError which, const std::string& message, int argument) {
  if (env->ExceptionCheck()) return;
  jclass type = env->FindClass(class_name(which));
  if (type == nullptr) return;  // NoClassDefFoundError is pending
  if (argument < 0) {
    env->ThrowNew(type, message.c_str());
    return;
  }
  // CorruptSketchException(String message, int argument)
  jmethodID make = env->GetMethodID(type, "<init>", "(Ljava/lang/String;I)V");
  if (make == nullptr) return;  // NoSuchMethodError is pending
  jstring text = env->NewStringUTF(message.c_str());
  if (text == nullptr) return;  // OutOfMemoryError is pending
  auto* raised =
      static_cast<jthrowable>(env->NewObject(type, make, text, static_cast<jint>(argument)));
  if (raised != nullptr) env->Throw(raised);
}

std::optional<Bytes> copy_bytes(JNIEnv* env, jbyteArray array) {
  if (array == nullptr) return std::nullopt;
  const jsize length = env->GetArrayLength(array);
  Bytes bytes(static_cast<std::size_t>(length));
  env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte*>(bytes.data()));
  return bytes;
}

jbyteArray new_byte_array(JNIEnv* env, const Bytes& bytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (array == nullptr) fail(JavaError::Sketch, "cannot allocate the result");
  env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                          reinterpret_cast<const jbyte*>(bytes.data()));
  return array;
}

namespace {

void check_count(JNIEnv* env, jarray array, jint count) {
  if (array == nullptr || count < 0 || count > env->GetArrayLength(array)) {
    fail(JavaError::InvalidInput, "a batch count outside its array");
  }
}

}  // namespace

std::vector<std::uint64_t> copy_words(JNIEnv* env, jlongArray array, jint count) {
  check_count(env, array, count);
  std::vector<std::uint64_t> values(static_cast<std::size_t>(count));
  env->GetLongArrayRegion(array, 0, count, reinterpret_cast<jlong*>(values.data()));
  return values;
}

std::vector<std::int32_t> copy_ints(JNIEnv* env, jintArray array, jint count) {
  check_count(env, array, count);
  std::vector<std::int32_t> values(static_cast<std::size_t>(count));
  env->GetIntArrayRegion(array, 0, count, reinterpret_cast<jint*>(values.data()));
  return values;
}

void fail_with(const SketchError& error, JavaError which, const std::string& context) {
  fail(which, context.empty() ? error.display() : context + ": " + error.display());
}

void fail_corrupt_argument(const SketchError& error, int argument) {
  throw Raised{JavaError::Corrupt, error.display(), argument};
}

}  // namespace vantorelle::spark
