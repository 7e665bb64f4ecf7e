// Arrow types in words, for errors that name a column's type ("float64",
// "list", "timestamp[us]") instead of its C Data Interface format code.
#pragma once

#include <string>
#include <string_view>

#include "engine/arrow_abi.h"

namespace vantorelle::engine {

// The one spelling of Arrow types in the module's messages: pyarrow's own
// names where it has them. A format code the table does not know is shown
// as it is.
std::string arrow_format_in_words(std::string_view format);

// The type of a column with this schema, as a user would name it.
std::string arrow_type_in_words(const ArrowSchema& schema);

}  // namespace vantorelle::engine
