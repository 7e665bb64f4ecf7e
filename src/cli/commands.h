// The five commands. Each writes its results to standard output and throws
// CommandError (exit status 1) or UsageError (exit status 2) on failure.
#pragma once

#include "cli/arguments.h"

namespace vantorelle::cli {

void run_count(const Arguments& args);
void run_sketch(const Arguments& args);
void run_merge(const Arguments& args);
void run_estimate(const Arguments& args);
void run_inspect(const Arguments& args);

}  // namespace vantorelle::cli
