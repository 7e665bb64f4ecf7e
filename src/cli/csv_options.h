// The CSV format the options of `count` and `sketch` ask for; wrong
// combinations are UsageErrors.
#pragma once

#include <optional>
#include <string>

#include "cli/arguments.h"
#include "native/line_splitter.h"

namespace vantorelle::cli {

// nullopt when whole lines are read (no --csv).
std::optional<native::CsvFormat> csv_format(const Arguments& args);

// The column as messages name it: `column 3` or `column "id"`.
std::string column_label(const native::CsvFormat& format);

}  // namespace vantorelle::cli
