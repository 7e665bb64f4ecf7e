#include "hll/linear_counting.h"

#include <cmath>
#include <limits>

namespace vantorelle {

double linear_counting(double buckets, double empty) { return buckets * std::log(buckets / empty); }

double linear_count(double cells, double occupied) {
  if (occupied >= cells) return std::numeric_limits<double>::infinity();
  return linear_counting(cells, cells - occupied);
}

double linear_count_std_error(double cells, double n) {
  const double t = n / cells;
  return std::sqrt(cells * (std::expm1(t) - t));
}

}  // namespace vantorelle
