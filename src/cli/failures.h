// The two ways a run of the command fails: a failure about its inputs or
// outputs (one line on standard error, exit status 1) and wrong usage found
// after the arguments were parsed (the command's usage, exit status 2).
#pragma once

#include <stdexcept>
#include <string>

namespace vantorelle::cli {

class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The reader of standard output went away (`| head`): the run ends quietly
// with exit status 1, as other filters end.
class OutputClosed {};

// How standard input is named in messages.
inline constexpr const char kStdinName[] = "<stdin>";

// "PATH: reason" of the errno value `error`.
std::string file_error(const std::string& path, int error);

}  // namespace vantorelle::cli
