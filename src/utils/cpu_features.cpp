#include "utils/cpu_features.h"

namespace vantorelle {

bool cpu_has_avx512() {
#if defined(__x86_64__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512cd");
  }();
  return has;
#else
  return false;
#endif
}

}  // namespace vantorelle
