// Arrow types in words, for errors that name a column's type ("float64",
// "list", "timestamp[us]") instead of its C Data Interface format code.
#pragma once

#include <string>

#include "engine/arrow_abi.h"

namespace vantorelle::engine {

// The type of a column with this schema, as a user would name it.
std::string arrow_type_in_words(const ArrowSchema& schema);

}  // namespace vantorelle::engine
