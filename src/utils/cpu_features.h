// What the processor offers beyond the baseline the project is built for,
// for the few loops that have a wider form.
#pragma once

namespace vantorelle {

// AVX-512 F, DQ and CD (the 64-bit multiply and leading-zero count in eight
// lanes); asked once, then remembered.
bool cpu_has_avx512();

}  // namespace vantorelle
