// vantorelle: estimated distinct counts of lines and CSV columns, and sketch
// files, from the command line.
//
//   vantorelle count [FILE ...]             estimated distinct lines
//   vantorelle sketch [FILE ...] -o OUT     the same lines, as a sketch file
//   vantorelle merge SKETCH ... -o OUT      one sketch file from several
//   vantorelle estimate SKETCH ... [--union] [--method M] [--bounds [--confidence C]]
//   vantorelle estimate --intersection A B  (or --jaccard A B)
//   vantorelle inspect SKETCH
//
// Errors about files are one line on standard error and exit status 1;
// wrong usage exits 2.
#include <csignal>
#include <cstdio>
#include <new>
#include <variant>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/failures.h"
#include "cli/output_file.h"
#include "cli/standard_streams.h"
#include "error/internal_failure.h"

namespace vantorelle::cli {
namespace {

void run(const Arguments& args) {
  switch (args.command) {
    case Command::Count: run_count(args); break;
    case Command::Sketch: run_sketch(args); break;
    case Command::Merge: run_merge(args); break;
    case Command::Estimate: run_estimate(args); break;
    case Command::Inspect: run_inspect(args); break;
    case Command::None: break;
  }
  // What is still buffered goes out now, its failure reported like any other.
  write_standard_output(nullptr, 0);
}

int fail(const char* text) {
  std::fprintf(stderr, "vantorelle: %s\n", text);
  return 1;
}

int main_of(int argc, char** argv) {
  // A reader that goes away is a write error (EPIPE), not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  hold_closed_standard_streams();
  std::variant<Arguments, int> parsed = parse_arguments(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const Arguments& args = std::get<Arguments>(parsed);
  try {
    run(args);
  } catch (const UsageError& error) {
    return report_usage_error(args.command, error.what());
  } catch (const CommandError& error) {
    return fail(error.what());
  } catch (const OutputClosed&) {
    return 1;
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  } catch (const InternalFailure& failure) {
    const std::string text = std::string("internal failure: ") + failure.what();
    return fail(text.c_str());
  }
  return 0;
}

}  // namespace
}  // namespace vantorelle::cli

int main(int argc, char** argv) { return vantorelle::cli::main_of(argc, argv); }
