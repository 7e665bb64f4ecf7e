// The texts that tell a user why a column or one of its values is refused:
// the value itself, and what a sketch would take instead. Each text follows
// the class's own "Unsupported type for HyperLogLogPlusPlus" where the
// refusal is of that kind, so a search for the old text still finds it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/arrow_abi.h"

namespace vantorelle::native {

// An unsigned 64-bit value above 2^63 - 1.
std::string out_of_range_message(std::uint64_t value);

// Why `item`, which the conversion of `add` refused, is refused: an int
// outside the signed 64-bit range, a str with a lone surrogate, or the
// plain "Unsupported type" for any other type. GIL held.
std::string refused_item_message(PyObject* item);

// An Arrow column of a type that does not count (`schema`'s; `values` is
// its values' format, a dictionary's own), its type in words.
std::string unsupported_arrow_column_message(const ArrowSchema& schema, std::string_view values);

}  // namespace vantorelle::native
