// Linear counting: n values hashed into M equally likely cells leave
// M e^{-n/M} of them empty in expectation, so n is estimated as
// M ln(M / empty). The sparse form's estimate, the normal form's estimate
// while few registers are filled, and the estimators' sparse counts all use
// this one definition.
#pragma once

namespace vantorelle {

// The estimate from `empty` of `buckets` cells (empty > 0).
double linear_counting(double buckets, double empty);

// The same from the occupied cells; infinity when every cell is occupied.
double linear_count(double cells, double occupied);

// Its standard error at the count n: sqrt(M (e^t - t - 1)), t = n / M.
double linear_count_std_error(double cells, double n);

}  // namespace vantorelle
