// INTERIM: replaced by the full check from the validation branch.
#pragma once
#include "hll/hyperloglogplusplus.h"
namespace vantorelle {
inline Status validate_bytes(ByteView bytes) {
  Result<HyperLogLogPlusPlus> built = HyperLogLogPlusPlus::from_bytes(bytes);
  if (!built) return built.take_error();
  return {};
}
}  // namespace vantorelle
