// Standard input, output and error when the command was started with one of
// them closed: each closed one is held open on /dev/null, so that no file
// the command opens takes its number, and reading a closed standard input
// or writing a closed standard output still fails as using a closed
// descriptor does.
#pragma once

namespace vantorelle::cli {

void hold_closed_standard_streams();
bool standard_input_was_closed();
bool standard_output_was_closed();

}  // namespace vantorelle::cli
