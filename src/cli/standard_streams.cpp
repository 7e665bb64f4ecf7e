#include "cli/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace vantorelle::cli {
namespace {

bool stdin_closed = false;
bool stdout_closed = false;

}  // namespace

void hold_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (fd == 0) stdin_closed = true;
    if (fd == 1) stdout_closed = true;
    // open() takes the lowest free number: this one.
    const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (held != fd && held != -1) close(held);
  }
}

bool standard_input_was_closed() { return stdin_closed; }
bool standard_output_was_closed() { return stdout_closed; }

}  // namespace vantorelle::cli
